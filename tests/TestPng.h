#pragma once
// Reads the reference pictures of the shared corpus with libpng, a decoder
// independent of ours, into 8-bit RGBA (no gamma handling, 16-bit samples
// reduced to their high byte) so that readers can be compared against them.

#include <cstdint>
#include <string>
#include <vector>

namespace qvtest {

struct TRgbaImage {
    int Width = 0;
    int Height = 0;
    std::vector<uint8_t> Pixels; ///< red, green, blue, alpha; rows top-down

    const uint8_t* At(int X, int Y) const { return &Pixels[(static_cast<size_t>(Y) * Width + X) * 4]; }
};

/// Decodes a PNG file; throws std::runtime_error for what it cannot read.
TRgbaImage ReadPng(const std::string& Path);
TRgbaImage DecodePng(const std::vector<uint8_t>& Data);

} // namespace qvtest
