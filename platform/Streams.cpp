#include "platform/Streams.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/Exceptions.h"

namespace qv {

// ---------------------------------------------------------------------------
// TStream

int64_t TStream::Size() {
    const int64_t Saved = Seek(0, TSeekOrigin::Current);
    const int64_t End = Seek(0, TSeekOrigin::End);
    Seek(Saved, TSeekOrigin::Beginning);
    return End;
}

int64_t TStream::Remaining() {
    const int64_t Left = Size() - Position();
    return Left > 0 ? Left : 0;
}

void TStream::ReadBuffer(void* Buffer, int64_t Count) {
    if (Count < 0) throw EReadError();
    auto* Out = static_cast<uint8_t*>(Buffer);
    while (Count > 0) {
        const int64_t Got = Read(Out, Count);
        if (Got <= 0) throw EReadError();
        Out += Got;
        Count -= Got;
    }
}

void TStream::WriteBuffer(const void* Buffer, int64_t Count) {
    if (Count < 0) throw EWriteError();
    const auto* In = static_cast<const uint8_t*>(Buffer);
    while (Count > 0) {
        const int64_t Put = Write(In, Count);
        if (Put <= 0) throw EWriteError();
        In += Put;
        Count -= Put;
    }
}

int64_t TStream::CopyFrom(TStream& Source, int64_t Count) {
    if (Count == 0) {
        Source.SetPosition(0);
        Count = Source.Size();
    }
    std::vector<uint8_t> Buffer(static_cast<size_t>(std::min<int64_t>(Count, 64 * 1024)));
    int64_t Done = 0;
    while (Done < Count) {
        const int64_t Chunk = std::min<int64_t>(Count - Done, static_cast<int64_t>(Buffer.size()));
        Source.ReadBuffer(Buffer.data(), Chunk);
        WriteBuffer(Buffer.data(), Chunk);
        Done += Chunk;
    }
    return Done;
}

// ---------------------------------------------------------------------------
// TFileStream

TFileStream::TFileStream(const std::string& FileName, TFileMode Mode) : FFileName(FileName) {
    const char* ModeText = Mode == TFileMode::OpenRead ? "rb" : (Mode == TFileMode::OpenReadWrite ? "r+b" : "w+b");
    FHandle = std::fopen(FileName.c_str(), ModeText);
    if (!FHandle) {
        const std::string Reason = std::strerror(errno);
        if (Mode == TFileMode::Create)
            throw EFOpenError("Cannot create file \"" + FileName + "\". " + Reason);
        throw EFOpenError("Cannot open file \"" + FileName + "\". " + Reason);
    }
}

TFileStream::~TFileStream() {
    if (FHandle) std::fclose(FHandle);
}

int64_t TFileStream::Read(void* Buffer, int64_t Count) {
    if (Count <= 0) return 0;
    return static_cast<int64_t>(std::fread(Buffer, 1, static_cast<size_t>(Count), FHandle));
}

int64_t TFileStream::Write(const void* Buffer, int64_t Count) {
    if (Count <= 0) return 0;
    return static_cast<int64_t>(std::fwrite(Buffer, 1, static_cast<size_t>(Count), FHandle));
}

int64_t TFileStream::Seek(int64_t Offset, TSeekOrigin Origin) {
    const int Whence = Origin == TSeekOrigin::Beginning ? SEEK_SET : (Origin == TSeekOrigin::Current ? SEEK_CUR : SEEK_END);
    if (!(Origin == TSeekOrigin::Current && Offset == 0)) {
        if (fseeko(FHandle, static_cast<off_t>(Offset), Whence) != 0) {
            // A seek before the start is refused; report where the stream stays.
            return static_cast<int64_t>(ftello(FHandle));
        }
    }
    return static_cast<int64_t>(ftello(FHandle));
}

int64_t TFileStream::Size() {
    const off_t Saved = ftello(FHandle);
    fseeko(FHandle, 0, SEEK_END);
    const off_t End = ftello(FHandle);
    fseeko(FHandle, Saved, SEEK_SET);
    return static_cast<int64_t>(End);
}

// ---------------------------------------------------------------------------
// Memory streams

namespace {
int64_t SeekWithin(int64_t Position, int64_t Size, int64_t Offset, TSeekOrigin Origin) {
    int64_t Base = Origin == TSeekOrigin::Beginning ? 0 : (Origin == TSeekOrigin::Current ? Position : Size);
    int64_t Target = Base + Offset;
    return Target < 0 ? 0 : Target;
}
} // namespace

int64_t TMemoryStream::Read(void* Buffer, int64_t Count) {
    const int64_t Available = static_cast<int64_t>(FData.size()) - FPosition;
    const int64_t N = std::min(Count, Available);
    if (N <= 0) return 0;
    std::memcpy(Buffer, FData.data() + FPosition, static_cast<size_t>(N));
    FPosition += N;
    return N;
}

int64_t TMemoryStream::Write(const void* Buffer, int64_t Count) {
    if (Count <= 0) return 0;
    const int64_t End = FPosition + Count;
    if (End > static_cast<int64_t>(FData.size())) FData.resize(static_cast<size_t>(End));
    std::memcpy(FData.data() + FPosition, Buffer, static_cast<size_t>(Count));
    FPosition = End;
    return Count;
}

int64_t TMemoryStream::Seek(int64_t Offset, TSeekOrigin Origin) {
    FPosition = SeekWithin(FPosition, static_cast<int64_t>(FData.size()), Offset, Origin);
    return FPosition;
}

void TMemoryStream::SetSize(int64_t NewSize) {
    FData.resize(static_cast<size_t>(std::max<int64_t>(NewSize, 0)));
    FPosition = std::min(FPosition, static_cast<int64_t>(FData.size()));
}

void TMemoryStream::LoadFromFile(const std::string& FileName) {
    TFileStream File(FileName, TFileMode::OpenRead);
    LoadFromStream(File);
}

void TMemoryStream::LoadFromStream(TStream& Source) {
    Source.SetPosition(0);
    const int64_t Count = Source.Size();
    FData.assign(static_cast<size_t>(Count), 0);
    if (Count > 0) Source.ReadBuffer(FData.data(), Count);
    FPosition = 0;
}

void TMemoryStream::SaveToFile(const std::string& FileName) {
    TFileStream File(FileName, TFileMode::Create);
    File.WriteBuffer(FData.data(), static_cast<int64_t>(FData.size()));
}

int64_t TBytesStream::Read(void* Buffer, int64_t Count) {
    const int64_t N = std::min(Count, FSize - FPosition);
    if (N <= 0) return 0;
    std::memcpy(Buffer, FData + FPosition, static_cast<size_t>(N));
    FPosition += N;
    return N;
}

int64_t TBytesStream::Write(const void*, int64_t) { return 0; }

int64_t TBytesStream::Seek(int64_t Offset, TSeekOrigin Origin) {
    FPosition = SeekWithin(FPosition, FSize, Offset, Origin);
    return FPosition;
}

// ---------------------------------------------------------------------------
// zlib streams

struct TCompressionStream::TState {
    z_stream Z{};
    bool Initialised = false;
    std::vector<uint8_t> Out = std::vector<uint8_t>(64 * 1024);
    ~TState() {
        if (Initialised) deflateEnd(&Z);
    }
};

TCompressionStream::TCompressionStream(TStream& Dest, int Level) : FState(std::make_unique<TState>()), FDest(Dest) {
    if (deflateInit(&FState->Z, Level) != Z_OK) throw EZlibError("Error");
    FState->Initialised = true;
}

TCompressionStream::~TCompressionStream() {
    try {
        Close();
    } catch (...) {
        // Destruction cannot report; callers that care call Close() themselves.
    }
}

int64_t TCompressionStream::Read(void*, int64_t) { throw EZlibError("Invalid stream operation"); }

int64_t TCompressionStream::Write(const void* Buffer, int64_t Count) {
    if (FClosed) throw EZlibError("Invalid stream operation");
    z_stream& Z = FState->Z;
    const auto* In = static_cast<const uint8_t*>(Buffer);
    int64_t Left = Count;
    while (Left > 0) {
        const uInt Chunk = static_cast<uInt>(std::min<int64_t>(Left, 1 << 30));
        Z.next_in = const_cast<Bytef*>(In);
        Z.avail_in = Chunk;
        while (Z.avail_in > 0) {
            Z.next_out = FState->Out.data();
            Z.avail_out = static_cast<uInt>(FState->Out.size());
            if (deflate(&Z, Z_NO_FLUSH) == Z_STREAM_ERROR) throw EZlibError("Error");
            FDest.WriteBuffer(FState->Out.data(), static_cast<int64_t>(FState->Out.size() - Z.avail_out));
        }
        In += Chunk;
        Left -= Chunk;
    }
    FWritten += Count;
    return Count;
}

int64_t TCompressionStream::Seek(int64_t Offset, TSeekOrigin Origin) {
    if (Offset == 0 && Origin == TSeekOrigin::Current) return FWritten;
    throw EZlibError("Invalid stream operation");
}

void TCompressionStream::Close() {
    if (FClosed) return;
    FClosed = true;
    z_stream& Z = FState->Z;
    Z.next_in = nullptr;
    Z.avail_in = 0;
    int Result = Z_OK;
    do {
        Z.next_out = FState->Out.data();
        Z.avail_out = static_cast<uInt>(FState->Out.size());
        Result = deflate(&Z, Z_FINISH);
        if (Result == Z_STREAM_ERROR) throw EZlibError("Error");
        FDest.WriteBuffer(FState->Out.data(), static_cast<int64_t>(FState->Out.size() - Z.avail_out));
    } while (Result != Z_STREAM_END);
}

struct TDecompressionStream::TState {
    z_stream Z{};
    bool Initialised = false;
    std::vector<uint8_t> In = std::vector<uint8_t>(TDecompressionStream::BlockSize);
    ~TState() {
        if (Initialised) inflateEnd(&Z);
    }
};

TDecompressionStream::TDecompressionStream(TStream& Source) : FState(std::make_unique<TState>()), FSource(Source) {
    if (inflateInit(&FState->Z) != Z_OK) throw EZlibError("Error");
    FState->Initialised = true;
}

TDecompressionStream::~TDecompressionStream() {
    try {
        Close();
    } catch (...) {
        // Destruction cannot report; callers that care call Close() themselves.
    }
}

int64_t TDecompressionStream::Read(void* Buffer, int64_t Count) {
    if (FClosed || Count <= 0) return 0;
    z_stream& Z = FState->Z;
    auto* Out = static_cast<uint8_t*>(Buffer);
    int64_t Done = 0;
    while (Done < Count && !FStreamEnd) {
        if (Z.avail_in == 0) {
            const int64_t Got = FSource.Read(FState->In.data(), BlockSize);
            if (Got <= 0) break; // input ended before the zlib stream did
            Z.next_in = FState->In.data();
            Z.avail_in = static_cast<uInt>(Got);
        }
        const uInt Want = static_cast<uInt>(std::min<int64_t>(Count - Done, 1 << 30));
        Z.next_out = Out + Done;
        Z.avail_out = Want;
        const int Result = inflate(&Z, Z_NO_FLUSH);
        Done += Want - Z.avail_out;
        if (Result == Z_STREAM_END) {
            FStreamEnd = true;
        } else if (Result != Z_OK && Result != Z_BUF_ERROR) {
            throw EZlibError("Error");
        } else if (Result == Z_BUF_ERROR && Z.avail_in != 0) {
            throw EZlibError("Error");
        }
    }
    FOutPosition += Done;
    return Done;
}

int64_t TDecompressionStream::Write(const void*, int64_t) { throw EZlibError("Invalid stream operation"); }

int64_t TDecompressionStream::Seek(int64_t Offset, TSeekOrigin Origin) {
    if (Origin == TSeekOrigin::Current && Offset >= 0) {
        std::vector<uint8_t> Skip(static_cast<size_t>(std::min<int64_t>(Offset, 64 * 1024)));
        int64_t Left = Offset;
        while (Left > 0) {
            const int64_t Got = Read(Skip.data(), std::min<int64_t>(Left, static_cast<int64_t>(Skip.size())));
            if (Got <= 0) break;
            Left -= Got;
        }
        return FOutPosition;
    }
    if (Origin == TSeekOrigin::Beginning && Offset == FOutPosition) return FOutPosition;
    throw EZlibError("Invalid stream operation");
}

void TDecompressionStream::Close() {
    if (FClosed) return;
    FClosed = true;
    // Give back the read-ahead that belongs to whatever follows the zlib stream.
    if (FState->Z.avail_in > 0) FSource.Seek(-static_cast<int64_t>(FState->Z.avail_in), TSeekOrigin::Current);
    FState->Z.avail_in = 0;
}

} // namespace qv
