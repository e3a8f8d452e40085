// Run-length decoders of the Targa, PackBits, PCX, SGI, CUT, Paintshop Pro and
// RLA schemes, and the Targa run-length encoder.

#include <bit>
#include <cstring>

#include "imaging/decoders/DecoderBuffers.h"
#include "imaging/decoders/ImageCompression.h"
#include "imaging/ImageStrings.h"
#include "platform/System.h"

namespace qv {

using decoders::ClampCount;
using decoders::TInputCursor;
using decoders::TOutputCursor;

// ---------------------------------------------------------------------------
// Targa

namespace {

size_t TargaPixelSize(uint8_t ColorDepth) {
    switch (ColorDepth) {
        case 8: return 1;
        case 15:
        case 16: return 2;
        case 24: return 3;
        case 32: return 4;
        default: return 0;
    }
}

} // namespace

TTargaRLEDecoder::TTargaRLEDecoder(uint8_t ColorDepth) : FColorDepth(ColorDepth) {}

void TTargaRLEDecoder::Decode(uint8_t*& Source, uint8_t*& Dest, int32_t, int32_t UnpackedSize,
                              size_t SourceSize, size_t DestSize) {
    const size_t PixelSize = TargaPixelSize(FColorDepth);
    if (PixelSize == 0) return;
    TInputCursor Input(Source, SourceSize);
    TOutputCursor Output(Dest, DestSize);
    // Packets are not cut to the pixels still wanted (a packet may cross the requested end);
    // only the buffer's end cuts them.
    int64_t PixelsLeft = UnpackedSize;
    while (PixelsLeft > 0 && !Input.Empty()) {
        const uint8_t Header = Input.Next();
        const size_t Count = (Header & 0x7F) + 1;
        if (Header & 0x80) {
            if (Input.Left() < PixelSize) {
                Input.Skip(Input.Left());
                break;
            }
            Output.Repeat(Input.Position(), PixelSize, Count);
            Input.Skip(PixelSize);
        } else {
            const size_t Bytes = Count * PixelSize;
            const size_t Available = std::min(Bytes, Input.Left());
            Output.Copy(Input.Position(), Available);
            Input.Skip(Available);
            if (Available < Bytes) break;
        }
        PixelsLeft -= static_cast<int64_t>(Count);
    }
    Source = const_cast<uint8_t*>(Input.Position());
}

void TTargaRLEDecoder::Encode(const uint8_t* Source, uint8_t* Dest, uint32_t Count, uint32_t& BytesStored,
                              size_t DestSize) {
    BytesStored = 0;
    const size_t PixelSize = (static_cast<size_t>(FColorDepth) + 1) / 8;
    if (PixelSize == 0 || Count == 0) return;
    auto Same = [&](size_t A, size_t B) {
        return std::memcmp(Source + A * PixelSize, Source + B * PixelSize, PixelSize) == 0;
    };
    auto Store = [&](const uint8_t* Bytes, size_t Size) {
        if (Size > DestSize - BytesStored)
            throw EGraphicCompression(gesTargaEncodeBuffer);
        std::memcpy(Dest + BytesStored, Bytes, Size);
        BytesStored += static_cast<uint32_t>(Size);
    };
    size_t Position = 0;
    while (Position < Count) {
        const size_t Remaining = Count - Position;
        // Raw length: up to the first pixel that equals its successor, at most 128; a last
        // single pixel is a raw packet of its own.
        size_t Raw = 1;
        if (Remaining > 1) {
            const size_t Scan = std::min<size_t>(Remaining - 1, 128);
            Raw = Scan;
            for (size_t I = 0; I < Scan; ++I) {
                if (Same(Position + I, Position + I + 1)) {
                    Raw = I;
                    break;
                }
            }
        }
        size_t Run = 1;
        while (Run < 128 && Run < Remaining && Same(Position, Position + Run)) ++Run;

        if (Raw > 0) {
            const uint8_t Header = static_cast<uint8_t>(Raw - 1);
            Store(&Header, 1);
            Store(Source + Position * PixelSize, Raw * PixelSize);
            Position += Raw;
        } else if (Run >= 2) {
            const uint8_t Header = static_cast<uint8_t>((Run - 1) | 0x80);
            Store(&Header, 1);
            Store(Source + (Position + Run - 1) * PixelSize, PixelSize);
            Position += Run;
        }
    }
}

// ---------------------------------------------------------------------------
// PackBits

void TPackbitsRLEDecoder::Decode(uint8_t*& Source, uint8_t*& Dest, int32_t PackedSize, int32_t UnpackedSize,
                                 size_t SourceSize, size_t DestSize) {
    TInputCursor Input(Source, ClampCount(PackedSize, SourceSize));
    TOutputCursor Output(Dest, ClampCount(UnpackedSize, DestSize));
    while (!Output.Full() && !Input.Empty()) {
        const int8_t Header = static_cast<int8_t>(Input.Next());
        if (Header >= 0) {
            const size_t Count = std::min({static_cast<size_t>(Header) + 1, Output.Room(), Input.Left()});
            Output.Copy(Input.Position(), Count);
            Input.Skip(Count);
        } else if (Header != -128) {
            if (Input.Empty()) break;
            Output.Fill(Input.Next(), static_cast<size_t>(1 - Header));
        }
    }
}

// ---------------------------------------------------------------------------
// PCX

namespace {

/// How many of the first Limit bytes at Data stand for themselves (are below 0xC0), up to the
/// first run header; eight at a time where the bytes are little-endian words.
size_t PCXLiteralStretch(const uint8_t* Data, size_t Limit) {
    size_t N = 0;
    if constexpr (std::endian::native == std::endian::little) {
        for (; N + 8 <= Limit; N += 8) {
            uint64_t Word;
            std::memcpy(&Word, Data + N, 8);
            // A run header has both top bits set.
            const uint64_t Headers = Word & (Word << 1) & 0x8080808080808080ull;
            if (Headers != 0) return N + static_cast<size_t>(__builtin_ctzll(Headers)) / 8;
        }
    }
    while (N < Limit && Data[N] < 0xC0) ++N;
    return N;
}

} // namespace

void TPCXRLEDecoder::Decode(uint8_t*& Source, uint8_t*& Dest, int32_t, int32_t UnpackedSize, size_t SourceSize,
                            size_t DestSize) {
    TInputCursor Input(Source, SourceSize);
    TOutputCursor Output(Dest, ClampCount(UnpackedSize, DestSize));
    while (!Output.Full() && !Input.Empty()) {
        if (*Input.Position() < 0xC0) {
            const size_t Literals = PCXLiteralStretch(Input.Position(), std::min(Input.Left(), Output.Room()));
            Output.Copy(Input.Position(), Literals);
            Input.Skip(Literals);
            continue;
        }
        const uint8_t Header = Input.Next();
        if (Input.Empty()) break;
        Output.Fill(Input.Next(), Header & 0x3F);
    }
}

// ---------------------------------------------------------------------------
// SGI

TSGIRLEDecoder::TSGIRLEDecoder(uint8_t SampleSize) : FSampleSize(SampleSize) {}

void TSGIRLEDecoder::Decode(uint8_t*& Source, uint8_t*& Dest, int32_t, int32_t, size_t SourceSize,
                            size_t DestSize) {
    TInputCursor Input(Source, SourceSize);
    TOutputCursor Output(Dest, DestSize);
    const size_t SampleBytes = FSampleSize == 16 ? 2 : 1;
    while (!Output.Full() && Input.Left() >= SampleBytes) {
        // The 16-bit header is big-endian: its low byte, the second, carries count and flag.
        if (SampleBytes == 2) Input.Next();
        const uint8_t Header = Input.Next();
        const size_t Count = Header & 0x7F;
        if (Count == 0) break;
        if (Header & 0x80) {
            const size_t Bytes = Count * SampleBytes;
            const size_t Available = std::min(Bytes, Input.Left());
            Output.Copy(Input.Position(), Available);
            Input.Skip(Available);
            if (Available < Bytes) break;
        } else {
            if (Input.Left() < SampleBytes) break;
            Output.Repeat(Input.Position(), SampleBytes, Count);
            Input.Skip(SampleBytes);
        }
    }
}

// ---------------------------------------------------------------------------
// Dr. Halo CUT

void TCUTRLEDecoder::Decode(uint8_t*& Source, uint8_t*& Dest, int32_t, int32_t, size_t SourceSize,
                            size_t DestSize) {
    TInputCursor Input(Source, SourceSize);
    TOutputCursor Output(Dest, DestSize);
    Input.Skip(2); // the row's stored byte count
    // The whole row is parsed even when the output is full, so Source ends after its zero.
    while (!Input.Empty()) {
        const uint8_t Header = Input.Next();
        if (Header == 0) break;
        const size_t Count = Header & 0x7F;
        if (Header & 0x80) {
            if (Input.Empty()) break;
            Output.Fill(Input.Next(), Count);
        } else {
            const size_t Available = std::min(Count, Input.Left());
            Output.Copy(Input.Position(), Available);
            Input.Skip(Available);
        }
    }
    Source = const_cast<uint8_t*>(Input.Position());
}

// ---------------------------------------------------------------------------
// Paintshop Pro

void TPSPRLEDecoder::Decode(uint8_t*& Source, uint8_t*& Dest, int32_t PackedSize, int32_t, size_t SourceSize,
                            size_t DestSize) {
    TInputCursor Input(Source, ClampCount(PackedSize, SourceSize));
    TOutputCursor Output(Dest, DestSize);
    while (!Output.Full() && !Input.Empty()) {
        const uint8_t Header = Input.Next();
        if (Header >= 128) {
            if (Input.Empty()) break;
            Output.Fill(Input.Next(), Header - 128u);
        } else {
            const size_t Available = std::min<size_t>(Header, Input.Left());
            Output.Copy(Input.Position(), Available);
            Input.Skip(Available);
        }
    }
    FBytesWritten = Output.Position();
}

// ---------------------------------------------------------------------------
// Alias/Wavefront RLA

void TRLADecoder::Decode(uint8_t*& Source, uint8_t*& Dest, int32_t PackedSize, int32_t, size_t SourceSize,
                         size_t DestSize) {
    TInputCursor Input(Source, ClampCount(PackedSize, SourceSize));
    TOutputCursor Output(Dest, DestSize);
    while (!Output.Full() && !Input.Empty()) {
        const int8_t Header = static_cast<int8_t>(Input.Next());
        if (Header < 0) {
            const size_t Available = std::min(static_cast<size_t>(-Header), Input.Left());
            Output.Copy(Input.Position(), Available);
            Input.Skip(Available);
        } else {
            if (Input.Empty()) break;
            Output.Fill(Input.Next(), static_cast<size_t>(Header) + 1);
        }
    }
}

} // namespace qv
