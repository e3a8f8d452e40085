#include <gtest/gtest.h>

#include "DecoderTestSupport.h"
#include "TestSupport.h"
#include "imaging/decoders/ImageCompression.h"

using namespace qv;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes DecodeThunder(uint32_t Width, const Bytes& Input, size_t Size) {
    TThunderDecoder Decoder(Width);
    return qvtest::Decode(Decoder, Input, static_cast<int32_t>(Input.size()), static_cast<int32_t>(Size), Size, 0xEE)
        .Output;
}

} // namespace

TEST(Thunder, RunsDeltasAndRawPixels) {
    // 0xC7: raw 7. 0x00: a run of no pixels. 0x41: deltas 0, 0, +1. 0x8F: 3-bit deltas +1, -1.
    EXPECT_EQ(DecodeThunder(6, {0xC7, 0x00, 0x41, 0x8F}, 3), (Bytes{0x77, 0x78, 0x98}));
    // 0x41 from the row's start: two pixels equal to the last (0), then one brighter.
    EXPECT_EQ(DecodeThunder(4, {0x41, 0x60}, 2), (Bytes{0x00, 0x11}));
    // Skipped deltas (2 in 2-bit, 4 in 3-bit) set no pixel; deltas wrap within 4 bits.
    EXPECT_EQ(DecodeThunder(4, {0xC0, 0x6B, 0xA0}, 2), (Bytes{0x0F, 0xF0}));
}

TEST(Thunder, RunsFromAnOddPositionAndTheRowEnd) {
    // 3, then a run of 4 (the first completes the byte), then raw 1.
    EXPECT_EQ(DecodeThunder(6, {0xC3, 0x04, 0xC1}, 3), (Bytes{0x33, 0x33, 0x31}));
    // A run of 3 from an even position leaves the last byte's low nibble clear.
    EXPECT_EQ(DecodeThunder(4, {0xC5, 0x02}, 2), (Bytes{0x55, 0x50}));
}

TEST(Thunder, RowsAreWidthPixelsAndRestartFromBlack) {
    // Width 3: a row is two bytes. A run of 63 is cut at the row's end; the next row starts
    // with last pixel 0 on a new byte.
    EXPECT_EQ(DecodeThunder(3, {0xC2, 0x3F, 0x41, 0xC9}, 4), (Bytes{0x22, 0x20, 0x00, 0x10}));
    // Input that runs out leaves the rest untouched; UnpackedSize ends the rows.
    EXPECT_EQ(DecodeThunder(2, {0xC1, 0xC2, 0xC3, 0xC4, 0xC5}, 2), (Bytes{0x12, 0x34}));
    EXPECT_EQ(DecodeThunder(2, {0xC1}, 2), (Bytes{0x10, 0xEE}));
}

TEST(Thunder, GarbageTruncationAndHugeCountsStayInBounds) {
    const Bytes Valid = {0xC7, 0x3F, 0x41, 0x8F, 0x3F, 0xC1, 0x55, 0x9A, 0x3F, 0x3F, 0x3F};
    for (uint32_t Width : {0u, 1u, 7u, 100u, 0xFFFFFFFFu})
        qvtest::Sweep([Width] { return std::make_unique<TThunderDecoder>(Width); }, Valid, 60, 60, Width);
}

TEST(Thunder, CorpusThunderScanImageMatchesItsReference) {
    QV_REQUIRE_CORPUS();
    const std::string Corpus = qvtest::CorpusDir();
    const auto TIFF = qvtest::ReadTIFFStrips(Corpus + "/files/tiff/text.tif");
    const auto Reference = qvtest::ReadReferencePNG(Corpus + "/ref/tiff/text.tif.png");
    ASSERT_EQ(TIFF.Compression, 32809u);
    ASSERT_EQ(TIFF.Width, Reference.Width);
    const size_t RowBytes = (TIFF.Width + 1) / 2;
    size_t Mismatches = 0;
    size_t Compared = 0;
    for (size_t Strip = 0; Strip < TIFF.Strips.size(); ++Strip) {
        const size_t FirstRow = Strip * TIFF.RowsPerStrip;
        const size_t Rows = std::min<size_t>(TIFF.RowsPerStrip, TIFF.Height - FirstRow);
        // The reader asks for a whole strip of rows, as the file's rows-per-strip give it.
        const size_t Size = TIFF.RowsPerStrip * RowBytes;
        TThunderDecoder Decoder(TIFF.Width);
        const auto& Data = TIFF.Strips[Strip];
        auto Result = qvtest::Decode(Decoder, Data, static_cast<int32_t>(Data.size()), static_cast<int32_t>(Size), Size);
        for (size_t Y = 0; Y < Rows; ++Y) {
            auto Pixel = [&](size_t X) {
                const uint8_t Byte = Result.Output[Y * RowBytes + X / 2];
                return (X % 2 == 0) ? Byte >> 4 : Byte & 15;
            };
            // The reference decoder leaves a row's last run unwritten when it reaches the row's
            // end exactly (stale pixels show there); that run is not compared.
            size_t End = TIFF.Width;
            while (End > 1 && Pixel(End - 2) == Pixel(TIFF.Width - 1)) --End;
            for (size_t X = 0; X + 1 < End; ++X) {
                const int Level = Pixel(X) * 17;
                const int Gray = TIFF.Photometric == 0 ? 255 - Level : Level; // 0 is white
                const int Expected = Reference.RGBA[((FirstRow + Y) * TIFF.Width + X) * 4];
                if (std::abs(Gray - Expected) > 1) ++Mismatches;
                ++Compared;
            }
        }
    }
    // Most of the picture is compared, all of it rows of Width pixels.
    EXPECT_GT(Compared, size_t(TIFF.Width) * TIFF.Height * 9 / 10);
    EXPECT_EQ(Mismatches, 0u);
}
