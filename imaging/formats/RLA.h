#pragma once
// Alias/Wavefront RLA pictures: a 740-byte big-endian header, a table of row
// offsets and one run-length block per channel and row.

#include <cstdint>

#include "imaging/ImageLib.h"

namespace qv {

/// Reads RLA pictures with three colour channels and an optional matte, which
/// becomes alpha; samples of more than 8 bits are reduced to 8. The stored samples
/// are kept as they are (colour premultiplied by the matte where the file has one).
class TRLAGraphic : public TImageGraphic {
    QV_DECLARE_GRAPHIC_CLASS(TRLAGraphic)
public:
    /// True when more than 740 bytes remain, the revision is 0xFFFE and the
    /// channel space is "rgb" or "xyz" in any letter case.
    bool CanLoadStream(TStream& Stream) const override;
    /// Reads the header; false for the channel space "xyz".
    bool ReadImageProperties(TStream& Stream, uint32_t ImageIndex) override;
    void LoadFromStream(TStream& Stream) override;

private:
    int32_t FColorChannels = 0;
    int32_t FMatteChannels = 0;
    uint32_t FChannelBits = 0;
    bool FKnownSpace = false;
};

} // namespace qv
