// Deflate decoder over zlib's inflate, fed in pieces across Decode calls. A call that
// holds a whole zlib stream (AutoReset) is inflated by libdeflate first, which is about
// twice as fast; whatever libdeflate cannot finish goes through zlib as before.

#include <libdeflate.h>
#include <zlib.h>

#include <cstring>
#include <memory>

#include "imaging/ImageStrings.h"
#include "imaging/decoders/DecoderBuffers.h"
#include "imaging/decoders/ImageCompression.h"

namespace qv {

using decoders::ClampCount;

struct TLZ77Decoder::TState {
    z_stream Stream{};
    bool Initialized = false;
    libdeflate_decompressor* Fast = nullptr;
    // libdeflate inflates here, so a stream it rejects leaves the caller's output untouched
    // for zlib, which then writes exactly what it always wrote.
    std::unique_ptr<uint8_t[]> Scratch;
    size_t ScratchSize = 0;

    ~TState() {
        if (Fast != nullptr) libdeflate_free_decompressor(Fast);
    }

    /// Inflates a whole zlib stream; false (nothing written to Dest) when libdeflate cannot.
    bool InflateWhole(const uint8_t* Source, size_t InSize, uint8_t* Dest, size_t OutSize, size_t& InUsed,
                      size_t& OutUsed) {
        if (Fast == nullptr) Fast = libdeflate_alloc_decompressor();
        if (Fast == nullptr) return false;
        if (ScratchSize < OutSize) {
            Scratch = std::make_unique_for_overwrite<uint8_t[]>(OutSize);
            ScratchSize = OutSize;
        }
        if (libdeflate_zlib_decompress_ex(Fast, Source, InSize, Scratch.get(), OutSize, &InUsed, &OutUsed) !=
            LIBDEFLATE_SUCCESS)
            return false;
        if (OutUsed > 0) std::memcpy(Dest, Scratch.get(), OutUsed);
        return true;
    }
};

TLZ77Decoder::TLZ77Decoder(int32_t FlushMode, bool AutoReset)
    : FState(std::make_unique<TState>()), FFlushMode(FlushMode), FAutoReset(AutoReset) {}

TLZ77Decoder::~TLZ77Decoder() {
    if (FState->Initialized) inflateEnd(&FState->Stream);
}

void TLZ77Decoder::DecodeInit() {
    if (FState->Initialized) {
        inflateEnd(&FState->Stream);
        FState->Initialized = false;
    }
    FState->Stream = z_stream{};
    FZLibResult = inflateInit(&FState->Stream);
    if (FZLibResult < 0) throw EGraphicCompression(gesLZ77Error);
    FState->Initialized = true;
}

void TLZ77Decoder::DecodeEnd() {
    if (!FState->Initialized) return;
    FState->Initialized = false;
    FZLibResult = inflateEnd(&FState->Stream);
    if (FZLibResult < 0) throw EGraphicCompression(gesLZ77Error);
}

void TLZ77Decoder::Decode(uint8_t*& Source, uint8_t*& Dest, int32_t PackedSize, int32_t UnpackedSize,
                          size_t SourceSize, size_t DestSize) {
    z_stream& Stream = FState->Stream;
    // Counters of this call only: a stale view of an earlier call's buffers must not survive.
    Stream.next_in = Source;
    Stream.avail_in = static_cast<uInt>(std::min<size_t>(ClampCount(PackedSize, SourceSize), UINT32_MAX));
    Stream.next_out = Dest;
    Stream.avail_out = static_cast<uInt>(std::min<size_t>(ClampCount(UnpackedSize, DestSize), UINT32_MAX));
    if (!FState->Initialized) {
        FZLibResult = Z_STREAM_ERROR;
        return;
    }
    if (FAutoReset) {
        size_t InUsed = 0, OutUsed = 0;
        if (Stream.avail_out > 0 &&
            FState->InflateWhole(Source, Stream.avail_in, Dest, Stream.avail_out, InUsed, OutUsed)) {
            // As zlib leaves a stream it inflated to its end.
            Stream.avail_in -= static_cast<uInt>(InUsed);
            Stream.avail_out -= static_cast<uInt>(OutUsed);
            FZLibResult = Z_STREAM_END;
            Source += InUsed;
            Dest += OutUsed;
            return;
        }
        FZLibResult = inflateReset(&Stream);
        if (FZLibResult != Z_OK) return;
    }
    FZLibResult = inflate(&Stream, FFlushMode);
    Source = Stream.next_in;
    Dest = Stream.next_out;
}

uint32_t TLZ77Decoder::InputLeft() const { return FState->Stream.avail_in; }

uint32_t TLZ77Decoder::OutputRoom() const { return FState->Stream.avail_out; }

} // namespace qv
