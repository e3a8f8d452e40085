#include "display/PixRender.h"

#include <gtest/gtest.h>

#include <functional>

#include "DisplayTestSupport.h"
#include "display/PixSimd.h"

using namespace qv;
using qvtest::TTestSurface;

namespace {

// ---------------------------------------------------------------------------
// Plain reference: for every destination pixel on its own, whether the
// rectangle covers it and at which 16.16 source position, then the pixel
// formulas one channel at a time.

// Position along one axis of destination coordinate X for the edges A0, A1
// over Size source pixels; false when the edges do not cover X.
bool AxisPosition(int64_t A0, int64_t A1, int64_t Size, int64_t X, int64_t& Position, int64_t& Step) {
    const int64_t Low = std::min(A0, A1), High = std::max(A0, A1);
    if (X < Low || X >= High) return false;
    const int64_t Count = High - Low;
    const int64_t Magnitude = Count == 1 ? 0 : (Size - 1) * 65536 / (Count - 1);
    const int64_t J = X - Low;
    if (A1 < A0) {
        Position = (Size - 1) * 65536 - J * Magnitude;
        Step = -Magnitude;
    } else {
        Position = J * Magnitude;
        Step = Magnitude;
    }
    return true;
}

int Channel(TPixel32 P, int C) { return static_cast<int>(P >> (8 * C) & 0xFF); }

int64_t FloorDiv(int64_t A, int64_t B) { return A >= 0 ? A / B : -((-A + B - 1) / B); }

using TReferencePixel = std::function<TPixel32(TPixel32 D, const TTestSurface& S, int64_t Fx, int64_t Fy,
                                               int64_t StepX, int64_t StepY)>;

TPixel32 ReferenceBilinear(TPixel32 D, const TTestSurface& S, int64_t Fx, int64_t Fy, int Opacity) {
    const int64_t I = Fx / 65536, J = Fy / 65536;
    const int64_t I2 = Fx % 65536 != 0 ? I + 1 : I;
    const int64_t J2 = Fy % 65536 != 0 ? J + 1 : J;
    const int64_t Wx = Fx % 65536 / 256, Wy = Fy % 65536 / 256;
    const TPixel32 P00 = S.At(static_cast<int>(I), static_cast<int>(J));
    const TPixel32 P01 = S.At(static_cast<int>(I2), static_cast<int>(J));
    const TPixel32 P10 = S.At(static_cast<int>(I), static_cast<int>(J2));
    const TPixel32 P11 = S.At(static_cast<int>(I2), static_cast<int>(J2));
    int64_t V[4];
    for (int C = 0; C < 4; ++C)
        V[C] = ((Channel(P00, C) * (256 - Wx) + Channel(P01, C) * Wx) * (256 - Wy) +
                (Channel(P10, C) * (256 - Wx) + Channel(P11, C) * Wx) * Wy) /
               65536;
    const int64_t A = V[3] * Opacity / 256;
    if (A == 0) return D;
    TPixel32 Result = D & 0xFF000000u;
    for (int C = 0; C < 3; ++C) {
        const int64_t Dc = Channel(D, C);
        Result |= static_cast<TPixel32>(Dc + FloorDiv((V[C] - Dc) * A, 256)) << (8 * C);
    }
    return Result;
}

TPixel32 ReferenceBox(TPixel32 D, const TTestSurface& S, int64_t Fx, int64_t Fy, int64_t StepX, int64_t StepY) {
    auto Second = [](int64_t F, int64_t Step, int64_t Size) {
        const int64_t Position = F + Step / 2;
        if (Position < 0) return int64_t{0};
        return std::min(Position / 65536, Size - 1);
    };
    const int X0 = static_cast<int>(Fx / 65536), Y0 = static_cast<int>(Fy / 65536);
    const int X1 = static_cast<int>(Second(Fx, StepX, S.Surface().Width));
    const int Y1 = static_cast<int>(Second(Fy, StepY, S.Surface().Height));
    const TPixel32 Samples[4] = {S.At(X0, Y0), S.At(X1, Y0), S.At(X0, Y1), S.At(X1, Y1)};
    int V[4];
    for (int C = 0; C < 4; ++C)
        V[C] = (Channel(Samples[0], C) + Channel(Samples[1], C) + Channel(Samples[2], C) + Channel(Samples[3], C)) / 4;
    TPixel32 Result = D & 0xFF000000u;
    for (int C = 0; C < 3; ++C) {
        int R = Channel(D, C);
        if (V[3] == 255)
            R = V[C];
        else if (V[3] > 0)
            R = (R * (256 - V[3]) + V[C] * V[3]) / 256;
        Result |= static_cast<TPixel32>(R) << (8 * C);
    }
    return Result;
}

// Expected destination after drawing S onto R of a destination holding Before.
std::vector<TPixel32> ReferenceDraw(const std::vector<TPixel32>& Before, int Width, int Height, const TTestSurface& S,
                                    const TRect& R, const TReferencePixel& Pixel) {
    std::vector<TPixel32> After = Before;
    for (int Y = 0; Y < Height; ++Y)
        for (int X = 0; X < Width; ++X) {
            int64_t Fx, Fy, StepX, StepY;
            if (AxisPosition(R.Left, R.Right, S.Surface().Width, X, Fx, StepX) &&
                AxisPosition(R.Top, R.Bottom, S.Surface().Height, Y, Fy, StepY))
                After[Y * Width + X] = Pixel(Before[Y * Width + X], S, Fx, Fy, StepX, StepY);
        }
    return After;
}

std::vector<TPixel32> Snapshot(const TTestSurface& T) {
    std::vector<TPixel32> Pixels;
    for (int Y = 0; Y < T.Surface().Height; ++Y)
        for (int X = 0; X < T.Surface().Width; ++X) Pixels.push_back(T.At(X, Y));
    return Pixels;
}

// Runs a test body once per vector level the processor has.
void ForEachSimdLevel(const std::function<void(TSimdLevel)>& Body) {
    for (TSimdLevel Level : {TSimdLevel::Scalar, TSimdLevel::AVX2}) {
        if (Level > SupportedSimdLevel()) continue;
        SetSimdLevel(Level);
        Body(Level);
    }
    SetSimdLevel(SupportedSimdLevel());
}

enum class TRoutine { Bilinear, Box, Nearest };

// Random sizes, row layouts, rectangles partly outside and mirrored, compared
// pixel by pixel with the reference.
void RandomizedAgainstReference(TRoutine Routine, uint32_t Seed, int Trials) {
    ForEachSimdLevel([&](TSimdLevel Level) {
        std::mt19937 Rng(Seed);
        auto Uniform = [&](int Low, int High) { return std::uniform_int_distribution<int>(Low, High)(Rng); };
        for (int Trial = 0; Trial < Trials; ++Trial) {
            const bool Wide = Uniform(0, 3) == 0;
            TTestSurface Source(Uniform(1, Wide ? 90 : 20), Uniform(1, 20), Uniform(0, 2), Uniform(0, 1) == 1);
            TTestSurface Dest(Uniform(1, 70), Uniform(1, 30), Uniform(0, 2), Uniform(0, 1) == 1);
            qvtest::FillRandom(Source, Rng);
            qvtest::FillRandom(Dest, Rng);
            const int W = Dest.Surface().Width, H = Dest.Surface().Height;
            const int L = Uniform(-40, W + 5), T = Uniform(-20, H + 5);
            const TRect R = Rect(L, T, L + Uniform(-90, 90), T + Uniform(-40, 40));
            const int Choices[] = {255, 0, 1, 127, 128, 254, Uniform(0, 255)};
            const int Opacity = Choices[Uniform(0, 6)];
            const std::vector<TPixel32> Before = Snapshot(Dest);
            std::vector<TPixel32> Expected;
            switch (Routine) {
            case TRoutine::Bilinear:
                StretchBlendBilinear(Dest, Source, R, static_cast<uint8_t>(Opacity));
                Expected = ReferenceDraw(Before, W, H, Source, R,
                                         [&](TPixel32 D, const TTestSurface& S, int64_t Fx, int64_t Fy, int64_t, int64_t) {
                                             return ReferenceBilinear(D, S, Fx, Fy, Opacity);
                                         });
                break;
            case TRoutine::Box:
                StretchBlendBox(Dest, Source, R);
                Expected = ReferenceDraw(Before, W, H, Source, R, ReferenceBox);
                break;
            case TRoutine::Nearest:
                StretchCopyNearest(Dest, Source, R);
                Expected = ReferenceDraw(Before, W, H, Source, R,
                                         [](TPixel32, const TTestSurface& S, int64_t Fx, int64_t Fy, int64_t, int64_t) {
                                             return S.At(static_cast<int>(Fx / 65536), static_cast<int>(Fy / 65536));
                                         });
                break;
            }
            const std::vector<TPixel32> Actual = Snapshot(Dest);
            for (size_t I = 0; I < Actual.size(); ++I)
                if (Actual[I] != Expected[I]) {
                    ADD_FAILURE() << "level " << static_cast<int>(Level) << " trial " << Trial << " pixel ("
                                  << I % W << "," << I / W << ") of " << W << "x" << H << " from "
                                  << Source.Surface().Width << "x" << Source.Surface().Height << " rect " << R.Left
                                  << "," << R.Top << "," << R.Right << "," << R.Bottom << " opacity " << Opacity
                                  << std::hex << ": got " << Actual[I] << " expected " << Expected[I];
                    return;
                }
            ASSERT_TRUE(Dest.PaddingUntouched()) << "trial " << Trial;
        }
    });
}

} // namespace

TEST(PixRender, ClipOfWidthOneUsesStepZeroAndEmptyRectanglesDrawNothing) {
    TTestSurface Dest(10, 10), Source(4, 3);
    TStretchClip Clip;
    ASSERT_TRUE(ComputeStretchClip(Dest, Source, Rect(2, 1, 3, 7), Clip));
    EXPECT_EQ(Clip.XStep, 0);
    EXPECT_EQ(Clip.XStart, 0);
    EXPECT_EQ(Clip.YStep, 2 * 65536 / 5);
    EXPECT_EQ(Clip.XFirst, 2);
    EXPECT_EQ(Clip.XEnd, 3);
    EXPECT_EQ(Clip.YFirst, 1);
    EXPECT_EQ(Clip.YEnd, 7);
    EXPECT_FALSE(ComputeStretchClip(Dest, Source, Rect(2, 1, 2, 7), Clip));
    EXPECT_FALSE(ComputeStretchClip(Dest, Source, Rect(2, 4, 5, 4), Clip));
    EXPECT_FALSE(ComputeStretchClip(Dest, Source, Rect(10, 0, 15, 5), Clip));
    EXPECT_FALSE(ComputeStretchClip(Dest, Source, Rect(-5, 0, 0, 5), Clip));
    EXPECT_FALSE(ComputeStretchClip(Dest, TTestSurface(0, 3), Rect(0, 0, 5, 5), Clip));

    for (int X = 0; X < 4; ++X) Source.At(X, 0) = 0xFF000000u | static_cast<TPixel32>(X + 1);
    StretchCopyNearest(Dest, Source, Rect(2, 0, 3, 1));
    EXPECT_EQ(Dest.At(2, 0), 0xFF000001u);
    EXPECT_EQ(Dest.At(3, 0), 0u);
}

TEST(PixRender, ClipOfMirroredAndPartlyHiddenRectangles) {
    TTestSurface Dest(10, 10), Source(5, 5);
    TStretchClip Clip;
    ASSERT_TRUE(ComputeStretchClip(Dest, Source, Rect(8, 12, -3, -1), Clip));
    EXPECT_EQ(Clip.XStep, -4 * 65536 / 10);
    EXPECT_EQ(Clip.XStart, 4 * 65536 + 3 * Clip.XStep);
    EXPECT_EQ(Clip.XFirst, 0);
    EXPECT_EQ(Clip.XEnd, 8);
    EXPECT_EQ(Clip.YStep, -4 * 65536 / 12);
    EXPECT_EQ(Clip.YStart, 4 * 65536 + Clip.YStep);
    EXPECT_EQ(Clip.YFirst, 0);
    EXPECT_EQ(Clip.YEnd, 10);
}

TEST(PixRender, TwoColumnsOntoFiveSampleQuarterSteps) {
    TTestSurface Dest(5, 1), Source(2, 1);
    Source.At(0, 0) = MakePixel(0, 0, 0, 255);
    Source.At(1, 0) = MakePixel(200, 100, 40, 255);
    TStretchClip Clip;
    ASSERT_TRUE(ComputeStretchClip(Dest, Source, Rect(0, 0, 5, 1), Clip));
    EXPECT_EQ(Clip.XStep, 16384);
    StretchCopyNearest(Dest, Source, Rect(0, 0, 5, 1));
    EXPECT_EQ(Dest.At(0, 0), Source.At(0, 0));
    EXPECT_EQ(Dest.At(3, 0), Source.At(0, 0));
    EXPECT_EQ(Dest.At(4, 0), Source.At(1, 0));
    // Bilinear over a white destination at opacity 255 blends by 254/256.
    for (int X = 0; X < 5; ++X) Dest.At(X, 0) = 0x00FFFFFFu;
    StretchBlendBilinear(Dest, Source, Rect(0, 0, 5, 1), 255);
    EXPECT_EQ(Dest.At(0, 0), 0x00010101u);
    EXPECT_EQ(PixelRed(Dest.At(2, 0)), 255 + ((100 - 255) * 254 >> 8));
    EXPECT_EQ(PixelGreen(Dest.At(2, 0)), 255 + ((50 - 255) * 254 >> 8));
    EXPECT_EQ(PixelBlue(Dest.At(2, 0)), 255 + ((20 - 255) * 254 >> 8));
    EXPECT_EQ(PixelRed(Dest.At(4, 0)), 255 + ((200 - 255) * 254 >> 8));
}

TEST(PixRender, OpaqueWhiteBilinearOverBlackGives253AndKeepsAlpha) {
    ForEachSimdLevel([](TSimdLevel) {
        TTestSurface Dest(19, 3), Source(4, 4);
        for (int Y = 0; Y < 4; ++Y)
            for (int X = 0; X < 4; ++X) Source.At(X, Y) = 0xFFFFFFFFu;
        for (int Y = 0; Y < 3; ++Y)
            for (int X = 0; X < 19; ++X) Dest.At(X, Y) = 0x42000000u;
        StretchBlendBilinear(Dest, Source, Rect(0, 0, 19, 3), 255);
        for (int Y = 0; Y < 3; ++Y)
            for (int X = 0; X < 19; ++X) EXPECT_EQ(Dest.At(X, Y), 0x42FDFDFDu);
    });
}

TEST(PixRender, BoxReplacesWithOpaqueSourceAndIgnoresTransparentOne) {
    ForEachSimdLevel([](TSimdLevel) {
        TTestSurface Dest(20, 4), Opaque(40, 8), Clear(40, 8);
        std::mt19937 Rng(7);
        for (int Y = 0; Y < 8; ++Y)
            for (int X = 0; X < 40; ++X) {
                Opaque.At(X, Y) = 0xFF000000u | (Rng() & 0x00FFFFFFu);
                Clear.At(X, Y) = Rng() & 0x00FFFFFFu;
            }
        qvtest::FillRandom(Dest, Rng);
        const std::vector<TPixel32> Before = Snapshot(Dest);
        StretchBlendBox(Dest, Clear, Rect(0, 0, 20, 4));
        EXPECT_EQ(Snapshot(Dest), Before);
        StretchBlendBox(Dest, Opaque, Rect(0, 0, 20, 4));
        // The opaque average replaces the colour outright; alpha stays the destination's.
        for (int Y = 0; Y < 4; ++Y)
            for (int X = 0; X < 20; ++X) {
                const TPixel32 Got = Dest.At(X, Y);
                EXPECT_EQ(PixelAlpha(Got), PixelAlpha(Before[Y * 20 + X]));
                EXPECT_EQ(Got & 0x00FFFFFFu,
                          ReferenceBox(0xFF000000u, Opaque, X * (39 * 65536 / 19), Y * (7 * 65536 / 3), 39 * 65536 / 19,
                                       7 * 65536 / 3) &
                              0x00FFFFFFu);
            }
    });
}

TEST(PixRender, MirroredBilinearDrawsTheLastColumnAtTheLeftEdge) {
    TTestSurface Dest(6, 1), Source(3, 1);
    Source.At(0, 0) = 0xFF0000FFu;
    Source.At(1, 0) = 0xFF00FF00u;
    Source.At(2, 0) = 0xFFFF0000u;
    for (int X = 0; X < 6; ++X) Dest.At(X, 0) = 0xFF000000u;
    StretchBlendBilinear(Dest, Source, Rect(6, 0, 0, 1), 255);
    EXPECT_EQ(Dest.At(0, 0), 0xFFFD0000u);
    EXPECT_EQ(Dest.At(5, 0), 0xFF0000FDu);
}

TEST(PixRender, ClippedDrawingEqualsTheSameRegionOfAnUnclippedOne) {
    ForEachSimdLevel([](TSimdLevel) {
        std::mt19937 Rng(11);
        TTestSurface Source(9, 7);
        qvtest::FillRandom(Source, Rng);
        for (int Routine = 0; Routine < 3; ++Routine) {
            TTestSurface Clipped(20, 20), Whole(40, 40);
            auto Draw = [&](const TSurface& D, const TRect& R) {
                if (Routine == 0) StretchBlendBilinear(D, Source, R, 200);
                if (Routine == 1) StretchBlendBox(D, Source, R);
                if (Routine == 2) StretchCopyNearest(D, Source, R);
            };
            Draw(Clipped, Rect(-13, -6, 17, 19));
            Draw(Whole, Rect(0, 0, 30, 25));
            for (int Y = 0; Y < 19; ++Y)
                for (int X = 0; X < 17; ++X) ASSERT_EQ(Clipped.At(X, Y), Whole.At(X + 13, Y + 6)) << Routine;
            for (int Y = 0; Y < 20; ++Y) EXPECT_EQ(Clipped.At(19, Y), 0u);
        }
    });
}

TEST(PixRender, BilinearCoversEveryWeightPairExactly) {
    // Two source pixels per axis onto 257 give a step of 256: every pair of
    // 8-bit weights (wx, wy) occurs once per destination.
    ForEachSimdLevel([](TSimdLevel Level) {
        std::mt19937 Rng(5);
        for (int Round = 0; Round < 12; ++Round) {
            TTestSurface Source(2, 2), Dest(257, 257);
            for (int I = 0; I < 4; ++I) {
                const TPixel32 Extreme = (Rng() & 0x01010101u) * 255;
                Source.At(I % 2, I / 2) = Round < 4 ? Extreme : qvtest::RandomPixel(Rng);
            }
            qvtest::FillRandom(Dest, Rng);
            const int Opacity = Round % 3 == 0 ? 255 : static_cast<int>(Rng() % 256);
            const std::vector<TPixel32> Before = Snapshot(Dest);
            StretchBlendBilinear(Dest, Source, Rect(0, 0, 257, 257), static_cast<uint8_t>(Opacity));
            const std::vector<TPixel32> Expected =
                ReferenceDraw(Before, 257, 257, Source, Rect(0, 0, 257, 257),
                              [&](TPixel32 D, const TTestSurface& S, int64_t Fx, int64_t Fy, int64_t, int64_t) {
                                  return ReferenceBilinear(D, S, Fx, Fy, Opacity);
                              });
            ASSERT_EQ(Snapshot(Dest), Expected) << "level " << static_cast<int>(Level) << " round " << Round;
        }
    });
}

TEST(PixRender, BilinearAtActualWidthMatchesReference) {
    // A rectangle as wide as the source steps whole columns: every horizontal
    // weight is 0, while the height still blends rows.
    ForEachSimdLevel([](TSimdLevel Level) {
        std::mt19937 Rng(8);
        for (int Round = 0; Round < 40; ++Round) {
            const int Width = 1 + static_cast<int>(Rng() % 70);
            TTestSurface Source(Width, 9, 1), Dest(80, 20, 0, true);
            qvtest::FillRandom(Source, Rng);
            qvtest::FillRandom(Dest, Rng);
            const int Left = static_cast<int>(Rng() % 20) - 10, Top = static_cast<int>(Rng() % 6) - 3;
            const TRect R = Rect(Left, Top, Left + Width, Top + 9 + static_cast<int>(Rng() % 20));
            const int Opacity = Round % 2 ? 255 : static_cast<int>(Rng() % 256);
            const std::vector<TPixel32> Before = Snapshot(Dest);
            StretchBlendBilinear(Dest, Source, R, static_cast<uint8_t>(Opacity));
            const std::vector<TPixel32> Expected =
                ReferenceDraw(Before, 80, 20, Source, R,
                              [&](TPixel32 D, const TTestSurface& S, int64_t Fx, int64_t Fy, int64_t, int64_t) {
                                  return ReferenceBilinear(D, S, Fx, Fy, Opacity);
                              });
            ASSERT_EQ(Snapshot(Dest), Expected) << "level " << static_cast<int>(Level) << " round " << Round;
        }
    });
}

TEST(PixRender, BilinearMatchesReferenceOnRandomLayouts) { RandomizedAgainstReference(TRoutine::Bilinear, 1, 1500); }

TEST(PixRender, BoxMatchesReferenceOnRandomLayouts) { RandomizedAgainstReference(TRoutine::Box, 2, 1500); }

TEST(PixRender, NearestMatchesReferenceOnRandomLayouts) { RandomizedAgainstReference(TRoutine::Nearest, 3, 800); }

TEST(PixRender, SourcesTallerThan32768RowsAndFarRectanglesStayInRange) {
    // 16.16 positions of such sources do not fit 32 bits; they are exact here.
    TTestSurface Source(1, 40000);
    for (int Y = 0; Y < 40000; ++Y) Source.At(0, Y) = 0xFF000000u | static_cast<TPixel32>(Y % 251);
    TTestSurface Dest(1, 3);
    StretchCopyNearest(Dest, Source, Rect(0, 0, 1, 3));
    EXPECT_EQ(Dest.At(0, 0), 0xFF000000u);
    EXPECT_EQ(Dest.At(0, 1), 0xFF000000u | 19999 % 251);
    EXPECT_EQ(Dest.At(0, 2), 0xFF000000u | 39999 % 251);
    TTestSurface Wide(8, 2);
    StretchBlendBilinear(Wide, Source, Rect(-2000000000, -2000000000, 2000000000, 2000000000), 255);
    StretchBlendBox(Wide, Source, Rect(2000000000, 2000000000, -2000000000, -2000000000));
    const std::vector<TPixel32> Expected =
        ReferenceDraw(std::vector<TPixel32>(16, 0), 8, 2, Source, Rect(-2000000000, -2000000000, 2000000000, 2000000000),
                      [](TPixel32 D, const TTestSurface& S, int64_t Fx, int64_t Fy, int64_t, int64_t) {
                          return ReferenceBilinear(D, S, Fx, Fy, 255);
                      });
    TTestSurface Again(8, 2);
    StretchBlendBilinear(Again, Source, Rect(-2000000000, -2000000000, 2000000000, 2000000000), 255);
    EXPECT_EQ(Snapshot(Again), Expected);
}

TEST(PixRender, FillSurfaceRectFillsExactlyTheRectangle) {
    TTestSurface T(6, 5, 1, true);
    FillSurfaceRect(T, Rect(1, 2, 4, 4), 0x80112233u);
    for (int Y = 0; Y < 5; ++Y)
        for (int X = 0; X < 6; ++X)
            EXPECT_EQ(T.At(X, Y), (X >= 1 && X < 4 && Y >= 2 && Y < 4) ? 0x80112233u : 0u) << X << "," << Y;
    EXPECT_TRUE(T.PaddingUntouched());
    FillSurfaceRect(T, Rect(3, 1, 3, 5), 0xFFFFFFFFu);
    FillSurfaceRect(T, Rect(2, 3, 4, 3), 0xFFFFFFFFu);
    FillSurfaceRect(T, SurfaceBounds(T), 7);
    EXPECT_EQ(T.At(5, 4), 7u);
    EXPECT_QV_ASSERTION(FillSurfaceRect(T, Rect(-1, 0, 2, 2), 0), "Assertion failure");
    EXPECT_QV_ASSERTION(FillSurfaceRect(T, Rect(0, 0, 7, 2), 0), "Assertion failure");
    EXPECT_QV_ASSERTION(FillSurfaceRect(T, Rect(0, 0, 2, 6), 0), "Assertion failure");
    EXPECT_EQ(T.At(0, 0), 7u);
}
