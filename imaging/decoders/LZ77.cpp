// Deflate decoder over zlib's inflate, fed in pieces across Decode calls.

#include <zlib.h>

#include "imaging/ImageStrings.h"
#include "imaging/decoders/DecoderBuffers.h"
#include "imaging/decoders/ImageCompression.h"

namespace qv {

using decoders::ClampCount;

struct TLZ77Decoder::TState {
    z_stream Stream{};
    bool Initialized = false;
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
