#pragma once
// CompuServe GIF: the first image of a file (87a or 89a) as an 8-bit palette picture.

#include "imaging/ImageLib.h"

namespace qv {

/// Reads the first image of a GIF file; extensions are skipped, the decoded
/// palette indices are the picture's pixels. Reads only.
class TGIFGraphic : public TImageGraphic {
    QV_DECLARE_GRAPHIC_CLASS(TGIFGraphic)
public:
    /// True when more than 22 bytes remain and they start with "GIF" in any letter case.
    bool CanLoadStream(TStream& Stream) const override;
    /// Version, size of the first image (the screen's where the image gives 0), the
    /// colour table depth and the interlace flag. False when the signature is wrong.
    bool ReadImageProperties(TStream& Stream, uint32_t ImageIndex) override;
    /// Loads the first image; a file without one gives an empty 8-bit picture.
    void LoadFromStream(TStream& Stream) override;
};

} // namespace qv
