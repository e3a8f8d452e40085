// CCITT fax decoders: modified Huffman rows, Group 3 rows introduced by
// end-of-line codes (ITU-T T.4, one- and two-dimensional), and Group 4 (T.6).

#include <algorithm>
#include <bit>
#include <cstring>

#include "imaging/decoders/DecoderBuffers.h"
#include "imaging/decoders/ImageCompression.h"

namespace qv {

using decoders::ClampCount;

namespace {

/// A code of the T.4 tables: its bits (right-aligned) and its length.
struct TFaxCode {
    uint16_t Bits;
    uint8_t Length;
};

// Terminating codes, run lengths 0 to 63.
constexpr TFaxCode WhiteTerminating[64] = {
    {0b00110101, 8}, {0b000111, 6},   {0b0111, 4},     {0b1000, 4},     {0b1011, 4},     {0b1100, 4},
    {0b1110, 4},     {0b1111, 4},     {0b10011, 5},    {0b10100, 5},    {0b00111, 5},    {0b01000, 5},
    {0b001000, 6},   {0b000011, 6},   {0b110100, 6},   {0b110101, 6},   {0b101010, 6},   {0b101011, 6},
    {0b0100111, 7},  {0b0001100, 7},  {0b0001000, 7},  {0b0010111, 7},  {0b0000011, 7},  {0b0000100, 7},
    {0b0101000, 7},  {0b0101011, 7},  {0b0010011, 7},  {0b0100100, 7},  {0b0011000, 7},  {0b00000010, 8},
    {0b00000011, 8}, {0b00011010, 8}, {0b00011011, 8}, {0b00010010, 8}, {0b00010011, 8}, {0b00010100, 8},
    {0b00010101, 8}, {0b00010110, 8}, {0b00010111, 8}, {0b00101000, 8}, {0b00101001, 8}, {0b00101010, 8},
    {0b00101011, 8}, {0b00101100, 8}, {0b00101101, 8}, {0b00000100, 8}, {0b00000101, 8}, {0b00001010, 8},
    {0b00001011, 8}, {0b01010010, 8}, {0b01010011, 8}, {0b01010100, 8}, {0b01010101, 8}, {0b00100100, 8},
    {0b00100101, 8}, {0b01011000, 8}, {0b01011001, 8}, {0b01011010, 8}, {0b01011011, 8}, {0b01001010, 8},
    {0b01001011, 8}, {0b00110010, 8}, {0b00110011, 8}, {0b00110100, 8},
};

constexpr TFaxCode BlackTerminating[64] = {
    {0b0000110111, 10},   {0b010, 3},           {0b11, 2},            {0b10, 2},
    {0b011, 3},           {0b0011, 4},          {0b0010, 4},          {0b00011, 5},
    {0b000101, 6},        {0b000100, 6},        {0b0000100, 7},       {0b0000101, 7},
    {0b0000111, 7},       {0b00000100, 8},      {0b00000111, 8},      {0b000011000, 9},
    {0b0000010111, 10},   {0b0000011000, 10},   {0b0000001000, 10},   {0b00001100111, 11},
    {0b00001101000, 11},  {0b00001101100, 11},  {0b00000110111, 11},  {0b00000101000, 11},
    {0b00000010111, 11},  {0b00000011000, 11},  {0b000011001010, 12}, {0b000011001011, 12},
    {0b000011001100, 12}, {0b000011001101, 12}, {0b000001101000, 12}, {0b000001101001, 12},
    {0b000001101010, 12}, {0b000001101011, 12}, {0b000011010010, 12}, {0b000011010011, 12},
    {0b000011010100, 12}, {0b000011010101, 12}, {0b000011010110, 12}, {0b000011010111, 12},
    {0b000001101100, 12}, {0b000001101101, 12}, {0b000011011010, 12}, {0b000011011011, 12},
    {0b000001010100, 12}, {0b000001010101, 12}, {0b000001010110, 12}, {0b000001010111, 12},
    {0b000001100100, 12}, {0b000001100101, 12}, {0b000001010010, 12}, {0b000001010011, 12},
    {0b000000100100, 12}, {0b000000110111, 12}, {0b000000111000, 12}, {0b000000100111, 12},
    {0b000000101000, 12}, {0b000001011000, 12}, {0b000001011001, 12}, {0b000000101011, 12},
    {0b000000101100, 12}, {0b000001011010, 12}, {0b000001100110, 12}, {0b000001100111, 12},
};

// Make-up codes, run lengths 64 to 1728 in steps of 64.
constexpr TFaxCode WhiteMakeUp[27] = {
    {0b11011, 5},     {0b10010, 5},     {0b010111, 6},    {0b0110111, 7},   {0b00110110, 8},
    {0b00110111, 8},  {0b01100100, 8},  {0b01100101, 8},  {0b01101000, 8},  {0b01100111, 8},
    {0b011001100, 9}, {0b011001101, 9}, {0b011010010, 9}, {0b011010011, 9}, {0b011010100, 9},
    {0b011010101, 9}, {0b011010110, 9}, {0b011010111, 9}, {0b011011000, 9}, {0b011011001, 9},
    {0b011011010, 9}, {0b011011011, 9}, {0b010011000, 9}, {0b010011001, 9}, {0b010011010, 9},
    {0b011000, 6},    {0b010011011, 9},
};

constexpr TFaxCode BlackMakeUp[27] = {
    {0b0000001111, 10},    {0b000011001000, 12},  {0b000011001001, 12},  {0b000001011011, 12},
    {0b000000110011, 12},  {0b000000110100, 12},  {0b000000110101, 12},  {0b0000001101100, 13},
    {0b0000001101101, 13}, {0b0000001001010, 13}, {0b0000001001011, 13}, {0b0000001001100, 13},
    {0b0000001001101, 13}, {0b0000001110010, 13}, {0b0000001110011, 13}, {0b0000001110100, 13},
    {0b0000001110101, 13}, {0b0000001110110, 13}, {0b0000001110111, 13}, {0b0000001010010, 13},
    {0b0000001010011, 13}, {0b0000001010100, 13}, {0b0000001010101, 13}, {0b0000001011010, 13},
    {0b0000001011011, 13}, {0b0000001100100, 13}, {0b0000001100101, 13},
};

// Extended make-up codes shared by both colours, run lengths 1792 to 2560 in steps of 64.
constexpr TFaxCode ExtendedMakeUp[13] = {
    {0b00000001000, 11},  {0b00000001100, 11},  {0b00000001101, 11},  {0b000000010010, 12},
    {0b000000010011, 12}, {0b000000010100, 12}, {0b000000010101, 12}, {0b000000010110, 12},
    {0b000000010111, 12}, {0b000000011100, 12}, {0b000000011101, 12}, {0b000000011110, 12},
    {0b000000011111, 12},
};

constexpr int16_t EndOfLine = -1;
constexpr int16_t InvalidCode = -2;
constexpr int16_t NoCode = -3; // no code starts with these bits

using TTree = std::vector<TCCITTDecoder::TTreeNode>;

void InsertCode(TTree& Tree, TFaxCode Code, int16_t Value) {
    size_t Node = 0;
    for (int Bit = Code.Length - 1; Bit >= 0; --Bit) {
        const int Branch = (Code.Bits >> Bit) & 1;
        if (Tree[Node].Child[Branch] == 0) {
            Tree.emplace_back();
            Tree[Node].Child[Branch] = static_cast<uint16_t>(Tree.size() - 1);
        }
        Node = Tree[Node].Child[Branch];
    }
    Tree[Node].Value = Value;
}

TTree BuildTree(const TFaxCode (&Terminating)[64], const TFaxCode (&MakeUp)[27]) {
    TTree Tree(1);
    for (int16_t Run = 0; Run < 64; ++Run) InsertCode(Tree, Terminating[Run], Run);
    for (int16_t Index = 0; Index < 27; ++Index)
        InsertCode(Tree, MakeUp[Index], static_cast<int16_t>(64 * (Index + 1)));
    for (int16_t Index = 0; Index < 13; ++Index)
        InsertCode(Tree, ExtendedMakeUp[Index], static_cast<int16_t>(64 * (Index + 28)));
    InsertCode(Tree, {1, 12}, EndOfLine);
    InsertCode(Tree, {1, 9}, InvalidCode);
    InsertCode(Tree, {1, 10}, InvalidCode);
    InsertCode(Tree, {1, 11}, InvalidCode);
    InsertCode(Tree, {0, 12}, InvalidCode);
    return Tree;
}

// Codes are read by looking up the next PrimaryBits bits; the few longer codes go on through
// a sub-table indexed by the bits up to MaxCodeBits.
constexpr int PrimaryBits = 9;
constexpr int MaxCodeBits = 13;
constexpr int SecondaryBits = MaxCodeBits - PrimaryBits;

/// What the next bits of the input hold.
struct TCodeEntry {
    int16_t Value;    ///< run length, EndOfLine, InvalidCode or NoCode; for a link, the sub-table start
    uint8_t Consumed; ///< bits the code takes (for NoCode, the bits read before the one that fits no code)
    uint8_t Examined; ///< bits that decide the entry; 0 marks a link to a sub-table
};

struct TCodeTable {
    std::array<TCodeEntry, 1u << PrimaryBits> Primary{};
    std::vector<TCodeEntry> Secondary;
};

/// Follows the Count bits of Bits (most significant first) down the tree. A leaf is a node
/// without children, reached without reading on; a missing child leaves its bit unread.
/// Returns Examined 0 when the bits run out at an inner node.
TCodeEntry Walk(const TTree& Tree, uint32_t Bits, int Count) {
    size_t Node = 0;
    for (int Depth = 0;; ++Depth) {
        const TCCITTDecoder::TTreeNode& Current = Tree[Node];
        if (Node != 0 && Current.Child[0] == 0 && Current.Child[1] == 0)
            return {Current.Value, static_cast<uint8_t>(Depth), static_cast<uint8_t>(Depth)};
        if (Depth == Count) return {0, static_cast<uint8_t>(Depth), 0};
        const size_t Next = Current.Child[(Bits >> (Count - 1 - Depth)) & 1];
        if (Next == 0) return {NoCode, static_cast<uint8_t>(Depth), static_cast<uint8_t>(Depth + 1)};
        Node = Next;
    }
}

TCodeTable BuildTable(const TTree& Tree) {
    TCodeTable Table;
    for (uint32_t Prefix = 0; Prefix < Table.Primary.size(); ++Prefix) {
        TCodeEntry Entry = Walk(Tree, Prefix, PrimaryBits);
        if (Entry.Examined == 0) {
            Entry.Value = static_cast<int16_t>(Table.Secondary.size());
            for (uint32_t Suffix = 0; Suffix < (1u << SecondaryBits); ++Suffix) {
                TCodeEntry Long = Walk(Tree, (Prefix << SecondaryBits) | Suffix, MaxCodeBits);
                // No code is longer than MaxCodeBits; should one be, its first bit is dropped as
                // no code. An entry that consumed nothing would make the readers loop forever.
                if (Long.Examined == 0) Long = {NoCode, 1, 1};
                Table.Secondary.push_back(Long);
            }
        }
        Table.Primary[Prefix] = Entry;
    }
    return Table;
}

// Built at start-up, so that the inner loops need no first-use check.
const TCodeTable WhiteTable = BuildTable(BuildTree(WhiteTerminating, WhiteMakeUp));
const TCodeTable BlackTable = BuildTable(BuildTree(BlackTerminating, BlackMakeUp));

const std::array<uint8_t, 256>& ReversedBits() {
    static const std::array<uint8_t, 256> Table = [] {
        std::array<uint8_t, 256> Result{};
        for (int Value = 0; Value < 256; ++Value) {
            uint8_t Reversed = 0;
            for (int Bit = 0; Bit < 8; ++Bit)
                if (Value & (1 << Bit)) Reversed |= static_cast<uint8_t>(0x80 >> Bit);
            Result[Value] = Reversed;
        }
        return Result;
    }();
    return Table;
}

/// Sets the bits From .. To − 1 (most significant bit of a byte first).
[[gnu::always_inline]] inline void SetBits(uint8_t* Data, uint64_t From, uint64_t To) {
    if (From >= To) return;
    const uint64_t FirstByte = From >> 3;
    const uint64_t LastByte = (To - 1) >> 3;
    const uint8_t HeadMask = static_cast<uint8_t>(0xFF >> (From & 7));
    const uint8_t TailMask = static_cast<uint8_t>(0xFF << (7 - ((To - 1) & 7)));
    if (FirstByte == LastByte) {
        Data[FirstByte] |= HeadMask & TailMask;
        return;
    }
    Data[FirstByte] |= HeadMask;
    if (LastByte > FirstByte + 1) std::memset(Data + FirstByte + 1, 0xFF, LastByte - FirstByte - 1);
    Data[LastByte] |= TailMask;
}

/// SetBits for the strokes of two-dimensional rows, of the Size bytes at Data (To is at most
/// Size * 8): a stroke within one word is set with one load and store.
[[gnu::always_inline]] inline void SetStroke(uint8_t* Data, size_t Size, uint64_t From, uint64_t To) {
    const uint64_t FirstByte = From >> 3;
    const uint64_t Offset = From & 7;
    if (From < To && To - From < 64 - Offset && FirstByte + 8 <= Size) {
        uint64_t Mask = (~uint64_t{0} >> Offset) ^ (~uint64_t{0} >> (Offset + (To - From)));
        if constexpr (std::endian::native == std::endian::little) Mask = __builtin_bswap64(Mask);
        uint64_t Word;
        std::memcpy(&Word, Data + FirstByte, 8);
        Word |= Mask;
        std::memcpy(Data + FirstByte, &Word, 8);
        return;
    }
    SetBits(Data, From, To);
}

// The mode codes of two-dimensional coding, looked up by the next seven bits.
// The codes that end a row (Extension and Zeros) come last, so that one comparison finds them.
enum class TMode : uint8_t { Pass, Horizontal, Vertical, Extension, Zeros };

struct TModeEntry {
    TMode Mode;
    int8_t Delta;   ///< a1 − b1 for the vertical modes
    uint8_t Length; ///< bits of the code (Zeros: none are taken)
};

constexpr std::array<TModeEntry, 128> BuildModeTable() {
    std::array<TModeEntry, 128> Table{};
    struct TCode {
        uint8_t Bits;
        uint8_t Length;
        TMode Mode;
        int8_t Delta;
    };
    constexpr TCode Codes[] = {
        {0b1, 1, TMode::Vertical, 0},        {0b011, 3, TMode::Vertical, 1},     {0b010, 3, TMode::Vertical, -1},
        {0b001, 3, TMode::Horizontal, 0},    {0b0001, 4, TMode::Pass, 0},        {0b000011, 6, TMode::Vertical, 2},
        {0b000010, 6, TMode::Vertical, -2},  {0b0000011, 7, TMode::Vertical, 3}, {0b0000010, 7, TMode::Vertical, -3},
        {0b0000001, 7, TMode::Extension, 0},
    };
    for (uint32_t Index = 0; Index < 128; ++Index) {
        Table[Index] = {TMode::Zeros, 0, 0};
        for (const TCode& Code : Codes)
            if ((Index >> (7 - Code.Length)) == Code.Bits) {
                Table[Index] = {Code.Mode, Code.Delta, Code.Length};
                break;
            }
    }
    return Table;
}

constexpr std::array<TModeEntry, 128> ModeTable = BuildModeTable();

// The reader works on a copy in locals in the inner loops: the output writes could alias members.

/// The last few bytes of the input, one at a time. Takes and returns the reader by value, so that
/// the caller's copy can stay in registers.
[[gnu::noinline]] TFaxBitReader RefillTail(TFaxBitReader In) {
    while (In.Bits <= 56 && In.BytesLeft > 0) {
        In.Buffer |= static_cast<uint64_t>(*In.Source++) << (56 - In.Bits);
        --In.BytesLeft;
        In.Bits += 8;
    }
    return In;
}

/// Tops the buffer up with whole bytes while input remains.
[[gnu::always_inline]] inline void Refill(TFaxBitReader& In) {
    if (In.BytesLeft < 8) {
        In = RefillTail(In);
        return;
    }
    uint64_t Word;
    std::memcpy(&Word, In.Source, 8);
    if constexpr (std::endian::native == std::endian::little) Word = __builtin_bswap64(Word);
    // Whole bytes only, so that the buffer keeps ending on a byte boundary.
    const int Bytes = (63 - In.Bits) >> 3;
    const int Total = In.Bits + 8 * Bytes;
    In.Buffer |= (Word >> In.Bits) & ~(~uint64_t{0} >> Total);
    In.Source += Bytes;
    In.BytesLeft -= static_cast<size_t>(Bytes);
    In.Bits = Total;
}

/// Reads make-up codes of Table up to a terminating code; returns their sum (negative for
/// end-of-line and invalid codes).
[[gnu::always_inline]] inline int64_t ReadRunCodes(TFaxBitReader& In, const TCodeTable& Table) {
    int64_t Sum = 0;
    for (;;) {
        if (In.Bits < MaxCodeBits) {
            Refill(In);
            if (In.Bits == 0) return Sum;
        }
        TCodeEntry Entry = Table.Primary[In.Buffer >> (64 - PrimaryBits)];
        if (Entry.Examined == 0)
            Entry = Table.Secondary[static_cast<size_t>(Entry.Value) +
                                    ((In.Buffer >> (64 - MaxCodeBits)) & ((1u << SecondaryBits) - 1))];
        if (Entry.Examined > In.Bits) {
            // The data ends inside a code (the refill above took the last byte): its bits are
            // read and the make-up codes so far count.
            In.Buffer = 0;
            In.Bits = 0;
            return Sum;
        }
        In.Buffer <<= Entry.Consumed;
        In.Bits -= Entry.Consumed;
        if (Entry.Value == NoCode) return Sum; // the bit that fits no code stays unread
        Sum += Entry.Value;
        if (Entry.Value < 64) return Sum; // terminating, end-of-line or invalid code
        // make-up codes add up until a terminating one
    }
}

[[gnu::always_inline]] inline bool HasInput(const TFaxBitReader& In) { return In.Bits > 0 || In.BytesLeft > 0; }

/// Drops the bits left of the current input byte.
inline void SkipToByteBoundary(TFaxBitReader& In) {
    const int Drop = In.Bits & 7;
    In.Buffer <<= Drop;
    In.Bits -= Drop;
}

/// After SkipToByteBoundary: drops one more input byte when an odd number has been taken since Start.
inline void SkipToWordBoundary(TFaxBitReader& In, const uint8_t* Start) {
    // Bytes taken from the input so far, less the whole bytes still buffered.
    const size_t Consumed = static_cast<size_t>(In.Source - Start) - static_cast<size_t>(In.Bits >> 3);
    if ((Consumed & 1) == 0) return;
    if (In.Bits >= 8) {
        In.Buffer <<= 8;
        In.Bits -= 8;
    } else if (In.BytesLeft > 0) {
        ++In.Source;
        --In.BytesLeft;
    }
}

/// The writer of one-dimensional rows, kept in locals like the reader.
struct TRunWriter {
    uint8_t* Dest;
    size_t Size;         ///< bytes that may be written at Dest
    uint64_t Position;   ///< bit position from the start of the output
    uint64_t PixelsLeft; ///< of the row
    bool Black;

    /// Writes Count pixels of the current colour; returns true when they complete the row.
    [[gnu::always_inline]] bool WriteRun(int64_t Count) {
        if (Count <= 0) return PixelsLeft == 0;
        const uint64_t Pixels = static_cast<uint64_t>(Count);
        if (Black) SetBits(Dest, Position, std::min(Position + Pixels, uint64_t{Size} * 8));
        // The whole run moves the writer, even past the row's end.
        Position += Pixels;
        if (Pixels >= PixelsLeft) {
            PixelsLeft = 0;
            return true;
        }
        PixelsLeft -= Pixels;
        return false;
    }
};

/// The start of the row after one that ends at bit Position: rows start on byte boundaries.
constexpr uint64_t NextRowStart(uint64_t Position) { return (Position + 7) & ~uint64_t{7}; }

} // namespace

TCCITTDecoder::TCCITTDecoder(uint32_t Options, bool SwapBits, bool WordAligned, uint32_t Width)
    : FOptions(Options), FSwapBits(SwapBits), FWordAligned(WordAligned), FWidth(Width) {}

size_t TCCITTDecoder::StartDecode(uint8_t* Source, uint8_t* Dest, int32_t PackedSize, int32_t UnpackedSize,
                                  size_t SourceSize, size_t DestSize) {
    const size_t Limit = ClampCount(UnpackedSize, DestSize);
    if (Limit > 0) std::memset(Dest, 0, Limit);
    const size_t InputSize = ClampCount(PackedSize, SourceSize);
    if (FSwapBits) {
        const auto& Reversed = ReversedBits();
        for (size_t Index = 0; Index < InputSize; ++Index) Source[Index] = Reversed[Source[Index]];
    }
    FIn = {0, 0, Source, InputSize};
    FInputStart = Source;
    FDest = Dest;
    FDestLimit = Limit;
    FBitPosition = 0;
    return Limit;
}

bool TCCITTDecoder::SkipEndOfLine(bool ZerosSeen) {
    int Zeros = ZerosSeen ? 11 : 0;
    for (;;) {
        if (FIn.Bits == 0) {
            Refill(FIn);
            if (FIn.Bits == 0) return false;
        }
        const int Leading = std::countl_zero(FIn.Buffer);
        if (Leading >= FIn.Bits) {
            Zeros = std::min(Zeros + FIn.Bits, 11);
            FIn.Buffer = 0;
            FIn.Bits = 0;
            continue;
        }
        Zeros = std::min(Zeros + Leading, 11);
        FIn.Buffer <<= Leading; // then the 1 (in two steps: the total may be 64)
        FIn.Buffer <<= 1;
        FIn.Bits -= Leading + 1;
        if (Zeros >= 11) return true;
        Zeros = 0;
    }
}

void TCCITTFax3Decoder::Decode(uint8_t*& Source, uint8_t*& Dest, int32_t PackedSize, int32_t UnpackedSize,
                               size_t SourceSize, size_t DestSize) {
    const size_t Limit = StartDecode(Source, Dest, PackedSize, UnpackedSize, SourceSize, DestSize);
    if ((Options() & 1) != 0) {
        DecodeMixedRows(Limit);
        return;
    }
    int EndOfLineCount = 0;
    while (InputLeft() && (FBitPosition >> 3) < Limit) {
        // Consume the end-of-line code before the row (after a row that ended on one, only the
        // zeros and the 1 of the next).
        if (!SkipEndOfLine(EndOfLineCount != 0)) break;
        EndOfLineCount = 0;

        TFaxBitReader In = FIn;
        TRunWriter Out{FDest, Limit, FBitPosition, Width(), false};
        // A white run and a black one per turn, so that each colour's table and writer are fixed.
        for (;;) {
            int64_t Run = ReadRunCodes(In, WhiteTable);
            if (Run < 0) {
                if (Run == EndOfLine) ++EndOfLineCount;
                break;
            }
            Out.Black = false;
            if (Out.WriteRun(Run) || !HasInput(In)) break;
            Run = ReadRunCodes(In, BlackTable);
            if (Run < 0) {
                if (Run == EndOfLine) ++EndOfLineCount;
                break;
            }
            Out.Black = true;
            if (Out.WriteRun(Run) || !HasInput(In)) break;
        }
        FIn = In;
        FBitPosition = NextRowStart(Out.Position);
    }
}

void TCCITTFax3Decoder::DecodeMixedRows(size_t Limit) {
    ResetReference();
    if (Width() == 0) return;
    bool EndOfLineRead = false;
    while (InputLeft() && (FBitPosition >> 3) < Limit) {
        if (!EndOfLineRead && !SkipEndOfLine(false)) break;
        EndOfLineRead = false;
        // The tag bit after each end-of-line code: 1 for a one-dimensional row.
        if (FIn.Bits == 0) Refill(FIn);
        if (FIn.Bits == 0) break;
        const bool OneDimensional = (FIn.Buffer >> 63) != 0;
        FIn.Buffer <<= 1;
        --FIn.Bits;

        const uint64_t RowStart = FBitPosition;
        bool Written = true;
        if (OneDimensional) {
            TFaxBitReader In = FIn;
            TRunWriter Out{FDest, Limit, RowStart, Width(), false};
            ReserveCurrent(1);
            uint32_t* Current = FCurrent.data();
            size_t Room = FCurrent.size() - ReferenceEnd;
            size_t Count = 0;
            for (;;) {
                const int64_t Run = ReadRunCodes(In, Out.Black ? BlackTable : WhiteTable);
                if (Run < 0) {
                    EndOfLineRead = Run == EndOfLine;
                    break;
                }
                const bool RowDone = Out.WriteRun(Run);
                if (Count == Room) [[unlikely]] {
                    ReserveCurrent(Count + 1);
                    Current = FCurrent.data();
                    Room = FCurrent.size() - ReferenceEnd;
                }
                // Every run ends at a changing element of the next row's reference line.
                Current[Count++] = static_cast<uint32_t>(std::min<uint64_t>(Out.Position - RowStart, Width()));
                if (RowDone) break;
                Out.Black = !Out.Black;
                if (!HasInput(In)) break;
            }
            FIn = In;
            // An end-of-line code where a row should start (the end of the page) writes nothing.
            Written = Count != 0;
            if (Written) TakeReference(Count);
        } else {
            const TRowEnd End = Decode2DRow();
            Written = End != TRowEnd::NoRow;
            // A damaged row is the reference for the next as far as it was decoded.
            if (End == TRowEnd::Damaged) ReferenceFromRow(RowStart);
        }
        if (!Written) continue;
        FBitPosition = NextRowStart(RowStart + Width());
    }
}

void TCCITTMHDecoder::Decode(uint8_t*& Source, uint8_t*& Dest, int32_t PackedSize, int32_t UnpackedSize,
                             size_t SourceSize, size_t DestSize) {
    const size_t Limit = StartDecode(Source, Dest, PackedSize, UnpackedSize, SourceSize, DestSize);
    TFaxBitReader In = FIn;
    TRunWriter Out{FDest, Limit, 0, Width(), false};
    while (HasInput(In) && (Out.Position >> 3) < Limit) {
        const int64_t Run = ReadRunCodes(In, Out.Black ? BlackTable : WhiteTable);
        if (Run > 0 && Out.WriteRun(Run)) {
            Out.Position = NextRowStart(Out.Position);
            Out.PixelsLeft = Width();
            SkipToByteBoundary(In); // the next row starts on a byte boundary of the input
            if (WordAligned()) SkipToWordBoundary(In, FInputStart);
            Out.Black = true; // switched to white below
        }
        Out.Black = !Out.Black;
    }
    FIn = In;
    FBitPosition = Out.Position;
}

// ---- Two-dimensional coding ------------------------------------------------------------------

void TCCITTDecoder::ResetReference() {
    FReference.assign(ReferenceEnd, FWidth);
    FReferenceCount = 0;
}

void TCCITTDecoder::ReserveCurrent(size_t Count) {
    if (FCurrent.size() < Count + ReferenceEnd) FCurrent.resize(std::max(Count + ReferenceEnd, 2 * FCurrent.size()));
}

void TCCITTDecoder::TakeReference(size_t Count) {
    ReserveCurrent(Count);
    std::fill_n(FCurrent.begin() + static_cast<ptrdiff_t>(Count), ReferenceEnd, FWidth);
    FReference.swap(FCurrent);
    FReferenceCount = Count;
}

void TCCITTDecoder::ReferenceFromRow(uint64_t RowStart) {
    size_t Count = 0;
    const uint64_t Limit = uint64_t{FDestLimit} * 8;
    bool Black = false;
    uint32_t X = 0;
    while (X < FWidth) {
        const uint64_t Bit = RowStart + X;
        if (Bit >= Limit) break; // past the output everything reads as white
        const uint8_t Byte = FDest[Bit >> 3];
        // Whole bytes of the current colour are passed over at once.
        if ((Bit & 7) == 0 && X + 8 <= FWidth && Byte == (Black ? 0xFF : 0x00)) {
            X += 8;
            continue;
        }
        if (((Byte >> (7 - (Bit & 7))) & 1) != (Black ? 1 : 0)) {
            ReserveCurrent(Count + 1);
            FCurrent[Count++] = X;
            Black = !Black;
        }
        ++X;
    }
    if (Black && X < FWidth) {
        ReserveCurrent(Count + 1);
        FCurrent[Count++] = X;
    }
    TakeReference(Count);
}

TCCITTDecoder::TRowEnd TCCITTDecoder::Decode2DRow() {
    const uint32_t W = FWidth;
    const uint64_t RowStart = FBitPosition;
    uint8_t* const Dest = FDest;
    const size_t DestSize = FDestLimit;
    const uint64_t Limit = uint64_t{DestSize} * 8;
    auto FillBlack = [&](uint64_t From, uint64_t To) {
        SetStroke(Dest, DestSize, std::min(RowStart + From, Limit), std::min(RowStart + To, Limit));
    };
    // The room grows as the row needs it (the width alone could ask for gigabytes).
    ReserveCurrent(2);
    uint32_t* Current = FCurrent.data();
    size_t Count = 0;
    size_t Room = FCurrent.size() - ReferenceEnd;
    const uint32_t* const Ref = FReference.data();
    const size_t RefCount = FReferenceCount;
    TFaxBitReader In = FIn;
    // Where the search for b1 starts in general: two entries back from the previous b1, at the
    // first entry of the colour opposite to a0's.
    auto SearchStart = [](size_t Previous, bool Black) {
        const size_t Start = Previous >= 2 ? Previous - 2 : 0;
        return Start + ((Start ^ (Black ? 1 : 0)) & 1);
    };
    auto Leave = [&](TRowEnd End) {
        FIn = In;
        return End;
    };

    uint32_t A0 = 0; // a0 first stands on the imaginary white pixel before the row
    bool Black = false;
    bool First = true;
    // b1: the first changing element of the reference line right of a0 whose colour is
    // opposite to a0's (even entries start black runs); b2 the one after it. Before the first
    // code it is the first changing element, even at 0.
    size_t B = 0;
    uint32_t B1 = Ref[0];
    uint32_t B2 = Ref[1];
    for (;;) {
        if (In.Bits < 7) {
            Refill(In);
            if (In.Bits == 0) return Leave(TRowEnd::Damaged);
        }
        const TModeEntry& Entry = ModeTable[In.Buffer >> 57];
        if (Entry.Mode >= TMode::Extension || Entry.Length > In.Bits) [[unlikely]]
            return Leave(Entry.Mode == TMode::Zeros && First ? TRowEnd::NoRow : TRowEnd::Damaged);
        In.Buffer <<= Entry.Length;
        In.Bits -= Entry.Length;
        First = false;
        if (Count + 2 > Room) [[unlikely]] {
            ReserveCurrent(Count + 2);
            Current = FCurrent.data();
            Room = FCurrent.size() - ReferenceEnd;
        }

        // The search for the next b1 starts at I. The entries before b1 are at or left of it, so
        // after a move to b1 or right of it the search starts past b1; after a pass past b2.
        size_t I;
        if (Entry.Mode == TMode::Vertical) {
            const int64_t A1 = int64_t{B1} + Entry.Delta;
            if (A1 < int64_t{A0} || A1 > int64_t{W}) return Leave(TRowEnd::Damaged);
            if (Black) FillBlack(A0, static_cast<uint64_t>(A1));
            Current[Count++] = static_cast<uint32_t>(A1);
            A0 = static_cast<uint32_t>(A1);
            Black = !Black;
            if (A0 >= W) break;
            // A move to the left can put a0 before the previous b1, so the search starts
            // two entries back.
            I = Entry.Delta >= 0 ? B + 1 : SearchStart(B, Black);
        } else if (Entry.Mode == TMode::Horizontal) {
            // Both runs are read before either is judged: a damaged Group 3 row resynchronises
            // from where the second ends.
            const int64_t Run1 = ReadRunCodes(In, Black ? BlackTable : WhiteTable);
            const int64_t Run2 = ReadRunCodes(In, Black ? WhiteTable : BlackTable);
            if (Run1 < 0 || Run2 < 0) return Leave(TRowEnd::Damaged);
            const uint64_t A1 = std::min<uint64_t>(uint64_t{A0} + static_cast<uint64_t>(Run1), W);
            const uint64_t A2 = std::min<uint64_t>(A1 + static_cast<uint64_t>(Run2), W);
            FillBlack(Black ? A0 : A1, Black ? A1 : A2);
            Current[Count++] = static_cast<uint32_t>(A1);
            Current[Count++] = static_cast<uint32_t>(A2);
            A0 = static_cast<uint32_t>(A2);
            if (A0 >= W) break;
            I = SearchStart(B, Black);
        } else { // pass
            if (Black) FillBlack(A0, B2);
            A0 = B2;
            if (A0 >= W) break;
            I = B + 2;
        }
        // a0 < Width here, so the end entries stop the search.
        while (Ref[I] <= A0) I += 2;
        B = std::min(I, RefCount);
        B1 = Ref[B];
        B2 = Ref[B + 1];
    }
    // The changing elements of this row are the next row's reference line.
    std::fill_n(Current + Count, ReferenceEnd, W);
    FReference.swap(FCurrent);
    FReferenceCount = Count;
    FIn = In;
    return TRowEnd::Complete;
}

void TCCITTFax4Decoder::Decode(uint8_t*& Source, uint8_t*& Dest, int32_t PackedSize, int32_t UnpackedSize,
                               size_t SourceSize, size_t DestSize) {
    const size_t Limit = StartDecode(Source, Dest, PackedSize, UnpackedSize, SourceSize, DestSize);
    ResetReference();
    if (Width() == 0) return;
    while (InputLeft() && (FBitPosition >> 3) < Limit) {
        const uint64_t RowStart = FBitPosition;
        const TRowEnd End = Decode2DRow();
        // End of block, or a damaged row: the strip ends with what was decoded, the rest white.
        if (End == TRowEnd::NoRow) break;
        FBitPosition = NextRowStart(RowStart + Width());
        if (End == TRowEnd::Damaged) break;
    }
}

} // namespace qv
