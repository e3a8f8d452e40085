#pragma once
// Device-independent bitmap records shared by the Windows bitmap and icon
// readers: the bitmap header in every version, its palette and its pixels.

#include <cstdint>
#include <vector>

#include "platform/Graphics.h"

namespace qv {

/// Compression field of a bitmap header.
enum class TDibCompression : uint32_t { Rgb = 0, Rle8 = 1, Rle4 = 2, BitFields = 3, Jpeg = 4, Png = 5, AlphaBitFields = 6 };

/// One bitmap header, whatever its version, with the bit-field masks that
/// belong to it.
struct TDibHeader {
    uint32_t HeaderSize = 0;
    int32_t Width = 0;
    int32_t Height = 0;        ///< always positive; see TopDown
    bool TopDown = false;
    uint16_t BitCount = 0;
    TDibCompression Compression = TDibCompression::Rgb;
    uint32_t ColorsUsed = 0;
    uint32_t RedMask = 0;
    uint32_t GreenMask = 0;
    uint32_t BlueMask = 0;
    uint32_t AlphaMask = 0;
    bool HasMasks = false;     ///< the masks above come from the file
    int PaletteEntrySize = 4;  ///< 3 for the core header's triples

    /// Palette entries stored in the file after the header (0 above 8 bits).
    int64_t StoredPaletteEntries() const;
    /// Bytes of one stored, uncompressed row (padded to 4).
    int64_t StoredRowBytes() const;
};

/// Reads a bitmap header (core 12, OS/2 16 and 64, info 40, 52, 56, v4 108,
/// v5 124) and the masks that follow a 40-byte header, from the stream's
/// position. Raises EInvalidGraphic for unsupported or impossible headers and
/// sizes beyond the bitmap limits, EReadError when the bytes are missing.
TDibHeader ReadDibHeader(TStream& Stream);

/// Reads the palette that follows the header (at most MaxEntries entries) and
/// extends it with black to every index the bit count can address, so that
/// no stored index can fall outside it.
std::vector<TRGBQuad> ReadDibPalette(TStream& Stream, const TDibHeader& Header, int64_t MaxEntries = INT64_MAX);

/// Reads the pixel data from the stream's position into Bitmap, which gets
/// the matching pixel format, the size and the palette. Returns true when
/// the alpha of a 32-bit result comes from the file (false: made opaque).
bool ReadDibPixels(TStream& Stream, const TDibHeader& Header, std::vector<TRGBQuad> Palette, TBitmap& Bitmap);

} // namespace qv
