#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <stdexcept>

#include "DecoderTestSupport.h"
#include "TestSupport.h"
#include "imaging/ImageLib.h"
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

// A regression pin, not an expectation: damaged and truncated streams have no "right" decode,
// and these hashes only say that what the decoders make of them (skipped codes, strings cut at
// the requested size, codes lost at the end of the data) has not changed since the string copy
// and code reader were reworked for speed (the hashes came from the decoder before them).
// Correctness is carried by the encoder round trips and the corpus tests; a deliberate change
// to how damaged data is read re-pins the hashes.
TEST(LZWRegressionPin, DamagedAndTruncatedStreamsDecodeAsWhenPinned) {
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

TEST(LZWSweep, ShortRequestsGiveAPrefixOfLongOnesAndStopsLeaveTheRestUntouched) {
    // Long requests are decoded mostly by whole-word string copies, the last few hundred bytes
    // of any request (and all of a short one) byte-exactly; the two hand over at clears, skipped
    // codes, input ends and the end of the output. Runs give strings far longer than a word.
    std::mt19937 Random(31);
    for (int CodeSize : {8, 2, 4, 8}) {
        const bool IsTIFF = CodeSize == 8 && Random() % 2 == 0;
        Bytes Data = SampleData(30000, static_cast<uint8_t>(std::min(200, 1 << CodeSize)), CodeSize);
        for (size_t At = 1000; At < Data.size(); At += 7000)
            std::fill(Data.begin() + static_cast<ptrdiff_t>(At), Data.begin() + static_cast<ptrdiff_t>(At + 900), Data[At]);
        TLZWEncoder Encoder;
        Encoder.MsbFirst = Encoder.EarlyChange = IsTIFF;
        Encoder.CodeSize = CodeSize;
        const Bytes Valid = Encoder.Encode(Data);
        // The bytes behind a stop must be the caller's own, not just any equal fill, so the
        // output may also start out as a pattern that never repeats within a few hundred bytes.
        auto Pattern = [](size_t Index) { return static_cast<uint8_t>((Index * 2654435761u) >> 24); };
        auto Run = [&](const Bytes& Packed, size_t Size, bool Patterned = false) {
            std::unique_ptr<TDecoder> Decoder;
            if (IsTIFF)
                Decoder = std::make_unique<TTIFFLZWDecoder>();
            else
                Decoder = std::make_unique<TGIFLZWDecoder>(static_cast<uint8_t>(CodeSize));
            Bytes Out(Size, 0xEE);
            if (Patterned)
                for (size_t Index = 0; Index < Size; ++Index) Out[Index] = Pattern(Index);
            Bytes In = Packed;
            uint8_t* Source = In.data();
            uint8_t* Dest = Out.data();
            Decoder->Decode(Source, Dest, static_cast<int32_t>(In.size()), static_cast<int32_t>(Size), In.size(), Size);
            return Out;
        };
        for (int Round = 0; Round < 12; ++Round) {
            Bytes Packed = Valid;
            Packed.resize(Packed.size() * (Round + 1) / 12);
            if (Round % 2 == 1)
                for (int Hit = 0; Hit < 3; ++Hit) Packed[Random() % Packed.size()] ^= static_cast<uint8_t>(1u << (Random() % 8));
            const Bytes Long = Run(Packed, Data.size() + 2000);
            if (Round % 2 == 0) {
                // Undamaged but cut: the data up to some point, then untouched bytes.
                const auto Decoded = std::find(Long.begin(), Long.end(), 0xEE) - Long.begin();
                ASSERT_TRUE(std::equal(Long.begin(), Long.begin() + Decoded, Data.begin())) << CodeSize << " " << Round;
                ASSERT_EQ(std::count(Long.begin(), Long.end(), 0xEE), static_cast<ptrdiff_t>(Long.size()) - Decoded);
                const Bytes OverPattern = Run(Packed, Long.size(), true);
                ASSERT_TRUE(std::equal(Long.begin(), Long.begin() + Decoded, OverPattern.begin()));
                for (size_t Index = static_cast<size_t>(Decoded); Index < OverPattern.size(); ++Index)
                    ASSERT_EQ(OverPattern[Index], Pattern(Index)) << CodeSize << " " << Round << " " << Index;
            }
            for (size_t Size : {size_t{1}, size_t{700}, size_t{Random() % 4000 + 1}, size_t{Random() % Long.size() + 1}})
                ASSERT_TRUE(std::equal(Long.begin(), Long.begin() + static_cast<ptrdiff_t>(Size), Run(Packed, Size).begin()))
                    << CodeSize << " " << Round << " " << Size;
        }
    }
}

// --- The corpus: LZW strips of TIFF files and first GIF frames against their references -------

namespace {

/// One decoded sample of a row (8 bits, the high byte of 16-bit samples in the file's order).
uint8_t Sample8(const Bytes& Row, size_t Index, uint32_t Bits, bool BigEndian) {
    if (Bits == 16) return Row[Index * 2 + (BigEndian ? 0 : 1)];
    const size_t Bit = Index * Bits;
    const unsigned Value = (Row[Bit / 8] >> (8 - Bits - Bit % 8)) & ((1u << Bits) - 1);
    return static_cast<uint8_t>(Value * 255 / ((1u << Bits) - 1));
}

} // namespace

// Every strip-organised LZW TIFF of the corpus: the decoded samples (predictor undone here)
// against the reference picture, or the raw C, M, Y, K samples of the CMYK files. Left out:
// quad-lzw.tif (the old-style LZW with reversed code bits), tiled pictures, and YCbCr
// pictures, whose reference holds the samples only after upsampling and colour conversion.
TEST(TIFFLZW, CorpusStripsMatchTheirReferences) {
    QV_REQUIRE_CORPUS();
    const std::string Corpus = qvtest::CorpusDir();
    std::vector<std::string> Names;
    for (const auto& Entry : std::filesystem::directory_iterator(Corpus + "/files/tiff"))
        Names.push_back(Entry.path().filename().string());
    std::sort(Names.begin(), Names.end());
    size_t Covered = 0;
    for (const std::string& Name : Names) {
        if (Name == "quad-lzw.tif") continue;
        const auto TIFF = qvtest::ReadTIFFStrips(Corpus + "/files/tiff/" + Name);
        if (TIFF.Compression != 5 || TIFF.TileWidth != 0 || TIFF.Photometric == 6) continue;
        SCOPED_TRACE(Name);
        const bool CMYK = TIFF.Photometric == 5;
        const auto Reference =
            qvtest::ReadReferencePNG(Corpus + "/ref/tiff/" + Name + (CMYK ? ".channels.png" : ".png"));
        ASSERT_EQ(TIFF.Width, Reference.Width);
        ASSERT_EQ(TIFF.Height, Reference.Height);
        const bool Planar = TIFF.PlanarConfig == 2;
        const uint32_t Planes = Planar ? TIFF.SamplesPerPixel : 1;
        const uint32_t RowSamples = Planar ? 1 : TIFF.SamplesPerPixel;
        const size_t RowBytes = (size_t(TIFF.Width) * RowSamples * TIFF.BitsPerSample + 7) / 8;
        const size_t StripsPerPlane = (TIFF.Height + TIFF.RowsPerStrip - 1) / TIFF.RowsPerStrip;
        ASSERT_EQ(TIFF.Strips.size(), StripsPerPlane * Planes);
        const bool Associated = !TIFF.ExtraSamples.empty() && TIFF.ExtraSamples[0] == 1;

        // Decoded samples of the whole picture, sample-interleaved, reduced to 8 bits.
        std::vector<uint8_t> Samples(size_t(TIFF.Width) * TIFF.Height * TIFF.SamplesPerPixel);
        for (uint32_t Plane = 0; Plane < Planes; ++Plane)
            for (size_t Strip = 0; Strip < StripsPerPlane; ++Strip) {
                const size_t FirstRow = Strip * TIFF.RowsPerStrip;
                const size_t Rows = std::min<size_t>(TIFF.RowsPerStrip, TIFF.Height - FirstRow);
                const Bytes& Data = TIFF.Strips[Plane * StripsPerPlane + Strip];
                Bytes Out = DecodeTIFF(Data, Rows * RowBytes);
                for (size_t Y = 0; Y < Rows; ++Y) {
                    Bytes Row(Out.begin() + static_cast<ptrdiff_t>(Y * RowBytes),
                              Out.begin() + static_cast<ptrdiff_t>((Y + 1) * RowBytes));
                    if (TIFF.Predictor == 2)
                        UndoHorizontalDifference(Row, static_cast<uint8_t>(RowSamples),
                                                 static_cast<uint8_t>(TIFF.BitsPerSample), TIFF.BigEndian);
                    for (size_t X = 0; X < TIFF.Width; ++X)
                        for (uint32_t C = 0; C < RowSamples; ++C)
                            Samples[((FirstRow + Y) * TIFF.Width + X) * TIFF.SamplesPerPixel + Plane + C] =
                                Sample8(Row, X * RowSamples + C, TIFF.BitsPerSample, TIFF.BigEndian);
                }
            }

        size_t Mismatches = 0;
        for (size_t Pixel = 0; Pixel < size_t(TIFF.Width) * TIFF.Height; ++Pixel) {
            const uint8_t* S = &Samples[Pixel * TIFF.SamplesPerPixel];
            const uint8_t* Want = &Reference.RGBA[Pixel * 4];
            uint8_t Got[4] = {0, 0, 0, 255};
            switch (TIFF.Photometric) {
            case 0: Got[0] = Got[1] = Got[2] = static_cast<uint8_t>(255 - S[0]); break;
            case 1: Got[0] = Got[1] = Got[2] = S[0]; break;
            case 3: {
                const size_t Entries = TIFF.ColorMap.size() / 3;
                for (int C = 0; C < 3; ++C) Got[C] = static_cast<uint8_t>(TIFF.ColorMap[C * Entries + S[0] * (Entries - 1) / 255] >> 8);
                break;
            }
            default: std::copy(S, S + std::min<uint32_t>(TIFF.SamplesPerPixel, 4), Got);
            }
            if (TIFF.SamplesPerPixel == 2 && TIFF.Photometric < 2) Got[3] = S[1];
            // Premultiplied colour is compared where the reference did not have to divide it out.
            const int Colours = (Associated && Got[3] != 255) ? 0 : 3;
            bool Same = Got[3] == Want[3];
            for (int C = 0; C < Colours; ++C) Same = Same && Got[C] == Want[C];
            if (!Same && Mismatches++ < 3)
                ADD_FAILURE() << "pixel " << Pixel << ": " << int(Got[0]) << "," << int(Got[1]) << "," << int(Got[2])
                              << "," << int(Got[3]) << " != " << int(Want[0]) << "," << int(Want[1]) << ","
                              << int(Want[2]) << "," << int(Want[3]);
        }
        EXPECT_EQ(Mismatches, 0u);
        ++Covered;
    }
    EXPECT_GE(Covered, 11u) << "the corpus's LZW strips";
}

namespace {

/// The first image of a GIF file, read apart from the reader under test.
struct TGIFFrame {
    uint32_t ScreenWidth = 0, ScreenHeight = 0, Left = 0, Top = 0, Width = 0, Height = 0;
    bool Interlaced = false;
    int Transparent = -1;
    uint8_t CodeSize = 0;
    Bytes Palette; ///< red, green, blue
    Bytes Data;    ///< the LZW data, sub-blocks joined
};

TGIFFrame ReadFirstGIFFrame(const Bytes& File) {
    size_t At = 0;
    auto Need = [&](size_t Count) {
        if (At + Count > File.size()) throw std::runtime_error("test GIF reader: file too short");
    };
    auto U8 = [&] { Need(1); return File[At++]; };
    auto U16 = [&] { const uint32_t Low = U8(); return Low | (uint32_t(U8()) << 8); };
    auto Table = [&](uint8_t Flags, TGIFFrame& Frame) {
        const size_t Bytes3 = 3u << ((Flags & 7) + 1);
        Need(Bytes3);
        Frame.Palette.assign(File.begin() + static_cast<ptrdiff_t>(At), File.begin() + static_cast<ptrdiff_t>(At + Bytes3));
        At += Bytes3;
    };
    auto SubBlocks = [&](Bytes* Into) {
        for (uint8_t Size = U8(); Size != 0; Size = U8()) {
            Need(Size);
            if (Into) Into->insert(Into->end(), File.begin() + static_cast<ptrdiff_t>(At), File.begin() + static_cast<ptrdiff_t>(At + Size));
            At += Size;
        }
    };
    TGIFFrame Frame;
    At = 6;
    Frame.ScreenWidth = U16();
    Frame.ScreenHeight = U16();
    const uint8_t Flags = U8();
    At += 2;
    if (Flags & 0x80) Table(Flags, Frame);
    for (;;) {
        const uint8_t Introducer = U8();
        if (Introducer == 0x21) {
            const uint8_t Label = U8();
            if (Label == 0xF9) {
                Bytes Control;
                SubBlocks(&Control);
                if (Control.size() >= 4 && (Control[0] & 1)) Frame.Transparent = Control[3];
            } else {
                SubBlocks(nullptr);
            }
        } else if (Introducer == 0x2C) {
            Frame.Left = U16();
            Frame.Top = U16();
            Frame.Width = U16();
            Frame.Height = U16();
            const uint8_t ImageFlags = U8();
            Frame.Interlaced = (ImageFlags & 0x40) != 0;
            if (ImageFlags & 0x80) Table(ImageFlags, Frame);
            Frame.CodeSize = U8();
            SubBlocks(&Frame.Data);
            return Frame;
        } else {
            throw std::runtime_error("test GIF reader: no image");
        }
    }
}

} // namespace

// The first frame of every corpus GIF, decoded and looked up in its colour table, against the
// reference: the logical screen (the frame at its offset) or the frame itself.
TEST(GIFLZW, CorpusFirstFramesMatchTheirReferences) {
    QV_REQUIRE_CORPUS();
    const std::string Corpus = qvtest::CorpusDir();
    size_t Covered = 0;
    for (const auto& Entry : std::filesystem::directory_iterator(Corpus + "/files/gif")) {
        const std::string Name = Entry.path().filename().string();
        SCOPED_TRACE(Name);
        const TGIFFrame Frame = ReadFirstGIFFrame(qvtest::ReadFileBytes(Entry.path().string()));
        const auto Reference = qvtest::ReadReferencePNG(Corpus + "/ref/gif/" + Name + ".png");
        const bool Screen = Reference.Width == Frame.ScreenWidth && Reference.Height == Frame.ScreenHeight;
        const uint32_t OffsetX = Screen ? Frame.Left : 0, OffsetY = Screen ? Frame.Top : 0;
        ASSERT_LE(Frame.Width + OffsetX, Reference.Width);
        ASSERT_LE(Frame.Height + OffsetY, Reference.Height);
        const Bytes Indices = DecodeGIF(Frame.CodeSize, Frame.Data, size_t(Frame.Width) * Frame.Height);
        // Stored row order of an interlaced frame: every 8th row from 0, from 4, every 4th from 2, every 2nd from 1.
        std::vector<uint32_t> RowOf;
        if (Frame.Interlaced) {
            for (auto [Start, Step] : {std::pair{0u, 8u}, {4u, 8u}, {2u, 4u}, {1u, 2u}})
                for (uint32_t Y = Start; Y < Frame.Height; Y += Step) RowOf.push_back(Y);
        } else {
            for (uint32_t Y = 0; Y < Frame.Height; ++Y) RowOf.push_back(Y);
        }
        size_t Mismatches = 0;
        for (uint32_t Stored = 0; Stored < Frame.Height; ++Stored)
            for (uint32_t X = 0; X < Frame.Width; ++X) {
                const uint8_t Index = Indices[size_t(Stored) * Frame.Width + X];
                if (Index == Frame.Transparent) continue;
                const uint8_t* Want = &Reference.RGBA[(size_t(RowOf[Stored] + OffsetY) * Reference.Width + X + OffsetX) * 4];
                const bool Known = size_t(Index) * 3 + 2 < Frame.Palette.size();
                const bool Same = Known && Want[0] == Frame.Palette[Index * 3] && Want[1] == Frame.Palette[Index * 3 + 1] &&
                                  Want[2] == Frame.Palette[Index * 3 + 2];
                if (!Same && Mismatches++ < 3) ADD_FAILURE() << "pixel " << X << "," << RowOf[Stored] << " index " << int(Index);
            }
        EXPECT_EQ(Mismatches, 0u);
        ++Covered;
    }
    EXPECT_GE(Covered, 10u);
}
