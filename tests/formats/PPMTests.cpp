#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FormatTestSupport.h"
#include "TestSupport.h"
#include "imaging/formats/PPM.h"
#include "platform/Exceptions.h"
#include "platform/Streams.h"

using namespace qvtest;

namespace {

std::vector<uint8_t> Bytes(const std::string& Text) { return std::vector<uint8_t>(Text.begin(), Text.end()); }

/// The message a load of Data raises; empty when it loads.
std::string LoadError(const std::vector<uint8_t>& Data) { return LoadMessage(ReaderOf<qv::TPPMGraphic>(), Data, ""); }

/// Red channel of every pixel, rows top-down (grey pictures have R = G = B).
std::vector<int> Reds(const TRgbaImage& Image) {
    std::vector<int> Result;
    for (size_t I = 0; I < Image.Pixels.size(); I += 4) Result.push_back(Image.Pixels[I]);
    return Result;
}

const std::string InvalidFormat = "Cannot load image. Invalid or unexpected PBM, PGM or PPM image format.";
const std::string ReadError = "Stream read error in PPM file.";

} // namespace

TEST(PPM, CorpusMatchesReferences) {
    QV_REQUIRE_CORPUS();
    const auto Files = CorpusFiles("pnm");
    ASSERT_FALSE(Files.empty());
    for (const std::string& File : Files) {
        SCOPED_TRACE(BaseName(File));
        const std::vector<uint8_t> Data = ReadFileBytes(File);
        const TRgbaImage Actual = LoadAsRgba(ReaderOf<qv::TPPMGraphic>(), Data);
        // 16-bit references keep the high byte; the reader rounds v x 255 / maxval.
        const TCorpusExpectation Expect = ExpectationFor(File, Data);
        ASSERT_EQ(Expect.Check, TCorpusCheck::Compare);
        EXPECT_TRUE(SameRgba(Actual, ReadPng(ReferenceFor(File)), Expect.Tolerance, Expect.Alpha));
        qv::TBytesStream Stream(Data.data(), static_cast<int64_t>(Data.size()));
        EXPECT_TRUE(qv::TPPMGraphic().CanLoadStream(Stream));
        SweepDamaged(ReaderOf<qv::TPPMGraphic>(), Data, BaseName(File));
    }
}

TEST(PPM, HeaderAndSampleRules) {
    struct TCase {
        const char* Name;
        std::string Data;
        std::vector<int> Expected; // red of each pixel, when it loads
    };
    const TCase Cases[] = {
        // Plain bitmaps written without separators, with a comment between the digits.
        {"P1 digits side by side", "P1\n3 2\n010#c\n\n110", {255, 0, 255, 0, 0, 255}},
        {"header on the magic's line", std::string("P5 2 1 255 ") + "\x10\x20", {16, 32}},
        {"comments between header tokens", "P2 # a\n# b\n2 #c\n1\n255\n7 9", {7, 9}},
        {"small maxval is scaled", "P2 3 1 15\n0 8 15", {0, 136, 255}},
        {"text above maxval is clamped", "P2 2 1 15\n16 300", {255, 255}},
        {"16-bit binary samples", std::string("P5 2 1 1000\n") + "\x03\xE8\x01\xF4", {255, 128}},
        {"CR line ends", "P2\r2 1\r\n255\r1 2", {1, 2}},
        {"10-pixel bitmap row", std::string("P4 10 1 ") + "\x80\x40", {0, 255, 255, 255, 255, 255, 255, 255, 255, 0}},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        EXPECT_EQ(Reds(LoadAsRgba(ReaderOf<qv::TPPMGraphic>(), Bytes(Case.Data))), Case.Expected);
    }
}

TEST(PPM, BadDataRaisesItsMessage) {
    struct TCase {
        const char* Name;
        std::string Data;
        std::string Message;
    };
    const TCase Cases[] = {
        {"not a portable map", "X6 1 1 255 abc", InvalidFormat},
        {"type 0", "P0 1 1 255 abc", InvalidFormat},
        {"type 7", "P7 1 1 255 abc", InvalidFormat},
        {"type 9", "P9\n1 1\n", InvalidFormat},
        {"maxval 0", "P2 1 1 0 0", InvalidFormat},
        {"maxval above 65535", "P2 1 1 65536 0", InvalidFormat},
        {"text ends inside the samples", "P2 2 1 255 7", ReadError},
        {"binary ends inside the raster", "P5 4 1 255\nabc", ReadError},
        // Claims 768 MB: refused before the bitmap is made.
        {"binary raster larger than the file", "P6 16384 16384 255\n", ReadError},
        {"text header alone", "P3 16384 16384 255\n1", ReadError},
        // Would wrap to 1 x 1 without saturation.
        {"overflowing width", "P5 4294967297 1 255 a", ReadError},
        {"digit 2 in a plain bitmap", "P1 2 1 02", ReadError},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        EXPECT_EQ(LoadError(Bytes(Case.Data)), Case.Message);
    }
    EXPECT_THROW(LoadAsRgba(ReaderOf<qv::TPPMGraphic>(), Bytes("Px 1 1 255 abc")), qv::EConvertError);
}
