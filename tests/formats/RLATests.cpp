#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "FormatTestSupport.h"
#include "TestSupport.h"
#include "imaging/ImageStrings.h"
#include "imaging/formats/RLA.h"
#include "platform/Exceptions.h"
#include "platform/Streams.h"

using namespace qvtest;

namespace {

/// A small RLA file built field by field.
struct TRLAFile {
    int16_t Left = 0, Right = 1, Bottom = 0, Top = 1; // active window: 2 x 2, stored bottom-up
    uint16_t ColorChannels = 3;
    int16_t MatteChannels = 0;
    uint16_t Bits = 8;
    std::string Gamma = "2.2";
    std::string Space = "rgb";
    /// Per stored row, per block, the decoded bytes (high plane then low plane above 8 bits).
    std::vector<std::vector<std::vector<uint8_t>>> Rows;
    uint32_t OffsetShift = 0; // added to every row offset

    std::vector<uint8_t> Bytes() const {
        std::vector<uint8_t> File(740, 0);
        auto Put16 = [&](size_t At, uint16_t V) {
            File[At] = static_cast<uint8_t>(V >> 8);
            File[At + 1] = static_cast<uint8_t>(V);
        };
        Put16(8, static_cast<uint16_t>(Left));
        Put16(10, static_cast<uint16_t>(Right));
        Put16(12, static_cast<uint16_t>(Bottom));
        Put16(14, static_cast<uint16_t>(Top));
        Put16(20, ColorChannels);
        Put16(22, static_cast<uint16_t>(MatteChannels));
        Put16(26, 0xFFFE); // revision
        std::copy(Gamma.begin(), Gamma.end(), File.begin() + 28);
        std::copy(Space.begin(), Space.end(), File.begin() + 580);
        Put16(658, Bits);
        const size_t TableStart = File.size();
        File.resize(TableStart + 4 * Rows.size(), 0);
        for (size_t R = 0; R < Rows.size(); ++R) {
            const uint32_t Offset = static_cast<uint32_t>(File.size()) + OffsetShift;
            for (int B = 0; B < 4; ++B) File[TableStart + 4 * R + B] = static_cast<uint8_t>(Offset >> (24 - 8 * B));
            for (const std::vector<uint8_t>& Block : Rows[R]) {
                // One literal run: a negative count, then the bytes.
                std::vector<uint8_t> Packed = {static_cast<uint8_t>(-static_cast<int>(Block.size()))};
                Packed.insert(Packed.end(), Block.begin(), Block.end());
                File.push_back(static_cast<uint8_t>(Packed.size() >> 8));
                File.push_back(static_cast<uint8_t>(Packed.size()));
                File.insert(File.end(), Packed.begin(), Packed.end());
            }
        }
        return File;
    }
};

/// Rows of a 2 x 2 picture: stored row r has red 10 + r, green 20 + r, blue 30 + r
/// and, with Blocks 4 or more, matte 200 + r.
std::vector<std::vector<std::vector<uint8_t>>> SmallRows(int Blocks) {
    std::vector<std::vector<std::vector<uint8_t>>> Rows(2);
    for (int R = 0; R < 2; ++R)
        for (int B = 0; B < Blocks; ++B) {
            const auto V = static_cast<uint8_t>((B < 3 ? 10 * (B + 1) : 200) + R);
            Rows[R].push_back({V, V});
        }
    return Rows;
}

std::string LoadError(const std::vector<uint8_t>& Data) { return LoadMessage(ReaderOf<qv::TRLAGraphic>(), Data, ""); }

std::vector<int> Pixel(const TRgbaImage& Image, int X, int Y) {
    const uint8_t* P = Image.At(X, Y);
    return {P[0], P[1], P[2], P[3]};
}

} // namespace

TEST(RLA, CorpusMatchesReferences) {
    QV_REQUIRE_CORPUS();
    const auto Files = CorpusFiles("rla");
    ASSERT_FALSE(Files.empty());
    for (const std::string& File : Files) {
        SCOPED_TRACE(BaseName(File));
        const std::vector<uint8_t> Data = ReadFileBytes(File);
        const TRgbaImage Actual = LoadAsRgba(ReaderOf<qv::TRLAGraphic>(), Data);
        const TRgbaImage Reference = ReadPng(ReferenceFor(File));
        // The reference is un-premultiplied, the reader keeps the stored samples:
        // colour is compared where the picture is opaque (the shared table), alpha everywhere.
        const TCorpusExpectation Expect = ExpectationFor(File, Data);
        ASSERT_EQ(Expect.Check, TCorpusCheck::Compare);
        EXPECT_TRUE(SameRgba(Actual, Reference, Expect.Tolerance, Expect.Alpha));
        ASSERT_EQ(Actual.Pixels.size(), Reference.Pixels.size());
        int AlphaOff = 0;
        for (size_t I = 3; I < Actual.Pixels.size(); I += 4) AlphaOff += std::abs(Actual.Pixels[I] - Reference.Pixels[I]) > 1;
        EXPECT_EQ(AlphaOff, 0);
        qv::TBytesStream Stream(Data.data(), static_cast<int64_t>(Data.size()));
        EXPECT_TRUE(qv::TRLAGraphic().CanLoadStream(Stream));
        SweepDamaged(ReaderOf<qv::TRLAGraphic>(), Data, BaseName(File), 8, 8);
    }
}

TEST(RLA, LayoutMatteAndDepth) {
    TRLAFile File;
    File.Gamma = "0.0";
    File.Rows = SmallRows(3);
    // Bottom below top: stored row 0 is the picture's bottom row.
    TRgbaImage Image = LoadAsRgba(ReaderOf<qv::TRLAGraphic>(), File.Bytes());
    EXPECT_EQ(Pixel(Image, 0, 1), (std::vector<int>{10, 20, 30, 255}));
    EXPECT_EQ(Pixel(Image, 1, 0), (std::vector<int>{11, 21, 31, 255}));
    std::swap(File.Bottom, File.Top);
    Image = LoadAsRgba(ReaderOf<qv::TRLAGraphic>(), File.Bytes());
    EXPECT_EQ(Pixel(Image, 0, 0), (std::vector<int>{10, 20, 30, 255}));

    // Two mattes: the first is alpha, the second is not read.
    File.MatteChannels = 2;
    File.Rows = SmallRows(5);
    File.Space = "RGB";
    Image = LoadAsRgba(ReaderOf<qv::TRLAGraphic>(), File.Bytes());
    EXPECT_EQ(Pixel(Image, 1, 1), (std::vector<int>{11, 21, 31, 201}));

    // 10 bits: high-byte plane then low-byte plane, reduced by round(v x 255 / 1023).
    File.MatteChannels = 0;
    File.Bits = 10;
    File.Rows.assign(2, {{3, 2, 0xFF, 0x00}, {0, 0, 0, 0xFF}, {1, 0, 0, 0}});
    Image = LoadAsRgba(ReaderOf<qv::TRLAGraphic>(), File.Bytes());
    EXPECT_EQ(Pixel(Image, 0, 0), (std::vector<int>{255, 0, 64, 255}));  // 1023, 0, 256
    EXPECT_EQ(Pixel(Image, 1, 0), (std::vector<int>{128, 64, 0, 255}));  // 512, 255, 0
}

TEST(RLA, GammaTextAndItsReset) {
    TRLAFile File;
    File.Rows = SmallRows(3);
    qv::TRLAGraphic Reader;
    LoadInto(Reader, File.Bytes());
    EXPECT_TRUE(Reader.ImageProperties().Options.Contains(qv::TImageOption::GammaApplied));
    EXPECT_NE(Pixel(BitmapToRgba(Reader), 0, 1)[0], 10);
    // Texts that record no gamma leave the samples alone, also after a corrected file.
    for (const char* Text : {"0.0", " 1.0", "-2", "inf", "nan", "", "abc", "2,2"}) {
        SCOPED_TRACE(Text);
        File.Gamma = Text;
        LoadInto(Reader, File.Bytes());
        EXPECT_FALSE(Reader.ImageProperties().Options.Contains(qv::TImageOption::GammaApplied));
        EXPECT_EQ(Pixel(BitmapToRgba(Reader), 0, 1), (std::vector<int>{10, 20, 30, 255}));
    }
}

TEST(RLA, BadHeadersRaiseBeforeReading) {
    struct TCase {
        const char* Name;
        void (*Change)(TRLAFile&);
        std::string Message;
    };
    const std::string InvalidFormat = "Cannot load image. Invalid or unexpected RLA image format.";
    const TCase Cases[] = {
        {"one colour channel", [](TRLAFile& F) { F.ColorChannels = 1; }, qv::gesInvalidPixelDepth},
        {"four colour channels", [](TRLAFile& F) { F.ColorChannels = 4; }, qv::gesInvalidPixelDepth},
        {"0 bits", [](TRLAFile& F) { F.Bits = 0; }, qv::gesInvalidSampleDepth},
        {"17 bits", [](TRLAFile& F) { F.Bits = 17; }, qv::gesInvalidSampleDepth},
        {"xyz space", [](TRLAFile& F) { F.Space = "xyz"; }, qv::gesConversionUnsupported},
        {"unknown space", [](TRLAFile& F) { F.Space = "cmy"; }, qv::gesConversionUnsupported},
        {"right left of left", [](TRLAFile& F) { F.Left = 5; }, InvalidFormat},
        {"row offsets past the end", [](TRLAFile& F) { F.OffsetShift = 100000; }, "Stream read error"},
        {"65536 rows from a few bytes", [](TRLAFile& F) { F.Bottom = -32768; F.Top = 32767; F.Right = 32767; },
         "Stream read error"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TRLAFile File;
        File.Rows = SmallRows(3);
        Case.Change(File);
        EXPECT_EQ(LoadError(File.Bytes()), Case.Message);
    }
}
