#pragma once
// Bounded reading of file data: every read either delivers what was asked for
// or raises EReadError, so no reader copies bytes into structs by hand.

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

#include "platform/Exceptions.h"
#include "platform/Streams.h"

namespace qv {

/// Reads integers and blocks from a stream, optionally confined to a window
/// (for example one chunk) that reads may not cross.
class TByteReader {
public:
    /// Reads from the stream's current position to its end.
    explicit TByteReader(TStream& Stream);
    /// Reads at most Limit bytes from the stream's current position.
    TByteReader(TStream& Stream, int64_t Limit);

    TStream& Stream() const { return FStream; }
    /// Absolute stream position.
    int64_t Position() const;
    /// Bytes left before the window's end (or the stream's end).
    int64_t Remaining() const;
    bool AtEnd() const { return Remaining() == 0; }

    /// Reads exactly Count bytes or raises EReadError.
    void ReadExact(void* Buffer, int64_t Count);
    void ReadExact(std::span<uint8_t> Buffer) { ReadExact(Buffer.data(), static_cast<int64_t>(Buffer.size())); }
    /// Reads up to Count bytes; returns how many arrived (fewer only at the end).
    int64_t ReadAtMost(void* Buffer, int64_t Count);
    /// Reads exactly Count bytes into a new vector; Count is checked against what remains first.
    std::vector<uint8_t> ReadBytes(int64_t Count);
    /// Skips Count bytes or raises EReadError when fewer remain.
    void Skip(int64_t Count);
    /// Moves to an absolute stream position inside the window; raises EReadError outside it.
    void Seek(int64_t Position);

    uint8_t ReadU8();
    int8_t ReadI8() { return static_cast<int8_t>(ReadU8()); }
    uint16_t ReadU16LE();
    uint16_t ReadU16BE();
    int16_t ReadI16LE() { return static_cast<int16_t>(ReadU16LE()); }
    int16_t ReadI16BE() { return static_cast<int16_t>(ReadU16BE()); }
    uint32_t ReadU32LE();
    uint32_t ReadU32BE();
    int32_t ReadI32LE() { return static_cast<int32_t>(ReadU32LE()); }
    int32_t ReadI32BE() { return static_cast<int32_t>(ReadU32BE()); }
    float ReadF32LE();
    float ReadF32BE();
    /// Reads Count bytes as text, cut at the first zero byte.
    std::string ReadFixedString(int64_t Count);

private:
    TStream& FStream;
    int64_t FStart;
    int64_t FEnd;
};

/// Reads integers from a block of memory, with the same guarantees.
class TMemoryReader {
public:
    explicit TMemoryReader(std::span<const uint8_t> Data) : FData(Data) {}

    size_t Position() const { return FPosition; }
    size_t Remaining() const { return FData.size() - FPosition; }
    bool AtEnd() const { return FPosition == FData.size(); }

    void ReadExact(void* Buffer, size_t Count);
    /// The next Count bytes without copying; raises EReadError when fewer remain.
    std::span<const uint8_t> Take(size_t Count);
    void Skip(size_t Count) { Take(Count); }
    /// Moves to an offset inside the block; raises EReadError beyond its end.
    void Seek(size_t Position);

    uint8_t ReadU8() { return Take(1)[0]; }
    uint16_t ReadU16LE();
    uint16_t ReadU16BE();
    uint32_t ReadU32LE();
    uint32_t ReadU32BE();

private:
    std::span<const uint8_t> FData;
    size_t FPosition = 0;
};

/// Product of the factors in 64 bits, raising EInvalidGraphic naming What when
/// it exceeds Limit (so a file can never make a reader allocate without bound).
uint64_t CheckedSize(std::initializer_list<uint64_t> Factors, uint64_t Limit, const char* What);

} // namespace qv
