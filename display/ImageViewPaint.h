#pragma once
// The image view's painting, free of any toolkit: fills the inner area of the
// view with its colour and draws the picture centred, panned and scaled.

#include <cstdint>

#include "display/Pix32.h"
#include "platform/Colors.h"
#include "platform/Graphics.h"
#include "platform/Types.h"

namespace qv {

/// Resampling choice of the image view.
enum TImageViewMode : uint8_t {
    ivSubsample = 0,  ///< always the two-by-two box resampling
    ivLinear = 1,     ///< always bilinear
    ivAuto = 2        ///< bilinear when enlarging (Scale > 100), box otherwise
};

/// Zoom limits of the image view, in percent.
constexpr int32_t MinViewScale = 25;
constexpr int32_t MaxViewScale = 500;

/// True when a picture at Scale percent is drawn with the bilinear routine under Mode.
bool ImageViewUsesBilinear(TImageViewMode Mode, int32_t Scale);

/// Limits a pan offset to what keeps a picture of the displayed size DisplayW x
/// DisplayH inside a view of ViewW x ViewH: along an axis where the picture
/// fits the offset is 0, otherwise at most half the excess either way.
TPoint ClampViewOffset(const TPoint& Offset, int32_t DisplayW, int32_t DisplayH, int32_t ViewW, int32_t ViewH);

/// Where a picture of SourceW x SourceH lands in a view of ViewW x ViewH at
/// Scale percent with the (already clamped) pan offset.
TRect ImageViewDestRect(int32_t SourceW, int32_t SourceH, int32_t Scale, const TPoint& Offset, int32_t ViewW,
                        int32_t ViewH);

/// Paints the inner area Dest of the view: fills it with Color as an opaque
/// pixel, then, when Picture is not empty, brings Picture to 32 bits (Ensure32Bit) and draws
/// it at Scale percent, centred and moved by Offset, blended by its alpha.
/// Offset is clamped in place, so a drag beyond the edge is forgotten.
void PaintImageView(const TSurface& Dest, TBitmap& Picture, int32_t Scale, TImageViewMode Mode, TColor Color,
                    TPoint& Offset);

/// The device pixels a span of Size logical pixels starting at logical Origin
/// covers at a device pixel ratio: from round(Origin x Ratio) up to, not
/// including, round((Origin + Size) x Ratio). At fractional ratios this count
/// can differ from round(Size x Ratio) by one either way.
struct TDeviceSpan {
    int32_t First = 0;
    int32_t Count = 0;
};
TDeviceSpan DeviceSpan(int32_t Origin, int32_t Size, double Ratio);

/// Paints the whole view into Dest, whose pixels are the view's device pixels:
/// the one-pixel sunken frame (top and left Color darkened by 128, bottom and
/// right lightened by 128) and, inside it, PaintImageView.
void PaintFramedImageView(const TSurface& Dest, TBitmap& Picture, int32_t Scale, TImageViewMode Mode, TColor Color,
                          TPoint& Offset);

} // namespace qv
