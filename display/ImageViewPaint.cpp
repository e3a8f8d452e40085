#include "display/ImageViewPaint.h"

#include <algorithm>

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
