#include <gtest/gtest.h>

#include <zlib.h>

#include <random>

#include "DecoderTestSupport.h"
#include "imaging/decoders/ImageCompression.h"

using namespace qv;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes Deflate(const Bytes& Data) {
    uLongf Size = compressBound(static_cast<uLong>(Data.size()));
    Bytes Out(Size);
    EXPECT_EQ(compress(Out.data(), &Size, Data.data(), static_cast<uLong>(Data.size())), Z_OK);
    Out.resize(Size);
    return Out;
}

Bytes Sample(size_t Size, uint32_t Seed) {
    std::mt19937 Random(Seed);
    Bytes Data(Size);
    for (size_t Index = 0; Index < Size; ++Index) Data[Index] = static_cast<uint8_t>(Index % 61 + Random() % 3);
    return Data;
}

} // namespace

TEST(LZ77, AutoResetDecodesEveryCallAsItsOwnStream) {
    TLZ77Decoder Decoder(Z_PARTIAL_FLUSH, true);
    Decoder.DecodeInit();
    for (uint32_t Seed : {1u, 2u, 3u}) {
        const Bytes Data = Sample(5000 + Seed, Seed);
        const Bytes Packed = Deflate(Data);
        auto Result = qvtest::Decode(Decoder, Packed, static_cast<int32_t>(Packed.size()),
                                     static_cast<int32_t>(Data.size()), Data.size());
        EXPECT_EQ(Result.Output, Data);
        EXPECT_EQ(Decoder.ZLibResult(), Z_STREAM_END);
        // Both pointers end after what was consumed and produced.
        EXPECT_EQ(Result.SourceAdvance, Packed.size());
        EXPECT_EQ(Result.DestAdvance, Data.size());
        EXPECT_EQ(Decoder.InputLeft(), 0u);
        EXPECT_EQ(Decoder.OutputRoom(), 0u);
    }
    Decoder.DecodeEnd();
}

TEST(LZ77, OneStreamFedInPieces) {
    const Bytes Data = Sample(100000, 4);
    const Bytes Packed = Deflate(Data);
    TLZ77Decoder Decoder(Z_PARTIAL_FLUSH, false);
    Decoder.DecodeInit();
    Bytes Out(Data.size());
    uint8_t* Dest = Out.data();
    Bytes Copy = Packed;
    uint8_t* Source = Copy.data();
    size_t Offset = 0;
    while (Offset < Copy.size()) {
        // Pieces as a reader gets them from successive chunks.
        const size_t Piece = std::min<size_t>(777, Copy.size() - Offset);
        uint8_t* Before = Source;
        const size_t Room = static_cast<size_t>(Out.data() + Out.size() - Dest);
        Decoder.Decode(Source, Dest, static_cast<int32_t>(Piece), static_cast<int32_t>(Room), Piece, Room);
        ASSERT_GE(Decoder.ZLibResult(), 0);
        EXPECT_EQ(static_cast<size_t>(Source - Before) + Decoder.InputLeft(), Piece);
        Offset += Piece;
        Source = Copy.data() + Offset;
    }
    EXPECT_EQ(Decoder.ZLibResult(), Z_STREAM_END);
    EXPECT_EQ(Out, Data);
    EXPECT_EQ(static_cast<size_t>(Dest - Out.data()), Data.size());
    Decoder.DecodeEnd();
}

TEST(LZ77, DamagedDataIsReportedNotRaisedAndOutputStaysInTheBuffer) {
    const Bytes Data = Sample(4000, 5);
    Bytes Packed = Deflate(Data);
    TLZ77Decoder Decoder(Z_PARTIAL_FLUSH, true);
    Decoder.DecodeInit();
    // UnpackedSize claims more than the buffer: the buffer's size wins.
    auto Cut = qvtest::Decode(Decoder, Packed, static_cast<int32_t>(Packed.size()), INT32_MAX, 1000);
    EXPECT_EQ(Cut.Output, Bytes(Data.begin(), Data.begin() + 1000));
    EXPECT_EQ(Decoder.ZLibResult(), Z_OK);
    EXPECT_EQ(Decoder.OutputRoom(), 0u);
    Packed[0] = 0x12; // not a zlib header
    qvtest::Decode(Decoder, Packed, static_cast<int32_t>(Packed.size()), 4000, 4000);
    EXPECT_EQ(Decoder.ZLibResult(), Z_DATA_ERROR);
    EXPECT_NO_THROW(Decoder.DecodeEnd());
    // Decoding without a started stream reports a stream error.
    TLZ77Decoder Idle(Z_PARTIAL_FLUSH, false);
    qvtest::Decode(Idle, Packed, static_cast<int32_t>(Packed.size()), 10, 10);
    EXPECT_EQ(Idle.ZLibResult(), Z_STREAM_ERROR);
}

TEST(LZ77, GarbageTruncationAndHugeCountsStayInBounds) {
    const Bytes Packed = Deflate(Sample(3000, 6));
    for (bool Reset : {true, false})
        qvtest::Sweep(
            [Reset] {
                auto Decoder = std::make_unique<TLZ77Decoder>(Z_PARTIAL_FLUSH, Reset);
                Decoder->DecodeInit();
                return Decoder;
            },
            Packed, 3000, 3000);
}
