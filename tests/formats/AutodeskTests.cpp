#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FormatTestSupport.h"
#include "TestSupport.h"
#include "imaging/formats/Autodesk.h"
#include "platform/Exceptions.h"
#include "platform/Streams.h"

using namespace qvtest;

namespace {

/// A Width x Height cel: palette entry i is (i, 2i, 63 - i) mod 256, pixel (x, y) is index x + y.
std::vector<uint8_t> Cel(uint16_t Width, uint16_t Height, uint8_t Bits = 8) {
    std::vector<uint8_t> File(32, 0);
    File[0] = 0x19, File[1] = 0x91; // signature
    File[2] = static_cast<uint8_t>(Width), File[3] = static_cast<uint8_t>(Width >> 8);
    File[4] = static_cast<uint8_t>(Height), File[5] = static_cast<uint8_t>(Height >> 8);
    File[10] = Bits;
    for (int I = 0; I < 256; ++I)
        for (int V : {I, 2 * I, 63 - I}) File.push_back(static_cast<uint8_t>(V));
    for (int Y = 0; Y < Height; ++Y)
        for (int X = 0; X < Width; ++X) File.push_back(static_cast<uint8_t>(X + Y));
    return File;
}

std::vector<int> Rgb(const TRgbaImage& Image, int X, int Y) {
    const uint8_t* P = Image.At(X, Y);
    return {P[0], P[1], P[2]};
}

} // namespace

TEST(Autodesk, CorpusMatchesSourcesAtSixBits) {
    QV_REQUIRE_CORPUS();
    // No independent decoder reads these files: each was written from a palette picture (whose
    // top-left part it holds, named in the shared table) with every component cut to its top 6 bits.
    const auto Files = CorpusFiles("cel");
    ASSERT_EQ(Files.size(), 3u);
    for (size_t N = 0; N < Files.size(); ++N) {
        SCOPED_TRACE(BaseName(Files[N]));
        const std::vector<uint8_t> Data = ReadFileBytes(Files[N]);
        const TCorpusExpectation Expect = ExpectationFor(Files[N], Data);
        ASSERT_EQ(Expect.Check, TCorpusCheck::Source);
        const TRgbaImage Actual = LoadAsRgba(ReaderOf<qv::TAutodeskGraphic>(), Data);
        const TRgbaImage Source = ReadPng(CorpusDir() + "/sources/" + Expect.Source);
        ASSERT_LE(Actual.Width, Source.Width);
        ASSERT_LE(Actual.Height, Source.Height);
        EXPECT_TRUE(SameRgba(Actual, SixBitPart(Source, Actual.Width, Actual.Height), Expect.Tolerance, Expect.Alpha));
        qv::TBytesStream Stream(Data.data(), static_cast<int64_t>(Data.size()));
        EXPECT_TRUE(qv::TAutodeskGraphic().CanLoadStream(Stream));
        SweepDamaged(ReaderOf<qv::TAutodeskGraphic>(), Data, BaseName(Files[N]));
    }
}

TEST(Autodesk, PaletteWidthAndShortFiles) {
    const std::vector<uint8_t> File = Cel(4, 2);
    const TRgbaImage Image = LoadAsRgba(ReaderOf<qv::TAutodeskGraphic>(), File);
    EXPECT_EQ(Rgb(Image, 1, 0), (std::vector<int>{4, 8, 248}));
    EXPECT_EQ(Rgb(Image, 0, 0), (std::vector<int>{0, 0, 252}));   // 63 becomes 252
    EXPECT_EQ(Rgb(Image, 3, 1), (std::vector<int>{16, 32, 236}));
    // Components above 63 wrap: 2 x 32 = 64 becomes 0.
    EXPECT_EQ(Rgb(LoadAsRgba(ReaderOf<qv::TAutodeskGraphic>(), Cel(40, 1)), 32, 0), (std::vector<int>{128, 0, 124}));

    // A file cut inside the palette: the missing entries and all pixels are zero.
    const std::vector<uint8_t> Cut(File.begin(), File.begin() + 32 + 3 * 2 + 1);
    const TRgbaImage Short = LoadAsRgba(ReaderOf<qv::TAutodeskGraphic>(), Cut);
    ASSERT_EQ(Short.Width, 4);
    for (int X = 0; X < 4; ++X) EXPECT_EQ(Rgb(Short, X, 1), (std::vector<int>{0, 0, 252}));

    // Another bit depth byte is read as 8 bits; only the signature test looks at it.
    EXPECT_EQ(Rgb(LoadAsRgba(ReaderOf<qv::TAutodeskGraphic>(), Cel(4, 2, 4)), 1, 0), (std::vector<int>{4, 8, 248}));
    const std::vector<uint8_t> Header(File.begin(), File.begin() + 32);
    qv::TBytesStream Stream(Header.data(), 32);
    EXPECT_FALSE(qv::TAutodeskGraphic().CanLoadStream(Stream));

    const std::string Invalid = "Cannot load image. Invalid or unexpected Autodesk image format.";
    for (const std::vector<uint8_t>& Bad : {std::vector<uint8_t>{}, std::vector<uint8_t>{0x19}, std::vector<uint8_t>{0x19, 0x92, 1}}) {
        try {
            LoadAsRgba(ReaderOf<qv::TAutodeskGraphic>(), Bad);
            ADD_FAILURE() << "loaded " << Bad.size() << " bytes";
        } catch (const qv::EInvalidGraphic& E) {
            EXPECT_EQ(std::string(E.what()), Invalid);
        }
    }
}
