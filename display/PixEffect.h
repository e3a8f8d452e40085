#pragma once
// Layer blend modes: combines a base surface (what lies below) with a blend
// surface (the layer) pixel by pixel under one of ten modes and an opacity.
// Colours are not premultiplied; every mode computes colour and alpha.

#include <cstdint>

#include "display/Pix32.h"

namespace qv {

/// The blend modes in the order of the document's BlendMode byte.
enum class TBlendMode : uint8_t {
    Normal = 0,
    Multiply = 1,
    Screen = 2,
    SoftLight = 3,
    Color = 4,
    Luminosity = 5,
    Lighten = 6,
    Darken = 7,
    Invert = 8,
    Dissolve = 9
};

/// Number of defined modes; stored mode bytes at or above it act as Normal.
constexpr int BlendModeCount = 10;

/// A blend function: base pixel D, blend pixel S, result pixel.
using TBlendFunction = TPixel32 (*)(TPixel32 D, TPixel32 S);

/// The blend function of a stored mode byte (10..255 give Normal).
TBlendFunction GetBlendFunction(uint8_t Mode);

/// One pixel blended under a mode (the blend pixel's alpha already scaled by opacity).
inline TPixel32 BlendPixel(TPixel32 D, TPixel32 S, uint8_t Mode) { return GetBlendFunction(Mode)(D, S); }

/// Result = Base blended with Blend under Mode at Opacity (255 = the blend
/// pixels as they are). All three must have equal sizes ("Assertion failure");
/// Result may be Base itself. Dissolve draws from the runtime generator (Random).
void BlendSurfaces(const TSurface& Result, const TSurface& Base, const TSurface& Blend, uint8_t Opacity,
                   uint8_t Mode);

/// Same, with the mode named.
inline void BlendSurfaces(const TSurface& Result, const TSurface& Base, const TSurface& Blend, uint8_t Opacity,
                          TBlendMode Mode) {
    BlendSurfaces(Result, Base, Blend, Opacity, static_cast<uint8_t>(Mode));
}

} // namespace qv
