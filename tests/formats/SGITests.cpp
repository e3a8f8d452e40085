#include <gtest/gtest.h>

#include <memory>
#include <set>

#include "FormatTestSupport.h"
#include "TestSupport.h"
#include "imaging/formats/SGI.h"
#include "platform/Exceptions.h"

using namespace qv;
using namespace qvtest;

namespace {

/// An SGI file: the 512-byte header, then for run-length files the start and length tables
/// (one entry per channel and row) and the packed rows, for verbatim files the planes.
struct TSgiFixture {
    uint8_t Storage = 1;
    uint8_t BytesPerValue = 1;
    uint16_t Width = 0, Height = 0, Channels = 1;
    std::vector<uint32_t> Starts, Lengths; // run-length tables, entry = channel x Height + row
    std::vector<uint8_t> Data;             // what follows the header and the tables

    std::vector<uint8_t> Bytes() const {
        std::vector<uint8_t> B(512, 0);
        auto Put16 = [&](size_t At, uint16_t V) {
            B[At] = static_cast<uint8_t>(V >> 8);
            B[At + 1] = static_cast<uint8_t>(V);
        };
        auto Append32 = [&](uint32_t V) {
            for (int Shift = 24; Shift >= 0; Shift -= 8) B.push_back(static_cast<uint8_t>(V >> Shift));
        };
        Put16(0, 474);
        B[2] = Storage;
        B[3] = BytesPerValue;
        Put16(4, Channels > 1 ? 3 : 2); // dimension
        Put16(6, Width);
        Put16(8, Height);
        Put16(10, Channels);
        for (uint32_t V : Starts) Append32(V);
        for (uint32_t V : Lengths) Append32(V);
        B.insert(B.end(), Data.begin(), Data.end());
        return B;
    }
};

std::unique_ptr<TSGIGraphic> Load(const std::vector<uint8_t>& Bytes) {
    auto Reader = std::make_unique<TSGIGraphic>();
    LoadInto(*Reader, Bytes);
    return Reader;
}

std::string LoadError(const std::vector<uint8_t>& Bytes) { return LoadMessage(ReaderOf<TSGIGraphic>(), Bytes, "no error"); }

} // namespace

TEST(SgiCorpus, EveryFileMatchesItsReference) {
    QV_REQUIRE_CORPUS();
    const std::vector<std::string> Files = CorpusFiles("sgi");
    ASSERT_FALSE(Files.empty());
    for (const std::string& File : Files) {
        const std::string Name = BaseName(File);
        SCOPED_TRACE(Name);
        const std::vector<uint8_t> Data = ReadFileBytes(File);
        const TRgbaImage Picture = LoadAsRgba(ReaderOf<TSGIGraphic>(), Data);
        // 16-bit samples are narrowed by truncation, the references round: the table holds their tolerance.
        const TCorpusExpectation Expect = ExpectationFor(File, Data);
        ASSERT_EQ(Expect.Check, TCorpusCheck::Compare);
        EXPECT_TRUE(SameRgba(Picture, ReadPng(ReferenceFor(File)), Expect.Tolerance, Expect.Alpha));
        SweepDamaged(ReaderOf<TSGIGraphic>(), Data, Name);
    }
}

TEST(SgiReader, HeaderChecks) {
    TSgiFixture F;
    F.Storage = 0;
    F.Width = 2;
    F.Height = 1;
    F.Data = {1, 2};
    std::vector<uint8_t> Bytes = F.Bytes();
    Bytes[0] = 0;
    EXPECT_EQ(LoadError(Bytes), "Cannot load image. Invalid or unexpected sgi, bw or rgb(a) image format.");
    // No channel, five channels and three bytes per value are refused before any table is read.
    for (const auto& [Channels, BytesPerValue] : {std::pair{0, 1}, std::pair{5, 1}, std::pair{1, 3}}) {
        F.Channels = static_cast<uint16_t>(Channels);
        F.BytesPerValue = static_cast<uint8_t>(BytesPerValue);
        EXPECT_EQ(LoadError(F.Bytes()), "Cannot load image. Invalid or unexpected sgi, bw or rgb(a) image format.");
    }
    // No columns or no rows: an empty picture.
    for (const auto& [W, H] : {std::pair{0, 2}, std::pair{2, 0}}) {
        TSgiFixture Empty;
        Empty.Width = static_cast<uint16_t>(W);
        Empty.Height = static_cast<uint16_t>(H);
        Empty.Starts.assign(static_cast<size_t>(H), 0);
        Empty.Lengths.assign(static_cast<size_t>(H), 0);
        EXPECT_TRUE(Load(Empty.Bytes())->Empty());
    }
    // Tables that the file cannot hold: 65535 rows x 4 channels.
    TSgiFixture Tables;
    Tables.Width = 1;
    Tables.Height = 65535;
    Tables.Channels = 4;
    EXPECT_EQ(LoadError(Tables.Bytes()), "Stream read error");
}

TEST(SgiReader, RunLengthRowsAreFetchedThroughTheirOwnOffsets) {
    // 4 x 3 grey, stored in reverse order; the middle row's offset lies past the end of the file;
    // the first row claims a length of 4 GiB.
    TSgiFixture F;
    F.Width = 4;
    F.Height = 3;
    const uint32_t Rows = 512 + 3 * 8;
    F.Starts = {Rows + 6, 100000, Rows};
    F.Lengths = {0xFFFFFFFFu, 3, 6};
    F.Data = {0x84, 1, 2, 3, 4, 0, /* row 0: */ 0x04, 9, 0};
    const auto Picture = Load(F.Bytes());
    ASSERT_EQ(Picture->Height(), 3);
    // The first stored row is the bottom row.
    EXPECT_EQ(std::vector<uint8_t>(Picture->ScanLine(2), Picture->ScanLine(2) + 4), (std::vector<uint8_t>{9, 9, 9, 9}));
    EXPECT_EQ(std::vector<uint8_t>(Picture->ScanLine(1), Picture->ScanLine(1) + 4), (std::vector<uint8_t>{0, 0, 0, 0}));
    EXPECT_EQ(std::vector<uint8_t>(Picture->ScanLine(0), Picture->ScanLine(0) + 4), (std::vector<uint8_t>{1, 2, 3, 4}));
}

TEST(SgiReader, GreyWithAlphaShowsItsFirstChannel) {
    // 3 x 1, two 16-bit channels, verbatim: grey 0x0000, 0x8000, 0xFFFF, then alpha.
    TSgiFixture F;
    F.Storage = 0;
    F.BytesPerValue = 2;
    F.Width = 3;
    F.Height = 1;
    F.Channels = 2;
    F.Data = {0x00, 0x00, 0x80, 0x00, 0xFF, 0xFF, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
    const auto Picture = Load(F.Bytes());
    ASSERT_EQ(Picture->PixelFormat(), pf8bit);
    ASSERT_EQ(Picture->Width(), 3);
    EXPECT_EQ(std::vector<uint8_t>(Picture->ScanLine(0), Picture->ScanLine(0) + 3),
              (std::vector<uint8_t>{0, 127, 255}));
    EXPECT_EQ(Picture->Palette().size(), 256u);
}
