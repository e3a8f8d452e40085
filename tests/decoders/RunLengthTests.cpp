#include <gtest/gtest.h>

#include <random>

#include "DecoderTestSupport.h"
#include "imaging/decoders/ImageCompression.h"

using namespace qv;
using qvtest::Decode;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes TargaEncode(uint8_t Depth, const Bytes& Pixels, size_t DestSize) {
    TTargaRLEDecoder Encoder(Depth);
    Bytes Out(DestSize);
    uint32_t Stored = 12345;
    const size_t PixelSize = (Depth + 1) / 8;
    Encoder.Encode(Pixels.data(), Out.data(), static_cast<uint32_t>(Pixels.size() / PixelSize), Stored, Out.size());
    Out.resize(Stored);
    return Out;
}

} // namespace

TEST(TargaRLE, RunAndRawPacketsAdvanceSourceOnly) {
    TTargaRLEDecoder Decoder(16);
    // 0x82: run of three 2-byte pixels; 0x01: raw packet of two pixels; then bytes of the next row.
    const Bytes Input = {0x82, 0x34, 0x12, 0x01, 1, 2, 3, 4, 0x7F, 0x7F};
    auto Result = Decode(Decoder, Input, 0, 5, 10);
    EXPECT_EQ(Result.Output, (Bytes{0x34, 0x12, 0x34, 0x12, 0x34, 0x12, 1, 2, 3, 4}));
    EXPECT_EQ(Result.SourceAdvance, 8u);
    EXPECT_EQ(Result.DestAdvance, 0u);
}

TEST(TargaRLE, PacketsPassTheRequestedPixelsButNotTheBuffer) {
    TTargaRLEDecoder Decoder(8);
    // One pixel wanted, the run holds 100: the packet is written whole up to the buffer's end.
    auto Result = Decode(Decoder, {0xE3, 7}, 0, 1, 6);
    EXPECT_EQ(Result.Output, Bytes(6, 7));
    EXPECT_EQ(Result.SourceAdvance, 2u);
    TTargaRLEDecoder Odd(12); // no such depth: nothing decoded
    EXPECT_EQ(Decode(Odd, {0x80, 1, 2}, 0, 1, 2).Output, Bytes(2, 0));
}

TEST(TargaRLE, EncodesRunThenRawAsDocumented) {
    // Four equal pixels followed by one other.
    EXPECT_EQ(TargaEncode(8, {5, 5, 5, 5, 9}, 64), (Bytes{0x83, 5, 0x00, 9}));
    // No equal neighbours: one raw packet of all but the last pixel, then the last alone.
    EXPECT_EQ(TargaEncode(8, {1, 2, 3}, 64), (Bytes{0x01, 1, 2, 0x00, 3}));
    // Runs are limited to 128 pixels.
    const Bytes Long(300, 4);
    EXPECT_EQ(TargaEncode(8, Long, 64), (Bytes{0xFF, 4, 0xFF, 4, 0xAB, 4}));
    EXPECT_TRUE(TargaEncode(8, {}, 4).empty());
}

TEST(TargaRLE, EncodeRefusesATooSmallBuffer) {
    TTargaRLEDecoder Encoder(24);
    const Bytes Pixels = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    Bytes Out(5);
    uint32_t Stored = 0;
    EXPECT_THROW(Encoder.Encode(Pixels.data(), Out.data(), 3, Stored, Out.size()), EGraphicCompression);
}

TEST(TargaRLE, EncodeDecodeRoundTripsEveryDepth) {
    std::mt19937 Random(7);
    for (uint8_t Depth : {8, 15, 16, 24, 32}) {
        const size_t PixelSize = (Depth + 1) / 8;
        Bytes Pixels;
        // Mixed stretches of runs (of up to 300 pixels) and noise.
        while (Pixels.size() < 5000 * PixelSize) {
            Bytes Pixel(PixelSize);
            for (auto& Byte : Pixel) Byte = static_cast<uint8_t>(Random() % 4);
            const size_t Repeat = Random() % 3 == 0 ? Random() % 300 + 1 : 1;
            for (size_t I = 0; I < Repeat; ++I) Pixels.insert(Pixels.end(), Pixel.begin(), Pixel.end());
        }
        const size_t Count = Pixels.size() / PixelSize;
        const Bytes Packed = TargaEncode(Depth, Pixels, Count * (PixelSize + 1));
        EXPECT_LT(Packed.size(), Pixels.size());
        TTargaRLEDecoder Decoder(Depth);
        auto Result = Decode(Decoder, Packed, 0, static_cast<int32_t>(Count), Pixels.size());
        EXPECT_EQ(Result.Output, Pixels) << "depth " << int(Depth);
        EXPECT_EQ(Result.SourceAdvance, Packed.size());
    }
}

TEST(PackbitsRLE, LiteralsRunsAndNoOps) {
    TPackbitsRLEDecoder Decoder;
    // literal of 2, no-op -128, run of 3, literal of 1
    const Bytes Input = {0x01, 'a', 'b', 0x80, 0xFE, 'c', 0x00, 'd'};
    EXPECT_EQ(Decode(Decoder, Input, 8, 6, 6).Output, (Bytes{'a', 'b', 'c', 'c', 'c', 'd'}));
    // A literal longer than the input is cut to the input; a run is cut to UnpackedSize.
    EXPECT_EQ(Decode(Decoder, {0x05, 'x', 'y'}, 3, 6, 6).Output, (Bytes{'x', 'y', 0, 0, 0, 0}));
    EXPECT_EQ(Decode(Decoder, {0x81, 'z', 0x00, 'q'}, 4, 4, 8).Output, (Bytes{'z', 'z', 'z', 'z', 0, 0, 0, 0}));
    // PackedSize is obeyed even when the buffer holds more.
    EXPECT_EQ(Decode(Decoder, {0x00, 'a', 0x00, 'b'}, 2, 4, 4).Output, (Bytes{'a', 0, 0, 0}));
}

TEST(PCXRLE, RunsLiteralsAndTheEmptyRun) {
    TPCXRLEDecoder Decoder;
    // 0xC0 is a run of length 0 that still consumes its byte; 0xC1 0xC5 stores the value 0xC5.
    const Bytes Input = {0xC0, 0x55, 0x12, 0xC1, 0xC5, 0xC3, 0x07};
    EXPECT_EQ(Decode(Decoder, Input, 0, 5, 5).Output, (Bytes{0x12, 0xC5, 7, 7, 7}));
    // A run is cut to what remains of UnpackedSize.
    EXPECT_EQ(Decode(Decoder, {0xFF, 9}, 0, 3, 5).Output, (Bytes{9, 9, 9, 0, 0}));
}

TEST(SGIRLE, EightBitRowsEndAtAZeroCount) {
    TSGIRLEDecoder Decoder(8);
    // copy 2, run 3, then 0x80 whose count is 0 ends the row although its high bit is set
    const Bytes Input = {0x82, 1, 2, 0x03, 9, 0x80, 0x02, 5};
    EXPECT_EQ(Decode(Decoder, Input, 0, 0, 8).Output, (Bytes{1, 2, 9, 9, 9, 0, 0, 0}));
}

TEST(SGIRLE, SixteenBitSamplesKeepTheirByteOrder) {
    TSGIRLEDecoder Decoder(16);
    // header 0x0082: copy two samples; header 0x0003: one sample three times; header 0: end
    const Bytes Input = {0x00, 0x82, 0x12, 0x34, 0x56, 0x78, 0x00, 0x03, 0xAB, 0xCD, 0x00, 0x00};
    EXPECT_EQ(Decode(Decoder, Input, 0, 0, 10).Output,
              (Bytes{0x12, 0x34, 0x56, 0x78, 0xAB, 0xCD, 0xAB, 0xCD, 0xAB, 0xCD}));
    // A run passing the buffer is cut at its end.
    EXPECT_EQ(Decode(Decoder, {0x00, 0x7F, 1, 2, 0, 0}, 0, 0, 3).Output, (Bytes{1, 2, 1}));
}

TEST(CUTRLE, SkipsTheStoredCountAndAdvancesPastTheRowEnd) {
    TCUTRLEDecoder Decoder;
    const Bytes Input = {0x09, 0x00, 0x83, 4, 0x02, 5, 6, 0x00, 0xEE};
    auto Result = Decode(Decoder, Input, 0, 0, 6);
    EXPECT_EQ(Result.Output, (Bytes{4, 4, 4, 5, 6, 0}));
    EXPECT_EQ(Result.SourceAdvance, 8u);
    // The two leading bytes are skipped even when the first header is the terminating zero.
    auto Empty = Decode(Decoder, {0x00, 0x00, 0x00, 0x83, 1}, 0, 0, 4);
    EXPECT_EQ(Empty.SourceAdvance, 3u);
    EXPECT_EQ(Empty.Output, Bytes(4, 0));
    // Runs past the buffer are cut but the row is still read to its end.
    auto Cut = Decode(Decoder, {0, 0, 0xFF, 3, 0x01, 8, 0}, 0, 0, 4);
    EXPECT_EQ(Cut.Output, Bytes(4, 3));
    EXPECT_EQ(Cut.SourceAdvance, 7u);
}

TEST(PSPRLE, RunsLiteralsAndEmptyPackets) {
    TPSPRLEDecoder Decoder;
    // 0x83: run of 3; 0x80: empty run consuming two bytes; 0x00: empty literal; 0x02: two bytes
    const Bytes Input = {0x83, 7, 0x80, 9, 0x00, 0x02, 1, 2};
    EXPECT_EQ(Decode(Decoder, Input, 8, 0, 6).Output, (Bytes{7, 7, 7, 1, 2, 0}));
    EXPECT_EQ(Decoder.BytesWritten(), 5u);
    EXPECT_EQ(Decode(Decoder, Input, 2, 0, 6).Output, (Bytes{7, 7, 7, 0, 0, 0}));
    EXPECT_EQ(Decoder.BytesWritten(), 3u);
    // A run cut at the buffer's end counts only what was written.
    Decode(Decoder, Input, 8, 0, 2);
    EXPECT_EQ(Decoder.BytesWritten(), 2u);
}

TEST(RLADecoder, NegativeHeadersCopyPositiveRepeat) {
    TRLADecoder Decoder;
    const Bytes Input = {0xFE, 1, 2, 0x02, 3};
    EXPECT_EQ(Decode(Decoder, Input, 5, 0, 6).Output, (Bytes{1, 2, 3, 3, 3, 0}));
    EXPECT_EQ(Decode(Decoder, {0x7F, 4}, 2, 0, 5).Output, Bytes(5, 4));
}

TEST(RunLengthSweep, GarbageTruncationAndHugeCountsStayInBounds) {
    const Bytes Targa = TargaEncode(24, Bytes(3000, 1), 4000);
    for (uint8_t Depth : {8, 16, 24, 32})
        qvtest::Sweep([Depth] { return std::make_unique<TTargaRLEDecoder>(Depth); }, Targa, 1000, 3000, Depth);
    const Bytes Mixed = {0x83, 1, 0x02, 1, 2, 3, 0xFE, 4, 0x80, 0x00, 5, 0xC5, 6, 0x00, 0x00};
    qvtest::Sweep([] { return std::make_unique<TPackbitsRLEDecoder>(); }, Mixed, 64, 64);
    qvtest::Sweep([] { return std::make_unique<TPCXRLEDecoder>(); }, Mixed, 64, 64);
    qvtest::Sweep([] { return std::make_unique<TSGIRLEDecoder>(8); }, Mixed, 64, 64);
    qvtest::Sweep([] { return std::make_unique<TSGIRLEDecoder>(16); }, Mixed, 64, 64);
    qvtest::Sweep([] { return std::make_unique<TCUTRLEDecoder>(); }, Mixed, 64, 64);
    qvtest::Sweep([] { return std::make_unique<TPSPRLEDecoder>(); }, Mixed, 64, 64);
    qvtest::Sweep([] { return std::make_unique<TRLADecoder>(); }, Mixed, 64, 64);
}
