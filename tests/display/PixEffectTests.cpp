#include "display/PixEffect.h"

#include <gtest/gtest.h>

#include <functional>

#include "DisplayTestSupport.h"
#include "display/PixSimd.h"
#include "platform/System.h"

using namespace qv;
using qvtest::TTestSurface;

namespace {

// ---------------------------------------------------------------------------
// Reference blend: one mode per case, written out channel by channel in
// 64-bit arithmetic straight from the formulas.

int64_t Ch(TPixel32 P, int C) { return static_cast<int64_t>(P >> (8 * C) & 0xFF); }

int64_t FloorShift8(int64_t V) { return V >= 0 ? V / 256 : -((-V + 255) / 256); }

TPixel32 Pack(const int64_t (&Colour)[3], int64_t Alpha) {
    for (int64_t V : Colour) EXPECT_TRUE(V >= 0 && V <= 255) << V;
    return static_cast<TPixel32>(Alpha << 24 | Colour[2] << 16 | Colour[1] << 8 | Colour[0]);
}

TPixel32 ReferenceBlend(int Mode, TPixel32 D, TPixel32 S) {
    if (Mode >= 10) Mode = 0;
    const int64_t Da = Ch(D, 3), Sa = Ch(S, 3);
    if (Sa == 0) return D;
    if (Mode == 9) return Sa == 255 ? S : D;  // the random draw is checked apart
    const bool Opaque = Da == 255;
    const int64_t Ra = Da + Sa - Sa * Da / 255;
    const int64_t N = 255 * Ra;
    const int64_t K = Sa < 128 ? Sa : Sa + 1;
    const int64_t LumD = 77 * Ch(D, 2) + 150 * Ch(D, 1) + 29 * Ch(D, 0);
    const int64_t LumS = 77 * Ch(S, 2) + 150 * Ch(S, 1) + 29 * Ch(S, 0);
    int64_t R[3];
    int64_t Alpha = Opaque ? 255 : Ra;
    for (int C = 0; C < 3; ++C) {
        const int64_t d = Ch(D, C), s = Ch(S, C);
        switch (Mode) {
        case 0:
            if (Opaque) {
                R[C] = d + FloorShift8((s - d) * K);
            } else {
                const int64_t Kd = Da < 128 ? Da : Da + 1;
                const int64_t T = (255 - Sa) * Kd / 256;
                Alpha = Sa + T;
                R[C] = (s * Sa + d * T) / Alpha;
            }
            break;
        case 1:
            R[C] = Opaque ? (256 - K + s * K / 256) * d / 256
                          : (Sa * s * (d * Da / 255 + 255 - Da) + d * (255 - Sa) * Da) / N;
            break;
        case 2:
            R[C] = Opaque ? d + s * Sa * (255 - d) / 65025 : (((65025 - d * Da) * s / 65025) * Sa + d * Da) / Ra;
            break;
        case 3:
            if (Opaque) {
                const int64_t U = d + 2 * (255 - d) * s / 255;
                R[C] = (U * Sa + (255 - Sa) * 255) * d / 65025;
            } else {
                Alpha = Da + (255 - Da) * Sa / 255;
                const int64_t V = (2 * (255 - d) * s + 255 * d) * Sa / 65025;
                R[C] = std::min<int64_t>(((V + 255 - Sa) * Da * d + s * (255 - Da) * Sa) / (255 * Alpha), 255);
            }
            break;
        case 4:
        case 5: {
            // Signed quotients truncate toward zero, as C++ division does.
            const int64_t Target = Mode == 4 ? s + (LumD - LumS) / 256 : d + (LumS - LumD) / 256;
            const int64_t Cc = std::clamp<int64_t>(Target, 0, 255);
            R[C] = Opaque ? (Cc * Sa + (255 - Sa) * d) / 255
                          : (Cc * Da * Sa + d * (255 - Sa) * Da + s * (255 - Da) * Sa) / N;
            break;
        }
        case 6:
        case 7:
            if (Opaque) {
                const int64_t M = d + (s - d) * Sa / 255;
                R[C] = Mode == 6 ? std::max(d, M) : std::min(d, M);
            } else {
                const int64_t A = s * Sa * 255 + d * (255 - Sa) * Da;
                const int64_t B = d * Da * 255 + s * (255 - Da) * Sa;
                R[C] = (Mode == 6 ? std::max(A, B) : std::min(A, B)) / N;
            }
            break;
        case 8:
            R[C] = Opaque ? d + Sa - 2 * Sa * d / 255 : ((255 - d) * Sa * 255 + d * (255 - Sa) * Da) / N;
            break;
        }
    }
    return Pack(R, Alpha);
}

// The layer pixel as the blend sees it at an opacity below 255.
TPixel32 Faded(TPixel32 S, int Opacity) {
    if (Opacity == 255) return S;
    const int64_t K = Opacity < 128 ? Opacity : Opacity + 1;
    return (S & 0x00FFFFFFu) | static_cast<TPixel32>(Ch(S, 3) * K / 256) << 24;
}

void ForEachSimdLevel(const std::function<void(TSimdLevel)>& Body) {
    for (TSimdLevel Level : {TSimdLevel::Scalar, TSimdLevel::AVX2}) {
        if (Level > SupportedSimdLevel()) continue;
        SetSimdLevel(Level);
        Body(Level);
    }
    SetSimdLevel(SupportedSimdLevel());
}

constexpr int KeyAlphas[] = {0, 1, 127, 128, 254, 255};

// Base and layer over 256 x 256 whose three colour channels together hold
// every (blend, base) pair: blue (x, y), green (y, x), red (x ^ 0x5A, y).
void FillPairs(TTestSurface& Base, TTestSurface& Layer, int Da, int Sa) {
    for (int Y = 0; Y < 256; ++Y)
        for (int X = 0; X < 256; ++X) {
            Base.At(X, Y) = MakePixel(static_cast<uint8_t>(Y), static_cast<uint8_t>(X), static_cast<uint8_t>(Y),
                                      static_cast<uint8_t>(Da));
            Layer.At(X, Y) = MakePixel(static_cast<uint8_t>(X ^ 0x5A), static_cast<uint8_t>(Y),
                                       static_cast<uint8_t>(X), static_cast<uint8_t>(Sa));
        }
}

class BlendModeExhaustive : public ::testing::TestWithParam<int> {};

} // namespace

TEST_P(BlendModeExhaustive, EveryChannelPairOverKeyAlphasAndOpacities) {
    const int Mode = GetParam();
    ForEachSimdLevel([&](TSimdLevel Level) {
        // Only normal mode has a vector path.
        if (Mode != 0 && Level != SupportedSimdLevel()) return;
        TTestSurface Base(256, 256), Layer(256, 256, 3, true), Result(256, 256, 1, true);
        for (int Da : KeyAlphas)
            for (int Sa : KeyAlphas) {
                FillPairs(Base, Layer, Da, Sa);
                for (int Opacity : {255, 100, 200}) {
                    // Opacity 200 also blends in place (the result is the base).
                    const bool InPlace = Opacity == 200;
                    if (InPlace) FillPairs(Base, Layer, Da, Sa);
                    BlendSurfaces(InPlace ? Base : Result, Base, Layer, static_cast<uint8_t>(Opacity),
                                  static_cast<uint8_t>(Mode));
                    const TTestSurface& Out = InPlace ? Base : Result;
                    for (int Y = 0; Y < 256; ++Y)
                        for (int X = 0; X < 256; ++X) {
                            const TPixel32 D = MakePixel(static_cast<uint8_t>(Y), static_cast<uint8_t>(X),
                                                         static_cast<uint8_t>(Y), static_cast<uint8_t>(Da));
                            const TPixel32 Expected = ReferenceBlend(Mode, D, Faded(Layer.At(X, Y), Opacity));
                            if (Out.At(X, Y) != Expected) {
                                FAIL() << "mode " << Mode << " level " << static_cast<int>(Level) << " Da " << Da
                                       << " Sa " << Sa << " opacity " << Opacity << " at (" << X << "," << Y
                                       << ")" << std::hex << ": got " << Out.At(X, Y) << " expected " << Expected;
                            }
                        }
                }
            }
        EXPECT_TRUE(Result.PaddingUntouched());
    });
}

INSTANTIATE_TEST_SUITE_P(PixEffect, BlendModeExhaustive, ::testing::Range(0, 9));

TEST(PixEffect, RandomPixelsMatchTheReferenceInEveryModeAndOpacity) {
    ForEachSimdLevel([](TSimdLevel Level) {
        std::mt19937 Rng(3);
        TTestSurface Base(37, 23), Layer(37, 23), Result(37, 23);
        for (int Round = 0; Round < 200; ++Round) {
            qvtest::FillRandom(Base, Rng);
            qvtest::FillRandom(Layer, Rng);
            const int Mode = static_cast<int>(Rng() % 9);
            const int Opacity = Round % 4 == 0 ? 255 : static_cast<int>(Rng() % 256);
            BlendSurfaces(Result, Base, Layer, static_cast<uint8_t>(Opacity), static_cast<uint8_t>(Mode));
            for (int Y = 0; Y < 23; ++Y)
                for (int X = 0; X < 37; ++X)
                    ASSERT_EQ(Result.At(X, Y), ReferenceBlend(Mode, Base.At(X, Y), Faded(Layer.At(X, Y), Opacity)))
                        << "level " << static_cast<int>(Level) << " mode " << Mode << " opacity " << Opacity;
        }
    });
}

TEST(PixEffect, NormalModeOverEveryAlphaPair) {
    // Every (base alpha, blend alpha) pair, so every divisor of the
    // translucent rule, with the blend colour running through 0..255.
    ForEachSimdLevel([](TSimdLevel Level) {
        std::mt19937 Rng(6);
        TTestSurface Base(256, 256), Layer(256, 256), Result(256, 256);
        for (int Opacity : {255, 77}) {
            for (int Colour = 0; Colour < 4; ++Colour) {
                for (int Y = 0; Y < 256; ++Y)
                    for (int X = 0; X < 256; ++X) {
                        Base.At(X, Y) = (Rng() & 0x00FFFFFFu) | static_cast<TPixel32>(Y) << 24;
                        Layer.At(X, Y) = MakePixel(static_cast<uint8_t>(Colour * 64 + X / 4), static_cast<uint8_t>(255 - X),
                                                   static_cast<uint8_t>(Rng()), static_cast<uint8_t>(X));
                    }
                BlendSurfaces(Result, Base, Layer, static_cast<uint8_t>(Opacity), TBlendMode::Normal);
                for (int Y = 0; Y < 256; ++Y)
                    for (int X = 0; X < 256; ++X)
                        ASSERT_EQ(Result.At(X, Y), ReferenceBlend(0, Base.At(X, Y), Faded(Layer.At(X, Y), Opacity)))
                            << "level " << static_cast<int>(Level) << " at " << X << "," << Y;
            }
        }
    });
}

TEST(PixEffect, NormalModeEdgeCases) {
    const TBlendFunction Normal = GetBlendFunction(0);
    // Opaque base, opaque layer: k = 256 and the blend colour exactly.
    EXPECT_EQ(Normal(0xFF102030u, 0xFFA0B0C0u), 0xFFA0B0C0u);
    // Transparent base under alpha 200: Ra0 = 200 and the blend colour.
    EXPECT_EQ(Normal(0x00FFFFFFu, 0xC8123456u), 0xC8123456u);
    // A negative difference takes the floor of the shift.
    EXPECT_EQ(Normal(0xFF0000C9u, 0xC70000C8u), 0xFF0000C8u);
}

TEST(PixEffect, OpacityScalesTheLayerAlpha) {
    TTestSurface Base(1, 1), Layer(1, 1), Result(1, 1);
    Layer.At(0, 0) = 0xFF336699u;
    const std::pair<int, int> Cases[] = {{127, 255 * 127 / 256}, {128, 255 * 129 / 256}, {1, 0}, {254, 254}};
    for (auto [Opacity, Alpha] : Cases) {
        Base.At(0, 0) = 0;
        BlendSurfaces(Result, Base, Layer, static_cast<uint8_t>(Opacity), TBlendMode::Normal);
        EXPECT_EQ(PixelAlpha(Result.At(0, 0)), Alpha) << Opacity;
    }
}

TEST(PixEffect, OpacityZeroAndTransparentLayersChangeNothingInAnyMode) {
    std::mt19937 Rng(9);
    TTestSurface Base(29, 5), Layer(29, 5), Clear(29, 5), Result(29, 5);
    qvtest::FillRandom(Base, Rng);
    qvtest::FillRandom(Layer, Rng);
    for (int Y = 0; Y < 5; ++Y)
        for (int X = 0; X < 29; ++X) Clear.At(X, Y) = Rng() & 0x00FFFFFFu;
    for (int Mode = 0; Mode < 12; ++Mode) {
        BlendSurfaces(Result, Base, Layer, 0, static_cast<uint8_t>(Mode));
        for (int Y = 0; Y < 5; ++Y)
            for (int X = 0; X < 29; ++X) ASSERT_EQ(Result.At(X, Y), Base.At(X, Y)) << Mode;
        BlendSurfaces(Result, Base, Clear, 255, static_cast<uint8_t>(Mode));
        for (int Y = 0; Y < 5; ++Y)
            for (int X = 0; X < 29; ++X) ASSERT_EQ(Result.At(X, Y), Base.At(X, Y)) << Mode;
    }
}

TEST(PixEffect, OpaqueModeIdentities) {
    for (int D = 0; D < 256; ++D) {
        const TPixel32 Base = MakePixel(static_cast<uint8_t>(D), static_cast<uint8_t>(255 - D), 7, 255);
        // Multiply by opaque white: (256 - 256 + 255) * d >> 8, a level darker for most d.
        const TPixel32 M = BlendPixel(Base, 0xFFFFFFFFu, 1);
        EXPECT_EQ(PixelRed(M), 255 * D >> 8);
        EXPECT_EQ(PixelGreen(M), 255 * (255 - D) >> 8);
        EXPECT_EQ(PixelAlpha(M), 255);
        EXPECT_EQ(BlendPixel(Base, 0xFF000000u, 2), Base);
        EXPECT_EQ(BlendPixel(Base, 0xFF123456u, 8), MakePixel(static_cast<uint8_t>(255 - D), static_cast<uint8_t>(D),
                                                              248, 255));
        for (int S : {0, 90, 255}) {
            const TPixel32 Layer = MakePixel(static_cast<uint8_t>(S), static_cast<uint8_t>(S), static_cast<uint8_t>(S), 255);
            EXPECT_EQ(PixelRed(BlendPixel(Base, Layer, 6)), std::max(D, S));
            EXPECT_EQ(PixelRed(BlendPixel(Base, Layer, 7)), std::min(D, S));
        }
    }
}

TEST(PixEffect, SoftLightOverTranslucentBaseIsClampedTo255) {
    // The formula gives 256 here (and up to 509 near alpha 1); a byte would wrap to 0.
    const TPixel32 R = BlendPixel(MakePixel(255, 255, 255, 100), MakePixel(255, 255, 255, 100), 3);
    EXPECT_EQ(R, MakePixel(255, 255, 255, 160));
    const TPixel32 Faint = BlendPixel(MakePixel(255, 0, 0, 1), MakePixel(255, 0, 0, 1), 3);
    EXPECT_EQ(PixelRed(Faint), 255);
}

TEST(PixEffect, ModesBeyondNineActAsNormal) {
    std::mt19937 Rng(4);
    for (int Mode : {10, 77, 255})
        for (int I = 0; I < 1000; ++I) {
            const TPixel32 D = qvtest::RandomPixel(Rng), S = qvtest::RandomPixel(Rng);
            ASSERT_EQ(BlendPixel(D, S, static_cast<uint8_t>(Mode)), BlendPixel(D, S, 0));
        }
    TTestSurface Base(3, 1), Layer(3, 1);
    Base.At(1, 0) = 0xFF000000u;
    Layer.At(1, 0) = 0xFFFFFFFFu;
    BlendSurfaces(Base, Base, Layer, 255, static_cast<uint8_t>(200));
    EXPECT_EQ(Base.At(1, 0), 0xFFFFFFFFu);
}

TEST(PixEffect, DissolveChoosesWholePixelsFromTheRuntimeGenerator) {
    TTestSurface Base(100, 100), Layer(100, 100), Result(100, 100);
    for (int Y = 0; Y < 100; ++Y)
        for (int X = 0; X < 100; ++X) {
            Base.At(X, Y) = 0x40102030u;
            Layer.At(X, Y) = (X + Y) % 10 == 0 ? 0xFFA0B0C0u : (X + Y) % 10 == 1 ? 0x00A0B0C0u : 0x80A0B0C0u;
        }
    RandSeed = 12345;
    BlendSurfaces(Result, Base, Layer, 255, TBlendMode::Dissolve);
    const uint32_t SeedAfter = RandSeed;
    // One draw per translucent pixel in row order, nothing for the others.
    RandSeed = 12345;
    int Replaced = 0, Translucent = 0;
    for (int Y = 0; Y < 100; ++Y)
        for (int X = 0; X < 100; ++X) {
            const TPixel32 S = Layer.At(X, Y);
            TPixel32 Expected = Base.At(X, Y);
            if (S >> 24 == 255) Expected = S;
            if (S >> 24 == 128) {
                ++Translucent;
                if (Random(256) < 128) {
                    Expected = S | 0xFF000000u;
                    ++Replaced;
                }
            }
            ASSERT_EQ(Result.At(X, Y), Expected) << X << "," << Y;
        }
    EXPECT_EQ(RandSeed, SeedAfter);
    EXPECT_GT(Replaced, Translucent * 45 / 100);
    EXPECT_LT(Replaced, Translucent * 55 / 100);
}

TEST(PixEffect, UnequalSizesAreRefusedBeforeAnyPixelIsWritten) {
    TTestSurface Base(4, 4), Layer(4, 3), Result(4, 4), Narrow(3, 4);
    Layer.At(0, 0) = 0xFFFFFFFFu;
    EXPECT_QV_ASSERTION(BlendSurfaces(Result, Base, Layer, 255, TBlendMode::Normal), "Assertion failure");
    EXPECT_QV_ASSERTION(BlendSurfaces(Result, Narrow, Base, 255, TBlendMode::Normal), "Assertion failure");
    EXPECT_QV_ASSERTION(BlendSurfaces(Narrow, Base, Base, 255, TBlendMode::Normal), "Assertion failure");
    EXPECT_EQ(Result.At(0, 0), 0u);
}
