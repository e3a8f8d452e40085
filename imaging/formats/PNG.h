#pragma once
// Portable Network Graphics: the chunk walk with its checksums, one deflate
// stream across the image data chunks, the five row filters and Adam7
// interlacing, converted row by row into the picture.

#include <cstdint>

#include "imaging/ImageLib.h"

namespace qv {

/// Reads PNG files. Grey pictures become indexed pictures with a grey palette,
/// RGB 24 bits, RGBA 32 bits; 16-bit samples are reduced to 8 bits and a gAMA
/// chunk is applied. A grey or RGB tRNS colour becomes the transparent colour.
class TPNGGraphic : public TImageGraphic {
    QV_DECLARE_GRAPHIC_CLASS(TPNGGraphic)
public:
    TPNGGraphic();
    ~TPNGGraphic() override;

    /// True when more than 8 bytes remain and they are the PNG signature; the position is kept.
    bool CanLoadStream(TStream& Stream) const override;
    /// Fills ImageProperties from the header chunk, and FileGamma from a gAMA chunk
    /// before IEND; false when the data is not a PNG file. The image index is ignored.
    bool ReadImageProperties(TStream& Stream, uint32_t ImageIndex) override;
    /// Decodes the whole image into the picture.
    void LoadFromStream(TStream& Stream) override;

private:
    /// The state of one load; every load starts from a fresh one.
    class TLoad;
};

/// Decodes one PNG-compressed icon entry into Bitmap (the icon reader's PNG hook):
/// RGBA entries keep their alpha, and a grey or RGB transparent colour becomes
/// alpha 0 in a 32-bit copy.
void DecodePNGIconEntry(TStream& Stream, TBitmap& Bitmap);

} // namespace qv
