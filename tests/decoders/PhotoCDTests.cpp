#include <gtest/gtest.h>

#include <random>

#include "DecoderTestSupport.h"
#include "imaging/decoders/ImageCompression.h"
#include "platform/Streams.h"

using namespace qv;
using Bytes = std::vector<uint8_t>;

namespace {

/// Writes a Photo-CD residual stream: Huffman tables, then rows, each a sync marker with its
/// plane and row number followed by one code per pixel.
class TPCDWriter {
public:
    struct TCode {
        std::string Bits;
        int8_t Delta;
    };

    void Table(const std::vector<TCode>& Codes) {
        Byte(static_cast<uint8_t>(Codes.size() - 1));
        for (const TCode& Code : Codes) {
            Byte(static_cast<uint8_t>(Code.Bits.size() - 1));
            uint16_t Value = 0;
            for (size_t Index = 0; Index < Code.Bits.size(); ++Index)
                if (Code.Bits[Index] == '1') Value |= static_cast<uint16_t>(0x8000 >> Index);
            Byte(static_cast<uint8_t>(Value >> 8));
            Byte(static_cast<uint8_t>(Value));
            Byte(static_cast<uint8_t>(Code.Delta));
        }
    }
    /// The row marker: 23 ones and a zero, plane (2 bits), row (13 bits), one spare bit.
    void Row(uint32_t Plane, uint32_t Row) {
        Bits(std::string(23, '1') + "0");
        Number(Plane, 2);
        Number(Row, 13);
        Bits("0");
    }
    void Bits(const std::string& Text) {
        for (char Bit : Text) {
            if (FBits % 8 == 0) FOut.push_back(0);
            if (Bit == '1') FOut.back() |= static_cast<uint8_t>(0x80 >> (FBits % 8));
            ++FBits;
        }
    }
    void Number(uint32_t Value, int Count) {
        for (int Bit = Count - 1; Bit >= 0; --Bit) Bits((Value >> Bit) & 1 ? "1" : "0");
    }
    void Byte(uint8_t Value) { Number(Value, 8); }
    /// The stream, padded to whole 2048-byte sectors.
    Bytes Sectors() const {
        Bytes Out = FOut;
        Out.resize((Out.size() / 2048 + 1) * 2048, 0);
        return Out;
    }

private:
    Bytes FOut;
    size_t FBits = 0;
};

const std::vector<TPCDWriter::TCode> SimpleTable = {{"0", 0}, {"10", 5}, {"11", -3}};

struct TPlanes {
    Bytes Luma, Chroma1, Chroma2;
    TPlanes(size_t LumaSize, size_t ChromaSize, uint8_t Value)
        : Luma(LumaSize, Value), Chroma1(ChromaSize, Value), Chroma2(ChromaSize, Value) {}
    TPCDPlanes Record() {
        return TPCDPlanes{Luma.data(), Chroma1.data(), Chroma2.data(), Luma.size(), Chroma1.size(), Chroma2.size()};
    }
};

void DecodeStream(const Bytes& Stream, TPlanes& Planes, int32_t Stride, int32_t Rows) {
    TBytesStream Input(Stream.data(), static_cast<int64_t>(Stream.size()));
    TPCDDecoder Decoder(Input);
    TPCDPlanes Record = Planes.Record();
    uint8_t* Source = reinterpret_cast<uint8_t*>(&Record);
    uint8_t* Dest = nullptr;
    Decoder.Decode(Source, Dest, Stride, Rows, sizeof(Record), 0);
}

} // namespace

TEST(PhotoCD, AddsClampedResidualsToTheLumaPlane) {
    TPCDWriter Writer;
    Writer.Table(SimpleTable);
    Writer.Row(0, 0);
    Writer.Bits("10" "10" "11" "0"); // +5 +5 -3 0
    Writer.Row(0, 1);
    Writer.Bits("11" "11" "10" "10"); // -3 -3 +5 +5
    Writer.Row(0, 2);                 // the row count: decoding stops here
    Writer.Bits("10" "10" "10" "10");
    TPlanes Planes(4 * 3, 4, 100);
    Planes.Luma[4] = 2;   // clamped at 0
    Planes.Luma[6] = 253; // clamped at 255
    DecodeStream(Writer.Sectors(), Planes, 4, 2);
    EXPECT_EQ(Planes.Luma, (Bytes{105, 105, 97, 100, 0, 97, 255, 105, 100, 100, 100, 100}));
}

TEST(PhotoCD, WideImagesReadThreeTablesForLumaAndChroma) {
    const int32_t Stride = 3072;
    TPCDWriter Writer;
    Writer.Table(SimpleTable);
    Writer.Table({{"1", 1}, {"0", 2}});
    Writer.Table({{"1", -1}, {"0", -2}});
    Writer.Row(2, 2); // chroma 1, row 2 → chroma row 1
    Writer.Bits("1" "0");
    Writer.Row(3, 0); // chroma 2, row 0
    Writer.Bits("0" "1");
    Writer.Row(0, 1);
    Writer.Bits("10");
    Writer.Row(0, 4);
    TPlanes Planes(Stride * 4, Stride * 2, 50);
    DecodeStream(Writer.Sectors(), Planes, Stride, 4);
    EXPECT_EQ(Planes.Chroma1[Stride], 51);
    EXPECT_EQ(Planes.Chroma1[Stride + 1], 52);
    EXPECT_EQ(Planes.Chroma2[0], 48);
    EXPECT_EQ(Planes.Chroma2[1], 49);
    EXPECT_EQ(Planes.Luma[Stride], 55);
    EXPECT_EQ(Planes.Luma[0], 50);
}

TEST(PhotoCD, ChromaWithoutItsTableAndUnknownCodesResynchronise) {
    TPCDWriter Writer;
    Writer.Table({{"10", 5}, {"11", -3}}); // "0..." matches nothing
    Writer.Row(2, 0);                      // chroma, but a 1536-wide image has only the luma table
    Writer.Bits("10" "10");
    Writer.Row(0, 0);
    Writer.Bits("10" "00000000"); // +5, then no code: skip to the next marker
    Writer.Row(0, 1);
    Writer.Bits("11");
    Writer.Row(0, 2);
    TPlanes Planes(1536 * 2, 1536, 100);
    DecodeStream(Writer.Sectors(), Planes, 1536, 2);
    EXPECT_EQ(Planes.Chroma1, Bytes(1536, 100));
    EXPECT_EQ(Planes.Luma[0], 105);
    EXPECT_EQ(Planes.Luma[1], 100);
    EXPECT_EQ(Planes.Luma[1536], 97);
}

TEST(PhotoCD, EndsOnLongCodesPlaneOneAndTheStreamsEnd) {
    {
        TPCDWriter Writer; // a 17-bit code ends decoding before anything is changed
        Writer.Byte(0);
        Writer.Byte(16);
        Writer.Byte(0);
        Writer.Byte(0);
        Writer.Byte(1);
        Writer.Row(0, 0);
        TPlanes Planes(16, 16, 7);
        DecodeStream(Writer.Sectors(), Planes, 8, 2);
        EXPECT_EQ(Planes.Luma, Bytes(16, 7));
    }
    {
        TPCDWriter Writer;
        Writer.Table(SimpleTable);
        Writer.Row(1, 0);
        TPlanes Planes(16, 16, 7);
        EXPECT_THROW(DecodeStream(Writer.Sectors(), Planes, 8, 2), EAbort);
    }
    {
        TPCDWriter Writer; // no final row marker: the stream runs out
        Writer.Table(SimpleTable);
        Writer.Row(0, 0);
        Writer.Bits("10");
        TPlanes Planes(16, 16, 7);
        EXPECT_THROW(DecodeStream(Writer.Sectors(), Planes, 8, 2), EReadError);
    }
}

TEST(PhotoCD, RowsBeyondThePlanesAreNotWritten) {
    TPCDWriter Writer;
    Writer.Table(SimpleTable);
    Writer.Row(0, 8000);
    Writer.Bits(std::string(2 * 100, '1'));
    Writer.Row(0, 1); // the last row of a 2-row plane runs on past the plane's end
    Writer.Bits(std::string(2 * 100, '1'));
    Writer.Row(0, 8191);
    std::vector<uint8_t> Guarded(8 * 2 + qvtest::GuardSize, qvtest::GuardByte);
    Bytes Stream = Writer.Sectors();
    TBytesStream Input(Stream.data(), static_cast<int64_t>(Stream.size()));
    TPCDDecoder Decoder(Input);
    Bytes Chroma(8);
    TPCDPlanes Record{Guarded.data(), Chroma.data(), Chroma.data(), 16, 8, 8};
    Decoder.DecodePlanes(Record, 8, 8191);
    for (size_t Index = 16; Index < Guarded.size(); ++Index) ASSERT_EQ(Guarded[Index], qvtest::GuardByte);
    EXPECT_EQ(Guarded[8], qvtest::GuardByte - 3);
}

TEST(PhotoCD, GarbageAndTruncatedStreamsStayInBounds) {
    std::mt19937 Random(3);
    TPCDWriter Writer;
    Writer.Table(SimpleTable);
    for (uint32_t Row = 0; Row < 4; ++Row) {
        Writer.Row(0, Row);
        Writer.Bits("10110101101011");
    }
    Writer.Row(0, 4);
    const Bytes Valid = Writer.Sectors();
    for (int Round = 0; Round < 300; ++Round) {
        Bytes Stream = Valid;
        if (Round % 3 == 0)
            for (auto& Byte : Stream) Byte = static_cast<uint8_t>(Random());
        else
            for (int Hit = 0; Hit < 6; ++Hit) Stream[Random() % 80] = static_cast<uint8_t>(Random());
        if (Round % 2 == 0) Stream.resize(Random() % Stream.size());
        TPlanes Planes(7 * 4, 7 * 2, 128);
        for (int32_t Stride : {7, 3000}) {
            try {
                DecodeStream(Stream, Planes, Stride, 4);
            } catch (const EReadError&) {
            } catch (const EAbort&) {
            }
        }
    }
}
