#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>

#include "FormatTestSupport.h"
#include "TestSupport.h"
#include "imaging/formats/PCD.h"
#include "platform/Exceptions.h"
#include "platform/Streams.h"

using namespace qv;
using namespace qvtest;

namespace {

constexpr size_t BaseImage = 96 * 2048;
constexpr size_t RotationByte = 3586;

std::unique_ptr<TPCDGraphic> Load(const std::vector<uint8_t>& Bytes) {
    auto Reader = std::make_unique<TPCDGraphic>();
    LoadInto(*Reader, Bytes);
    return Reader;
}

std::string LoadError(const std::vector<uint8_t>& Bytes) { return LoadMessage(ReaderOf<TPCDGraphic>(), Bytes, "no error"); }

/// The colour of stored base-image pixel (X, Y), from the file's own PhotoYCC samples, for even X
/// and Y, where the enlarged chroma is the stored sample itself.
std::array<int, 3> ExpectedRgb(const std::vector<uint8_t>& File, int X, int Y) {
    const size_t Pair = BaseImage + static_cast<size_t>(Y / 2) * 2304; // two luma rows, two half chroma rows
    const double Luma = File[Pair + static_cast<size_t>(Y % 2) * 768 + static_cast<size_t>(X)];
    const double C1 = File[Pair + 1536 + static_cast<size_t>(X / 2)] - 156.0;
    const double C2 = File[Pair + 1920 + static_cast<size_t>(X / 2)] - 137.0;
    const double Kr = 0.2125, Kg = 0.7154, Kb = 0.0721;
    auto Clamp = [](double V) { return static_cast<int>(std::clamp(std::lround(V), 0L, 255L)); };
    return {Clamp(Luma + (2 - 2 * Kr) * C2), Clamp(Luma - Kr * (2 - 2 * Kr) / Kg * C2 - Kb * (2 - 2 * Kb) / Kg * C1),
            Clamp(Luma + (2 - 2 * Kb) * C1)};
}

/// Checks the picture's size and every even stored pixel at the place its rotation puts it.
void CheckBaseImage(const std::vector<uint8_t>& File, const TRgbaImage& Picture) {
    const int Rotation = File[RotationByte] & 3;
    const bool Turned = Rotation == 1 || Rotation == 3;
    ASSERT_EQ(Picture.Width, Turned ? 512 : 768);
    ASSERT_EQ(Picture.Height, Turned ? 768 : 512);
    int Worst = 0;
    for (int Y = 0; Y < 512; Y += 2)
        for (int X = 0; X < 768; X += 2) {
            // Rotation 1: the top stored row is the left column, read bottom to top; rotation 3:
            // the right column, read top to bottom; rotation 2 is shown as stored.
            const int PX = Rotation == 1 ? Y : Rotation == 3 ? 511 - Y : X;
            const int PY = Rotation == 1 ? 767 - X : Rotation == 3 ? X : Y;
            const std::array<int, 3> Want = ExpectedRgb(File, X, Y);
            const uint8_t* Got = Picture.At(PX, PY);
            for (int C = 0; C < 3; ++C) Worst = std::max(Worst, std::abs(Got[C] - Want[C]));
        }
    EXPECT_LE(Worst, 1) << "rotation " << Rotation;
}

} // namespace

TEST(PcdCorpus, EveryFileShowsItsStoredColoursTurnedAsStated) {
    QV_REQUIRE_CORPUS();
    const std::vector<std::string> Files = CorpusFiles("pcd");
    ASSERT_FALSE(Files.empty());
    for (const std::string& File : Files) {
        const std::string Name = BaseName(File);
        SCOPED_TRACE(Name);
        const std::vector<uint8_t> Data = ReadFileBytes(File);
        const TRgbaImage Picture = LoadAsRgba(ReaderOf<TPCDGraphic>(), Data);
        CheckBaseImage(Data, Picture);
        // The references use another PhotoYCC formula; they still show the same picture the same
        // way up, which a wrongly turned or mirrored picture would not.
        const TRgbaImage Reference = ReadPng(ReferenceFor(File));
        ASSERT_EQ(Picture.Width, Reference.Width);
        ASSERT_EQ(Picture.Height, Reference.Height);
        double Sum = 0;
        for (size_t I = 0; I < Picture.Pixels.size(); ++I)
            if (I % 4 != 3) Sum += std::abs(Picture.Pixels[I] - Reference.Pixels[I]);
        EXPECT_LT(Sum / (Picture.Pixels.size() / 4 * 3), 40.0);
        SweepDamaged(ReaderOf<TPCDGraphic>(), Data, Name, 8, 8);
    }
}

TEST(PcdReader, EveryRotation) {
    QV_REQUIRE_CORPUS();
    const std::vector<std::string> Files = CorpusFiles("pcd");
    ASSERT_FALSE(Files.empty());
    std::vector<uint8_t> Data = ReadFileBytes(Files.front());
    for (uint8_t Rotation = 0; Rotation < 4; ++Rotation) {
        Data[RotationByte] = static_cast<uint8_t>((Data[RotationByte] & ~3) | Rotation);
        TMemoryStream Stream(Data);
        TPCDGraphic Reader;
        ASSERT_TRUE(Reader.ReadImageProperties(Stream, 2));
        EXPECT_EQ(Reader.ImageProperties().Width, Rotation % 2 ? 512u : 768u);
        Stream.SetPosition(0);
        Reader.LoadFromStream(Stream);
        // After a load the properties describe the stored base image.
        EXPECT_EQ(Reader.ImageProperties().Width, 768u);
        CheckBaseImage(Data, BitmapToRgba(Reader));
    }
}

TEST(PcdReader, WhatIsNotABaseImageIsRefused) {
    std::vector<uint8_t> Pack(BaseImage + 589824, 0);
    std::copy_n("PCD", 3, Pack.begin() + 2048);
    EXPECT_EQ(Load(Pack)->Width(), 768);

    const std::string Invalid = "Cannot load image. Invalid or unexpected PCD image format.";
    std::vector<uint8_t> Unsigned = Pack;
    Unsigned[2048] = 'X';
    EXPECT_EQ(LoadError(Unsigned), Invalid);
    std::vector<uint8_t> Overview = Unsigned;
    std::copy_n("PCD_OPA", 7, Overview.begin());
    EXPECT_EQ(LoadError(Overview), Invalid);
    TMemoryStream Stream(Overview);
    EXPECT_TRUE(TPCDGraphic().CanLoadStream(Stream));

    // A 1 KB file, and a pack that ends inside its base image.
    EXPECT_EQ(LoadError(std::vector<uint8_t>(1024, 0)), "Stream read error");
    Pack.resize(Pack.size() - 1);
    EXPECT_EQ(LoadError(Pack), "Stream read error");
}
