#pragma once
// Paintshop Pro images: the first raster layer of the layer bank.

#include <cstdint>

#include "imaging/ImageLib.h"

namespace qv {

/// Reads Paintshop Pro files of major version 3 and later: the image attributes,
/// the colour palette and the first raster layer that holds image channels
/// (1, 4 and 8-bit palette or grey, 24-bit colour with an optional transparency
/// channel), stored, run-length coded or deflated. Layers are not merged.
class TPSPGraphic : public TImageGraphic {
    QV_DECLARE_GRAPHIC_CLASS(TPSPGraphic)
public:
    using TImageGraphic::CanLoadStream;
    /// True when more than 36 bytes remain, the signature matches and the major
    /// version is at least 3. The stream's position is kept.
    bool CanLoadStream(TStream& Stream) const override;
    /// Fills the properties from the header and the image-attributes block;
    /// false when the signature, the version or the first block is not the format's.
    bool ReadImageProperties(TStream& Stream, uint32_t ImageIndex) override;
    /// Loads the picture. Raises "Invalid color format in PSP file." for bit depths
    /// other than 1, 4, 8 and 24, the invalid-format message for JPEG channels,
    /// "LZ77 decompression error." for a deflate channel that does not end, and
    /// "Stream read error" when a channel's data is not in the stream.
    void LoadFromStream(TStream& Stream) override;
};

} // namespace qv
