// LZW decoders for TIFF strips (codes most significant bit first, early width
// change) and GIF image data (least significant bit first, variable initial
// code size).

#include "imaging/decoders/DecoderBuffers.h"
#include "imaging/decoders/ImageCompression.h"
#include "platform/System.h"

namespace qv {

using decoders::ClampCount;

namespace {

constexpr uint16_t NoCode = 4096;
constexpr uint32_t MaxWidth = 12;
// Codes that end or are skipped leave their byte's remaining bits pending; past this many the
// accumulator could not take another byte, so codes are then taken regardless.
constexpr uint32_t MaxPendingBits = 56;

enum class TLZWFlavour { TIFF, GIF };

} // namespace

void TLZWDecoderBase::InitTable(uint32_t ClearCode) {
    for (uint32_t Code = 0; Code < ClearCode; ++Code)
        FTable[Code] = TEntry{NoCode, 1, static_cast<uint8_t>(Code), static_cast<uint8_t>(Code)};
}

namespace {

template <TLZWFlavour Flavour, typename TTable>
void DecodeLZW(TTable& Table, uint32_t ClearCode, uint32_t InitialWidth, const uint8_t* Input, size_t InputSize,
               uint8_t* Output, size_t OutputSize) {
    constexpr bool IsTIFF = Flavour == TLZWFlavour::TIFF;
    const uint32_t EndCode = ClearCode + 1;
    const uint32_t FirstFree = ClearCode + 2;
    uint32_t Width = InitialWidth;
    uint32_t Mask = (1u << Width) - 1;
    uint32_t NextFree = FirstFree;
    uint32_t Previous = NoCode;
    uint64_t Accumulator = 0;
    uint32_t BitCount = 0;
    size_t Written = 0;

    for (size_t Index = 0; Index < InputSize && Written < OutputSize; ++Index) {
        if constexpr (IsTIFF)
            Accumulator = (Accumulator << 8) | Input[Index];
        else
            Accumulator |= static_cast<uint64_t>(Input[Index]) << BitCount;
        BitCount += 8;

        while (BitCount >= Width && Written < OutputSize) {
            uint32_t Code;
            if constexpr (IsTIFF) {
                Code = static_cast<uint32_t>(Accumulator >> (BitCount - Width)) & Mask;
            } else {
                Code = static_cast<uint32_t>(Accumulator) & Mask;
                Accumulator >>= Width;
            }
            BitCount -= Width;

            if (Code == EndCode) {
                if constexpr (IsTIFF) return;
                if (BitCount <= MaxPendingBits) break;
                continue;
            }
            if (Code == ClearCode) {
                Width = InitialWidth;
                Mask = (1u << Width) - 1;
                NextFree = FirstFree;
                Previous = NoCode;
                continue;
            }
            // A code beyond the table, or a string code with no previous string to build on
            // (after a clear only single bytes are defined), is skipped.
            if (Code > NextFree || (Previous == NoCode && Code >= ClearCode)) {
                if (BitCount <= MaxPendingBits) break;
                continue;
            }
            if (Previous == NoCode) {
                Output[Written++] = static_cast<uint8_t>(Code);
                Previous = Code;
                continue;
            }

            // Code = NextFree is the string not yet in the table: the previous string followed
            // by its own first byte.
            const uint8_t First = Code == NextFree ? Table[Previous].First : Table[Code].First;
            if (NextFree < 4096) {
                Table[NextFree] = {static_cast<uint16_t>(Previous), static_cast<uint16_t>(Table[Previous].Length + 1),
                                   First, Table[Previous].First};
            }
            if constexpr (IsTIFF) {
                if (NextFree < 4096) ++NextFree;
                if (NextFree == Mask && Width < MaxWidth) {
                    ++Width;
                    Mask = (1u << Width) - 1;
                }
            } else {
                if (NextFree == Mask && Width < MaxWidth) {
                    ++Width;
                    Mask = (1u << Width) - 1;
                }
                // The table ends at 4095; once full, no entry is replaced (deferred clear).
                if (NextFree < 4096) ++NextFree;
            }
            Previous = Code;

            // Strings are written from their last byte back; one that passes the requested
            // size is cut there.
            size_t Length = Table[Code].Length;
            uint32_t Walk = Code;
            const size_t Room = OutputSize - Written;
            if (Length > Room) {
                for (size_t Skip = Length - Room; Skip > 0; --Skip) Walk = Table[Walk].Prefix;
                Length = Room;
            }
            uint8_t* Target = Output + Written + Length;
            while (Target > Output + Written) {
                *--Target = Table[Walk].Suffix;
                Walk = Table[Walk].Prefix;
            }
            Written += Length;
        }
    }
}

} // namespace

void TTIFFLZWDecoder::Decode(uint8_t*& Source, uint8_t*& Dest, int32_t PackedSize, int32_t UnpackedSize,
                             size_t SourceSize, size_t DestSize) {
    InitTable(256);
    DecodeLZW<TLZWFlavour::TIFF>(FTable, 256, 9, Source, ClampCount(PackedSize, SourceSize), Dest,
                                 ClampCount(UnpackedSize, DestSize));
}

TGIFLZWDecoder::TGIFLZWDecoder(uint8_t InitialCodeSize) : FInitialCodeSize(InitialCodeSize) {
    if (InitialCodeSize > 11)
        throw EGraphicCompression(Format("Invalid LZW code size %u (at most 11 allowed).", InitialCodeSize));
}

void TGIFLZWDecoder::Decode(uint8_t*& Source, uint8_t*& Dest, int32_t PackedSize, int32_t UnpackedSize,
                            size_t SourceSize, size_t DestSize) {
    const uint32_t ClearCode = 1u << FInitialCodeSize;
    InitTable(ClearCode);
    DecodeLZW<TLZWFlavour::GIF>(FTable, ClearCode, FInitialCodeSize + 1u, Source, ClampCount(PackedSize, SourceSize),
                                Dest, ClampCount(UnpackedSize, DestSize));
}

} // namespace qv
