#pragma once
// Encapsulated PostScript files with a binary header and a TIFF preview: the
// preview is shown through the TIFF reader; the PostScript is not interpreted.

#include "imaging/formats/TIFF.h"

namespace qv {

class TEPSGraphic : public TTIFFGraphic {
    QV_DECLARE_GRAPHIC_CLASS(TEPSGraphic)
public:
    /// True when more than 30 bytes remain, the header's signature is there, the TIFF offset
    /// lies beyond the header and the TIFF length is positive. The position is kept.
    bool CanLoadStream(TStream& Stream) const override;
    /// Reads the 30-byte header and loads the TIFF preview it points at.
    void LoadFromStream(TStream& Stream) override;
};

} // namespace qv
