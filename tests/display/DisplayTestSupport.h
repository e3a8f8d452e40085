#pragma once
// Helpers shared by the display tests: owned test surfaces, assertion checks
// and a seeded pixel generator.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "display/Pix32.h"
#include "platform/Exceptions.h"

namespace qvtest {

/// Runs Statement and requires an assertion failure carrying Message.
#define EXPECT_QV_ASSERTION(Statement, Message)                                    \
    do {                                                                           \
        try {                                                                      \
            Statement;                                                             \
            ADD_FAILURE() << "no assertion failure from " #Statement;              \
        } catch (const ::qv::EAssertionFailed& Failure) {                          \
            EXPECT_EQ(Failure.Text(), Message);                                    \
        }                                                                          \
    } while (0)

/// A surface over a vector of pixels, rows top-down, optionally with padding
/// between rows or stored bottom-up (negative stride), so routines are tested
/// on every row layout.
class TTestSurface {
public:
    TTestSurface(int32_t Width, int32_t Height, int32_t Padding = 0, bool BottomUp = false)
        : FPitch(Width + Padding), FPixels(static_cast<size_t>(FPitch) * std::max(Height, 1), 0) {
        FSurface.Width = Width;
        FSurface.Height = Height;
        FSurface.Stride = FPitch * 4 * (BottomUp ? -1 : 1);
        FSurface.Bits = FPixels.data() + (BottomUp ? static_cast<size_t>(FPitch) * (std::max(Height, 1) - 1) : 0);
    }
    const qv::TSurface& Surface() const { return FSurface; }
    operator const qv::TSurface&() const { return FSurface; }
    qv::TPixel32& At(int32_t X, int32_t Y) {
        return FSurface.Bits[static_cast<ptrdiff_t>(Y) * (FSurface.Stride / 4) + X];
    }
    qv::TPixel32 At(int32_t X, int32_t Y) const {
        return FSurface.Bits[static_cast<ptrdiff_t>(Y) * (FSurface.Stride / 4) + X];
    }
    /// True when no routine wrote into the padding between rows (kept 0).
    bool PaddingUntouched() const {
        for (size_t I = 0; I < FPixels.size(); ++I)
            if (static_cast<int32_t>(I % FPitch) >= FSurface.Width && FPixels[I] != 0) return false;
        return true;
    }

private:
    int32_t FPitch;
    std::vector<qv::TPixel32> FPixels;
    qv::TSurface FSurface;
};

/// Pixels whose alpha is often exactly 0 or 255, otherwise anything.
inline qv::TPixel32 RandomPixel(std::mt19937& Rng) {
    const uint32_t Value = Rng();
    switch (Rng() % 4) {
    case 0: return Value | 0xFF000000u;
    case 1: return Value & 0x00FFFFFFu;
    default: return Value;
    }
}

inline void FillRandom(TTestSurface& S, std::mt19937& Rng) {
    for (int32_t Y = 0; Y < S.Surface().Height; ++Y)
        for (int32_t X = 0; X < S.Surface().Width; ++X) S.At(X, Y) = RandomPixel(Rng);
}

} // namespace qvtest
