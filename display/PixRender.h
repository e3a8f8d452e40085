#pragma once
// The stretch renderer: draws one surface into a rectangle of another in
// 16.16 fixed point (bilinear blend, two-by-two box blend, nearest copy) and
// fills rectangles. The blends never write the destination's alpha byte.

#include <cstdint>

#include "display/Pix32.h"
#include "platform/Types.h"

namespace qv {

/// Sampling set-up of one stretch: 16.16 steps and start positions, and the
/// clipped destination span (first inclusive, end exclusive).
struct TStretchClip {
    int64_t XStep = 0;
    int64_t XStart = 0;
    int64_t YStep = 0;
    int64_t YStart = 0;
    int32_t XEnd = 0;
    int32_t XFirst = 0;
    int32_t YEnd = 0;
    int32_t YFirst = 0;
};

/// Computes the steps and the clipped span for drawing Source onto rectangle R
/// of Dest (R may reach outside Dest; Right < Left or Bottom < Top mirror);
/// returns false when nothing is to be drawn.
bool ComputeStretchClip(const TSurface& Dest, const TSurface& Source, const TRect& R, TStretchClip& Clip);

/// Bilinear resampling of Source onto R, blended over Dest by source alpha x Opacity.
void StretchBlendBilinear(const TSurface& Dest, const TSurface& Source, const TRect& R, uint8_t Opacity);

/// Two-by-two averaging of Source onto R, blended over Dest by the averaged alpha.
void StretchBlendBox(const TSurface& Dest, const TSurface& Source, const TRect& R);

/// Nearest-neighbour copy of whole pixels (alpha included) of Source onto R.
void StretchCopyNearest(const TSurface& Dest, const TSurface& Source, const TRect& R);

/// Stores Pixel into every position of R, which must lie within the surface.
void FillSurfaceRect(const TSurface& Surface, const TRect& R, TPixel32 Pixel);

} // namespace qv
