#include "imaging/ByteReader.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "imaging/ImageStrings.h"
#include "platform/System.h"

namespace qv {

// --- TByteReader ------------------------------------------------------------------------------

TByteReader::TByteReader(TStream& Stream) : FStream(Stream), FStart(Stream.Position()), FEnd(Stream.Size()) {}

TByteReader::TByteReader(TStream& Stream, int64_t Limit)
    : FStream(Stream), FStart(Stream.Position()), FEnd(Stream.Size()) {
    QV_ASSERT(Limit >= 0, "Assertion failure");
    if (Limit < FEnd - FStart) FEnd = FStart + Limit;
}

int64_t TByteReader::Position() const { return FStream.Position(); }

int64_t TByteReader::Remaining() const { return std::max<int64_t>(0, FEnd - FStream.Position()); }

void TByteReader::ReadExact(void* Buffer, int64_t Count) {
    QV_ASSERT(Count >= 0, "Assertion failure");
    if (Count > Remaining()) throw EReadError();
    FStream.ReadBuffer(Buffer, Count);
}

int64_t TByteReader::ReadAtMost(void* Buffer, int64_t Count) {
    QV_ASSERT(Count >= 0, "Assertion failure");
    Count = std::min(Count, Remaining());
    auto* Out = static_cast<uint8_t*>(Buffer);
    int64_t Done = 0;
    while (Done < Count) {
        const int64_t Got = FStream.Read(Out + Done, Count - Done);
        if (Got <= 0) break;
        Done += Got;
    }
    return Done;
}

std::vector<uint8_t> TByteReader::ReadBytes(int64_t Count) {
    QV_ASSERT(Count >= 0, "Assertion failure");
    // Checked before the allocation, so a size field cannot reserve more than the data holds.
    if (Count > Remaining()) throw EReadError();
    std::vector<uint8_t> Result(static_cast<size_t>(Count));
    FStream.ReadBuffer(Result.data(), Count);
    return Result;
}

void TByteReader::Skip(int64_t Count) {
    QV_ASSERT(Count >= 0, "Assertion failure");
    if (Count > Remaining()) throw EReadError();
    FStream.Seek(Count, TSeekOrigin::Current);
}

void TByteReader::Seek(int64_t Position) {
    if (Position < FStart || Position > FEnd) throw EReadError();
    FStream.SetPosition(Position);
}

uint8_t TByteReader::ReadU8() {
    uint8_t B;
    ReadExact(&B, 1);
    return B;
}

uint16_t TByteReader::ReadU16LE() {
    uint8_t B[2];
    ReadExact(B, 2);
    return static_cast<uint16_t>(B[0] | (B[1] << 8));
}

uint16_t TByteReader::ReadU16BE() {
    uint8_t B[2];
    ReadExact(B, 2);
    return static_cast<uint16_t>((B[0] << 8) | B[1]);
}

uint32_t TByteReader::ReadU32LE() {
    uint8_t B[4];
    ReadExact(B, 4);
    return uint32_t{B[0]} | (uint32_t{B[1]} << 8) | (uint32_t{B[2]} << 16) | (uint32_t{B[3]} << 24);
}

uint32_t TByteReader::ReadU32BE() {
    uint8_t B[4];
    ReadExact(B, 4);
    return (uint32_t{B[0]} << 24) | (uint32_t{B[1]} << 16) | (uint32_t{B[2]} << 8) | uint32_t{B[3]};
}

float TByteReader::ReadF32LE() { return std::bit_cast<float>(ReadU32LE()); }
float TByteReader::ReadF32BE() { return std::bit_cast<float>(ReadU32BE()); }

std::string TByteReader::ReadFixedString(int64_t Count) {
    const std::vector<uint8_t> Bytes = ReadBytes(Count);
    const auto End = std::find(Bytes.begin(), Bytes.end(), uint8_t{0});
    return std::string(Bytes.begin(), End);
}

// --- TMemoryReader ----------------------------------------------------------------------------

std::span<const uint8_t> TMemoryReader::Take(size_t Count) {
    if (Count > Remaining()) throw EReadError();
    const auto Result = FData.subspan(FPosition, Count);
    FPosition += Count;
    return Result;
}

void TMemoryReader::ReadExact(void* Buffer, size_t Count) {
    const auto Bytes = Take(Count);
    if (Count != 0) std::memcpy(Buffer, Bytes.data(), Count);
}

void TMemoryReader::Seek(size_t Position) {
    if (Position > FData.size()) throw EReadError();
    FPosition = Position;
}

uint16_t TMemoryReader::ReadU16LE() {
    const auto B = Take(2);
    return static_cast<uint16_t>(B[0] | (B[1] << 8));
}

uint16_t TMemoryReader::ReadU16BE() {
    const auto B = Take(2);
    return static_cast<uint16_t>((B[0] << 8) | B[1]);
}

uint32_t TMemoryReader::ReadU32LE() {
    const auto B = Take(4);
    return uint32_t{B[0]} | (uint32_t{B[1]} << 8) | (uint32_t{B[2]} << 16) | (uint32_t{B[3]} << 24);
}

uint32_t TMemoryReader::ReadU32BE() {
    const auto B = Take(4);
    return (uint32_t{B[0]} << 24) | (uint32_t{B[1]} << 16) | (uint32_t{B[2]} << 8) | uint32_t{B[3]};
}

// --- Size checks ------------------------------------------------------------------------------

uint64_t CheckedSize(std::initializer_list<uint64_t> Factors, uint64_t Limit, const char* What) {
    uint64_t Product = 1;
    for (uint64_t Factor : Factors) {
        if (__builtin_mul_overflow(Product, Factor, &Product) || Product > Limit) {
            throw EInvalidGraphic(Format(gesSizeLimit, What,
                                         static_cast<unsigned long long>(Limit)));
        }
    }
    return Product;
}

} // namespace qv
