#pragma once
// Autodesk Animator cel and picture files: a 32-byte header, a palette of 6-bit
// components and uncompressed 8-bit rows.

#include <cstdint>

#include "imaging/ImageLib.h"

namespace qv {

/// Reads Autodesk CEL and PIC files into an 8-bit palette bitmap. A file that
/// ends early keeps what arrived: missing palette entries are black, missing pixels 0.
class TAutodeskGraphic : public TImageGraphic {
    QV_DECLARE_GRAPHIC_CLASS(TAutodeskGraphic)
public:
    /// True when more than 32 bytes remain, with the signature 0x9119, 8 bits per
    /// pixel and no compression.
    bool CanLoadStream(TStream& Stream) const override;
    /// Reads the header; false without the signature (also for fewer than 2 bytes).
    bool ReadImageProperties(TStream& Stream, uint32_t ImageIndex) override;
    void LoadFromStream(TStream& Stream) override;
};

} // namespace qv
