#include "imaging/ByteReader.h"

#include <gtest/gtest.h>

#include <vector>

using namespace qv;

namespace {
const std::vector<uint8_t> Data = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 'a', 'b', 0, 'c'};
}

TEST(ByteReader, IntegersInBothByteOrders) {
    TBytesStream Stream(Data.data(), static_cast<int64_t>(Data.size()));
    TByteReader R(Stream);
    EXPECT_EQ(R.ReadU16LE(), 0x0201);
    EXPECT_EQ(R.ReadU16BE(), 0x0304);
    Stream.SetPosition(0);
    EXPECT_EQ(R.ReadU32LE(), 0x04030201u);
    EXPECT_EQ(R.ReadU32BE(), 0x05060708u);
    EXPECT_EQ(R.ReadFixedString(4), "ab");
    EXPECT_TRUE(R.AtEnd());
    EXPECT_THROW(R.ReadU8(), EReadError);

    const std::vector<uint8_t> Negative = {0xFF, 0xFE, 0x00, 0x00, 0x80, 0x3F};
    TBytesStream S2(Negative.data(), 6);
    TByteReader R2(S2);
    EXPECT_EQ(R2.ReadI16BE(), -2);
    EXPECT_FLOAT_EQ(R2.ReadF32LE(), 1.0f);
}

TEST(ByteReader, TruncationRaisesWithoutPartialReads) {
    TBytesStream Stream(Data.data(), 3);
    TByteReader R(Stream);
    EXPECT_THROW(R.ReadU32LE(), EReadError);
    EXPECT_EQ(R.Position(), 0) << "a refused read consumes nothing";
    uint8_t Buffer[8] = {};
    EXPECT_EQ(R.ReadAtMost(Buffer, 8), 3);
    EXPECT_EQ(Buffer[2], 3);
    EXPECT_EQ(R.ReadAtMost(Buffer, 8), 0);
    Stream.SetPosition(0);
    EXPECT_THROW(R.ReadBytes(int64_t{1} << 40), EReadError) << "a huge size is refused before allocating";
    EXPECT_THROW(R.Skip(4), EReadError);
    EXPECT_THROW(R.Seek(4), EReadError);
}

TEST(ByteReader, WindowConfinesReads) {
    TBytesStream Stream(Data.data(), static_cast<int64_t>(Data.size()));
    Stream.SetPosition(2);
    TByteReader Chunk(Stream, 4);
    EXPECT_EQ(Chunk.Remaining(), 4);
    EXPECT_EQ(Chunk.ReadU16BE(), 0x0304);
    EXPECT_THROW(Chunk.ReadU32BE(), EReadError);
    EXPECT_EQ(Chunk.ReadBytes(2), (std::vector<uint8_t>{5, 6}));
    EXPECT_THROW(Chunk.Seek(1), EReadError) << "before the window";
    Chunk.Seek(2);
    EXPECT_EQ(Chunk.ReadU8(), 3);

    TBytesStream Short(Data.data(), 4);
    TByteReader Beyond(Short, 100);
    EXPECT_EQ(Beyond.Remaining(), 4) << "a window beyond the stream ends with the stream";
}

TEST(MemoryReader, ReadsAndBounds) {
    TMemoryReader R(Data);
    EXPECT_EQ(R.ReadU16BE(), 0x0102);
    EXPECT_EQ(R.ReadU32LE(), 0x06050403u);
    EXPECT_EQ(R.Take(2)[1], 8);
    EXPECT_THROW(R.Take(5), EReadError);
    EXPECT_EQ(R.Remaining(), 4u);
    R.Seek(12);
    EXPECT_TRUE(R.AtEnd());
    EXPECT_THROW(R.Seek(13), EReadError);
}

TEST(CheckedSize, LimitsAndOverflow) {
    EXPECT_EQ(CheckedSize({1000, 1000, 4}, 1u << 30, "row buffer"), 4000000u);
    EXPECT_THROW(CheckedSize({1u << 20, 1u << 20, 4}, 1u << 30, "row buffer"), EInvalidGraphic);
    try {
        CheckedSize({~uint64_t{0}, 2}, ~uint64_t{0}, "strip");
        FAIL() << "no exception";
    } catch (const EInvalidGraphic& E) {
        EXPECT_NE(E.Message().find("strip"), std::string::npos);
    }
}
