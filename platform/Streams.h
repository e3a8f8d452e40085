#pragma once
// Seekable byte streams: the base class, file and memory streams, and the
// zlib compressing and decompressing streams that run over another stream.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/Exceptions.h"

namespace qv {

enum class TSeekOrigin { Beginning, Current, End };

/// A seekable byte stream. Read and Write move as many bytes as they can and
/// return the count; ReadBuffer/WriteBuffer move exactly the count or raise
/// EReadError ("Stream read error") / EWriteError.
class TStream {
public:
    virtual ~TStream() = default;
    TStream() = default;
    TStream(const TStream&) = delete;
    TStream& operator=(const TStream&) = delete;

    /// Reads at most Count bytes; returns how many were read (0 at the end).
    virtual int64_t Read(void* Buffer, int64_t Count) = 0;
    /// Writes at most Count bytes; returns how many were written.
    virtual int64_t Write(const void* Buffer, int64_t Count) = 0;
    /// Moves the position; returns the new position.
    virtual int64_t Seek(int64_t Offset, TSeekOrigin Origin) = 0;
    /// Total size in bytes.
    virtual int64_t Size();

    int64_t Position() { return Seek(0, TSeekOrigin::Current); }
    void SetPosition(int64_t Value) { Seek(Value, TSeekOrigin::Beginning); }
    /// Bytes between the position and the end (never negative).
    int64_t Remaining();

    /// Reads exactly Count bytes or raises EReadError.
    void ReadBuffer(void* Buffer, int64_t Count);
    /// Writes exactly Count bytes or raises EWriteError.
    void WriteBuffer(const void* Buffer, int64_t Count);
    /// Copies Count bytes (all when 0) from Source at its position; returns the count copied.
    int64_t CopyFrom(TStream& Source, int64_t Count);
};

/// Open modes of a file stream.
enum class TFileMode {
    OpenRead,  ///< existing file, read only, others may read but not write
    OpenReadWrite,
    Create     ///< create or truncate, read and write
};

/// A stream over a file on disk.
class TFileStream : public TStream {
public:
    TFileStream(const std::string& FileName, TFileMode Mode);
    ~TFileStream() override;
    int64_t Read(void* Buffer, int64_t Count) override;
    int64_t Write(const void* Buffer, int64_t Count) override;
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
    int64_t Size() override;
    const std::string& FileName() const { return FFileName; }

private:
    std::string FFileName;
    std::FILE* FHandle = nullptr;
};

/// A stream over a growable block of memory that it owns.
class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::vector<uint8_t> Data) : FData(std::move(Data)) {}
    int64_t Read(void* Buffer, int64_t Count) override;
    int64_t Write(const void* Buffer, int64_t Count) override;
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
    int64_t Size() override { return static_cast<int64_t>(FData.size()); }

    void SetSize(int64_t NewSize);
    void Clear() { FData.clear(); FPosition = 0; }
    uint8_t* Memory() { return FData.data(); }
    const std::vector<uint8_t>& Data() const { return FData; }
    void LoadFromFile(const std::string& FileName);
    void LoadFromStream(TStream& Source);
    void SaveToFile(const std::string& FileName);

private:
    std::vector<uint8_t> FData;
    int64_t FPosition = 0;
};

/// A read-only stream over memory that someone else owns.
class TBytesStream : public TStream {
public:
    TBytesStream(const void* Data, int64_t Size)
        : FData(static_cast<const uint8_t*>(Data)), FSize(Size) {}
    int64_t Read(void* Buffer, int64_t Count) override;
    int64_t Write(const void* Buffer, int64_t Count) override;
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
    int64_t Size() override { return FSize; }

private:
    const uint8_t* FData;
    int64_t FSize;
    int64_t FPosition = 0;
};

/// Compresses what is written to it into a zlib stream (RFC 1950) on Dest.
/// Close (or destruction) finishes the zlib stream.
class TCompressionStream : public TStream {
public:
    /// Level -1 is zlib's default compression level.
    explicit TCompressionStream(TStream& Dest, int Level = -1);
    ~TCompressionStream() override;
    int64_t Read(void* Buffer, int64_t Count) override;
    int64_t Write(const void* Buffer, int64_t Count) override;
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
    /// Flushes and finishes the zlib stream; further writes are refused.
    void Close();

private:
    struct TState;
    std::unique_ptr<TState> FState;
    TStream& FDest;
    int64_t FWritten = 0;
    bool FClosed = false;
};

/// Inflates a zlib stream read from Source. It fetches input in 64 KB blocks;
/// Close (or destruction) moves Source back by what was fetched and not used,
/// so Source ends directly after the zlib stream's trailer once it was read
/// to its end. A damaged stream raises EZlibError ("Error").
class TDecompressionStream : public TStream {
public:
    static constexpr int64_t BlockSize = 64 * 1024;

    explicit TDecompressionStream(TStream& Source);
    ~TDecompressionStream() override;
    int64_t Read(void* Buffer, int64_t Count) override;
    int64_t Write(const void* Buffer, int64_t Count) override;
    /// Only forward seeks from the current position (by reading) are possible.
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
    /// Gives back unused input to Source; safe to call more than once.
    void Close();
    /// True once the zlib stream's end (its trailer) was reached.
    bool AtEnd() const { return FStreamEnd; }

private:
    struct TState;
    std::unique_ptr<TState> FState;
    TStream& FSource;
    int64_t FOutPosition = 0;
    bool FStreamEnd = false;
    bool FClosed = false;
};

} // namespace qv
