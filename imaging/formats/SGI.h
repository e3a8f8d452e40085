#pragma once
// SGI image files (sgi, rgb, rgba, bw).

#include "imaging/ImageLib.h"

namespace qv {

/// Reads SGI images: grey, RGB and RGBA channel planes of 8 or 16 bits, verbatim or run-length
/// encoded, stored bottom row first. Read only.
class TSGIGraphic : public TImageGraphic {
    QV_DECLARE_GRAPHIC_CLASS(TSGIGraphic)
public:
    /// True for an SGI header; the stream position is kept.
    bool CanLoadStream(TStream& Stream) const override;
    /// Fills ImageProperties from the header; false when the magic number is wrong.
    bool ReadImageProperties(TStream& Stream, uint32_t ImageIndex) override;
    void LoadFromStream(TStream& Stream) override;
};

} // namespace qv
