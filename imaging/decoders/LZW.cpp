// LZW decoders for TIFF strips (codes most significant bit first, early width
// change) and GIF image data (least significant bit first, variable initial
// code size).

#include <array>
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

/// What the word copies of the fast loop may write behind a string, and so the part of the
/// caller's output they keep a copy of to put back should decoding stop there.
constexpr size_t FastWindow = 256;

/// The byte of every single-byte code (GIF roots go up to 2047), readable a whole word at a
/// time from any of them.
constexpr auto RootBytes = [] {
    std::array<uint8_t, 2048 + 16> Bytes{};
    for (size_t Index = 0; Index < Bytes.size(); ++Index) Bytes[Index] = static_cast<uint8_t>(Index);
    return Bytes;
}();

/// Copies 16 bytes through a register, so Source may overlap Dest.
inline void Copy16(uint8_t* Dest, const uint8_t* Source) {
    uint64_t Low, High;
    std::memcpy(&Low, Source, 8);
    std::memcpy(&High, Source + 8, 8);
    std::memcpy(Dest, &Low, 8);
    std::memcpy(Dest + 8, &High, 8);
}

/// Copies a string of more than 16 bytes exactly, 16 bytes at a time, the last piece ending at
/// its end. Source may reach into Dest by one byte (a code for the string not yet in the table
/// reads its own first byte last), which the first piece has written by then.
inline void CopyLongString(uint8_t* Dest, const uint8_t* Source, size_t Length) {
    size_t Done = 0;
    for (; Done + 16 < Length; Done += 16) Copy16(Dest + Done, Source + Done);
    Copy16(Dest + Length - 16, Source + Length - 16);
}

/// The state of one Decode call, shared by the careful step and the fast loop.
template <TLZWFlavour Flavour, typename TTable>
struct TLZWState {
    static constexpr bool IsTIFF = Flavour == TLZWFlavour::TIFF;

    TTable& Table;
    const uint32_t ClearCode;
    const uint32_t InitialWidth;
    const uint8_t* const Input;
    const size_t InputSize;
    uint8_t* const Output;
    const size_t OutputSize;

    uint32_t Width = InitialWidth;
    uint32_t Mask = (1u << Width) - 1;
    uint32_t NextFree = ClearCode + 2;
    uint32_t Previous = NoCode;
    uint64_t Accumulator = 0;
    uint32_t BitCount = 0;
    size_t Written = 0;
    size_t PreviousOffset = 0;
    size_t Index = 0;
    // A code that ends or is skipped holds code taking until the next input byte has arrived;
    // the bits already read stay pending, so only the last byte's codes can be lost that way.
    bool Hold = false;

    /// Takes the bytes the byte loop would take (until more than MaxPendingBits are pending)
    /// from one load; needs 8 bytes of input left.
    void RefillWord() {
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
    }

    uint32_t PeekCode() const {
        if constexpr (IsTIFF)
            return static_cast<uint32_t>(Accumulator >> (BitCount - Width)) & Mask;
        else
            return static_cast<uint32_t>(Accumulator) & Mask;
    }

    void SkipCode() {
        if constexpr (!IsTIFF) Accumulator >>= Width;
        BitCount -= Width;
    }

    /// Enters the previous string followed by the first byte of the current one, then widens
    /// the codes when the next free code needs it.
    void AddString(uint16_t PreviousLength, uint8_t PreviousFirst) {
        if (NextFree < 4096)
            Table[NextFree] = {static_cast<uint32_t>(PreviousOffset), static_cast<uint16_t>(PreviousLength + 1),
                               PreviousFirst, 0};
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
    }

    /// Reads input or decodes one code, writing exactly the bytes of its string; false when
    /// decoding ends.
    bool Step() {
        if (BitCount < Width || (Hold && BitCount <= MaxPendingBits)) {
            if (Index >= InputSize) return false;
            if (InputSize - Index >= 8) {
                RefillWord();
            } else {
                do {
                    if constexpr (IsTIFF)
                        Accumulator = (Accumulator << 8) | Input[Index];
                    else
                        Accumulator |= static_cast<uint64_t>(Input[Index]) << BitCount;
                    BitCount += 8;
                    ++Index;
                } while (BitCount <= MaxPendingBits && Index < InputSize);
            }
            Hold = false;
            return true;
        }
        const uint32_t Code = PeekCode();
        SkipCode();
        const uint32_t EndCode = ClearCode + 1;
        if (Code == EndCode) {
            if constexpr (IsTIFF) return false;
            Hold = true;
            return true;
        }
        if (Code == ClearCode) {
            Width = InitialWidth;
            Mask = (1u << Width) - 1;
            NextFree = ClearCode + 2;
            Previous = NoCode;
            return true;
        }
        // A code beyond the table, or a string code with no previous string to build on
        // (after a clear only single bytes are defined), is skipped.
        if (Code > NextFree || (Previous == NoCode && Code >= ClearCode)) {
            Hold = true;
            return true;
        }
        if (Previous == NoCode) {
            PreviousOffset = Written;
            Output[Written++] = static_cast<uint8_t>(Code);
            Previous = Code;
            return true;
        }

        // Code = NextFree is the string not yet in the table: the previous string followed
        // by its own first byte.
        const bool NotYetInTable = Code == NextFree;
        AddString(Table[Previous].Length, Table[Previous].First);
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
        return true;
    }

    /// Whether the fast loop may run: a string to build on, input for a word, and room for the
    /// window behind the output.
    bool FastPossible() const {
        return !Hold && Previous != NoCode && InputSize - Index >= 16 && OutputSize >= FastWindow &&
               Written + 16 < OutputSize - FastWindow;
    }

    /// Decodes ordinary codes while a whole input word and room for the string and the window
    /// remain; stops before any code the careful step must see (clear, end, skipped codes).
    /// Short strings are copied as 16-byte words that may spill past their end; the caller's
    /// bytes there are kept in a window and put back when the loop ends.
    void RunFast() {
        // Locals, so that the byte stores cannot be taken to change them.
        uint64_t FastAccumulator = Accumulator;
        uint32_t FastBitCount = BitCount, FastWidth = Width, FastMask = Mask, FastNextFree = NextFree;
        size_t FastIndex = Index, FastWritten = Written, FastPreviousOffset = PreviousOffset;
        uint32_t Code = Previous;
        uint16_t PreviousLength = Table[Previous].Length;
        uint8_t PreviousFirst = Table[Previous].First;
        const uint32_t EndCode = ClearCode + 1;
        const size_t FastEnd = OutputSize - FastWindow;

        uint8_t Saved[FastWindow];
        size_t SavedAt = FastWritten;
        std::memcpy(Saved, Output + SavedAt, FastWindow);

        for (;;) {
            if (FastBitCount < FastWidth) {
                if (InputSize - FastIndex < 8) break;
                uint64_t Word;
                std::memcpy(&Word, Input + FastIndex, 8);
                const uint32_t Bytes = (64 - FastBitCount) >> 3;
                if constexpr (IsTIFF) {
                    if constexpr (std::endian::native == std::endian::little) Word = __builtin_bswap64(Word);
                    FastAccumulator = ((FastAccumulator << 1) << (8 * Bytes - 1)) | (Word >> (64 - 8 * Bytes));
                } else {
                    if constexpr (std::endian::native == std::endian::big) Word = __builtin_bswap64(Word);
                    const uint32_t Total = FastBitCount + 8 * Bytes;
                    const uint64_t Keep = Total >= 64 ? ~uint64_t{0} : (uint64_t{1} << Total) - 1;
                    FastAccumulator |= (Word << FastBitCount) & Keep;
                }
                FastBitCount += 8 * Bytes;
                FastIndex += Bytes;
            }
            uint32_t Next;
            if constexpr (IsTIFF)
                Next = static_cast<uint32_t>(FastAccumulator >> (FastBitCount - FastWidth)) & FastMask;
            else
                Next = static_cast<uint32_t>(FastAccumulator) & FastMask;
            if (Next >= ClearCode && (Next <= EndCode || Next > FastNextFree)) break;
            const bool NotYetInTable = Next == FastNextFree;
            auto Entry = Table[Next];
            if (NotYetInTable)
                Entry = {static_cast<uint32_t>(FastPreviousOffset), static_cast<uint16_t>(PreviousLength + 1),
                         PreviousFirst, 0};
            const size_t Length = Entry.Length;
            if (FastWritten + Length > FastEnd) break;

            if constexpr (!IsTIFF) FastAccumulator >>= FastWidth;
            FastBitCount -= FastWidth;
            if (FastNextFree < 4096)
                Table[FastNextFree] = {static_cast<uint32_t>(FastPreviousOffset),
                                       static_cast<uint16_t>(PreviousLength + 1), PreviousFirst, 0};
            if constexpr (IsTIFF) {
                if (FastNextFree < 4096) ++FastNextFree;
                if (FastNextFree == FastMask && FastWidth < MaxWidth) {
                    ++FastWidth;
                    FastMask = (1u << FastWidth) - 1;
                }
            } else {
                if (FastNextFree == FastMask && FastWidth < MaxWidth) {
                    ++FastWidth;
                    FastMask = (1u << FastWidth) - 1;
                }
                if (FastNextFree < 4096) ++FastNextFree;
            }
            Code = Next;

            uint8_t* Dest = Output + FastWritten;
            const uint8_t* Source = Code < ClearCode ? RootBytes.data() + Code : Output + Entry.Offset;
            if (Length <= 16) {
                if (FastWritten + 16 > SavedAt + FastWindow) {
                    // Move the window to start here: what it holds from here on, then the
                    // bytes behind it, which nothing has written yet.
                    const size_t Kept = SavedAt + FastWindow > FastWritten ? SavedAt + FastWindow - FastWritten : 0;
                    std::memmove(Saved, Saved + (FastWindow - Kept), Kept);
                    std::memcpy(Saved + Kept, Dest + Kept, FastWindow - Kept);
                    SavedAt = FastWritten;
                }
                Copy16(Dest, Source);
                // Its last byte is its first, read above before it was written.
                if (NotYetInTable) Dest[Length - 1] = Entry.First;
            } else {
                CopyLongString(Dest, Source, Length);
            }
            FastPreviousOffset = FastWritten;
            FastWritten += Length;
            PreviousLength = static_cast<uint16_t>(Length);
            PreviousFirst = Entry.First;
        }

        if (FastWritten < SavedAt + FastWindow)
            std::memcpy(Output + FastWritten, Saved + (FastWritten - SavedAt), SavedAt + FastWindow - FastWritten);
        Accumulator = FastAccumulator;
        BitCount = FastBitCount;
        Width = FastWidth;
        Mask = FastMask;
        NextFree = FastNextFree;
        Index = FastIndex;
        Written = FastWritten;
        PreviousOffset = FastPreviousOffset;
        Previous = Code;
    }
};

template <TLZWFlavour Flavour, typename TTable>
void DecodeLZW(TTable& Table, uint32_t ClearCode, uint32_t InitialWidth, const uint8_t* Input, size_t InputSize,
               uint8_t* Output, size_t OutputSize) {
    TLZWState<Flavour, TTable> State{Table, ClearCode, InitialWidth, Input, InputSize, Output, OutputSize};
    while (State.Written < OutputSize) {
        if (State.FastPossible()) State.RunFast();
        if (!State.Step()) return;
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
