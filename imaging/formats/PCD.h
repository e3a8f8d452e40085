#pragma once
// Kodak Photo-CD image packs.

#include "imaging/ImageLib.h"

namespace qv {

/// Reads the 768 x 512 base image of a Photo-CD image pack (uncompressed PhotoYCC luma and
/// half-size chroma), turned a quarter when the pack says so. Read only.
class TPCDGraphic : public TImageGraphic {
    QV_DECLARE_GRAPHIC_CLASS(TPCDGraphic)
public:
    /// True for an image pack or an overview file; the stream position is kept.
    bool CanLoadStream(TStream& Stream) const override;
    /// Fills ImageProperties for resolution ImageIndex (0 to 5; overview files 0); false
    /// when neither signature is present.
    bool ReadImageProperties(TStream& Stream, uint32_t ImageIndex) override;
    void LoadFromStream(TStream& Stream) override;
};

} // namespace qv
