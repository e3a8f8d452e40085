#include "display/ImageViewPaint.h"

#include <algorithm>
#include <cmath>

#include "display/PixRender.h"

namespace qv {

bool ImageViewUsesBilinear(TImageViewMode Mode, int32_t Scale) {
    switch (Mode) {
    case ivSubsample: return false;
    case ivLinear: return true;
    case ivAuto: return Scale > 100;
    }
    return Scale > 100;
}

namespace {

int32_t ClampAxis(int32_t Offset, int32_t Display, int32_t View) {
    if (Display <= View) return 0;
    // Integer division truncates toward zero on both bounds, as the drag limit is defined.
    return std::clamp(Offset, (View - Display) / 2, (Display - View) / 2);
}

/// Displayed length of a side at Scale percent; a 32-bit result since sides
/// are at most 2^20 and scales at most 500.
int32_t ScaledSide(int32_t Side, int32_t Scale) {
    return static_cast<int32_t>(int64_t{Side} * Scale / 100);
}

} // namespace

TPoint ClampViewOffset(const TPoint& Offset, int32_t DisplayW, int32_t DisplayH, int32_t ViewW, int32_t ViewH) {
    return TPoint{ClampAxis(Offset.X, DisplayW, ViewW), ClampAxis(Offset.Y, DisplayH, ViewH)};
}

TRect ImageViewDestRect(int32_t SourceW, int32_t SourceH, int32_t Scale, const TPoint& Offset, int32_t ViewW,
                        int32_t ViewH) {
    const int32_t DW = ScaledSide(SourceW, Scale);
    const int32_t DH = ScaledSide(SourceH, Scale);
    const TRect Centred{-DW / 2, -DH / 2, -DW / 2 + DW, -DH / 2 + DH};
    return OffsetRect(Centred, ViewW / 2 + Offset.X, ViewH / 2 + Offset.Y);
}

TDeviceSpan DeviceSpan(int32_t Origin, int32_t Size, double Ratio) {
    const auto Edge = [Ratio](int64_t Logical) { return static_cast<int32_t>(std::llround(double(Logical) * Ratio)); };
    const int32_t First = Edge(Origin);
    return TDeviceSpan{First, std::max(0, Edge(int64_t{Origin} + Size) - First)};
}

void PaintFramedImageView(const TSurface& Dest, TBitmap& Picture, int32_t Scale, TImageViewMode Mode, TColor Color,
                          TPoint& Offset) {
    if (SurfaceIsEmpty(Dest)) return;
    const TColor C = ColorToRGB(Color);
    const auto Adjusted = [C](int Amount) {
        const auto Channel = [Amount](int V) { return static_cast<uint8_t>(std::clamp(V + Amount, 0, 255)); };
        return ColorToPixel(RGB(Channel(GetRValue(C)), Channel(GetGValue(C)), Channel(GetBValue(C))));
    };
    const int32_t W = Dest.Width;
    const int32_t H = Dest.Height;
    const TPixel32 Dark = Adjusted(-128);
    const TPixel32 Light = Adjusted(128);
    FillSurfaceRect(Dest, Rect(0, 0, W - 1, 1), Dark);
    FillSurfaceRect(Dest, Rect(0, 0, 1, H - 1), Dark);
    FillSurfaceRect(Dest, Rect(0, H - 1, W, H), Light);
    FillSurfaceRect(Dest, Rect(W - 1, 0, W, H), Light);
    if (W <= 2 || H <= 2) return;
    PaintImageView(SubSurface(Dest, Rect(1, 1, W - 1, H - 1)), Picture, Scale, Mode, Color, Offset);
}

void PaintImageView(const TSurface& Dest, TBitmap& Picture, int32_t Scale, TImageViewMode Mode, TColor Color,
                    TPoint& Offset) {
    if (SurfaceIsEmpty(Dest)) return;
    FillSurfaceRect(Dest, SurfaceBounds(Dest), ColorToPixel(Color));
    if (Picture.Empty()) return;

    // Normally already 32-bit; any other format is brought there opaque.
    Ensure32Bit(Picture);
    const TSurface Source = SurfaceFromBitmap(Picture);
    Offset = ClampViewOffset(Offset, ScaledSide(Source.Width, Scale), ScaledSide(Source.Height, Scale), Dest.Width,
                             Dest.Height);
    const TRect R = ImageViewDestRect(Source.Width, Source.Height, Scale, Offset, Dest.Width, Dest.Height);
    if (ImageViewUsesBilinear(Mode, Scale))
        StretchBlendBilinear(Dest, Source, R, 255);
    else
        StretchBlendBox(Dest, Source, R);
}

} // namespace qv
