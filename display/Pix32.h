#pragma once
// 32-bit pixel surfaces: one uniform view of pixel memory (width, height,
// signed byte stride, first pixel) over a 32-bit bitmap or a block of its own,
// plus the few bitmap utilities every caller needs around surfaces.

#include <cstdint>
#include <memory>

#include "platform/Colors.h"
#include "platform/Graphics.h"
#include "platform/Types.h"

namespace qv {

/// One pixel: bytes blue, green, red, alpha in memory; read as a little-endian
/// word alpha << 24 | red << 16 | green << 8 | blue. Not premultiplied.
using TPixel32 = uint32_t;

/// A rectangle of 32-bit pixels. A plain value: copying it copies the
/// description, never the pixels. Stride is in bytes and may be negative
/// (bottom-up bitmaps); Bits is the first pixel of row 0.
struct TSurface {
    int32_t Width = 0;
    int32_t Height = 0;
    int32_t Stride = 0;
    TPixel32* Bits = nullptr;
};

/// Channel accessors and the pixel layout in one place.
constexpr uint8_t PixelBlue(TPixel32 P) { return static_cast<uint8_t>(P); }
constexpr uint8_t PixelGreen(TPixel32 P) { return static_cast<uint8_t>(P >> 8); }
constexpr uint8_t PixelRed(TPixel32 P) { return static_cast<uint8_t>(P >> 16); }
constexpr uint8_t PixelAlpha(TPixel32 P) { return static_cast<uint8_t>(P >> 24); }

/// The pixel with the given components.
constexpr TPixel32 MakePixel(uint8_t Red, uint8_t Green, uint8_t Blue, uint8_t Alpha) {
    return static_cast<TPixel32>(Alpha) << 24 | static_cast<TPixel32>(Red) << 16 |
           static_cast<TPixel32>(Green) << 8 | Blue;
}

/// The platform colour resolved by ColorToRGB, red and blue exchanged into
/// pixel order, alpha 255.
TPixel32 ColorToPixel(TColor Color);

/// A new bitmap in 32-bit pixel format of the given size; content undefined.
std::unique_ptr<TBitmap> New32BitBitmap(int Width, int Height);

/// Brings a bitmap of any other format to 32 bits and gives it a defined alpha
/// (SetBitmapAlpha with 255); a bitmap already in 32 bits is left untouched.
void Ensure32Bit(TBitmap& Bitmap);

/// Makes Dest hold Source's picture in 32 bits, as Ensure32Bit would, taking
/// Source's pixels over instead of copying them (Source is left empty): the
/// picture and its 32-bit form are the most ever held at once.
void TakeAs32Bit(TBitmap& Dest, TBitmap& Source);

/// Writes the alpha byte of every pixel of a 32-bit bitmap: Alpha, or 0 where a
/// transparent bitmap's pixel has its transparent colour. Colours are kept.
void SetBitmapAlpha(TBitmap& Bitmap, uint8_t Alpha);

/// The rectangle (0, 0, width, height) of a bitmap.
TRect BitmapBounds(const TBitmap& Bitmap);

/// A surface over a whole 32-bit bitmap (SurfaceFromBitmapRect with BitmapBounds).
TSurface SurfaceFromBitmap(TBitmap& Bitmap);

/// A surface over a non-empty rectangle of a 32-bit bitmap; raises
/// "invalid bitmap for Surface" for another format or an empty bitmap.
TSurface SurfaceFromBitmapRect(TBitmap& Bitmap, const TRect& R);

/// A surface over a rectangle of another surface, sharing its pixels and stride.
TSurface SubSurface(const TSurface& Surface, const TRect& R);

/// The rectangle (0, 0, Width, Height) of a surface.
TRect SurfaceBounds(const TSurface& Surface);

/// True when the surface has no pixel memory.
inline bool SurfaceIsEmpty(const TSurface& Surface) { return Surface.Bits == nullptr; }

/// Gives the surface a new block of Width x Height pixels, rows top-down and
/// contiguous, content undefined; returns Bits. Raises EOutOfMemory (surface
/// untouched) when the block cannot be had. Release it with FreeSurface.
TPixel32* AllocSurface(int32_t Width, int32_t Height, TSurface& Surface);

/// Releases a block from AllocSurface and clears the record; safe on an empty surface.
void FreeSurface(TSurface& Surface);

/// Address of the first pixel of row Y; raises "scanline index out of range" outside 0..Height-1.
TPixel32* SurfaceScanline(const TSurface& Surface, int32_t Y);

/// True when no pixel has alpha below 255 (a surface with no rows is opaque).
bool SurfaceIsOpaque(const TSurface& Surface);

/// Owns one surface allocated with AllocSurface and frees it when it goes.
class TOwnedSurface {
public:
    TOwnedSurface() = default;
    /// Allocates Width x Height pixels, content undefined.
    TOwnedSurface(int32_t Width, int32_t Height) { AllocSurface(Width, Height, FSurface); }
    ~TOwnedSurface() { FreeSurface(FSurface); }
    TOwnedSurface(TOwnedSurface&& Other) noexcept : FSurface(Other.FSurface) { Other.FSurface = TSurface{}; }
    TOwnedSurface& operator=(TOwnedSurface&& Other) noexcept {
        if (this != &Other) {
            FreeSurface(FSurface);
            FSurface = Other.FSurface;
            Other.FSurface = TSurface{};
        }
        return *this;
    }
    TOwnedSurface(const TOwnedSurface&) = delete;
    TOwnedSurface& operator=(const TOwnedSurface&) = delete;

    /// The surface description (valid while this object holds the block).
    const TSurface& Surface() const { return FSurface; }
    operator const TSurface&() const { return FSurface; }

private:
    TSurface FSurface;
};

} // namespace qv
