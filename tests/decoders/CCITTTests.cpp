#include <gtest/gtest.h>

#include <random>

#include "DecoderTestSupport.h"
#include "TestSupport.h"
#include "imaging/decoders/ImageCompression.h"

using namespace qv;
using qvtest::Decode;
using Bytes = std::vector<uint8_t>;
using TRow = std::vector<bool>; // true = black

namespace {

// ITU-T T.4 code tables, as the recommendation prints them.
const char* const WhiteCodes[64] = {
    "00110101", "000111",   "0111",     "1000",     "1011",     "1100",     "1110",     "1111",
    "10011",    "10100",    "00111",    "01000",    "001000",   "000011",   "110100",   "110101",
    "101010",   "101011",   "0100111",  "0001100",  "0001000",  "0010111",  "0000011",  "0000100",
    "0101000",  "0101011",  "0010011",  "0100100",  "0011000",  "00000010", "00000011", "00011010",
    "00011011", "00010010", "00010011", "00010100", "00010101", "00010110", "00010111", "00101000",
    "00101001", "00101010", "00101011", "00101100", "00101101", "00000100", "00000101", "00001010",
    "00001011", "01010010", "01010011", "01010100", "01010101", "00100100", "00100101", "01011000",
    "01011001", "01011010", "01011011", "01001010", "01001011", "00110010", "00110011", "00110100"};
const char* const BlackCodes[64] = {
    "0000110111",   "010",          "11",           "10",           "011",          "0011",
    "0010",         "00011",        "000101",       "000100",       "0000100",      "0000101",
    "0000111",      "00000100",     "00000111",     "000011000",    "0000010111",   "0000011000",
    "0000001000",   "00001100111",  "00001101000",  "00001101100",  "00000110111",  "00000101000",
    "00000010111",  "00000011000",  "000011001010", "000011001011", "000011001100", "000011001101",
    "000001101000", "000001101001", "000001101010", "000001101011", "000011010010", "000011010011",
    "000011010100", "000011010101", "000011010110", "000011010111", "000001101100", "000001101101",
    "000011011010", "000011011011", "000001010100", "000001010101", "000001010110", "000001010111",
    "000001100100", "000001100101", "000001010010", "000001010011", "000000100100", "000000110111",
    "000000111000", "000000100111", "000000101000", "000001011000", "000001011001", "000000101011",
    "000000101100", "000001011010", "000001100110", "000001100111"};
// Make-up codes 64 .. 1728.
const char* const WhiteMakeUp[27] = {
    "11011",     "10010",     "010111",    "0110111",   "00110110",  "00110111",  "01100100",
    "01100101",  "01101000",  "01100111",  "011001100", "011001101", "011010010", "011010011",
    "011010100", "011010101", "011010110", "011010111", "011011000", "011011001", "011011010",
    "011011011", "010011000", "010011001", "010011010", "011000",    "010011011"};
const char* const BlackMakeUp[27] = {
    "0000001111",    "000011001000",  "000011001001",  "000001011011",  "000000110011",
    "000000110100",  "000000110101",  "0000001101100", "0000001101101", "0000001001010",
    "0000001001011", "0000001001100", "0000001001101", "0000001110010", "0000001110011",
    "0000001110100", "0000001110101", "0000001110110", "0000001110111", "0000001010010",
    "0000001010011", "0000001010100", "0000001010101", "0000001011010", "0000001011011",
    "0000001100100", "0000001100101"};
// Make-up codes 1792 .. 2560, both colours.
const char* const ExtendedMakeUp[13] = {"00000001000",  "00000001100",  "00000001101",  "000000010010",
                                        "000000010011", "000000010100", "000000010101", "000000010110",
                                        "000000010111", "000000011100", "000000011101", "000000011110",
                                        "000000011111"};
const char* const EOL = "000000000001";

class TFaxWriter {
public:
    void Put(const std::string& Code) {
        for (char Bit : Code) {
            if (FBits % 8 == 0) FOut.push_back(0);
            if (Bit == '1') FOut.back() |= static_cast<uint8_t>(0x80 >> (FBits % 8));
            ++FBits;
        }
    }
    void Align() { FBits = (FBits + 7) / 8 * 8; }
    void Zeros(size_t Count) { Put(std::string(Count, '0')); }
    void Run(bool Black, uint32_t Length) {
        const uint32_t Long = Length / 2560 * 2560 == Length && Length > 0 ? Length / 2560 - 1 : Length / 2560;
        for (uint32_t Index = 0; Index < Long; ++Index) Put(ExtendedMakeUp[12]);
        const uint32_t Rest = Length - Long * 2560;
        if (Rest >= 64) {
            const uint32_t MakeUp = Rest / 64 * 64;
            Put(MakeUp <= 1728 ? (Black ? BlackMakeUp : WhiteMakeUp)[MakeUp / 64 - 1] : ExtendedMakeUp[(MakeUp - 1792) / 64]);
        }
        Put((Black ? BlackCodes : WhiteCodes)[Rest % 64]);
    }
    void Row(const TRow& Pixels) {
        bool Black = false;
        size_t Start = 0;
        while (Start < Pixels.size() || (Start == 0 && Pixels.empty())) {
            size_t End = Start;
            while (End < Pixels.size() && Pixels[End] == Black) ++End;
            Run(Black, static_cast<uint32_t>(End - Start));
            Start = End;
            Black = !Black;
            if (Pixels.empty()) break;
        }
    }
    const Bytes& Data() const { return FOut; }

private:
    Bytes FOut;
    size_t FBits = 0;
};

Bytes EncodeMH(const std::vector<TRow>& Rows, bool WordAligned = false) {
    TFaxWriter Writer;
    for (const TRow& Row : Rows) {
        Writer.Row(Row);
        Writer.Align();
        if (WordAligned && Writer.Data().size() % 2 != 0) Writer.Put("00000000");
    }
    return Writer.Data();
}

Bytes EncodeFax3(const std::vector<TRow>& Rows, bool WithPageEnd = true) {
    TFaxWriter Writer;
    for (const TRow& Row : Rows) {
        Writer.Put(EOL);
        Writer.Row(Row);
    }
    if (WithPageEnd)
        for (int Index = 0; Index < 6; ++Index) Writer.Put(EOL);
    return Writer.Data();
}

Bytes Pack(const std::vector<TRow>& Rows, size_t Width) {
    const size_t RowBytes = (Width + 7) / 8;
    Bytes Out(RowBytes * Rows.size());
    for (size_t Y = 0; Y < Rows.size(); ++Y)
        for (size_t X = 0; X < Width; ++X)
            if (Rows[Y][X]) Out[Y * RowBytes + X / 8] |= static_cast<uint8_t>(0x80 >> (X % 8));
    return Out;
}

std::vector<TRow> RandomRows(size_t Width, size_t Count, uint32_t Seed) {
    std::mt19937 Random(Seed);
    std::vector<TRow> Rows(Count, TRow(Width));
    for (auto& Row : Rows) {
        bool Black = Random() % 2 == 0;
        for (size_t X = 0; X < Width;) {
            // Long runs now and then exercise the make-up codes.
            const size_t Length = Random() % 8 == 0 ? Random() % 3000 : Random() % 70;
            for (size_t I = 0; I < Length && X < Width; ++I) Row[X++] = Black;
            Black = !Black;
        }
    }
    return Rows;
}

Bytes ReverseBits(Bytes Data) {
    for (auto& Byte : Data) {
        uint8_t Reversed = 0;
        for (int Bit = 0; Bit < 8; ++Bit)
            if (Byte & (1 << Bit)) Reversed |= static_cast<uint8_t>(0x80 >> Bit);
        Byte = Reversed;
    }
    return Data;
}

template <typename TFaxDecoder>
Bytes DecodeRows(const Bytes& Packed, uint32_t Width, size_t Rows, bool SwapBits = false) {
    TFaxDecoder Decoder(0, SwapBits, false, Width);
    const size_t Size = (Width + 7) / 8 * Rows;
    return Decode(Decoder, Packed, static_cast<int32_t>(Packed.size()), static_cast<int32_t>(Size), Size, 0x5A).Output;
}

} // namespace

TEST(CCITTFax, RandomRowsRoundTripThroughBothDecoders) {
    for (uint32_t Width : {1u, 13u, 200u, 1728u, 2600u, 6000u}) {
        const auto Rows = RandomRows(Width, 20, Width);
        EXPECT_EQ(DecodeRows<TCCITTMHDecoder>(EncodeMH(Rows), Width, Rows.size()), Pack(Rows, Width)) << Width;
        EXPECT_EQ(DecodeRows<TCCITTFax3Decoder>(EncodeFax3(Rows), Width, Rows.size()), Pack(Rows, Width)) << Width;
    }
}

TEST(CCITTFax, FullWhiteRowsAndRowsStartingBlack) {
    // A 1728-pixel white row is make-up 1728 plus terminating 0 and completes the row.
    std::vector<TRow> Rows = {TRow(1728, false), TRow(1728, false), TRow(1728, false)};
    Rows[1][0] = true; // starts with a zero-length white run
    Rows[1][1727] = true;
    Rows[2][5] = true;
    const Bytes Expected = Pack(Rows, 1728);
    EXPECT_EQ(DecodeRows<TCCITTMHDecoder>(EncodeMH(Rows), 1728, 3), Expected);
    EXPECT_EQ(DecodeRows<TCCITTFax3Decoder>(EncodeFax3(Rows), 1728, 3), Expected);
}

TEST(CCITTFax, SwapBitsReversesTheInputInPlace) {
    const auto Rows = RandomRows(100, 5, 2);
    const Bytes Plain = EncodeFax3(Rows);
    TCCITTFax3Decoder Decoder(0, true, false, 100);
    auto Result = Decode(Decoder, ReverseBits(Plain), static_cast<int32_t>(Plain.size()), 65, 65);
    EXPECT_EQ(Result.Output, Pack(Rows, 100));
    EXPECT_EQ(Result.Input, Plain);
    // With PackedSize 0 no input byte is touched.
    auto Untouched = Decode(Decoder, {0x12, 0x34}, 0, 4, 4);
    EXPECT_EQ(Untouched.Input, (Bytes{0x12, 0x34}));
    EXPECT_EQ(Untouched.Output, Bytes(4, 0));
}

TEST(CCITTFax, EndOfPageCodesWriteNothing) {
    // Rows, the six end-of-line codes of a page end, then one more row: the codes leave no
    // empty rows behind, so the last row follows directly.
    const auto First = RandomRows(64, 3, 5);
    const auto Last = RandomRows(64, 1, 6);
    Bytes Stream = EncodeFax3(First, true);
    // Start the extra row on a fresh byte, as a writer appending a page would.
    const Bytes Tail = EncodeFax3(Last, false);
    Stream.insert(Stream.end(), Tail.begin(), Tail.end());
    std::vector<TRow> All = First;
    All.push_back(Last[0]);
    Bytes Expected = Pack(All, 64);
    Expected.resize(8 * 6, 0);
    EXPECT_EQ(DecodeRows<TCCITTFax3Decoder>(Stream, 64, 6), Expected);
    // A page end alone decodes to nothing.
    EXPECT_EQ(DecodeRows<TCCITTFax3Decoder>(EncodeFax3({}, true), 64, 2), Bytes(16, 0));
}

TEST(CCITTFax, NarrowModifiedHuffmanRowsAndWordAlignment) {
    for (uint32_t Width = 1; Width <= 7; ++Width) {
        const auto Rows = RandomRows(Width, 6, Width + 20);
        const Bytes Packed = EncodeMH(Rows);
        EXPECT_EQ(DecodeRows<TCCITTMHDecoder>(Packed, Width, 6), Pack(Rows, Width));
        // Word-aligned: each compressed row starts at an even input offset; the decoded rows
        // stay one byte each, side by side.
        TCCITTMHDecoder Aligned(0, false, true, Width);
        const Bytes Padded = EncodeMH(Rows, true);
        auto Result = Decode(Aligned, Padded, static_cast<int32_t>(Padded.size()), 6, 6);
        EXPECT_EQ(Result.Output, Pack(Rows, Width)) << "width " << Width;
    }
}

TEST(CCITTFax, RowsWiderThanTheBufferAreCutAtItsEnd) {
    const std::vector<TRow> Rows(3, TRow(2000, true));
    EXPECT_EQ(DecodeRows<TCCITTFax3Decoder>(EncodeFax3(Rows), 2000, 0).size(), 0u);
    TCCITTMHDecoder Decoder(0, false, false, 2000);
    const Bytes Packed = EncodeMH(Rows);
    EXPECT_EQ(Decode(Decoder, Packed, static_cast<int32_t>(Packed.size()), 10, 10).Output, Bytes(10, 0xFF));
    // UnpackedSize beyond the buffer only clears and fills the buffer.
    EXPECT_EQ(Decode(Decoder, Packed, static_cast<int32_t>(Packed.size()), INT32_MAX, 7).Output, Bytes(7, 0xFF));
}

TEST(CCITTFax, GarbageTruncationAndHugeCountsStayInBounds) {
    const auto Rows = RandomRows(300, 8, 9);
    for (bool Swap : {false, true}) {
        qvtest::Sweep([Swap] { return std::make_unique<TCCITTMHDecoder>(0, Swap, true, 300); }, EncodeMH(Rows), 400, 400);
        qvtest::Sweep([Swap] { return std::make_unique<TCCITTFax3Decoder>(0, Swap, false, 300); }, EncodeFax3(Rows), 400,
                      400);
        qvtest::Sweep([Swap] { return std::make_unique<TCCITTFax3Decoder>(0, Swap, false, 0); }, EncodeFax3(Rows), 400,
                      400);
    }
}

TEST(CCITTFax, CorpusFaxImagesMatchTheirReferences) {
    QV_REQUIRE_CORPUS();
    const std::string Corpus = qvtest::CorpusDir();
    for (const char* Name : {"g3test.tif", "tahoe_bw_mh.tif", "tahoe_bw_g3_1d.tif", "tahoe_bw_g3_1d_fill2.tif",
                             "tahoe_bw_g3_1d_fill2_eolalign.tif", "tahoe_fax.fax", "tahoe_bw_g3_2d.tif",
                             "hopper_g4.tif", "tahoe_bw_g4.tif"}) {
        SCOPED_TRACE(Name);
        const auto TIFF = qvtest::ReadTIFFStrips(Corpus + "/files/tiff/" + Name);
        const auto Reference = qvtest::ReadReferencePNG(Corpus + "/ref/tiff/" + std::string(Name) + ".png");
        ASSERT_EQ(TIFF.Width, Reference.Width);
        const size_t RowBytes = (TIFF.Width + 7) / 8;
        size_t Mismatches = 0;
        for (size_t Strip = 0; Strip < TIFF.Strips.size(); ++Strip) {
            std::unique_ptr<TCCITTDecoder> Decoder;
            if (TIFF.Compression == 2)
                Decoder = std::make_unique<TCCITTMHDecoder>(TIFF.T4Options, TIFF.FillOrder == 2, false, TIFF.Width);
            else if (TIFF.Compression == 4)
                Decoder = std::make_unique<TCCITTFax4Decoder>(0, TIFF.FillOrder == 2, false, TIFF.Width);
            else
                Decoder = std::make_unique<TCCITTFax3Decoder>(TIFF.T4Options, TIFF.FillOrder == 2, false, TIFF.Width);
            const size_t FirstRow = Strip * TIFF.RowsPerStrip;
            const size_t Rows = std::min<size_t>(TIFF.RowsPerStrip, TIFF.Height - FirstRow);
            const auto& Data = TIFF.Strips[Strip];
            auto Result = Decode(*Decoder, Data, static_cast<int32_t>(Data.size()), static_cast<int32_t>(Rows * RowBytes),
                                 Rows * RowBytes);
            for (size_t Y = 0; Y < Rows; ++Y)
                for (size_t X = 0; X < TIFF.Width; ++X) {
                    const bool Bit = (Result.Output[Y * RowBytes + X / 8] >> (7 - X % 8)) & 1;
                    const bool Black = Reference.RGBA[((FirstRow + Y) * TIFF.Width + X) * 4] < 128;
                    // Decoded 1 bits are black under "min is white" and white under "min is black".
                    if (Bit != (TIFF.Photometric == 0 ? Black : !Black)) ++Mismatches;
                }
        }
        EXPECT_EQ(Mismatches, 0u);
    }
}

namespace {

uint64_t HashBytes(uint64_t Hash, const Bytes& Data) {
    for (uint8_t Byte : Data) Hash = (Hash ^ Byte) * 0x100000001B3ull;
    return Hash ^ Data.size();
}

/// Random bytes, some with zeros more likely so that long codes, end-of-line codes and the
/// invalid all-zero codes turn up often.
Bytes RandomStream(std::mt19937& Random, size_t Size, bool ZeroHeavy) {
    Bytes Data(Size);
    for (auto& Byte : Data) {
        uint32_t Value = Random();
        if (ZeroHeavy) Value &= Random() & Random();
        Byte = static_cast<uint8_t>(Value);
    }
    return Data;
}

} // namespace

// A regression pin, not an expectation: damaged, truncated and random input has no "right"
// decode, and these hashes only say that how the decoders read it (partial codes at the end,
// invalid codes, missing end-of-line codes, byte-aligned restarts) has not changed since the
// code reader became table driven (the hashes came from the bit-at-a-time reader before it).
// Correctness is carried by the round trips through the encoder and the corpus tests; a
// deliberate change to how damaged data is read re-pins the hashes.
TEST(CCITTRegressionPin, DamagedAndRandomInputDecodesAsWhenPinned) {
    std::mt19937 Random(77);
    uint64_t MH = 0xCBF29CE484222325ull, Fax3 = MH;
    const auto Rows = RandomRows(700, 6, 31);
    const Bytes ValidMH = EncodeMH(Rows), ValidFax3 = EncodeFax3(Rows);
    for (int Round = 0; Round < 400; ++Round) {
        const uint32_t Width = std::array<uint32_t, 5>{1, 7, 64, 700, 3000}[Round % 5];
        const bool Swap = Round % 7 == 3, Aligned = Round % 3 == 1;
        Bytes InputMH, InputFax3;
        if (Round % 4 == 0) {
            // Every early byte cut, where the bit reader's refills meet the end of the data.
            InputMH.assign(ValidMH.begin(), ValidMH.begin() + std::min<size_t>(ValidMH.size(), Round / 4));
            InputFax3.assign(ValidFax3.begin(), ValidFax3.begin() + std::min<size_t>(ValidFax3.size(), Round / 4));
        } else if (Round % 4 == 1) {
            InputMH = ValidMH;
            InputFax3 = ValidFax3;
            for (int Hit = 0; Hit < 3; ++Hit) {
                InputMH[Random() % InputMH.size()] ^= static_cast<uint8_t>(1u << (Random() % 8));
                InputFax3[Random() % InputFax3.size()] ^= static_cast<uint8_t>(1u << (Random() % 8));
            }
            InputMH.resize(Random() % InputMH.size());
            InputFax3.resize(Random() % InputFax3.size());
        } else {
            InputMH = RandomStream(Random, Random() % 300, Round % 4 == 3);
            InputFax3 = RandomStream(Random, Random() % 300, Round % 4 == 3);
        }
        const size_t Size = (Width + 7) / 8 * (Random() % 40 + 1);
        TCCITTMHDecoder DecoderMH(0, Swap, Aligned, Width);
        const auto ResultMH = Decode(DecoderMH, InputMH, static_cast<int32_t>(InputMH.size()), static_cast<int32_t>(Size), Size, 0x5A);
        MH = HashBytes(HashBytes(MH, ResultMH.Output), ResultMH.Input);
        TCCITTFax3Decoder DecoderFax3(0, Swap, Aligned, Width);
        const auto ResultFax3 =
            Decode(DecoderFax3, InputFax3, static_cast<int32_t>(InputFax3.size()), static_cast<int32_t>(Size), Size, 0x5A);
        Fax3 = HashBytes(HashBytes(Fax3, ResultFax3.Output), ResultFax3.Input);
    }
    // Word alignment applies to the compressed rows.
    EXPECT_EQ(MH, 0x27042c6d117ad93ull) << std::hex << MH;
    EXPECT_EQ(Fax3, 0xddf69d479ab231bdull) << std::hex << Fax3;
}

TEST(CCITTFax, DataEndingInsideACodeKeepsTheMakeUpCodesBeforeIt) {
    // A 2000-pixel row: white 0, black make-up 1984 (12 bits), black 16 (10 bits), 30 bits in all.
    // Cut after three bytes, the terminating code is incomplete; the 1984 pixels still count.
    TFaxWriter Writer;
    Writer.Row([] {
        TRow Row(2000, true);
        return Row;
    }());
    Bytes Packed = Writer.Data();
    ASSERT_EQ(Packed.size(), 4u);
    Packed.resize(3);
    Bytes Expected(250, 0);
    std::fill(Expected.begin(), Expected.begin() + 248, 0xFF);
    EXPECT_EQ(DecodeRows<TCCITTMHDecoder>(Packed, 2000, 1), Expected);
    // Whole, the row is complete; the unused bits of the last byte are not read as a code.
    Packed = Writer.Data();
    EXPECT_EQ(DecodeRows<TCCITTMHDecoder>(Packed, 2000, 1), Bytes(250, 0xFF));
}

TEST(CCITTFax, FillZerosBeforeEndOfLineCodesAreSkippedWhateverTheirLength) {
    // Zero fill may precede an end-of-line code; long fills cross several words of input.
    const auto Rows = RandomRows(300, 12, 44);
    TFaxWriter Writer;
    const size_t Fills[] = {0, 1, 7, 8, 53, 64, 65, 130, 500, 3, 2000, 11};
    for (size_t Row = 0; Row < Rows.size(); ++Row) {
        Writer.Zeros(Fills[Row]);
        Writer.Put(EOL);
        Writer.Row(Rows[Row]);
    }
    EXPECT_EQ(DecodeRows<TCCITTFax3Decoder>(Writer.Data(), 300, Rows.size()), Pack(Rows, 300));
    // A 1 too early (ten zeros then 1) is not an end-of-line code: the search goes on past it.
    TFaxWriter Early;
    Early.Put("00000000001");
    Early.Put(EOL);
    Early.Row(Rows[0]);
    Bytes Expected = Pack({Rows[0]}, 300);
    EXPECT_EQ(DecodeRows<TCCITTFax3Decoder>(Early.Data(), 300, 1), Expected);
}
