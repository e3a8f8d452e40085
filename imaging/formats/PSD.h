#pragma once
// Photoshop documents: the merged image stored after the layers.

#include <cstdint>

#include "imaging/ImageLib.h"

namespace qv {

/// Reads the merged (flattened) image of a Photoshop file: bitmap, grey, duotone,
/// indexed, RGB with or without alpha, CMYK and Lab, at 1, 8 or 16 bits per
/// channel, raw or PackBits. The layers themselves are skipped.
class TPSDGraphic : public TImageGraphic {
    QV_DECLARE_GRAPHIC_CLASS(TPSDGraphic)
public:
    using TImageGraphic::CanLoadStream;
    /// True when more than 26 bytes remain, the signature upper-cased is "8BPS"
    /// and the version is 1. The stream's position is kept.
    bool CanLoadStream(TStream& Stream) const override;
    /// Fills the properties from the header and the compression word; false
    /// when the signature is not "8BPS". Large documents (version 2) keep
    /// their compression unknown, since their sections are sized differently.
    bool ReadImageProperties(TStream& Stream, uint32_t ImageIndex) override;
    /// Loads the merged image. Raises "Cannot load image. Invalid or unexpected
    /// PSD or PDD image format." for what it cannot show (large documents, ZIP
    /// data, fewer channels than the colour mode needs) and "Stream read error"
    /// when the data the header promises is not in the stream.
    void LoadFromStream(TStream& Stream) override;
};

} // namespace qv
