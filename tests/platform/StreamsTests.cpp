#include <gtest/gtest.h>
#include <zlib.h>

#include <numeric>
#include <random>

#include "TestSupport.h"
#include "platform/Streams.h"

using namespace qv;

namespace {
std::vector<uint8_t> Pattern(size_t Count, uint32_t Seed) {
    std::vector<uint8_t> Data(Count);
    std::mt19937 Random(Seed);
    // Half compressible, half noise, so zlib output is neither trivial nor incompressible.
    for (size_t I = 0; I < Count; ++I) Data[I] = (I / 4096) % 2 ? static_cast<uint8_t>(Random()) : static_cast<uint8_t>(I / 7);
    return Data;
}
} // namespace

TEST(Streams, ReadBufferPastEndRaisesStreamReadError) {
    TMemoryStream S(std::vector<uint8_t>{1, 2, 3});
    uint8_t Buffer[4];
    try {
        S.ReadBuffer(Buffer, 4);
        FAIL() << "expected a read error";
    } catch (const EReadError& E) {
        EXPECT_EQ(E.Message(), "Stream read error");
    }
    S.SetPosition(1);
    S.ReadBuffer(Buffer, 2);
    EXPECT_EQ(Buffer[1], 3);
    EXPECT_EQ(S.Remaining(), 0);
    EXPECT_EQ(S.Read(Buffer, 10), 0);
}

TEST(Streams, MemoryStreamWritesGrowAndSeeksClampAtStart) {
    TMemoryStream S;
    S.WriteBuffer("abc", 3);
    S.SetPosition(5);
    S.WriteBuffer("z", 1);
    EXPECT_EQ(S.Size(), 6);
    EXPECT_EQ(S.Data()[3], 0);
    EXPECT_EQ(S.Seek(-100, TSeekOrigin::Current), 0);
    EXPECT_EQ(S.Seek(-1, TSeekOrigin::End), 5);
}

TEST(Streams, FileStreamRoundTripAndMissingFile) {
    const std::string Path = qvtest::TempDir() + "/f.bin";
    {
        TFileStream Out(Path, TFileMode::Create);
        Out.WriteBuffer("hello", 5);
    }
    TFileStream In(Path, TFileMode::OpenRead);
    EXPECT_EQ(In.Size(), 5);
    char Buffer[5];
    In.ReadBuffer(Buffer, 5);
    EXPECT_EQ(std::string(Buffer, 5), "hello");
    EXPECT_THROW(TFileStream(qvtest::TempDir() + "/missing", TFileMode::OpenRead), EFOpenError);
}

TEST(Streams, ZlibRoundTripGivesBackReadAheadExactly) {
    // Two zlib streams back to back with a marker between them: the first
    // decompressor fetches 64 KB ahead and must give back what it did not use.
    const std::vector<uint8_t> A = Pattern(200000, 1), B = Pattern(70000, 2);
    TMemoryStream File;
    {
        TCompressionStream Z(File);
        Z.WriteBuffer(A.data(), static_cast<int64_t>(A.size()));
        Z.Close();
    }
    File.WriteBuffer("MARK", 4);
    {
        TCompressionStream Z(File, 9);
        Z.WriteBuffer(B.data(), static_cast<int64_t>(B.size()));
    }
    File.WriteBuffer("END", 3);

    File.SetPosition(0);
    std::vector<uint8_t> OutA(A.size()), OutB(B.size());
    {
        TDecompressionStream Z(File);
        Z.ReadBuffer(OutA.data(), static_cast<int64_t>(OutA.size()));
        uint8_t Extra;
        EXPECT_EQ(Z.Read(&Extra, 1), 0);
        Z.Close();
    }
    char Mark[4];
    File.ReadBuffer(Mark, 4);
    EXPECT_EQ(std::string(Mark, 4), "MARK");
    {
        TDecompressionStream Z(File);
        Z.ReadBuffer(OutB.data(), static_cast<int64_t>(OutB.size()));
    }
    char End[3];
    File.ReadBuffer(End, 3);
    EXPECT_EQ(std::string(End, 3), "END");
    EXPECT_EQ(OutA, A);
    EXPECT_EQ(OutB, B);
}

TEST(Streams, ZlibDamagedAndTruncatedInput) {
    const std::vector<uint8_t> A = Pattern(50000, 3);
    TMemoryStream File;
    {
        TCompressionStream Z(File);
        Z.WriteBuffer(A.data(), static_cast<int64_t>(A.size()));
    }
    std::vector<uint8_t> Bytes = File.Data();
    std::vector<uint8_t> Out(A.size());

    // Cut short: the data ends before the pixels did.
    TMemoryStream Short(std::vector<uint8_t>(Bytes.begin(), Bytes.begin() + static_cast<long>(Bytes.size() / 2)));
    TDecompressionStream Z1(Short);
    EXPECT_THROW(Z1.ReadBuffer(Out.data(), static_cast<int64_t>(Out.size())), EReadError);

    // Damaged header: zlib's own failure.
    Bytes[0] ^= 0xFF;
    TMemoryStream Bad(Bytes);
    TDecompressionStream Z2(Bad);
    try {
        Z2.ReadBuffer(Out.data(), static_cast<int64_t>(Out.size()));
        FAIL() << "expected a zlib error";
    } catch (const EZlibError& E) {
        EXPECT_EQ(E.Message(), "Error");
    }
}

TEST(Streams, CompressionUsesZlibFormatReadableByZlib) {
    const std::vector<uint8_t> A = Pattern(10000, 4);
    TMemoryStream File;
    {
        TCompressionStream Z(File);
        Z.WriteBuffer(A.data(), static_cast<int64_t>(A.size()));
    }
    std::vector<uint8_t> Out(A.size());
    uLongf OutSize = static_cast<uLongf>(Out.size());
    ASSERT_EQ(uncompress(Out.data(), &OutSize, File.Data().data(), static_cast<uLong>(File.Size())), Z_OK);
    EXPECT_EQ(Out, A);
}
