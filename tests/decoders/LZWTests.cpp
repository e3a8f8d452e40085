#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "DecoderTestSupport.h"
#include "imaging/decoders/ImageCompression.h"

using namespace qv;
using qvtest::Decode;
using Bytes = std::vector<uint8_t>;

namespace {

/// A plain LZW encoder, written apart from the decoder, for both bit orders.
struct TLZWEncoder {
    bool MsbFirst = true;    // TIFF packs codes most significant bit first, GIF least
    int CodeSize = 8;        // bits of a root symbol
    bool EarlyChange = true; // TIFF widens one code early
    bool ClearAtStart = true;
    bool ClearWhenFull = true; // else the table stays frozen once full (a deferred clear)
    bool EndCode = true;
    size_t EndCodeAfter = 0;   // also emit an end code after this many input bytes (0 = never)

    Bytes Encode(const Bytes& Data) const {
        const uint32_t Clear = 1u << CodeSize, End = Clear + 1, FirstFree = Clear + 2;
        uint32_t Width = CodeSize + 1, Next = FirstFree;
        std::map<std::pair<uint32_t, uint8_t>, uint32_t> Table;
        Bytes Out;
        uint64_t Accumulator = 0;
        int Bits = 0;
        auto Emit = [&](uint32_t Code) {
            if (MsbFirst) {
                Accumulator = (Accumulator << Width) | Code;
                Bits += Width;
                while (Bits >= 8) {
                    Out.push_back(static_cast<uint8_t>(Accumulator >> (Bits - 8)));
                    Bits -= 8;
                }
            } else {
                Accumulator |= uint64_t(Code) << Bits;
                Bits += Width;
                while (Bits >= 8) {
                    Out.push_back(static_cast<uint8_t>(Accumulator));
                    Accumulator >>= 8;
                    Bits -= 8;
                }
            }
        };
        auto Reset = [&] {
            Table.clear();
            Width = CodeSize + 1;
            Next = FirstFree;
        };
        if (ClearAtStart) Emit(Clear);
        int64_t Current = -1;
        for (size_t Index = 0; Index < Data.size(); ++Index) {
            const uint8_t Byte = Data[Index];
            if (Current < 0) {
                Current = Byte;
            } else if (auto Found = Table.find({uint32_t(Current), Byte}); Found != Table.end()) {
                Current = Found->second;
            } else {
                Emit(uint32_t(Current));
                if (Next + (EarlyChange ? 1 : 0) >= (1u << Width) && Width < 12) ++Width;
                if (Next < 4096) Table[{uint32_t(Current), Byte}] = Next++;
                Current = Byte;
                if (ClearWhenFull && Next >= 4094) {
                    Emit(Clear);
                    Reset();
                }
            }
            if (EndCodeAfter != 0 && Index + 1 == EndCodeAfter) Emit(End);
        }
        if (Current >= 0) Emit(uint32_t(Current));
        if (EndCode) {
            if (Next + (EarlyChange ? 1 : 0) >= (1u << Width) && Width < 12) ++Width;
            Emit(End);
        }
        if (Bits > 0) Out.push_back(static_cast<uint8_t>(MsbFirst ? Accumulator << (8 - Bits) : Accumulator));
        return Out;
    }
};

/// Text-like data: words from a small vocabulary with noise, so strings grow long and the
/// table fills several times.
Bytes SampleData(size_t Size, uint8_t Symbols, uint32_t Seed) {
    std::mt19937 Random(Seed);
    std::vector<Bytes> Words(40);
    for (auto& Word : Words) {
        Word.resize(Random() % 12 + 1);
        for (auto& Byte : Word) Byte = static_cast<uint8_t>(Random() % Symbols);
    }
    Bytes Data;
    while (Data.size() < Size) {
        if (Random() % 10 == 0)
            Data.push_back(static_cast<uint8_t>(Random() % Symbols));
        else {
            const Bytes& Word = Words[Random() % Words.size()];
            Data.insert(Data.end(), Word.begin(), Word.end());
        }
    }
    Data.resize(Size);
    return Data;
}

Bytes DecodeTIFF(const Bytes& Packed, size_t Size) {
    TTIFFLZWDecoder Decoder;
    return Decode(Decoder, Packed, static_cast<int32_t>(Packed.size()), static_cast<int32_t>(Size), Size).Output;
}

Bytes DecodeGIF(uint8_t CodeSize, const Bytes& Packed, size_t Size) {
    TGIFLZWDecoder Decoder(CodeSize);
    return Decode(Decoder, Packed, static_cast<int32_t>(Packed.size()), static_cast<int32_t>(Size), Size).Output;
}

} // namespace

TEST(TIFFLZW, DecodesIndependentlyEncodedStreams) {
    TLZWEncoder Encoder;
    for (uint8_t Symbols : {2, 16, 255}) {
        // Long enough for the table to fill (width 9 through 12) and be cleared several times.
        const Bytes Data = SampleData(120000, Symbols, Symbols);
        EXPECT_EQ(DecodeTIFF(Encoder.Encode(Data), Data.size()), Data) << int(Symbols) << " symbols";
    }
    // The string-not-yet-in-table case: a run of one byte makes codes equal to the next free one.
    const Bytes Run(1000, 'a');
    EXPECT_EQ(DecodeTIFF(Encoder.Encode(Run), Run.size()), Run);
}

TEST(TIFFLZW, StartsWithoutClearAndKeepsAFullTable) {
    TLZWEncoder Encoder;
    Encoder.ClearAtStart = false;
    Encoder.ClearWhenFull = false;
    const Bytes Data = SampleData(60000, 200, 3);
    EXPECT_EQ(DecodeTIFF(Encoder.Encode(Data), Data.size()), Data);
}

TEST(TIFFLZW, StopsAtTheEndCodeAndCutsStringsAtTheRequestedSize) {
    TLZWEncoder Encoder;
    const Bytes Data = SampleData(5000, 8, 4);
    Bytes Packed = Encoder.Encode(Data);
    // Fill bytes after the end code would decode to literal zeros if they were read.
    Packed.insert(Packed.end(), 64, 0x00);
    TTIFFLZWDecoder Decoder;
    auto Result = Decode(Decoder, Packed, static_cast<int32_t>(Packed.size()), 6000, 6000, 0xEE);
    EXPECT_TRUE(std::equal(Data.begin(), Data.end(), Result.Output.begin()));
    EXPECT_EQ(Bytes(Result.Output.begin() + 5000, Result.Output.end()), Bytes(1000, 0xEE));
    // A request ending inside a long string gets exactly the requested bytes.
    const Bytes Run(3000, 'z');
    const Bytes RunPacked = Encoder.Encode(Run);
    for (int32_t Wanted : {1, 2, 77, 2999}) {
        auto Cut = Decode(Decoder, RunPacked, static_cast<int32_t>(RunPacked.size()), Wanted, size_t(Wanted));
        EXPECT_EQ(Cut.Output, Bytes(size_t(Wanted), 'z'));
    }
    EXPECT_EQ(Result.SourceAdvance, 0u);
    EXPECT_EQ(Result.DestAdvance, 0u);
}

TEST(GIFLZW, DecodesIndependentlyEncodedStreamsOfEveryCodeSize) {
    for (int CodeSize : {2, 3, 4, 8}) {
        TLZWEncoder Encoder;
        Encoder.MsbFirst = false;
        Encoder.EarlyChange = false;
        Encoder.CodeSize = CodeSize;
        const Bytes Data = SampleData(80000, static_cast<uint8_t>(std::min(255, 1 << CodeSize)), CodeSize);
        EXPECT_EQ(DecodeGIF(uint8_t(CodeSize), Encoder.Encode(Data), Data.size()), Data) << "code size " << CodeSize;
    }
}

TEST(GIFLZW, FourColourStreamsUseThreeBitCodes) {
    // Code size 2: clear 4, end 5, first free 6, 3-bit codes packed least significant bit first.
    // clear, 1, 1, 6 ("1 1", in the table), then entry 7 widens the codes: end in 4 bits.
    EXPECT_EQ(DecodeGIF(2, {0x4C, 0x5C}, 4), (Bytes{1, 1, 1, 1}));
    // clear, 1, 6 (the next free code: the previous string and its own first byte), end.
    EXPECT_EQ(DecodeGIF(2, {0x8C, 0x0B}, 3), (Bytes{1, 1, 1}));
}

TEST(GIFLZW, GoesOnAfterAnEarlyEndCodeAndAcceptsADeferredClear) {
    TLZWEncoder Encoder;
    Encoder.MsbFirst = false;
    Encoder.EarlyChange = false;
    Encoder.EndCodeAfter = 700;
    const Bytes Data = SampleData(3000, 255, 9);
    EXPECT_EQ(DecodeGIF(8, Encoder.Encode(Data), Data.size()), Data);

    // Encoders may keep a full table instead of clearing it; its codes stay valid.
    TLZWEncoder Deferred;
    Deferred.MsbFirst = false;
    Deferred.EarlyChange = false;
    Deferred.ClearWhenFull = false;
    const Bytes Long = SampleData(100000, 255, 10);
    EXPECT_EQ(DecodeGIF(8, Deferred.Encode(Long), Long.size()), Long);
}

TEST(GIFLZW, RejectsCodeSizesTheTableCannotHold) {
    EXPECT_THROW(TGIFLZWDecoder(12), EGraphicCompression);
    EXPECT_NO_THROW(TGIFLZWDecoder(11));
}

TEST(LZWSweep, GarbageTruncationAndHugeCountsStayInBounds) {
    TLZWEncoder Encoder;
    const Bytes TIFF = Encoder.Encode(SampleData(4000, 30, 11));
    qvtest::Sweep([] { return std::make_unique<TTIFFLZWDecoder>(); }, TIFF, 4000, 4000);
    Encoder.MsbFirst = false;
    Encoder.EarlyChange = false;
    const Bytes GIF = Encoder.Encode(SampleData(4000, 255, 12));
    for (uint8_t CodeSize : {0, 1, 2, 8, 11})
        qvtest::Sweep([CodeSize] { return std::make_unique<TGIFLZWDecoder>(CodeSize); }, GIF, 4000, 4000, CodeSize);
}

// Damaged and truncated streams have no "right" decode, but what the decoders make of them
// (skipped codes, strings cut at the requested size, codes lost at the end of the data) was
// pinned when the string copy and code reader were reworked for speed; the hashes were taken
// from the decoder that preceded them.
TEST(LZWSweep, DamagedAndTruncatedStreamsDecodeAsPinned) {
    auto HashBytes = [](uint64_t Hash, const Bytes& Data) {
        for (uint8_t Byte : Data) Hash = (Hash ^ Byte) * 0x100000001B3ull;
        return Hash ^ Data.size();
    };
    std::mt19937 Random(5);
    TLZWEncoder TIFFEncoder;
    TLZWEncoder GIFEncoder;
    GIFEncoder.MsbFirst = false;
    GIFEncoder.EarlyChange = false;
    uint64_t TIFFHash = 0xCBF29CE484222325ull, GIFHash = TIFFHash;
    for (int Round = 0; Round < 300; ++Round) {
        const size_t Length = Random() % 9000 + 1;
        const auto Symbols = static_cast<uint8_t>(Random() % 255 + 1);
        const Bytes Data = SampleData(Length, Symbols, Random());
        for (bool IsTIFF : {true, false}) {
            Bytes Packed = (IsTIFF ? TIFFEncoder : GIFEncoder).Encode(Data);
            if (Round % 3 != 0)
                for (int Hit = 0; Hit < Round % 5; ++Hit)
                    Packed[Random() % Packed.size()] ^= static_cast<uint8_t>(1u << (Random() % 8));
            if (Round % 2 == 0) Packed.resize(Random() % (Packed.size() + 1));
            // Requests shorter, equal and longer than the data.
            const size_t Size = std::array<size_t, 3>{Data.size() / 2 + 1, Data.size(), Data.size() + 300}[Round % 3];
            if (IsTIFF) {
                TTIFFLZWDecoder Decoder;
                const auto Result = Decode(Decoder, Packed, static_cast<int32_t>(Packed.size()), static_cast<int32_t>(Size), Size, 0x5A);
                TIFFHash = HashBytes(TIFFHash, Result.Output);
            } else {
                TGIFLZWDecoder Decoder(8);
                const auto Result = Decode(Decoder, Packed, static_cast<int32_t>(Packed.size()), static_cast<int32_t>(Size), Size, 0x5A);
                GIFHash = HashBytes(GIFHash, Result.Output);
            }
        }
    }
    EXPECT_EQ(TIFFHash, 0x16126a057aa46485ull) << std::hex << TIFFHash;
    EXPECT_EQ(GIFHash, 0x1bd39996072d1b2full) << std::hex << GIFHash;
}

TEST(LZWSweep, TruncatedStreamsGiveAPrefixAndLeaveTheRestUntouched) {
    // Strings of many lengths end the output at every cut; none may spill past its end, and the
    // last bytes of the data (read one at a time rather than a word at once) must still decode.
    const Bytes Data = SampleData(3000, 200, 21); // never the fill byte 0xEE
    for (bool IsTIFF : {true, false}) {
        TLZWEncoder Encoder;
        Encoder.MsbFirst = IsTIFF;
        Encoder.EarlyChange = IsTIFF;
        const Bytes Packed = Encoder.Encode(Data);
        size_t LastDecoded = 0;
        for (size_t Cut = 0; Cut <= Packed.size(); ++Cut) {
            const Bytes Part(Packed.begin(), Packed.begin() + static_cast<ptrdiff_t>(Cut));
            std::unique_ptr<TDecoder> Decoder;
            if (IsTIFF)
                Decoder = std::make_unique<TTIFFLZWDecoder>();
            else
                Decoder = std::make_unique<TGIFLZWDecoder>(8);
            const auto Result = Decode(*Decoder, Part, static_cast<int32_t>(Cut), 3000, 3000, 0xEE);
            const size_t Decoded = static_cast<size_t>(std::find(Result.Output.begin(), Result.Output.end(), 0xEE) - Result.Output.begin());
            ASSERT_TRUE(std::equal(Data.begin(), Data.begin() + static_cast<ptrdiff_t>(Decoded), Result.Output.begin())) << Cut;
            ASSERT_EQ(std::count(Result.Output.begin(), Result.Output.end(), 0xEE), static_cast<ptrdiff_t>(3000 - Decoded)) << Cut;
            // A longer cut never decodes less.
            ASSERT_GE(Decoded, LastDecoded) << Cut;
            LastDecoded = Decoded;
        }
        EXPECT_EQ(LastDecoded, Data.size());
    }
}
