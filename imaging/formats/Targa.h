#pragma once
// Truevision Targa: uncompressed and run-length encoded pictures, read and written.

#include "imaging/ImageLib.h"

namespace qv {

/// Reads Targa image types 1, 2, 3 and their run-length forms 9, 10, 11 (type 0 has
/// no pixels) at 8, 15, 16, 24 and 32 bits; the stored blue, green, red (alpha) bytes
/// are the picture's own. Writes run-length encoded files.
class TTargaGraphic : public TImageGraphic {
    QV_DECLARE_GRAPHIC_CLASS(TTargaGraphic)
public:
    /// True when more than 18 bytes remain and the header's image type, colour map
    /// type, colour map entry size and pixel depth are ones the reader knows.
    bool CanLoadStream(TStream& Stream) const override;
    /// Size and pixel layout from the 18-byte header; always true.
    bool ReadImageProperties(TStream& Stream, uint32_t ImageIndex) override;
    void LoadFromStream(TStream& Stream) override;
    /// Writes the picture run-length encoded, rows top first: 8-bit pictures with a
    /// 256-entry colour map (1- and 4-bit pictures become 8-bit first), 15- and 16-bit
    /// ones as 5-5-5, the others at 24 or 32 bits. An empty picture writes nothing;
    /// one wider or higher than 65535 pixels raises EInvalidGraphic.
    void SaveToStream(TStream& Stream) override;
};

} // namespace qv
