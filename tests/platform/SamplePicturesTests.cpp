// The bundled pictures in samples/ are made here with our own writers, so
// that they can be remade: QV_WRITE_SAMPLES=1 qv_tests_platform
// --gtest_filter='SamplePictures.*' rewrites them. Otherwise the test checks
// that the bundled files are exactly what the generator makes and load as
// the viewer loads them.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "PictureTestUtil.h"
#include "TestSupport.h"
#include "platform/Graphics.h"

using namespace qv;
using namespace qvtest;

namespace {

constexpr int SceneWidth = 128;
constexpr int SceneHeight = 96;

// A small landscape: sky gradient, sun, hills. Red, green, blue per pixel.
std::vector<uint8_t> Scene() {
    std::vector<uint8_t> Rgb;
    for (int Y = 0; Y < SceneHeight; ++Y)
        for (int X = 0; X < SceneWidth; ++X) {
            const int DX = X - 88, DY = Y - 34;
            const int Hill = 70 + (X - 64) * (X - 64) / 180;
            uint8_t R = uint8_t(40 + Y * 150 / SceneHeight), G = uint8_t(70 + Y * 90 / SceneHeight), B = uint8_t(190 - Y * 70 / SceneHeight);
            if (DX * DX + DY * DY <= 16 * 16) R = 255, G = 205, B = 70;
            if (Y >= Hill) R = 50, G = uint8_t(150 - (Y - Hill)), B = 60;
            Rgb.insert(Rgb.end(), {R, G, B});
        }
    return Rgb;
}

std::vector<uint8_t> SaveBitmap(TBitmap& Bitmap) {
    TMemoryStream Stream;
    Bitmap.SaveToStream(Stream);
    return Stream.Data();
}

std::vector<uint8_t> SceneBitmap24() {
    const auto Rgb = Scene();
    TBitmap B;
    B.SetPixelFormat(pf24bit);
    B.SetSize(SceneWidth, SceneHeight);
    for (int Y = 0; Y < SceneHeight; ++Y)
        for (int X = 0; X < SceneWidth; ++X) {
            const uint8_t* S = &Rgb[(static_cast<size_t>(Y) * SceneWidth + X) * 3];
            uint8_t* D = B.ScanLine(Y) + 3 * X;
            D[0] = S[2], D[1] = S[1], D[2] = S[0];
        }
    return SaveBitmap(B);
}

// The scene on the 216-colour cube: an 8-bit picture with its palette.
std::vector<uint8_t> SceneBitmap8() {
    const auto Rgb = Scene();
    std::vector<TRGBQuad> Palette(256);
    for (int I = 0; I < 216; ++I)
        Palette[static_cast<size_t>(I)] = TRGBQuad{uint8_t(I % 6 * 51), uint8_t(I / 6 % 6 * 51), uint8_t(I / 36 * 51), 0};
    TBitmap B;
    B.SetPixelFormat(pf8bit);
    B.SetPalette(Palette);
    B.SetSize(SceneWidth, SceneHeight);
    for (int Y = 0; Y < SceneHeight; ++Y)
        for (int X = 0; X < SceneWidth; ++X) {
            const uint8_t* S = &Rgb[(static_cast<size_t>(Y) * SceneWidth + X) * 3];
            B.ScanLine(Y)[X] = uint8_t((S[0] + 25) / 51 * 36 + (S[1] + 25) / 51 * 6 + (S[2] + 25) / 51);
        }
    return SaveBitmap(B);
}

// A 32x32 icon: an orange disc with a soft edge over transparency.
std::vector<uint8_t> BadgeIcon() {
    constexpr int Size = 32;
    std::vector<uint8_t> Out;
    auto U8 = [&](uint32_t V) { Out.push_back(static_cast<uint8_t>(V)); };
    auto U16 = [&](uint32_t V) { U8(V), U8(V >> 8); };
    auto U32 = [&](uint32_t V) { U16(V), U16(V >> 16); };
    const uint32_t ImageBytes = 40 + Size * Size * 4 + Size * 4;
    U16(0), U16(1), U16(1);               // reserved, icon, one entry
    U8(Size), U8(Size), U8(0), U8(0);     // width, height, colours, reserved
    U16(1), U16(32), U32(ImageBytes), U32(22);
    U32(40), U32(Size), U32(Size * 2);    // header size, width, colour + mask rows
    U16(1), U16(32);                      // planes, bits
    for (int I = 0; I < 6; ++I) U32(0);   // BI_RGB, sizes, resolution, colours
    std::vector<uint8_t> Mask;
    for (int Y = Size - 1; Y >= 0; --Y) {
        uint32_t MaskRow = 0;
        for (int X = 0; X < Size; ++X) {
            const int DX = 2 * X + 1 - Size, DY = 2 * Y + 1 - Size;
            const int Distance2 = DX * DX + DY * DY;  // in half pixels, squared
            const int Alpha = Distance2 <= 26 * 26 ? 255 : (Distance2 >= 30 * 30 ? 0 : 255 * (30 * 30 - Distance2) / (30 * 30 - 26 * 26));
            const int Shade = 255 - (X + Y) * 2;
            U8(uint32_t(30 * Alpha / 255)), U8(uint32_t(Shade * 140 / 255 * Alpha / 255)), U8(uint32_t(Shade * Alpha / 255)), U8(uint32_t(Alpha));
            if (Alpha == 0) MaskRow |= 0x80000000u >> X;
        }
        for (int B = 3; B >= 0; --B) Mask.push_back(static_cast<uint8_t>(MaskRow >> (8 * B)));
    }
    Out.insert(Out.end(), Mask.begin(), Mask.end());
    return Out;
}

struct TSample {
    const char* Name;
    std::vector<uint8_t> (*Make)();
    int Bits; // of the loaded bitmap, as the viewer reports it
};

std::vector<uint8_t> SceneJpeg() { return CompressJpeg(SceneWidth, SceneHeight, Scene(), {}); }
std::vector<uint8_t> SceneJpegProgressive() { return CompressJpeg(SceneWidth, SceneHeight, Scene(), {JCS_RGB, 3, true}); }

const TSample Samples[] = {
    {"landscape.bmp", SceneBitmap24, 24},
    {"landscape-256.bmp", SceneBitmap8, 8},
    {"landscape.jpg", SceneJpeg, 24},
    {"landscape-progressive.jpeg", SceneJpegProgressive, 24},
    {"badge.ico", BadgeIcon, 32},
};

} // namespace

TEST(SamplePictures, BundledSamplesAreGeneratedAndLoad) {
    namespace fs = std::filesystem;
    const bool Write = std::getenv("QV_WRITE_SAMPLES") != nullptr;
    for (const TSample& Sample : Samples) {
        SCOPED_TRACE(Sample.Name);
        const std::string Path = (fs::path(SamplesDir()) / Sample.Name).string();
        const std::vector<uint8_t> Made = Sample.Make();
        if (Write) WriteFileBytes(Path, Made);
        ASSERT_TRUE(fs::exists(Path)) << "run with QV_WRITE_SAMPLES=1 to make it";
        EXPECT_TRUE(ReadFileBytes(Path) == Made) << "the bundled file differs from what the generator makes";

        TPicture Picture;
        Picture.LoadFromFile(Path);
        TBitmap Bitmap;
        Bitmap.Assign(Picture.Graphic());
        EXPECT_EQ(PixelFormatBits(Bitmap.PixelFormat()), Sample.Bits);
        EXPECT_GE(Bitmap.Width(), 32);
    }
}
