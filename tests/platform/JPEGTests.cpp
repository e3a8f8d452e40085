#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "PictureTestUtil.h"
#include "TestSupport.h"
#include "platform/JPEG.h"

using namespace qv;
using namespace qvtest;

namespace {

// 16x8: the left block red, the right block blue.
std::vector<uint8_t> TwoBlocks() {
    std::vector<uint8_t> Samples;
    for (int Y = 0; Y < 8; ++Y)
        for (int X = 0; X < 16; ++X) {
            const bool Left = X < 8;
            Samples.insert(Samples.end(), {uint8_t(Left ? 220 : 10), uint8_t(20), uint8_t(Left ? 30 : 200)});
        }
    return Samples;
}

// A 64x64 colour gradient, so that the entropy-coded scan is long.
std::vector<uint8_t> Gradient() {
    std::vector<uint8_t> Samples;
    for (int Y = 0; Y < 64; ++Y)
        for (int X = 0; X < 64; ++X) Samples.insert(Samples.end(), {uint8_t(X * 4), uint8_t(Y * 4), uint8_t((X ^ Y) * 4)});
    return Samples;
}

bool Near(uint32_t RgbaValue, uint32_t Expected, int Tolerance) {
    for (int Shift = 8; Shift < 32; Shift += 8) {
        const int A = int(RgbaValue >> Shift & 0xFF), B = int(Expected >> Shift & 0xFF);
        if (std::abs(A - B) > Tolerance) return false;
    }
    return true;
}

} // namespace

TEST(JPEGImage, ColourBaselineAndProgressiveDecodeAlike) {
    const auto Samples = TwoBlocks();
    TJPEGImage Baseline, Progressive;
    LoadFromBytes(Baseline, CompressJpeg(16, 8, Samples, {}));
    LoadFromBytes(Progressive, CompressJpeg(16, 8, Samples, {JCS_RGB, 3, true}));
    const TBitmap& B = Baseline.Bitmap();
    ASSERT_EQ(B.Width(), 16);
    ASSERT_EQ(B.Height(), 8);
    EXPECT_EQ(B.PixelFormat(), pf24bit);
    EXPECT_TRUE(Near(Rgba(B, 3, 4), 0xDC141EFFu, 4)) << std::hex << Rgba(B, 3, 4);
    EXPECT_TRUE(Near(Rgba(B, 12, 4), 0x0A14C8FFu, 4)) << std::hex << Rgba(B, 12, 4);
    // Same coefficients, other scan order: the same pixels.
    for (int Y = 0; Y < 8; ++Y)
        for (int X = 0; X < 16; ++X) ASSERT_EQ(Progressive.Bitmap().PixelBGRA(X, Y), B.PixelBGRA(X, Y)) << X << "," << Y;

    // Copying into a bitmap goes through AssignTo.
    TBitmap Copy;
    Copy.Assign(&Baseline);
    EXPECT_EQ(Copy.PixelFormat(), pf24bit);
    EXPECT_EQ(Copy.PixelBGRA(12, 4), B.PixelBGRA(12, 4));
}

TEST(JPEGImage, GreyscaleLoadsIntoEightBitsWithAGreyPalette) {
    std::vector<uint8_t> Samples(16 * 8);
    for (size_t I = 0; I < Samples.size(); ++I) Samples[I] = I % 16 < 8 ? 40 : 200;
    TJPEGImage Image;
    LoadFromBytes(Image, CompressJpeg(16, 8, Samples, {JCS_GRAYSCALE, 1}));
    const TBitmap& B = Image.Bitmap();
    EXPECT_EQ(B.PixelFormat(), pf8bit);
    ASSERT_EQ(B.Palette().size(), 256u);
    for (int I = 0; I < 256; ++I) {
        const TRGBQuad& Q = B.Palette()[static_cast<size_t>(I)];
        ASSERT_TRUE(Q.rgbRed == I && Q.rgbGreen == I && Q.rgbBlue == I) << I;
    }
    EXPECT_NEAR(B.ScanLine(2)[3], 40, 2);
    EXPECT_NEAR(B.ScanLine(2)[12], 200, 2);
}

TEST(JPEGImage, CmykFollowsTheAdobeInversionConvention) {
    // Stored samples 255, 0, 255, 255 on every pixel.
    std::vector<uint8_t> Samples;
    for (int I = 0; I < 64; ++I) Samples.insert(Samples.end(), {255, 0, 255, 255});
    TJPEGImage Adobe, Plain;
    // With Adobe's marker a stored 255 means no ink: C, Y and K absent, M full: magenta.
    LoadFromBytes(Adobe, CompressJpeg(8, 8, Samples, {JCS_CMYK, 4, false, true}));
    EXPECT_EQ(Adobe.Bitmap().PixelFormat(), pf24bit);
    EXPECT_TRUE(Near(Rgba(Adobe.Bitmap(), 4, 4), 0xFF00FFFFu, 3)) << std::hex << Rgba(Adobe.Bitmap(), 4, 4);
    // Without it 255 is full ink, and full black ink gives black.
    LoadFromBytes(Plain, CompressJpeg(8, 8, Samples, {JCS_CMYK, 4, false, false}));
    EXPECT_TRUE(Near(Rgba(Plain.Bitmap(), 4, 4), 0x000000FFu, 3)) << std::hex << Rgba(Plain.Bitmap(), 4, 4);
}

TEST(JPEGImage, DamagedDataRaisesAClearErrorAndWarningsDoNot) {
    TJPEGImage Image;
    EXPECT_THROW(LoadFromBytes(Image, {}), EInvalidGraphic);
    try {
        LoadFromBytes(Image, {0xFF, 0xD8, 0x12, 0x34, 0x56, 0x78, 0x9A});
        FAIL() << "garbage after the start marker loaded";
    } catch (const EInvalidGraphic& E) {
        EXPECT_NE(E.Message().find("JPEG"), std::string::npos) << E.Message();
    }
    EXPECT_TRUE(Image.Empty());

    // Corrupt entropy-coded data and a file cut inside the scan only produce
    // library warnings: the picture still loads at its full size.
    std::vector<uint8_t> Data = CompressJpeg(64, 64, Gradient(), {});
    std::vector<uint8_t> Cut(Data.begin(), Data.begin() + static_cast<ptrdiff_t>(Data.size() * 3 / 4));
    LoadFromBytes(Image, Cut);
    EXPECT_EQ(Image.Width(), 64);
    for (size_t I = Data.size() / 2; I < Data.size() / 2 + 40; ++I) Data[I] ^= 0x5A;
    LoadFromBytes(Image, Data);
    EXPECT_EQ(Image.Height(), 64);
}

TEST(JPEGImage, TruncationSweep) {
    for (bool Progressive : {false, true}) {
        const auto Data = CompressJpeg(16, 8, TwoBlocks(), {JCS_RGB, 3, Progressive});
        TruncationSweep(Data, [](const std::vector<uint8_t>& Cut) {
            TJPEGImage Image;
            LoadFromBytes(Image, Cut);
            EXPECT_EQ(Image.Width(), 16);
            EXPECT_EQ(Image.Height(), 8);
        }, Data.size(), 1);
    }
}

TEST(JPEGImageCorpus, MatchesReferencesWithinOneLevel) {
    QV_REQUIRE_CORPUS();
    namespace fs = std::filesystem;
    int Count = 0;
    for (const auto& Entry : fs::directory_iterator(fs::path(CorpusDir()) / "files" / "jpeg")) {
        const std::string Name = Entry.path().filename().string();
        SCOPED_TRACE(Name);
        TJPEGImage Image;
        Image.LoadFromFile(Entry.path().string());
        const TRgbaImage Reference = ReadPng((fs::path(CorpusDir()) / "ref" / "jpeg" / (Name + ".png")).string());
        const int Difference = MaxChannelDifference(Image.Bitmap(), Reference);
        EXPECT_GE(Difference, 0);
        EXPECT_LE(Difference, 1);
        ++Count;
    }
    EXPECT_GT(Count, 0);
}
