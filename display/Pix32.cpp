#include "display/Pix32.h"

#include <new>

#include "platform/Exceptions.h"

namespace qv {

namespace {

constexpr const char* InvalidBitmapForSurface = "invalid bitmap for Surface";
constexpr const char* ScanlineOutOfRange = "scanline index out of range";
constexpr const char* AssertionFailure = "Assertion failure";

// The platform colour's red sits in the low byte, the pixel's blue does.
constexpr TPixel32 SwapRedBlue(uint32_t RGB) {
    return (RGB & 0x0000FF00u) | (RGB & 0xFFu) << 16 | (RGB >> 16 & 0xFFu);
}

} // namespace

TPixel32 ColorToPixel(TColor Color) {
    const uint32_t RGB = static_cast<uint32_t>(ColorToRGB(Color)) & 0x00FFFFFFu;
    return SwapRedBlue(RGB) | 0xFF000000u;
}

std::unique_ptr<TBitmap> New32BitBitmap(int Width, int Height) {
    auto Bitmap = std::make_unique<TBitmap>();
    Bitmap->SetPixelFormat(pf32bit);
    Bitmap->SetSize(Width, Height);
    return Bitmap;
}

void Ensure32Bit(TBitmap& Bitmap) {
    if (Bitmap.PixelFormat() == pf32bit) return;
    Bitmap.SetPixelFormat(pf32bit);
    SetBitmapAlpha(Bitmap, 255);
}

void TakeAs32Bit(TBitmap& Dest, TBitmap& Source) {
    Dest.FreeImage();
    Dest.TakeFrom(Source);
    if (!Dest.Empty()) Ensure32Bit(Dest);
}

void SetBitmapAlpha(TBitmap& Bitmap, uint8_t Alpha) {
    QV_ASSERT(Bitmap.PixelFormat() == pf32bit, AssertionFailure);
    const int Width = Bitmap.Width();
    const int Height = Bitmap.Height();
    const TPixel32 AlphaBits = static_cast<TPixel32>(Alpha) << 24;
    if (Bitmap.Transparent()) {
        const TPixel32 Key = SwapRedBlue(static_cast<uint32_t>(Bitmap.TransparentColor()) & 0x00FFFFFFu);
        for (int Y = 0; Y < Height; ++Y) {
            auto* Row = reinterpret_cast<TPixel32*>(Bitmap.ScanLine(Y));
            for (int X = 0; X < Width; ++X) {
                const TPixel32 Colour = Row[X] & 0x00FFFFFFu;
                Row[X] = Colour | (Colour == Key ? 0u : AlphaBits);
            }
        }
        return;
    }
    for (int Y = 0; Y < Height; ++Y) {
        auto* Row = reinterpret_cast<TPixel32*>(Bitmap.ScanLine(Y));
        for (int X = 0; X < Width; ++X) Row[X] = (Row[X] & 0x00FFFFFFu) | AlphaBits;
    }
}

TRect BitmapBounds(const TBitmap& Bitmap) { return Rect(0, 0, Bitmap.Width(), Bitmap.Height()); }

TSurface SurfaceFromBitmap(TBitmap& Bitmap) { return SurfaceFromBitmapRect(Bitmap, BitmapBounds(Bitmap)); }

TSurface SurfaceFromBitmapRect(TBitmap& Bitmap, const TRect& R) {
    QV_ASSERT(Bitmap.PixelFormat() == pf32bit && Bitmap.Height() > 0, InvalidBitmapForSurface);
    QV_ASSERT(R.Left >= 0 && R.Top >= 0 && R.Right <= Bitmap.Width() && R.Bottom <= Bitmap.Height(),
              AssertionFailure);
    QV_ASSERT(R.Left < R.Right && R.Top < R.Bottom, AssertionFailure);
    TSurface Surface;
    Surface.Width = R.Right - R.Left;
    Surface.Height = R.Bottom - R.Top;
    // A bitmap one row high has no row 1 to measure the stride by; it is never needed.
    if (Surface.Height >= 2)
        Surface.Stride = static_cast<int32_t>(Bitmap.ScanLine(1) - Bitmap.ScanLine(0));
    Surface.Bits = reinterpret_cast<TPixel32*>(Bitmap.ScanLine(R.Top)) + R.Left;
    return Surface;
}

TSurface SubSurface(const TSurface& Surface, const TRect& R) {
    QV_ASSERT(R.Left >= 0 && R.Top >= 0 && R.Right <= Surface.Width && R.Bottom <= Surface.Height,
              AssertionFailure);
    // A reversed rectangle would describe a surface of negative size.
    QV_ASSERT(R.Left <= R.Right && R.Top <= R.Bottom, AssertionFailure);
    TSurface Result;
    Result.Bits = SurfaceScanline(Surface, R.Top) + R.Left;
    Result.Width = R.Right - R.Left;
    Result.Height = R.Bottom - R.Top;
    Result.Stride = Surface.Stride;
    return Result;
}

TRect SurfaceBounds(const TSurface& Surface) { return Rect(0, 0, Surface.Width, Surface.Height); }

TPixel32* AllocSurface(int32_t Width, int32_t Height, TSurface& Surface) {
    QV_ASSERT(Width > 0 && Height > 0, AssertionFailure);
    const int64_t Pixels = int64_t{Width} * Height;
    if (Pixels > TBitmap::MaxPixels)
        throw EOutOfMemory("Surface of " + std::to_string(Width) + "x" + std::to_string(Height) +
                           " pixels exceeds the picture size limit");
    std::unique_ptr<TPixel32[]> Block;
    try {
        Block = std::make_unique_for_overwrite<TPixel32[]>(static_cast<size_t>(Pixels));
    } catch (const std::bad_alloc&) {
        throw EOutOfMemory();
    }
    Surface.Width = Width;
    Surface.Height = Height;
    Surface.Stride = Width * 4;
    // Ownership passes to the record; FreeSurface takes it back.
    Surface.Bits = Block.release();
    return Surface.Bits;
}

void FreeSurface(TSurface& Surface) {
    std::unique_ptr<TPixel32[]> Block(Surface.Bits);
    Surface = TSurface{};
}

TPixel32* SurfaceScanline(const TSurface& Surface, int32_t Y) {
    QV_ASSERT(Y >= 0 && Y < Surface.Height, ScanlineOutOfRange);
    return reinterpret_cast<TPixel32*>(reinterpret_cast<uint8_t*>(Surface.Bits) +
                                       static_cast<ptrdiff_t>(Y) * Surface.Stride);
}

bool SurfaceIsOpaque(const TSurface& Surface) {
    for (int32_t Y = 0; Y < Surface.Height; ++Y) {
        const TPixel32* Row = SurfaceScanline(Surface, Y);
        for (int32_t X = 0; X < Surface.Width; ++X)
            if (Row[X] < 0xFF000000u) return false;
    }
    return true;
}

} // namespace qv
