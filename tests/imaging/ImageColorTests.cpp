#include "imaging/ImageColor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "imaging/ImageStrings.h"

using namespace qv;

namespace {

using Bytes = std::vector<uint8_t>;
using TCS = TColorScheme;
using TCO = TConversionOption;

/// A colour manager set up for one conversion.
TColorManager Manager(TCS Source, uint8_t SourceBits, TCS Target, uint8_t TargetBits) {
    TColorManager Cm;
    Cm.SetSourceColorScheme(Source);
    Cm.SetSourceBitsPerSample(SourceBits);
    Cm.SetTargetColorScheme(Target);
    Cm.SetTargetBitsPerSample(TargetBits);
    return Cm;
}

Bytes Convert(TColorManager& Cm, const Bytes& Source, uint32_t Count, size_t TargetBytes, uint8_t Mask = 0xFF,
              uint8_t Fill = 0) {
    Bytes Target(TargetBytes, Fill);
    Cm.ConvertLine({Source.data()}, Target.data(), Count, Mask);
    return Target;
}

/// Packs values of Bits bits, most significant bit first.
Bytes Pack(const std::vector<unsigned>& Values, unsigned Bits) {
    Bytes Out((Values.size() * Bits + 7) / 8, 0);
    for (size_t I = 0; I < Values.size(); ++I) {
        const size_t Bit = I * Bits;
        Out[Bit / 8] |= static_cast<uint8_t>(Values[I] << (8 - Bits - Bit % 8));
    }
    return Out;
}

unsigned Unpack(const Bytes& Data, size_t I, unsigned Bits) {
    const size_t Bit = I * Bits;
    return (Data[Bit / 8] >> (8 - Bits - Bit % 8)) & ((1u << Bits) - 1);
}

Bytes Le16(std::initializer_list<unsigned> Values) {
    Bytes Out;
    for (unsigned V : Values) {
        Out.push_back(static_cast<uint8_t>(V));
        Out.push_back(static_cast<uint8_t>(V >> 8));
    }
    return Out;
}

unsigned Get16(const Bytes& Data, size_t I) { return Data[2 * I] | (Data[2 * I + 1] << 8); }

template <typename F>
void ExpectConversionError(F&& Fn, const char* Message) {
    try {
        Fn();
        FAIL() << "no exception, expected: " << Message;
    } catch (const EColorConversionError& E) {
        EXPECT_EQ(E.Message(), Message);
    }
}

} // namespace

// --- Settings and checks ----------------------------------------------------------------------

TEST(ColorManagerSettings, DefaultsConvertRGBToBGR) {
    TColorManager Cm;
    EXPECT_TRUE(Cm.Changed());
    EXPECT_EQ(Cm.SourceColorScheme(), TCS::RGB);
    EXPECT_EQ(Cm.TargetColorScheme(), TCS::BGR);
    EXPECT_EQ(Cm.SourceBitsPerSample(), 8);
    EXPECT_EQ(Cm.TargetSamplesPerPixel(), 3);
    EXPECT_FLOAT_EQ(Cm.MainGamma(), 1.0f);
    EXPECT_FLOAT_EQ(Cm.DisplayGamma(), 2.2f);
    EXPECT_EQ(Cm.HorizontalSubsampling(), 1);
    EXPECT_TRUE(Cm.CrToR().empty());
    EXPECT_EQ(Convert(Cm, {10, 20, 30}, 1, 3), (Bytes{30, 20, 10}));
    EXPECT_FALSE(Cm.Changed());
    EXPECT_EQ(Cm.RowRoutine(), &TColorManager::ConvertRGBToBGR);
}

TEST(ColorManagerSettings, SettersValidateAndTrackChanges) {
    TColorManager Cm;
    Convert(Cm, {0, 0, 0}, 1, 3);
    ASSERT_FALSE(Cm.Changed());

    ExpectConversionError([&] { Cm.SetTargetBitsPerSample(0); }, gesInvalidSampleDepth);
    ExpectConversionError([&] { Cm.SetTargetBitsPerSample(17); }, gesInvalidSampleDepth);
    ExpectConversionError([&] { Cm.SetSourceBitsPerSample(0); }, gesInvalidSampleDepth);
    ExpectConversionError([&] { Cm.SetSourceSamplesPerPixel(0); }, gesInvalidPixelDepth);
    ExpectConversionError([&] { Cm.SetTargetSamplesPerPixel(5); }, gesInvalidPixelDepth);
    EXPECT_EQ(Cm.TargetBitsPerSample(), 8) << "a failed setter keeps the old value";
    EXPECT_FALSE(Cm.Changed());

    Cm.SetTargetBitsPerSample(8);
    Cm.SetSourceColorScheme(TCS::RGB);
    Cm.SetTargetSamplesPerPixel(3);
    EXPECT_FALSE(Cm.Changed()) << "setting the same value is no change";

    Cm.SetTargetBitsPerSample(16);
    EXPECT_EQ(Cm.TargetBitsPerSample(), 16);
    EXPECT_TRUE(Cm.Changed());
}

TEST(ColorManagerSettings, YCbCrParametersStoreCoefficientsBeforeChecking) {
    TColorManager Cm;
    ExpectConversionError([&] { Cm.SetYCbCrParameters({0.299f}, 1, 2); }, gesVerticalSubSamplingError);
    EXPECT_FLOAT_EQ(Cm.YCbCrCoefficients()[0], 0.299f);
    ExpectConversionError([&] { Cm.SetYCbCrParameters({0.3f, 0.6f}, 3, 1); }, gesInvalidSubSampling);
    EXPECT_FLOAT_EQ(Cm.YCbCrCoefficients()[1], 0.6f);
    ExpectConversionError([&] { Cm.SetYCbCrParameters({}, 2, 0); }, gesInvalidSubSampling);
    EXPECT_EQ(Cm.VerticalSubsampling(), 1);

    Cm.SetYCbCrParameters({0.2126f, 0.7152f, 0.0722f}, 4, 2);
    EXPECT_FLOAT_EQ(Cm.YCbCrCoefficients()[2], 0.0722f);
    EXPECT_EQ(Cm.HorizontalSubsampling(), 4);
    EXPECT_EQ(Cm.VerticalSubsampling(), 2);
}

TEST(ColorManagerSettings, PlatformPixelFormat) {
    struct Case { uint8_t Bits, Samples; TPixelFormat Expected; };
    const Case Cases[] = {{1, 1, pf1bit}, {2, 1, pf4bit},  {4, 1, pf4bit},   {8, 1, pf8bit},   {16, 1, pf8bit},
                          {5, 1, pfCustom}, {5, 3, pf15bit}, {8, 3, pf24bit}, {16, 3, pf24bit}, {8, 4, pf32bit},
                          {4, 4, pfCustom}, {8, 2, pfCustom}};
    for (const Case& C : Cases) {
        TColorManager Cm;
        Cm.SetTargetBitsPerSample(C.Bits);
        Cm.SetTargetSamplesPerPixel(C.Samples);
        Cm.SetSourceBitsPerSample(1);
        EXPECT_EQ(Cm.PlatformPixelFormat(true), C.Expected) << int(C.Bits) << " x " << int(C.Samples);
        EXPECT_EQ(Cm.PlatformPixelFormat(false), pf15bit) << "source: 1 bit x 3 samples";
    }
}

// --- Routine selection ------------------------------------------------------------------------

TEST(ColorManagerSelection, ChoosesTheRoutineBySchemeAndSampleSize) {
    using R = TColorManager::TRowRoutine;
    struct Case { TCS Source; uint8_t S; TCS Target; uint8_t T; R Expected; };
    const Case Cases[] = {
        {TCS::Indexed, 16, TCS::Indexed, 16, &TColorManager::ConvertIndexed16To16},
        {TCS::Indexed, 16, TCS::Indexed, 4, &TColorManager::ConvertIndexed16ToLow},
        {TCS::Indexed, 2, TCS::Indexed, 16, &TColorManager::ConvertIndexedLowTo16},
        {TCS::Indexed, 1, TCS::Gray, 8, &TColorManager::ConvertIndexed8},
        {TCS::Gray, 4, TCS::Gray, 8, &TColorManager::ConvertIndexed8},
        {TCS::Gray, 16, TCS::Gray, 8, &TColorManager::ConvertGray},
        {TCS::GrayAlpha, 8, TCS::Gray, 8, &TColorManager::ConvertGray},
        {TCS::RGBA, 8, TCS::RGB, 8, &TColorManager::ConvertRGBToRGB},
        {TCS::RGB, 16, TCS::BGRA, 8, &TColorManager::ConvertRGBToBGR},
        {TCS::BGR, 8, TCS::RGBA, 16, &TColorManager::ConvertBGRToRGB},
        {TCS::BGRA, 8, TCS::BGR, 8, &TColorManager::ConvertBGRToBGR},
        {TCS::CMYK, 8, TCS::RGB, 8, &TColorManager::ConvertCMYKToRGB},
        {TCS::CMYK, 16, TCS::BGRA, 8, &TColorManager::ConvertCMYKToBGR},
        {TCS::CIELab, 8, TCS::RGBA, 8, &TColorManager::ConvertLabToRGB},
        {TCS::CIELab, 8, TCS::BGR, 8, &TColorManager::ConvertLabToBGR},
        {TCS::YCbCr, 8, TCS::RGB, 8, &TColorManager::ConvertYCbCrToRGB},
        {TCS::YCbCr, 8, TCS::BGR, 8, &TColorManager::ConvertYCbCrToBGR},
        {TCS::PhotoYCC, 8, TCS::RGB, 8, &TColorManager::ConvertPhotoYCCToRGB},
        {TCS::PhotoYCC, 16, TCS::BGR, 16, &TColorManager::ConvertPhotoYCCToBGR},
    };
    for (const Case& C : Cases) {
        TColorManager Cm = Manager(C.Source, C.S, C.Target, C.T);
        Bytes Target(8);
        Cm.ConvertLine({Target.data()}, Target.data(), 0, 0xFF);
        EXPECT_EQ(Cm.RowRoutine(), C.Expected) << int(C.Source) << "/" << int(C.S) << " -> " << int(C.Target) << "/"
                                               << int(C.T);
        EXPECT_FALSE(Cm.Changed());
    }
}

TEST(ColorManagerSelection, RefusesWhatNoRoutineConverts) {
    const uint8_t Row[8] = {};
    uint8_t Target[8] = {};
    struct Case { TCS Source; uint8_t S; TCS Target; uint8_t T; const char* Message; };
    const Case Cases[] = {
        {TCS::Gray, 8, TCS::BGR, 8, gesIndexedNotSupported},
        {TCS::RGB, 8, TCS::Indexed, 8, gesIndexedNotSupported},
        {TCS::GrayAlpha, 8, TCS::RGBA, 8, gesIndexedNotSupported},
        {TCS::CMY, 8, TCS::BGR, 8, gesConversionUnsupported},
        {TCS::Unknown, 8, TCS::BGR, 8, gesConversionUnsupported},
        {TCS::RGB, 8, TCS::GrayAlpha, 8, gesConversionUnsupported},
        {TCS::Gray, 16, TCS::Gray, 4, gesConversionUnsupported},
        // Sample sizes a routine has no conversion for fail instead of leaving the row unwritten.
        {TCS::RGB, 4, TCS::BGR, 8, gesConversionUnsupported},
        {TCS::Indexed, 3, TCS::Indexed, 8, gesConversionUnsupported},
        {TCS::YCbCr, 8, TCS::BGR, 2, gesConversionUnsupported},
    };
    for (const Case& C : Cases) {
        TColorManager Cm = Manager(C.Source, C.S, C.Target, C.T);
        ExpectConversionError([&] { Cm.ConvertLine({Row}, Target, 1, 0xFF); }, C.Message);
        EXPECT_EQ(Cm.RowRoutine(), nullptr);
        EXPECT_TRUE(Cm.Changed()) << "a failed selection is retried";
    }

    // Once the settings are mended the next ConvertLine succeeds.
    TColorManager Cm = Manager(TCS::Gray, 8, TCS::BGR, 8);
    EXPECT_THROW(Cm.ConvertLine({Row}, Target, 1, 0xFF), EColorConversionError);
    Cm.SetTargetColorScheme(TCS::Gray);
    EXPECT_NO_THROW(Cm.ConvertLine({Row}, Target, 1, 0xFF));
}

TEST(ColorManagerSelection, AlphaFollowsTheSchemes) {
    TColorManager Cm = Manager(TCS::RGBA, 8, TCS::BGR, 8);
    Cm.TargetOptions.Include(TCO::Alpha);
    Convert(Cm, {1, 2, 3, 4}, 1, 3);
    EXPECT_TRUE(Cm.SourceOptions.Contains(TCO::Alpha));
    EXPECT_FALSE(Cm.TargetOptions.Contains(TCO::Alpha));
}

// --- Gamma and palettes -----------------------------------------------------------------------

TEST(ColorManagerGamma, DefaultTableAndFallbacks) {
    TColorManager Cm;
    EXPECT_EQ(Cm.GammaTable()[0], 0);
    EXPECT_EQ(Cm.GammaTable()[255], 255);
    EXPECT_EQ(Cm.GammaTable()[128], std::lround(255 * std::pow(128.0 / 255, 1 / 2.2)));
    EXPECT_EQ(Cm.GammaTable()[128], 186);

    Cm.SetGammaCorrection(0, -3);
    EXPECT_FLOAT_EQ(Cm.MainGamma(), 1.0f);
    EXPECT_FLOAT_EQ(Cm.DisplayGamma(), 2.2f);

    Convert(Cm, {0, 0, 0}, 1, 3);
    Cm.SetGammaCorrection(1.0f, 1.0f);
    for (int I = 0; I < 256; ++I) ASSERT_EQ(Cm.GammaTable()[I], I);
    EXPECT_FALSE(Cm.Changed()) << "gamma takes effect without a new selection";
}

TEST(ColorManagerGamma, LowBitTablesCoverOnlyTheirRange) {
    TColorManager Cm;
    Cm.SetGammaCorrection(1.0f, 1.0f); // identity everywhere first
    Cm.SetSourceBitsPerSample(4);
    Cm.SetTargetBitsPerSample(4);
    Cm.SetGammaCorrection(1.0f, 2.2f);
    const int Expected[16] = {0, 4, 6, 7, 8, 9, 10, 11, 11, 12, 12, 13, 14, 14, 15, 15};
    for (int I = 0; I < 16; ++I) EXPECT_EQ(Cm.GammaTable()[I], Expected[I]) << I;
    EXPECT_EQ(Cm.GammaTable()[16], 16) << "entries above 2^t - 1 keep their values";
    EXPECT_EQ(Cm.GammaTable()[200], 200);
}

TEST(ColorManagerGamma, AppliesToColourButNotAlpha) {
    TColorManager Cm = Manager(TCS::RGBA, 8, TCS::BGRA, 8);
    Cm.TargetOptions.Include(TCO::UseGamma);
    EXPECT_EQ(Convert(Cm, {128, 0, 255, 128}, 1, 4), (Bytes{255, 0, 186, 128}));
    Cm.SetSourceBitsPerSample(16);
    // 16 -> 8 scales first, then looks up: 32896 -> 128 -> 186.
    EXPECT_EQ(Convert(Cm, Le16({32896, 0, 65535, 32896}), 1, 4), (Bytes{255, 0, 186, 128}));
}

TEST(ColorManagerPalette, GrayRamps) {
    TColorManager Cm;
    Cm.SetTargetSamplesPerPixel(1);
    Cm.SetTargetBitsPerSample(1);
    TLogPalette P = Cm.CreateGrayPalette(true);
    ASSERT_EQ(P.palPalEntry.size(), 2u);
    EXPECT_EQ(P.palPalEntry[0], (TPaletteEntry{255, 255, 255, 0}));
    EXPECT_EQ(P.palPalEntry[1], (TPaletteEntry{0, 0, 0, 0}));

    Cm.SetTargetBitsPerSample(4);
    P = Cm.CreateGrayPalette(false);
    ASSERT_EQ(P.palPalEntry.size(), 16u);
    EXPECT_EQ(P.palPalEntry[1].peGreen, 17);
    EXPECT_EQ(P.palPalEntry[15].peBlue, 255);

    Cm.SetTargetBitsPerSample(16);
    P = Cm.CreateGrayPalette(false);
    ASSERT_EQ(P.palPalEntry.size(), 256u) << "at most 256 entries";

    Cm.SetTargetBitsPerSample(8);
    Cm.TargetOptions.Include(TCO::UseGamma);
    P = Cm.CreateGrayPalette(true);
    EXPECT_EQ(P.palPalEntry[255 - 128].peRed, 186);
}

TEST(ColorManagerPalette, LayoutsOrderAndSixteenBitValues) {
    TColorManager Cm; // 8-bit source and target: no rescaling
    const Bytes Triple = {1, 2, 3, 4, 5, 6};
    TLogPalette P = Cm.CreateColorPalette({Triple.data()}, TPaletteLayout::Interleaved8Triple, 2, false);
    ASSERT_EQ(P.palPalEntry.size(), 2u);
    EXPECT_EQ(P.palPalEntry[1], (TPaletteEntry{4, 5, 6, 0}));
    P = Cm.CreateColorPalette({Triple.data()}, TPaletteLayout::Interleaved8Triple, 2, true);
    EXPECT_EQ(P.palPalEntry[0], (TPaletteEntry{3, 2, 1, 0}));

    const Bytes Quad = {1, 2, 3, 99, 4, 5, 6, 99};
    P = Cm.CreateColorPalette({Quad.data()}, TPaletteLayout::Interleaved8Quad, 2, true);
    EXPECT_EQ(P.palPalEntry[1], (TPaletteEntry{6, 5, 4, 0}));

    const Bytes Red = {10, 11}, Green = {20, 21}, Blue = {30, 31};
    P = Cm.CreateColorPalette({Red.data(), Green.data(), Blue.data()}, TPaletteLayout::Planar8Triple, 2, true);
    EXPECT_EQ(P.palPalEntry[1], (TPaletteEntry{11, 21, 31, 0})) << "planar layouts ignore BGROrder";

    const Bytes Wide = Le16({65535, 257, 0});
    P = Cm.CreateColorPalette({Wide.data()}, TPaletteLayout::Interleaved16Triple, 1, false);
    EXPECT_EQ(P.palPalEntry[0], (TPaletteEntry{255, 1, 0, 0}));
    Cm.SourceOptions.Include(TCO::ByteSwap);
    P = Cm.CreateColorPalette({Wide.data()}, TPaletteLayout::Interleaved16Triple, 1, false);
    EXPECT_EQ(P.palPalEntry[0], (TPaletteEntry{255, 1, 0, 0})) << "symmetric values survive the swap";
    const Bytes BigEndian = {0xFF, 0x00, 0xFF, 0xFF, 0x00, 0x00}; // 0xFF00 -> 254
    P = Cm.CreateColorPalette({BigEndian.data()}, TPaletteLayout::Interleaved16Triple, 1, false);
    EXPECT_EQ(P.palPalEntry[0], (TPaletteEntry{254, 255, 0, 0}));

    Cm.TargetOptions.Include(TCO::UseGamma);
    const Bytes Mid = {128, 0, 255};
    P = Cm.CreateColorPalette({Mid.data()}, TPaletteLayout::Interleaved8Triple, 1, false);
    EXPECT_EQ(P.palPalEntry[0], (TPaletteEntry{186, 0, 255, 0}));

    const Bytes Many(3 * 300, 7);
    EXPECT_EQ(Cm.CreateColorPalette({Many.data()}, TPaletteLayout::Interleaved8Triple, 300, false).palPalEntry.size(),
              256u);
}

TEST(ColorManagerPalette, RescalesBetweenSampleSizes) {
    Bytes Source;
    for (int K = 0; K < 16; ++K) Source.insert(Source.end(), {uint8_t(K), uint8_t(K + 100), uint8_t(K + 200)});

    TColorManager Cm;
    Cm.SetSourceBitsPerSample(4);
    TLogPalette P = Cm.CreateColorPalette({Source.data()}, TPaletteLayout::Interleaved8Triple, 16, false);
    ASSERT_EQ(P.palPalEntry.size(), 256u);
    for (int K = 0; K < 16; ++K) EXPECT_EQ(P.palPalEntry[17 * K], (TPaletteEntry{uint8_t(K), uint8_t(K + 100), uint8_t(K + 200), 0}));
    EXPECT_EQ(P.palPalEntry[18], P.palPalEntry[17]) << "18 * 15 div 255 = 1";

    // Narrowing: target entry i takes source entry i * 255 div 15 = 17 i.
    Bytes Wide(256 * 3);
    for (int I = 0; I < 256; ++I) Wide[3 * I] = static_cast<uint8_t>(I);
    TColorManager Narrow;
    Narrow.SetTargetBitsPerSample(4);
    P = Narrow.CreateColorPalette({Wide.data()}, TPaletteLayout::Interleaved8Triple, 256, false);
    ASSERT_EQ(P.palPalEntry.size(), 16u);
    for (int I = 0; I < 16; ++I) EXPECT_EQ(P.palPalEntry[I].peRed, 17 * I);

    // A file giving fewer colours than its indices reach: the missing ones are black, never read from beyond.
    P = Cm.CreateColorPalette({Source.data()}, TPaletteLayout::Interleaved8Triple, 4, false);
    ASSERT_EQ(P.palPalEntry.size(), 256u);
    EXPECT_EQ(P.palPalEntry[17 * 3].peGreen, 103);
    EXPECT_EQ(P.palPalEntry[17 * 4], (TPaletteEntry{}));
}

// --- Index family -----------------------------------------------------------------------------

TEST(ConvertIndexed, EveryPackedSizePairScalesAndPacks) {
    std::mt19937 Random(7);
    for (unsigned S : {1u, 2u, 4u, 8u}) {
        for (unsigned T : {1u, 2u, 4u, 8u}) {
            for (TCS Scheme : {TCS::Indexed, TCS::Gray}) {
                const uint32_t Count = 37;
                std::vector<unsigned> Values(Count);
                for (auto& V : Values) V = Random() & ((1u << S) - 1);
                TColorManager Cm = Manager(Scheme, uint8_t(S), Scheme, uint8_t(T));
                const Bytes Out = Convert(Cm, Pack(Values, S), Count, (Count * T + 7) / 8);
                ASSERT_EQ(Cm.RowRoutine(), &TColorManager::ConvertIndexed8);
                for (uint32_t I = 0; I < Count; ++I)
                    ASSERT_EQ(Unpack(Out, I, T), Values[I] * ((1u << T) - 1) / ((1u << S) - 1))
                        << S << " -> " << T << " pixel " << I;
            }
        }
    }
}

TEST(ConvertIndexed, KnownValues) {
    TColorManager Cm = Manager(TCS::Indexed, 1, TCS::Indexed, 8);
    EXPECT_EQ(Convert(Cm, {0xA0}, 3, 3), (Bytes{255, 0, 255}));
    Cm.SetSourceBitsPerSample(4);
    EXPECT_EQ(Convert(Cm, {0xF1}, 2, 2), (Bytes{255, 17}));
}

TEST(ConvertIndexed, PassMaskKeepsOtherPixelsAndConsumesOnlyPassPixels) {
    TColorManager Cm = Manager(TCS::Indexed, 8, TCS::Indexed, 8);
    const Bytes Source = {11, 22, 33, 44};
    Bytes Out = Convert(Cm, Source, 16, 16, 0x80, 0xEE);
    Bytes Expected(16, 0xEE);
    Expected[0] = 11;
    Expected[8] = 22;
    EXPECT_EQ(Out, Expected);

    // Packed targets keep the neighbouring bits of a shared byte.
    Cm.SetSourceBitsPerSample(1);
    Cm.SetTargetBitsPerSample(4);
    Out = Convert(Cm, {0xC0}, 4, 2, 0x50, 0x99); // pixels 1 and 3 get 1 and 1 -> 15
    EXPECT_EQ(Out, (Bytes{0x9F, 0x9F}));
    Out = Convert(Cm, {0x40}, 4, 2, 0x50, 0x99); // pixels 1 and 3 get 0 and 1
    EXPECT_EQ(Out, (Bytes{0x90, 0x9F}));
}

TEST(ConvertIndexed, SixteenBitVariants) {
    TColorManager Cm = Manager(TCS::Indexed, 16, TCS::Indexed, 16);
    EXPECT_EQ(Convert(Cm, Le16({0x1234, 0xABCD}), 2, 4), Le16({0x1234, 0xABCD}));
    EXPECT_EQ(Convert(Cm, Le16({0x1234, 0xABCD}), 8, 16, 0x40, 0), (Bytes{0, 0, 0x34, 0x12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    Cm.SourceOptions.Include(TCO::ByteSwap);
    EXPECT_EQ(Convert(Cm, Le16({0x1234, 0xABCD}), 2, 4), Le16({0x3412, 0xCDAB}));

    for (unsigned T : {1u, 2u, 4u, 8u}) {
        TColorManager Low = Manager(TCS::Indexed, 16, TCS::Indexed, uint8_t(T));
        const std::vector<unsigned> Values = {0, 65535, 32768, 4369, 100, 65534, 21845, 43690};
        Bytes Source;
        for (unsigned V : Values) Source.insert(Source.end(), {uint8_t(V), uint8_t(V >> 8)});
        const Bytes Out = Convert(Low, Source, 8, 8);
        for (size_t I = 0; I < Values.size(); ++I)
            EXPECT_EQ(Unpack(Out, I, T), Values[I] * ((1u << T) - 1) / 65535) << T << " bits, pixel " << I;
        Low.SourceOptions.Include(TCO::ByteSwap);
        EXPECT_EQ(Unpack(Convert(Low, {0x00, 0xFF}, 1, 1), 0, T), 255u * ((1u << T) - 1) / 65535);
    }

    for (unsigned S : {1u, 2u, 4u, 8u}) {
        TColorManager Up = Manager(TCS::Indexed, uint8_t(S), TCS::Indexed, 16);
        const unsigned Max = (1u << S) - 1;
        const Bytes Out = Convert(Up, Pack({Max, 0, 1}, S), 3, 6);
        EXPECT_EQ(Get16(Out, 0), 65535u) << S;
        EXPECT_EQ(Get16(Out, 1), 0u);
        EXPECT_EQ(Get16(Out, 2), 65535u / Max);
    }
}

TEST(ConvertGray, SampleSizesAlphaAndSwap) {
    TColorManager Cm = Manager(TCS::Gray, 16, TCS::Gray, 8);
    EXPECT_EQ(Convert(Cm, Le16({65535, 257, 256}), 3, 3), (Bytes{255, 1, 0}));
    Cm.SourceOptions.Include(TCO::ByteSwap);
    EXPECT_EQ(Convert(Cm, {0x01, 0x01, 0x00, 0x01}, 2, 2), (Bytes{1, 0}));
    Cm.SetTargetBitsPerSample(16);
    EXPECT_EQ(Convert(Cm, {0x12, 0x34}, 1, 2), Le16({0x1234}));

    TColorManager Alpha = Manager(TCS::GrayAlpha, 8, TCS::Gray, 8);
    EXPECT_EQ(Convert(Alpha, {10, 99, 20, 99, 30, 99}, 3, 3), (Bytes{10, 20, 30}));
    Alpha.SetTargetBitsPerSample(16);
    EXPECT_EQ(Convert(Alpha, {10, 99, 20, 99}, 2, 4), Le16({10 * 257, 20 * 257}));
    Alpha.SetSourceBitsPerSample(16);
    EXPECT_EQ(Convert(Alpha, Le16({1000, 7, 2000, 7}), 2, 4), Le16({1000, 2000}));
    Alpha.SetTargetBitsPerSample(8);
    EXPECT_EQ(Convert(Alpha, Le16({65535, 7, 0, 7}), 2, 2, 0x40, 0x55), (Bytes{0x55, 255}));
}

// --- RGB / BGR family -------------------------------------------------------------------------

TEST(ConvertRGB, ComponentOrderOfTheFourRoutines) {
    struct Case { TCS Source, Target; Bytes Expected; };
    const Case Cases[] = {{TCS::RGB, TCS::BGR, {3, 2, 1}}, {TCS::RGB, TCS::RGB, {1, 2, 3}},
                          {TCS::BGR, TCS::RGB, {3, 2, 1}}, {TCS::BGR, TCS::BGR, {1, 2, 3}}};
    for (const Case& C : Cases) {
        for (uint8_t Mask : {uint8_t(0xFF), uint8_t(0x80)}) {
            TColorManager Cm = Manager(C.Source, 8, C.Target, 8);
            EXPECT_EQ(Convert(Cm, {1, 2, 3}, 1, 3, Mask), C.Expected);
            Cm.SetSourceBitsPerSample(16);
            Cm.SetTargetBitsPerSample(16);
            const Bytes Out = Convert(Cm, Le16({1000, 2000, 3000}), 1, 6, Mask);
            EXPECT_EQ(Get16(Out, 0), C.Expected[0] * 1000u);
            EXPECT_EQ(Get16(Out, 2), C.Expected[2] * 1000u);
        }
    }
}

TEST(ConvertRGB, SampleSizeConversions) {
    TColorManager Cm = Manager(TCS::BGR, 16, TCS::BGR, 8);
    EXPECT_EQ(Convert(Cm, Le16({65535, 257, 0}), 1, 3), (Bytes{255, 1, 0}));
    Cm.SourceOptions.Include(TCO::ByteSwap);
    EXPECT_EQ(Convert(Cm, {0xFF, 0xFF, 0x01, 0x01, 0x01, 0x00}, 1, 3), (Bytes{255, 1, 0}))
        << "0x0101 stays 257 -> 1; 0x0100 swapped is 256 -> 0";
    EXPECT_EQ(Convert(Cm, {0x00, 0x01, 0x00, 0x00, 0xFF, 0x00}, 1, 3), (Bytes{0, 0, 254}))
        << "0xFF00 big-endian is 65280 -> 254";

    TColorManager Widen = Manager(TCS::RGB, 8, TCS::RGB, 16);
    EXPECT_EQ(Convert(Widen, {0, 1, 255}, 1, 6), Le16({0, 257, 65535}));

    TColorManager Same = Manager(TCS::RGB, 16, TCS::RGB, 16);
    EXPECT_EQ(Convert(Same, Le16({1, 2, 3}), 1, 6), Le16({1, 2, 3}));
    // With ByteSwap the value is read swapped and, like every 16-bit result, written swapped.
    Same.SourceOptions.Include(TCO::ByteSwap);
    EXPECT_EQ(Convert(Same, {0x12, 0x34, 0, 1, 2, 3}, 1, 6), (Bytes{0x12, 0x34, 0, 1, 2, 3}));
}

TEST(ConvertRGB, AlphaCombinations) {
    TColorManager Cm = Manager(TCS::RGBA, 8, TCS::BGRA, 8);
    EXPECT_EQ(Convert(Cm, {1, 2, 3, 4, 5, 6, 7, 8}, 2, 8), (Bytes{3, 2, 1, 4, 7, 6, 5, 8}));
    Cm.SetSourceBitsPerSample(16);
    EXPECT_EQ(Convert(Cm, Le16({0, 0, 65535, 257}), 1, 4), (Bytes{255, 0, 0, 1}));
    Cm.SetSourceBitsPerSample(8);
    Cm.SetTargetBitsPerSample(16);
    EXPECT_EQ(Convert(Cm, {1, 2, 3, 4}, 1, 8), Le16({3 * 257, 2 * 257, 257, 4 * 257}));

    TColorManager Drop = Manager(TCS::BGRA, 8, TCS::BGR, 8);
    EXPECT_EQ(Convert(Drop, {1, 2, 3, 99, 4, 5, 6, 99}, 2, 6), (Bytes{1, 2, 3, 4, 5, 6}));
    TColorManager Keep = Manager(TCS::BGR, 8, TCS::BGRA, 8);
    EXPECT_EQ(Convert(Keep, {1, 2, 3, 4, 5, 6}, 2, 8, 0xFF, 0xEE), (Bytes{1, 2, 3, 0xEE, 4, 5, 6, 0xEE}));
    TColorManager KeepSwapped = Manager(TCS::RGB, 8, TCS::BGRA, 8);
    EXPECT_EQ(Convert(KeepSwapped, {1, 2, 3}, 1, 4, 0xFF, 0xEE), (Bytes{3, 2, 1, 0xEE}));
}

TEST(ConvertRGB, PlanarSources) {
    const Bytes R = {1, 4}, G = {2, 5}, B = {3, 6}, A = {7, 8};
    TColorManager Cm = Manager(TCS::RGBA, 8, TCS::BGRA, 8);
    Bytes Target(8);
    Cm.ConvertLine({R.data(), G.data(), B.data(), A.data()}, Target.data(), 2, 0xFF);
    EXPECT_EQ(Target, (Bytes{3, 2, 1, 7, 6, 5, 4, 8}));

    Cm.SetSourceColorScheme(TCS::RGB);
    Target.assign(6, 0);
    Cm.SetTargetColorScheme(TCS::RGB);
    Cm.ConvertLine({R.data(), G.data(), B.data()}, Target.data(), 2, 0xFF);
    EXPECT_EQ(Target, (Bytes{1, 2, 3, 4, 5, 6}));

    Cm.SetSourceColorScheme(TCS::RGBA);
    Cm.SetTargetColorScheme(TCS::RGBA);
    EXPECT_THROW(Cm.ConvertLine({R.data(), G.data(), B.data()}, Target.data(), 2, 0xFF), EAssertionFailed)
        << "an alpha target needs the alpha plane";
}

TEST(ConvertRGB, InterlacedPassesAddUpToTheWholeRow) {
    // Converting a row in two complementary passes must give what one full pass gives,
    // whichever path (block copy, shuffle or per-pixel) the routine takes.
    std::mt19937 Random(3);
    const uint32_t Count = 203; // several wide blocks plus a ragged tail
    for (TCS Source : {TCS::RGB, TCS::RGBA, TCS::BGR}) {
        for (TCS Target : {TCS::BGR, TCS::BGRA, TCS::RGB}) {
            for (uint8_t S : {uint8_t(8), uint8_t(16)}) {
                TColorManager Cm = Manager(Source, S, Target, 8);
                const size_t SourcePixel = (Source == TCS::RGBA ? 4 : 3) * (S / 8);
                const size_t TargetPixel = Target == TCS::BGRA ? 4 : 3;
                Bytes Row(Count * SourcePixel);
                for (auto& B : Row) B = static_cast<uint8_t>(Random());
                const Bytes Whole = Convert(Cm, Row, Count, Count * TargetPixel);

                Bytes Even, Odd;
                for (uint32_t I = 0; I < Count; ++I) {
                    Bytes& Part = (I % 2 == 0) ? Even : Odd;
                    Part.insert(Part.end(), Row.begin() + I * SourcePixel, Row.begin() + (I + 1) * SourcePixel);
                }
                Bytes Passes(Count * TargetPixel);
                Cm.ConvertLine({Even.data()}, Passes.data(), Count, 0xAA);
                Cm.ConvertLine({Odd.data()}, Passes.data(), Count, 0x55);
                EXPECT_EQ(Passes, Whole) << int(Source) << " -> " << int(Target) << " at " << int(S) << " bits";
            }
        }
    }
}

// --- CMYK, Lab, YCbCr, PhotoYCC ---------------------------------------------------------------

TEST(ConvertCMYK, EightBitValues) {
    TColorManager Cm = Manager(TCS::CMYK, 8, TCS::RGB, 8);
    EXPECT_EQ(Convert(Cm, {0, 0, 0, 0}, 1, 3), (Bytes{255, 255, 255}));
    EXPECT_EQ(Convert(Cm, {255, 255, 255, 0}, 1, 3), (Bytes{0, 0, 0}));
    EXPECT_EQ(Convert(Cm, {10, 200, 77, 255}, 1, 3), (Bytes{0, 0, 0}));
    // 255 - 100 - 30 + 100*30 div 255 = 125 + 11; 255 - 50 - 30 + 5 = 180; 255 - 200 - 30 + 23 = 48.
    EXPECT_EQ(Convert(Cm, {100, 50, 200, 30}, 1, 3), (Bytes{136, 180, 48}));

    Cm.SetTargetColorScheme(TCS::BGRA);
    EXPECT_EQ(Convert(Cm, {100, 50, 200, 30}, 1, 4, 0xFF, 0xEE), (Bytes{48, 180, 136, 0xEE}));
    Cm.SetTargetBitsPerSample(16);
    EXPECT_EQ(Convert(Cm, {100, 50, 200, 30}, 1, 8, 0xFF, 0xEE),
              (Bytes{uint8_t(48), 48, 180, 180, 136, 136, 0xEE, 0xEE}));

    const Bytes C = {100}, M = {50}, Y = {200}, K = {30};
    Bytes Target(3);
    TColorManager Planar = Manager(TCS::CMYK, 8, TCS::RGB, 8);
    Planar.ConvertLine({C.data(), M.data(), Y.data(), K.data()}, Target.data(), 1, 0xFF);
    EXPECT_EQ(Target, (Bytes{136, 180, 48}));
}

TEST(ConvertCMYK, SixteenBitValues) {
    TColorManager Cm = Manager(TCS::CMYK, 16, TCS::RGB, 8);
    // X=30000, K=10000: ink = 40000 - 300000000 div 65535 = 40000 - 4577 = 35423; 255 - 35423*255 div 65535 = 255 - 137.
    EXPECT_EQ(Convert(Cm, Le16({30000, 0, 65535, 10000}), 1, 3), (Bytes{118, 217, 0}));
    Cm.SourceOptions.Include(TCO::ByteSwap); // ignored by the CMYK routines
    EXPECT_EQ(Convert(Cm, Le16({30000, 0, 65535, 10000}), 1, 3), (Bytes{118, 217, 0}));
    Cm.SetTargetBitsPerSample(16);
    // (65535 + 4577 - 30000 - 10000) = 30112; (65535 + 0 - 0 - 10000) = 55535; 65535 + 10000 - 65535 - 10000 = 0.
    EXPECT_EQ(Convert(Cm, Le16({30000, 0, 65535, 10000}), 1, 6), Le16({30112, 55535, 0}));
}

TEST(ConvertLab, ValuesAgainstTheCIEFormulas) {
    TColorManager Cm = Manager(TCS::CIELab, 8, TCS::RGB, 8);
    EXPECT_EQ(Convert(Cm, {100, 0, 0}, 1, 3), (Bytes{255, 255, 255}));
    EXPECT_EQ(Convert(Cm, {0, 0, 0}, 1, 3), (Bytes{0, 0, 0}));
    EXPECT_EQ(Convert(Cm, {50, 0, 0}, 1, 3), (Bytes{47, 47, 47}));
    EXPECT_EQ(Convert(Cm, {60, 20, uint8_t(-30)}, 1, 3), (Bytes{80, 62, 141}));
    EXPECT_EQ(Convert(Cm, {5, 10, 10}, 1, 3), (Bytes{4, 1, 0})) << "the linear branch below L 8";

    Cm.SourceOptions.Include(TCO::LabChroma128);
    EXPECT_EQ(Convert(Cm, {60, 108, 158}, 1, 3), (Bytes{56, 81, 28}));
    Cm.SourceOptions.Include(TCO::LabLightness255);
    EXPECT_EQ(Convert(Cm, {200, 168, 148}, 1, 3), (Bytes{255, 92, 93}));

    Cm.SetTargetColorScheme(TCS::BGRA);
    EXPECT_EQ(Convert(Cm, {200, 168, 148}, 1, 4, 0xFF, 0xEE), (Bytes{93, 92, 255, 0xEE}));
    Cm.SetTargetBitsPerSample(16);
    EXPECT_EQ(Convert(Cm, {200, 168, 148}, 1, 8, 0xFF, 0xEE), (Bytes{93, 93, 92, 92, 255, 255, 0xEE, 0xEE}));
}

TEST(ConvertYCbCr, ChromaTablesAndValues) {
    TColorManager Cm = Manager(TCS::YCbCr, 8, TCS::RGB, 8);
    EXPECT_EQ(Convert(Cm, {128, 128, 128}, 1, 3), (Bytes{128, 128, 128}));
    ASSERT_EQ(Cm.CrToR().size(), 256u);
    EXPECT_EQ(Cm.CrToR()[255], 178);
    EXPECT_EQ(Cm.CbToB()[0], -227);
    EXPECT_EQ(Cm.CrToG()[128], 0);
    // Kr 0.299, Kb 0.114: R = 100 + round(1.402 * 72) = 201; G = 100 - 51 + 27; B = 100 - 138 clamps to 0.
    EXPECT_EQ(Convert(Cm, {100, 50, 200}, 1, 3), (Bytes{201, 76, 0}));
    EXPECT_EQ(Convert(Cm, {200, 30, 40}, 1, 3), (Bytes{77, 255, 26}));

    Cm.SetTargetColorScheme(TCS::BGRA);
    EXPECT_EQ(Convert(Cm, {100, 50, 200}, 1, 4, 0xFF, 0xEE), (Bytes{0, 76, 201, 0xEE}));
    Cm.SetTargetBitsPerSample(16);
    EXPECT_EQ(Convert(Cm, {100, 50, 200}, 1, 8), Le16({0, 76 * 257, 201 * 257, 0}));
    Cm.SetSourceBitsPerSample(16);
    Cm.SetTargetBitsPerSample(8);
    EXPECT_EQ(Convert(Cm, Le16({100 * 257, 50 * 257, 200 * 257}), 1, 4), (Bytes{0, 76, 201, 0}));

    // New coefficients rebuild the tables at the next conversion.
    Cm.SetYCbCrParameters({0.5f, 0.25f, 0.25f}, 1, 1);
    Convert(Cm, Le16({0, 0, 0}), 1, 4);
    EXPECT_EQ(Cm.CrToR()[255], 127) << "c_r = 1.0";
}

TEST(ConvertYCbCr, DegenerateCoefficientsStayBounded) {
    TColorManager Cm = Manager(TCS::YCbCr, 8, TCS::RGB, 8);
    Cm.SetYCbCrParameters({0.3f, 0.0f, 0.1f}, 1, 1);
    const Bytes Out = Convert(Cm, {100, 0, 255}, 1, 3);
    EXPECT_EQ(Out[0], 255);
    for (int32_t V : Cm.CrToG()) EXPECT_LE(std::abs(V), 65536);
}

TEST(ConvertPhotoYCC, EightAndSixteenBit) {
    TColorManager Cm = Manager(TCS::PhotoYCC, 8, TCS::RGB, 8);
    Convert(Cm, {0, 0, 0}, 1, 3);
    EXPECT_EQ(Cm.CrToR()[137], 0);
    EXPECT_EQ(Cm.CbToB()[156], 0);
    EXPECT_EQ(Convert(Cm, {120, 90, 180}, 1, 3), (Bytes{180, 112, 3}));
    Cm.SetTargetColorScheme(TCS::BGR);
    EXPECT_EQ(Convert(Cm, {120, 90, 180}, 1, 3), (Bytes{3, 112, 180}));

    Cm.SetSourceBitsPerSample(16);
    Cm.SetTargetBitsPerSample(16);
    Cm.SetTargetColorScheme(TCS::RGB);
    EXPECT_EQ(Convert(Cm, Le16({30000, 45000, 30000}), 1, 6), Le16({31264, 43470, 51637}));
    // Results beyond the 16-bit range clamp rather than wrap around.
    EXPECT_EQ(Convert(Cm, Le16({65535, 65535, 65535}), 1, 6), Le16({65535, 49959, 65535}));
    EXPECT_EQ(Convert(Cm, Le16({0, 0, 0}), 1, 6), Le16({0, 49894, 0}));
}

TEST(ConvertLineChecked, RefusesShortBuffers) {
    TColorManager Cm;
    Bytes Source(9), Target(9);
    EXPECT_NO_THROW(Cm.ConvertLineChecked(std::vector<std::span<const uint8_t>>{Source}, Target, 3, 0xFF));
    Source.resize(8);
    EXPECT_THROW(Cm.ConvertLineChecked(std::vector<std::span<const uint8_t>>{Source}, Target, 3, 0xFF), EAssertionFailed);
    // Under a pass mask only the pass pixels are read.
    Source.resize(3);
    EXPECT_NO_THROW(Cm.ConvertLineChecked(std::vector<std::span<const uint8_t>>{Source}, Target, 3, 0x80));
    Target.resize(8);
    EXPECT_THROW(Cm.ConvertLineChecked(std::vector<std::span<const uint8_t>>{Source}, Target, 3, 0x80), EAssertionFailed);

    TColorManager Packed = Manager(TCS::Indexed, 1, TCS::Indexed, 8);
    EXPECT_EQ(Packed.SourceBytesNeeded(9, 0xFF, 1), 2u);
    EXPECT_EQ(Packed.TargetBytesNeeded(9), 9u);
}
