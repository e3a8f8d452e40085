// LZW decoders for TIFF strips (codes most significant bit first, early width
// change) and GIF image data (least significant bit first, variable initial
// code size).

#include <array>
#include <bit>
#include <cstring>
#include <type_traits>
#include <utility>

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

/// What the word copies of the fast loop may write behind a string, and so the part of the
/// caller's output they keep a copy of to put back should decoding stop there.
constexpr size_t FastWindow = 512;

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

} // namespace

void TLZWDecoderBase::InitTable(uint32_t ClearCode) {
    for (uint32_t Code = 0; Code < ClearCode; ++Code)
        FTable[Code] = TEntry{0, 1, static_cast<uint8_t>(Code), 0};
}

namespace {

/// The state of one Decode call, shared by the careful step and the fast loop.
template <TLZWFlavour Flavour, typename TTable>
struct TLZWState {
    static constexpr bool IsTIFF = Flavour == TLZWFlavour::TIFF;
    using TEntry = std::remove_cvref_t<decltype(std::declval<TTable&>()[0])>;
    static_assert(sizeof(TEntry) == 8);

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
    // The fast loop checks for room only when it loads input, and until the next load it
    // decodes at most one code per InitialWidth of the 64 bits, each short string writing
    // 16 bytes.
    const size_t FastMargin = 16 * (64 / InitialWidth);

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
    /// window behind the output. The loop reads table entries as little-endian words.
    bool FastPossible() const {
        return std::endian::native == std::endian::little && FastMargin <= FastWindow && !Hold &&
               Previous != NoCode && InputSize - Index >= 16 && OutputSize >= FastWindow &&
               Written + FastMargin < OutputSize - FastWindow;
    }

    /// Decodes ordinary codes while a whole input word and room for the string and the window
    /// remain; stops before any code the careful step must see (clear, end, skipped codes).
    /// Short strings are copied as 16-byte words that may spill past their end; the caller's
    /// bytes there are kept in a window and put back when the loop ends.
    void RunFast() {
        // Everything in locals, so that the byte stores cannot be taken to change it.
        const uint8_t* const In = Input;
        const uint8_t* const InLast = Input + InputSize - 8; // the last place a word can be read
        uint8_t* const Out = Output;
        TEntry* const Entries = Table.data();
        const uint32_t Clear = IsTIFF ? 256 : ClearCode;
        const size_t FastEnd = OutputSize - FastWindow;
        uint32_t Count = BitCount, CodeWidth = Width, Free = NextFree, Code = Previous;
        // The code that widens the codes; none once they are 12 bits wide.
        uint32_t WidenAt = CodeWidth < MaxWidth ? Mask : ~0u;
        const uint8_t* At = In + Index;
        size_t Done = Written;
        // TIFF bits are kept at the top of the word here, so a code is one shift away.
        uint64_t Bits = IsTIFF ? (Count == 0 ? 0 : Accumulator << (64 - Count)) : Accumulator;
        // Entries as words: offset in the low 32 bits, then length and first byte.
        constexpr uint64_t LengthAndFirst = 0x00FF'FFFF'0000'0000;
        constexpr uint64_t LengthOne = uint64_t{1} << 32;
        // The entry the next code adds: the previous string followed by that code's first byte.
        uint64_t Added = (std::bit_cast<uint64_t>(Entries[Code]) & LengthAndFirst) + LengthOne + PreviousOffset;

        uint8_t Saved[FastWindow];
        size_t SavedAt = Done;
        std::memcpy(Saved, Out + SavedAt, FastWindow);
        // Moves the window to start at Done: what it holds from there on, then the bytes behind
        // it, which nothing has written yet.
        auto MoveWindow = [&] {
            const size_t Kept = SavedAt + FastWindow > Done ? SavedAt + FastWindow - Done : 0;
            std::memmove(Saved, Saved + (FastWindow - Kept), Kept);
            std::memcpy(Saved + Kept, Out + Done + Kept, FastWindow - Kept);
            SavedAt = Done;
        };

        for (;;) {
            if (Count < CodeWidth) {
                if (At > InLast) break;
                // As many whole bytes as fit; the bits of the byte after them that also arrive
                // are the stream's own and are read again, unchanged, by the next load.
                uint64_t Word;
                std::memcpy(&Word, At, 8);
                if constexpr (IsTIFF)
                    Bits |= __builtin_bswap64(Word) >> Count;
                else
                    Bits |= Word << Count;
                const uint32_t Bytes = (64 - Count) >> 3;
                Count += 8 * Bytes;
                At += Bytes;
                if (Done + FastMargin > SavedAt + FastWindow) {
                    if (Done + FastMargin > FastEnd) break;
                    MoveWindow();
                }
            }
            const uint32_t Next = IsTIFF ? static_cast<uint32_t>(Bits >> (64 - CodeWidth))
                                         : static_cast<uint32_t>(Bits) & ((1u << CodeWidth) - 1);
            if (Next - Clear < 2 || Next > Free) break;
            // Code = Free is the string not yet in the table: the previous string followed by
            // its own first byte.
            const bool NotYetInTable = Next == Free;
            const uint64_t Entry = NotYetInTable ? Added : std::bit_cast<uint64_t>(Entries[Next]);
            const size_t Length = static_cast<uint16_t>(Entry >> 32);
            if (Length > 16 && Done + Length > FastEnd) break;

            if constexpr (IsTIFF)
                Bits <<= CodeWidth;
            else
                Bits >>= CodeWidth;
            Count -= CodeWidth;
            if constexpr (IsTIFF) {
                if (Free < 4096) Entries[Free++] = std::bit_cast<TEntry>(Added);
                if (Free == WidenAt) {
                    ++CodeWidth;
                    WidenAt = CodeWidth < MaxWidth ? (1u << CodeWidth) - 1 : ~0u;
                }
            } else {
                if (Free == WidenAt) {
                    ++CodeWidth;
                    WidenAt = CodeWidth < MaxWidth ? (1u << CodeWidth) - 1 : ~0u;
                }
                if (Free < 4096) Entries[Free++] = std::bit_cast<TEntry>(Added);
            }
            Code = Next;

            uint8_t* Dest = Out + Done;
            const uint8_t* Source = Code < Clear ? RootBytes.data() + Code : Out + static_cast<uint32_t>(Entry);
            if (Length <= 16) {
                Copy16(Dest, Source);
                // Its last byte is its first, read above before it was written.
                if (NotYetInTable) Dest[Length - 1] = static_cast<uint8_t>(Entry >> 48);
                Added = (Entry & LengthAndFirst) + LengthOne + Done;
                Done += Length;
            } else {
                CopyLongString(Dest, Source, Length);
                Added = (Entry & LengthAndFirst) + LengthOne + Done;
                Done += Length;
                if (Done + FastMargin > SavedAt + FastWindow) {
                    if (Done + FastMargin > FastEnd) break;
                    MoveWindow();
                }
            }
        }

        if (Done < SavedAt + FastWindow)
            std::memcpy(Out + Done, Saved + (Done - SavedAt), SavedAt + FastWindow - Done);
        if constexpr (IsTIFF)
            Accumulator = Count == 0 ? 0 : Bits >> (64 - Count);
        else
            Accumulator = Count == 64 ? Bits : Bits & ((uint64_t{1} << Count) - 1);
        BitCount = Count;
        Width = CodeWidth;
        Mask = (1u << CodeWidth) - 1;
        NextFree = Free;
        Index = static_cast<size_t>(At - In);
        Written = Done;
        PreviousOffset = static_cast<uint32_t>(Added);
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
