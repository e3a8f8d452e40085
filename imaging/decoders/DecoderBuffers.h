#pragma once
// Bounded input and output cursors shared by the decoders: every read stops at
// the end of the input and every write is cut at the end of the output.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qv::decoders {

/// The smaller of a count from the caller (negative counts as 0) and a buffer size.
inline size_t ClampCount(int64_t Count, size_t Size) {
    if (Count <= 0) return 0;
    return std::min(static_cast<size_t>(Count), Size);
}

/// Reads bytes from a block of known size.
class TInputCursor {
public:
    TInputCursor(const uint8_t* Data, size_t Size) : FData(Data), FLeft(Size) {}

    size_t Left() const { return FLeft; }
    bool Empty() const { return FLeft == 0; }
    const uint8_t* Position() const { return FData; }

    /// The next byte; the caller checks Empty() first.
    uint8_t Next() {
        --FLeft;
        return *FData++;
    }
    /// Skips up to Count bytes; returns how many were skipped.
    size_t Skip(size_t Count) {
        Count = std::min(Count, FLeft);
        FData += Count;
        FLeft -= Count;
        return Count;
    }

private:
    const uint8_t* FData;
    size_t FLeft;
};

/// Writes bytes into a block of known size; what passes its end is dropped.
class TOutputCursor {
public:
    TOutputCursor(uint8_t* Data, size_t Size) : FData(Data), FSize(Size) {}

    bool Full() const { return FPosition >= FSize; }
    size_t Position() const { return FPosition; }
    size_t Room() const { return FSize - FPosition; }

    void Put(uint8_t Value) {
        if (FPosition < FSize) FData[FPosition++] = Value;
    }
    /// Writes Value Count times.
    void Fill(uint8_t Value, size_t Count) {
        Count = std::min(Count, Room());
        if (Count == 0) return;
        std::memset(FData + FPosition, Value, Count);
        FPosition += Count;
    }
    /// Copies Count bytes from Input (which must hold them).
    void Copy(const uint8_t* Input, size_t Count) {
        Count = std::min(Count, Room());
        if (Count == 0) return;
        std::memcpy(FData + FPosition, Input, Count);
        FPosition += Count;
    }
    /// Writes the Size-byte pattern at Pattern Count times.
    void Repeat(const uint8_t* Pattern, size_t Size, size_t Count) {
        if (Size == 1) {
            Fill(*Pattern, Count);
            return;
        }
        // Write the pattern once, then double what was written.
        const size_t Start = FPosition;
        const size_t Total = std::min(Size * Count, Room());
        Copy(Pattern, std::min(Size, Total));
        while (FPosition - Start < Total) {
            const size_t Chunk = std::min(FPosition - Start, Total - (FPosition - Start));
            std::memcpy(FData + FPosition, FData + Start, Chunk);
            FPosition += Chunk;
        }
    }

private:
    uint8_t* FData;
    size_t FSize;
    size_t FPosition = 0;
};

} // namespace qv::decoders
