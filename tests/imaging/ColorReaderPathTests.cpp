// The colour manager on the paths the readers really take: option sets assigned
// per file, the reset every load starts from, planar 16-bit and CIE L*a*b* planes,
// Photo-CD's PhotoYCC, gamma into 16-bit targets and packed indices under the
// interlace pass masks. Expected values come from the conversion formulas, not
// from the routines.

#include "imaging/ImageColor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "imaging/ImageStrings.h"
#include "platform/Exceptions.h"

using namespace qv;

namespace {

using Bytes = std::vector<uint8_t>;
using TCS = TColorScheme;
using TCO = TConversionOption;

void Configure(TColorManager& Cm, TCS Source, uint8_t SourceBits, TCS Target, uint8_t TargetBits) {
    Cm.SetSourceColorScheme(Source);
    Cm.SetSourceBitsPerSample(SourceBits);
    Cm.SetTargetColorScheme(Target);
    Cm.SetTargetBitsPerSample(TargetBits);
}

/// Converts exactly sized planes through the checked entry, as ConvertRow does.
Bytes ConvertPlanes(TColorManager& Cm, const std::vector<Bytes>& Planes, uint32_t Count, size_t TargetBytes,
                    uint8_t Mask = 0xFF, uint8_t Fill = 0) {
    std::vector<std::span<const uint8_t>> Sources;
    for (const Bytes& Plane : Planes) Sources.emplace_back(Plane);
    Bytes Target(TargetBytes, Fill);
    Cm.ConvertLineChecked(Sources, Target, Count, Mask);
    return Target;
}

Bytes Be16(std::initializer_list<unsigned> Values) {
    Bytes Out;
    for (unsigned V : Values) Out.insert(Out.end(), {uint8_t(V >> 8), uint8_t(V)});
    return Out;
}

unsigned GetLe16(const Bytes& Data, size_t I) { return Data[2 * I] | (Data[2 * I + 1] << 8); }
unsigned GetBe16(const Bytes& Data, size_t I) { return (Data[2 * I] << 8) | Data[2 * I + 1]; }

uint8_t Clamp(double V) { return static_cast<uint8_t>(std::clamp(V, 0.0, 255.0)); }

} // namespace

// --- Option sets assigned for every file ------------------------------------------------------

// A reader assigns its option sets for each file; that clears the Alpha bit, and with
// unchanged schemes no selection runs again. The second file must still be read with
// its alpha stride.
TEST(ColorManagerOptions, AssignedOptionSetsKeepTheAlphaStride) {
    struct Case { TCS Source, Target; uint8_t TargetSamples; Bytes Row; uint32_t Count; Bytes Expected; };
    const Case Cases[] = {
        {TCS::RGBA, TCS::BGRA, 4, {1, 2, 3, 4, 5, 6, 7, 8}, 2, {3, 2, 1, 4, 7, 6, 5, 8}},
        {TCS::RGBA, TCS::BGR, 3, {1, 2, 3, 4, 5, 6, 7, 8}, 2, {3, 2, 1, 7, 6, 5}},
        {TCS::RGB, TCS::BGRA, 4, {1, 2, 3, 5, 6, 7}, 2, {3, 2, 1, 0, 7, 6, 5, 0}},
        {TCS::GrayAlpha, TCS::Gray, 1, {10, 200, 20, 201}, 2, {10, 20}},
    };
    for (const Case& C : Cases) {
        TColorManager Cm;
        for (int Load = 0; Load < 2; ++Load) {
            SCOPED_TRACE(::testing::Message() << int(C.Source) << " -> " << int(C.Target) << ", load " << Load);
            Cm.SourceOptions = TConversionOptions{};
            Cm.TargetOptions = TConversionOptions{};
            Configure(Cm, C.Source, 8, C.Target, 8);
            Cm.SetTargetSamplesPerPixel(C.TargetSamples);
            EXPECT_EQ(Cm.SourceBytesNeeded(C.Count, 0xFF, 1), C.Row.size());
            EXPECT_EQ(Cm.TargetBytesNeeded(C.Count), C.Expected.size());
            EXPECT_EQ(ConvertPlanes(Cm, {C.Row}, C.Count, C.Expected.size()), C.Expected);
        }
    }
}

// --- Reset ------------------------------------------------------------------------------------

TEST(ColorManagerReset, ReturnsEverySettingToTheDefaults) {
    TColorManager Cm;
    Configure(Cm, TCS::PhotoYCC, 16, TCS::RGBA, 16);
    Cm.SetSourceSamplesPerPixel(1);
    Cm.SetTargetSamplesPerPixel(4);
    Cm.SetGammaCorrection(0.45f, 1.8f);
    Cm.SetYCbCrParameters({0.2125f, 0.7154f, 0.0721f}, 4, 2);
    Cm.SourceOptions = {TCO::ByteSwap, TCO::LabChroma128, TCO::LabLightness255};
    Cm.TargetOptions = {TCO::UseGamma};
    ConvertPlanes(Cm, {Bytes(6)}, 1, 8);
    ASSERT_FALSE(Cm.CrToR().empty());

    Cm.Reset();
    const TColorManager Fresh;
    EXPECT_TRUE(Cm.Changed());
    EXPECT_EQ(Cm.RowRoutine(), nullptr);
    EXPECT_EQ(Cm.SourceColorScheme(), Fresh.SourceColorScheme());
    EXPECT_EQ(Cm.TargetColorScheme(), Fresh.TargetColorScheme());
    EXPECT_EQ(Cm.SourceBitsPerSample(), 8);
    EXPECT_EQ(Cm.TargetBitsPerSample(), 8);
    EXPECT_EQ(Cm.SourceSamplesPerPixel(), 3);
    EXPECT_EQ(Cm.TargetSamplesPerPixel(), 3);
    EXPECT_TRUE(Cm.SourceOptions.Empty());
    EXPECT_TRUE(Cm.TargetOptions.Empty());
    EXPECT_FLOAT_EQ(Cm.MainGamma(), 1.0f);
    EXPECT_FLOAT_EQ(Cm.DisplayGamma(), 2.2f);
    EXPECT_EQ(Cm.GammaTable(), Fresh.GammaTable());
    EXPECT_EQ(Cm.YCbCrCoefficients(), Fresh.YCbCrCoefficients());
    EXPECT_EQ(Cm.HorizontalSubsampling(), 1);
    EXPECT_EQ(Cm.VerticalSubsampling(), 1);
    EXPECT_TRUE(Cm.CrToR().empty());
    EXPECT_TRUE(Cm.CbToG().empty());
    // And it converts as a new one does.
    EXPECT_EQ(ConvertPlanes(Cm, {{10, 20, 30}}, 1, 3), (Bytes{30, 20, 10}));
}

// After a reset a file gamma set before the sample sizes (as PNG reads gAMA first)
// builds the 8-bit table, which a 4-bit gray palette reads at 0, 17, ..., 255.
TEST(ColorManagerReset, GammaSetBeforeLowBitSizesServesThePalettes) {
    TColorManager Cm;
    Cm.SetSourceBitsPerSample(4);
    Cm.SetTargetBitsPerSample(4);
    Cm.SetGammaCorrection(1.0f, 1.0f); // a previous file's small table, entries 0..15 only
    Cm.Reset();
    Cm.SetGammaCorrection(0.45455f, 2.2f);
    Cm.TargetOptions.Include(TCO::UseGamma);
    Configure(Cm, TCS::Gray, 4, TCS::Gray, 4);
    Cm.SetSourceSamplesPerPixel(1);
    Cm.SetTargetSamplesPerPixel(1);
    const TLogPalette Palette = Cm.CreateGrayPalette(false);
    ASSERT_EQ(Palette.palPalEntry.size(), 16u);
    const double Exponent = 1.0 / (double(0.45455f) * double(2.2f));
    for (int I = 0; I < 16; ++I)
        EXPECT_EQ(Palette.palPalEntry[I].peRed, std::nearbyint(std::pow(I * 17 / 255.0, Exponent) * 255)) << I;
}

// --- Planar 16-bit RGB with the byte swap (Photoshop, SGI) -----------------------------------

TEST(ReaderColorPaths, PlanarSixteenBitRGBWithSwap) {
    const std::vector<unsigned> R = {0xFFFF, 0x1234, 0x0101, 0x8000}, G = {0x0000, 0x8000, 0xFEFF, 0x00FF},
                                B = {0x00FF, 0x7FFF, 0x0202, 0xFFFE}, A = {0x8080, 0xFFFF, 0x0000, 0x0100};
    auto Plane = [](const std::vector<unsigned>& V) { return Be16({V[0], V[1], V[2], V[3]}); };
    auto To8 = [](unsigned V) { return static_cast<uint8_t>(V * 255 / 65535); };
    for (bool WithAlpha : {false, true}) {
        SCOPED_TRACE(WithAlpha ? "RGBA" : "RGB");
        TColorManager Cm;
        Configure(Cm, WithAlpha ? TCS::RGBA : TCS::RGB, 16, WithAlpha ? TCS::BGRA : TCS::BGR, 8);
        Cm.SourceOptions = {TCO::ByteSwap};
        std::vector<Bytes> Planes = {Plane(R), Plane(G), Plane(B)};
        if (WithAlpha) Planes.push_back(Plane(A));
        const size_t Step = WithAlpha ? 4 : 3;
        const Bytes Out = ConvertPlanes(Cm, Planes, 4, 4 * Step);
        for (size_t I = 0; I < 4; ++I) {
            EXPECT_EQ(Out[I * Step + 0], To8(B[I])) << I;
            EXPECT_EQ(Out[I * Step + 1], To8(G[I])) << I;
            EXPECT_EQ(Out[I * Step + 2], To8(R[I])) << I;
            if (WithAlpha) {
                EXPECT_EQ(Out[I * Step + 3], To8(A[I])) << I;
            }
        }
    }
}

// --- Planar CIE L*a*b* with both Photoshop options ---------------------------------------------

namespace {

/// The L*a*b* formula for L stored 0..255 and a*, b* stored with 128 as zero, in R, G, B order.
std::array<uint8_t, 3> LabReference(uint8_t LByte, uint8_t AByte, uint8_t BByte) {
    const double L = LByte / 2.55, A = AByte - 128.0, B = BByte - 128.0;
    double X, Y, Z;
    if (L < 7.9996) {
        Y = L / 903.3;
        X = Y + A / 3893.5;
        Z = Y - B / 1557.4;
    } else {
        const double Fy = (L + 16) / 116;
        X = std::pow(Fy + A / 500, 3);
        Y = std::pow(Fy, 3);
        Z = std::pow(Fy - B / 200, 3);
    }
    auto C = [](double V) { return Clamp(std::nearbyint(V * 255)); };
    return {C(2.998 * X - 1.458 * Y - 0.541 * Z), C(-0.952 * X + 1.893 * Y + 0.059 * Z),
            C(0.099 * X - 0.198 * Y + 1.099 * Z)};
}

} // namespace

TEST(ReaderColorPaths, PlanarLabWithBothLabOptions) {
    const Bytes L = {255, 128, 10, 0, 200, 60}, A = {128, 148, 128, 128, 90, 200}, B = {128, 100, 160, 128, 220, 40};
    TColorManager Cm;
    Configure(Cm, TCS::CIELab, 8, TCS::BGR, 8);
    Cm.SourceOptions = {TCO::ByteSwap, TCO::LabLightness255, TCO::LabChroma128};
    const Bytes Out = ConvertPlanes(Cm, {L, A, B}, 6, 18);
    for (size_t I = 0; I < L.size(); ++I) {
        const auto Rgb = LabReference(L[I], A[I], B[I]);
        EXPECT_EQ(Out[I * 3 + 0], Rgb[2]) << I;
        EXPECT_EQ(Out[I * 3 + 1], Rgb[1]) << I;
        EXPECT_EQ(Out[I * 3 + 2], Rgb[0]) << I;
    }
    EXPECT_EQ((Bytes{Out[0], Out[1], Out[2]}), (Bytes{255, 255, 255})) << "L 100, a 0, b 0 is white";
    EXPECT_EQ((Bytes{Out[9], Out[10], Out[11]}), (Bytes{0, 0, 0}));

    // Interleaved samples convert the same.
    Bytes Interleaved;
    for (size_t I = 0; I < L.size(); ++I) Interleaved.insert(Interleaved.end(), {L[I], A[I], B[I]});
    EXPECT_EQ(ConvertPlanes(Cm, {Interleaved}, 6, 18), Out);
}

// --- Photo-CD: planar PhotoYCC with its coefficients -------------------------------------------

TEST(ReaderColorPaths, PlanarPhotoYCCWithPhotoCDCoefficients) {
    const float Kr = 0.2125f, Kg = 0.7154f, Kb = 0.0721f;
    TColorManager Cm;
    Configure(Cm, TCS::PhotoYCC, 8, TCS::BGR, 8);
    Cm.SetYCbCrParameters({Kr, Kg, Kb}, 2, 2);
    const Bytes Y = {128, 200, 30, 255, 0, 90}, C1 = {156, 200, 100, 255, 0, 156}, C2 = {137, 100, 220, 255, 0, 30};
    const Bytes Out = ConvertPlanes(Cm, {Y, C1, C2}, 6, 18);

    const float Cr = 2 - 2 * Kr, Cb = 2 - 2 * Kb, Gr = Kr * Cr / Kg, Gb = Kb * Cb / Kg;
    for (size_t I = 0; I < Y.size(); ++I) {
        const int R = Y[I] + int(std::nearbyint(Cr * float(C2[I] - 137)));
        const int G = Y[I] - int(std::nearbyint(Gb * float(C1[I] - 156))) - int(std::nearbyint(Gr * float(C2[I] - 137)));
        const int B = Y[I] + int(std::nearbyint(Cb * float(C1[I] - 156)));
        EXPECT_EQ(Out[I * 3 + 0], Clamp(B)) << I;
        EXPECT_EQ(Out[I * 3 + 1], Clamp(G)) << I;
        EXPECT_EQ(Out[I * 3 + 2], Clamp(R)) << I;
    }
    EXPECT_EQ((Bytes{Out[0], Out[1], Out[2]}), (Bytes{128, 128, 128})) << "the chroma zero points are 156 and 137";
    EXPECT_EQ(Cm.CrToR()[255], std::lround(Cr * (255 - 137)));
    EXPECT_EQ(Cm.CbToB()[0], std::lround(Cb * (0 - 156)));
}

// --- Gamma into 16-bit targets ----------------------------------------------------------------

TEST(ReaderColorPaths, GammaOnEightToSixteenAndSixteenToSixteen) {
    TColorManager Cm;
    Configure(Cm, TCS::RGBA, 8, TCS::BGRA, 16);
    Cm.TargetOptions = {TCO::UseGamma};
    const auto& Table = Cm.GammaTable();
    // Colour passes through the table and widens by 257; alpha only widens.
    Bytes Out = ConvertPlanes(Cm, {{128, 0, 255, 128}}, 1, 8);
    EXPECT_EQ(GetLe16(Out, 0), Table[255] * 257u);
    EXPECT_EQ(GetLe16(Out, 1), Table[0] * 257u);
    EXPECT_EQ(GetLe16(Out, 2), Table[128] * 257u);
    EXPECT_EQ(GetLe16(Out, 2), 186u * 257);
    EXPECT_EQ(GetLe16(Out, 3), 128u * 257);
    // With the swap the 16-bit results are written most significant byte first.
    Cm.SourceOptions = {TCO::ByteSwap};
    Out = ConvertPlanes(Cm, {{128, 0, 255, 128}}, 1, 8);
    EXPECT_EQ(GetBe16(Out, 2), 186u * 257);
    EXPECT_EQ(GetBe16(Out, 3), 128u * 257);

    // 16 -> 16 leaves the values alone, gamma or not; swapped in, swapped out.
    Cm.SetSourceBitsPerSample(16);
    const Bytes Wide = Be16({0x8000, 0x1234, 0xFFFF, 0x4000});
    Out = ConvertPlanes(Cm, {Wide}, 1, 8);
    EXPECT_EQ(Out, Be16({0xFFFF, 0x1234, 0x8000, 0x4000}));
    Cm.SourceOptions = TConversionOptions{};
    Out = ConvertPlanes(Cm, {Wide}, 1, 8);
    EXPECT_EQ(GetLe16(Out, 0), GetLe16(Wide, 2));
    EXPECT_EQ(GetLe16(Out, 2), GetLe16(Wide, 0));
}

// --- Packed indices under the interlace pass masks --------------------------------------------

TEST(ReaderColorPaths, PackedIndicesUnderPassMasks) {
    // The seven interlace passes' pixel masks; pixels outside a pass keep what earlier passes wrote.
    const uint8_t Masks[] = {0x80, 0x08, 0x88, 0x22, 0xAA, 0x55, 0xFF};
    const uint32_t Count = 13;
    struct Sizes { uint8_t S, T; };
    for (Sizes Z : {Sizes{1, 1}, Sizes{2, 4}, Sizes{4, 4}, Sizes{8, 8}, Sizes{1, 8}, Sizes{4, 8}}) {
        for (TCS Scheme : {TCS::Indexed, TCS::Gray}) {
            SCOPED_TRACE(::testing::Message() << int(Z.S) << " -> " << int(Z.T) << " bits, scheme " << int(Scheme));
            TColorManager Cm;
            Configure(Cm, Scheme, Z.S, Scheme, Z.T);
            Cm.SetSourceSamplesPerPixel(1);
            Cm.SetTargetSamplesPerPixel(1);
            const unsigned SMax = (1u << Z.S) - 1, TMax = (1u << Z.T) - 1;
            const size_t TargetBytes = (Count * Z.T + 7) / 8;
            ASSERT_EQ(Cm.TargetBytesNeeded(Count), TargetBytes);
            for (uint8_t Mask : Masks) {
                std::vector<unsigned> Pass; // the values the pass carries, in pixel order
                for (uint32_t I = 0; I < Count; ++I)
                    if (Mask & (0x80 >> (I % 8))) Pass.push_back((I * 7 + Mask) & SMax);
                Bytes Source((Pass.size() * Z.S + 7) / 8, 0);
                for (size_t J = 0; J < Pass.size(); ++J)
                    Source[J * Z.S / 8] |= static_cast<uint8_t>(Pass[J] << (8 - Z.S - J * Z.S % 8));
                ASSERT_EQ(Cm.SourceBytesNeeded(Count, Mask, 1), Source.size()) << int(Mask);
                const Bytes Out = ConvertPlanes(Cm, {Source}, Count, TargetBytes, Mask, 0x5A);
                size_t Next = 0;
                for (uint32_t I = 0; I < Count; ++I) {
                    const unsigned Got = (Out[I * Z.T / 8] >> (8 - Z.T - I * Z.T % 8)) & TMax;
                    const unsigned Before = (0x5A >> (8 - Z.T - I * Z.T % 8)) & TMax;
                    const unsigned Want = (Mask & (0x80 >> (I % 8))) ? Pass[Next++] * TMax / SMax : Before;
                    ASSERT_EQ(Got, Want) << "mask " << int(Mask) << " pixel " << I;
                }
            }
        }
    }
}
