// LZW decoders for TIFF strips (codes most significant bit first, early width
// change) and GIF image data (least significant bit first, variable initial
// code size).

#include <bit>
#include <cstring>

#include "imaging/decoders/DecoderBuffers.h"
#include "imaging/decoders/ImageCompression.h"
#include "imaging/ImageStrings.h"
#include "platform/System.h"

namespace qv {

using decoders::ClampCount;

namespace {

constexpr uint16_t NoCode = 4096;
constexpr uint32_t MaxWidth = 12;
// The accumulator takes another byte only while at most this many bits are pending; a held
// code taking resumes regardless once this many are pending.
constexpr uint32_t MaxPendingBits = 56;

enum class TLZWFlavour { TIFF, GIF };

/// Copies a string to where the output goes on. The string was written earlier and ends at or
/// before Dest, so the two never overlap; exactly Length bytes are written (the bytes behind a
/// string stay as the caller left them should decoding stop there).
inline void CopyString(uint8_t* Dest, const uint8_t* Source, size_t Length) {
    if (Length > 16) {
        std::memcpy(Dest, Source, Length);
    } else if (Length >= 8) {
        // Two words that overlap in the middle cover every length from 8 to 16.
        uint64_t Head, Tail;
        std::memcpy(&Head, Source, 8);
        std::memcpy(&Tail, Source + Length - 8, 8);
        std::memcpy(Dest, &Head, 8);
        std::memcpy(Dest + Length - 8, &Tail, 8);
    } else if (Length >= 4) {
        uint32_t Head, Tail;
        std::memcpy(&Head, Source, 4);
        std::memcpy(&Tail, Source + Length - 4, 4);
        std::memcpy(Dest, &Head, 4);
        std::memcpy(Dest + Length - 4, &Tail, 4);
    } else if (Length >= 2) {
        uint16_t Head, Tail;
        std::memcpy(&Head, Source, 2);
        std::memcpy(&Tail, Source + Length - 2, 2);
        std::memcpy(Dest, &Head, 2);
        std::memcpy(Dest + Length - 2, &Tail, 2);
    } else if (Length == 1) {
        *Dest = *Source;
    }
}

} // namespace

void TLZWDecoderBase::InitTable(uint32_t ClearCode) {
    for (uint32_t Code = 0; Code < ClearCode; ++Code)
        FTable[Code] = TEntry{0, 1, static_cast<uint8_t>(Code), 0};
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
    size_t PreviousOffset = 0;

    // A code that ends or is skipped holds code taking until the next input byte has arrived;
    // the bits already read stay pending, so only the last byte's codes can be lost that way.
    bool Hold = false;
    size_t Index = 0;
    while (Written < OutputSize) {
        if (BitCount < Width || (Hold && BitCount <= MaxPendingBits)) {
            if (Index >= InputSize) break;
            if (InputSize - Index >= 8) {
                // The bytes the loop below would take (until more than MaxPendingBits are
                // pending), from one load.
                uint64_t Word;
                std::memcpy(&Word, Input + Index, 8);
                const uint32_t Bytes = (64 - BitCount) >> 3;
                if constexpr (IsTIFF) {
                    if constexpr (std::endian::native == std::endian::little) Word = __builtin_bswap64(Word);
                    Accumulator = ((Accumulator << 1) << (8 * Bytes - 1)) | (Word >> (64 - 8 * Bytes));
                } else {
                    if constexpr (std::endian::native == std::endian::big) Word = __builtin_bswap64(Word);
                    const uint32_t Total = BitCount + 8 * Bytes;
                    const uint64_t Keep = Total >= 64 ? ~uint64_t{0} : (uint64_t{1} << Total) - 1;
                    Accumulator |= (Word << BitCount) & Keep;
                }
                BitCount += 8 * Bytes;
                Index += Bytes;
                Hold = false;
                continue;
            }
            do {
                if constexpr (IsTIFF)
                    Accumulator = (Accumulator << 8) | Input[Index];
                else
                    Accumulator |= static_cast<uint64_t>(Input[Index]) << BitCount;
                BitCount += 8;
                ++Index;
            } while (BitCount <= MaxPendingBits && Index < InputSize);
            Hold = false;
            continue;
        }
        {
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
                Hold = true;
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
                Hold = true;
                continue;
            }
            if (Previous == NoCode) {
                PreviousOffset = Written;
                Output[Written++] = static_cast<uint8_t>(Code);
                Previous = Code;
                continue;
            }

            // Code = NextFree is the string not yet in the table: the previous string followed
            // by its own first byte.
            const bool NotYetInTable = Code == NextFree;
            if (NextFree < 4096) {
                Table[NextFree] = {static_cast<uint32_t>(PreviousOffset),
                                   static_cast<uint16_t>(Table[Previous].Length + 1), Table[Previous].First, 0};
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

            // The string is copied from where it was written before; one that passes the
            // requested size is cut there.
            const auto& Entry = Table[Code];
            const size_t Length = std::min<size_t>(Entry.Length, OutputSize - Written);
            const size_t Start = Written;
            if (Code < ClearCode) {
                Output[Written] = static_cast<uint8_t>(Code);
            } else if (NotYetInTable) {
                // Its last byte is its first, which follows the part being copied.
                CopyString(Output + Written, Output + Entry.Offset, Length == Entry.Length ? Length - 1 : Length);
                if (Length == Entry.Length) Output[Written + Length - 1] = Entry.First;
            } else {
                CopyString(Output + Written, Output + Entry.Offset, Length);
            }
            PreviousOffset = Start;
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
        throw EGraphicCompression(Format(gesLZWCodeSize, InitialCodeSize));
}

void TGIFLZWDecoder::Decode(uint8_t*& Source, uint8_t*& Dest, int32_t PackedSize, int32_t UnpackedSize,
                            size_t SourceSize, size_t DestSize) {
    const uint32_t ClearCode = 1u << FInitialCodeSize;
    InitTable(ClearCode);
    DecodeLZW<TLZWFlavour::GIF>(FTable, ClearCode, FInitialCodeSize + 1u, Source, ClampCount(PackedSize, SourceSize),
                                Dest, ClampCount(UnpackedSize, DestSize));
}

} // namespace qv
