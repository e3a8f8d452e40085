#pragma once
// ZSoft Paintbrush (PCX) and Word screen capture (SCR) pictures.

#include "imaging/ImageLib.h"

namespace qv {

/// Reads PCX files: 1, 2, 4 and 8-bit palette pictures in one plane, 16 colours in four
/// 1-bit planes, 24-bit pictures in three 8-bit planes and 32-bit ones in four, stored
/// or run-length encoded. Read only.
class TPCXGraphic : public TImageGraphic {
    QV_DECLARE_GRAPHIC_CLASS(TPCXGraphic)
public:
    /// True for a header of a PCX or screen capture file; the stream position is kept.
    bool CanLoadStream(TStream& Stream) const override;
    /// Fills ImageProperties from the header; false when it is not a PCX header.
    bool ReadImageProperties(TStream& Stream, uint32_t ImageIndex) override;
    void LoadFromStream(TStream& Stream) override;
};

} // namespace qv
