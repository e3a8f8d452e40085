// The PNG reader against the shared corpus (PngSuite and others, references
// decoded by libpng), and fixtures built here for what the corpus lacks: the
// faults of chunk sizes, transparency and gamma, damaged deflate data, unknown
// critical chunks and PNG-compressed icon entries.

#include <gtest/gtest.h>
#include <zlib.h>

#include <array>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "FormatTestSupport.h"
#include "TestSupport.h"
#include "imaging/ImageColor.h"
#include "imaging/ImageLib.h"
#include "imaging/formats/PNG.h"
#include "platform/Icon.h"
#include "platform/Streams.h"

using namespace qv;
using namespace qvtest;
using Bytes = std::vector<uint8_t>;

namespace {

// --- A small PNG writer ---------------------------------------------------------------------

void PutU32BE(Bytes& Out, uint32_t V) {
    for (int Shift = 24; Shift >= 0; Shift -= 8) Out.push_back(static_cast<uint8_t>(V >> Shift));
}

/// One chunk: length, type, data and the CRC over type and data (spoilt when asked).
Bytes Chunk(const std::string& Type, const Bytes& Data, bool SpoilCrc = false) {
    Bytes Out;
    PutU32BE(Out, static_cast<uint32_t>(Data.size()));
    Out.insert(Out.end(), Type.begin(), Type.end());
    Out.insert(Out.end(), Data.begin(), Data.end());
    uLong Crc = crc32(0, reinterpret_cast<const Bytef*>(Type.data()), 4);
    if (!Data.empty()) Crc = crc32(Crc, Data.data(), static_cast<uInt>(Data.size()));
    PutU32BE(Out, static_cast<uint32_t>(Crc) ^ (SpoilCrc ? 1u : 0u));
    return Out;
}

Bytes Header(uint32_t Width, uint32_t Height, uint8_t Depth, uint8_t ColorType, uint8_t Interlace = 0,
             uint8_t Compression = 0) {
    Bytes Data;
    PutU32BE(Data, Width);
    PutU32BE(Data, Height);
    Data.insert(Data.end(), {Depth, ColorType, Compression, 0, Interlace});
    return Chunk("IHDR", Data);
}

Bytes Zlib(const Bytes& Raw) {
    uLongf Size = compressBound(static_cast<uLong>(Raw.size()));
    Bytes Out(Size);
    EXPECT_EQ(compress2(Out.data(), &Size, Raw.data(), static_cast<uLong>(Raw.size()), 9), Z_OK);
    Out.resize(Size);
    return Out;
}

/// Signature, then the chunks in order.
Bytes PngFile(const std::vector<Bytes>& Chunks) {
    Bytes Out = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    for (const Bytes& C : Chunks) Out.insert(Out.end(), C.begin(), C.end());
    return Out;
}

Bytes End() { return Chunk("IEND", {}); }

Bytes U16BE(std::initializer_list<uint16_t> Values) {
    Bytes Out;
    for (uint16_t V : Values) Out.insert(Out.end(), {static_cast<uint8_t>(V >> 8), static_cast<uint8_t>(V)});
    return Out;
}

Bytes GammaChunk(uint32_t Value) {
    Bytes Data;
    PutU32BE(Data, Value);
    return Chunk("gAMA", Data);
}

/// Unfiltered rows (filter byte 0) of RowBytes bytes from Byte(row, index).
Bytes Rows(uint32_t Height, size_t RowBytes, const std::function<uint8_t(uint32_t, size_t)>& Byte) {
    Bytes Raw;
    for (uint32_t Y = 0; Y < Height; ++Y) {
        Raw.push_back(0);
        for (size_t I = 0; I < RowBytes; ++I) Raw.push_back(Byte(Y, I));
    }
    return Raw;
}

/// A 4 x 2 grey picture of Depth bits whose pixel I holds the level I mod 2^Depth
/// (at 16 bits I x 257, so that the levels stay apart in the 8-bit picture).
uint16_t GreyLevel(uint8_t Depth, uint32_t I) {
    return static_cast<uint16_t>(Depth == 16 ? I * 257 : I % (1u << Depth));
}

Bytes GreyLevels(uint8_t Depth, const std::vector<Bytes>& Extra) {
    const size_t RowBytes = (4 * Depth + 7) / 8;
    Bytes Raw;
    for (uint32_t Y = 0; Y < 2; ++Y) {
        Raw.push_back(0);
        Bytes Row(RowBytes, 0);
        for (uint32_t X = 0; X < 4; ++X) {
            const uint32_t Level = GreyLevel(Depth, Y * 4 + X), Bit = X * Depth;
            if (Depth == 16) {
                Row[X * 2] = static_cast<uint8_t>(Level >> 8);
                Row[X * 2 + 1] = static_cast<uint8_t>(Level);
            } else {
                Row[Bit / 8] = static_cast<uint8_t>(Row[Bit / 8] | Level << (8 - Depth - Bit % 8));
            }
        }
        Raw.insert(Raw.end(), Row.begin(), Row.end());
    }
    std::vector<Bytes> Chunks = {Header(4, 2, Depth, 0)};
    Chunks.insert(Chunks.end(), Extra.begin(), Extra.end());
    Chunks.push_back(Chunk("IDAT", Zlib(Raw)));
    Chunks.push_back(End());
    return PngFile(Chunks);
}

/// An 8-bit RGB picture, Width x Height, with a colour ramp.
Bytes RgbRaw(uint32_t Width, uint32_t Height) {
    return Rows(Height, size_t{Width} * 3, [](uint32_t Y, size_t I) { return static_cast<uint8_t>(Y * 40 + I * 7); });
}

Bytes RgbFile(uint32_t Width, uint32_t Height, const std::vector<Bytes>& BeforeData, const Bytes& Data) {
    std::vector<Bytes> Chunks = {Header(Width, Height, 8, 2)};
    Chunks.insert(Chunks.end(), BeforeData.begin(), BeforeData.end());
    Chunks.push_back(Chunk("IDAT", Data));
    Chunks.push_back(End());
    return PngFile(Chunks);
}

std::string LoadError(const Bytes& Data) { return LoadMessage(ReaderOf<TPNGGraphic>(), Data, "(loaded)"); }

const std::string InvalidImage = "Cannot load image. Invalid or unexpected PNG image format.";
const std::string InvalidColor = "Invalid color format in PNG file.";
const std::string CrcError = "Cannot load image. CRC error found in PNG file.";
const std::string CompressionError = "Cannot load image. Compression error found in PNG file.";
const std::string ExtraData = "Cannot load image. Extra compressed data found in PNG file.";
const std::string InvalidPalette = "Cannot load image. Palette in PNG file is invalid.";
const std::string CriticalChunk = "Cannot load PNG image. Unexpected but critical chunk detected.";

// --- What the corpus test needs to know of a file, read apart from the reader ---------------

struct TFacts {
    uint8_t Depth = 0;
    uint8_t ColorType = 0;
    float Gamma = 0;       // of a gAMA chunk that precedes what it corrects; 0 without one
    bool GreyOrRgbKey = false;
};

TFacts ScanChunks(const Bytes& File) {
    TFacts Facts;
    bool SeenPalette = false;
    for (size_t At = 8; At + 8 <= File.size();) {
        const uint32_t Length = uint32_t{File[At]} << 24 | uint32_t{File[At + 1]} << 16 | uint32_t{File[At + 2]} << 8 | File[At + 3];
        std::string Type(File.begin() + static_cast<ptrdiff_t>(At + 4), File.begin() + static_cast<ptrdiff_t>(At + 8));
        for (char& C : Type) C = static_cast<char>(C & ~0x20);
        const uint8_t* Data = File.data() + At + 8;
        if (Type == "IHDR") {
            Facts.Depth = Data[8];
            Facts.ColorType = Data[9];
        } else if (Type == "PLTE") {
            SeenPalette = true;
        } else if (Type == "GAMA" && Length == 4 && !(SeenPalette && Facts.ColorType == 3)) {
            Facts.Gamma = static_cast<float>(uint32_t{Data[0]} << 24 | uint32_t{Data[1]} << 16 | uint32_t{Data[2]} << 8 | Data[3]) / 100000.0f;
        } else if (Type == "TRNS") {
            Facts.GreyOrRgbKey = Facts.ColorType == 0 || Facts.ColorType == 2;
        } else if (Type == "IDAT") {
            break;
        }
        At += size_t{Length} + 12;
    }
    return Facts;
}

/// Compares with the reference after the reader's own rules: colour through the
/// gamma table, 16-bit samples reduced as v * 255 div 65535 where the reference
/// took the high byte (so one level lower is also right), alpha where it is kept.
::testing::AssertionResult MatchesReference(const TRgbaImage& Actual, const TRgbaImage& Reference,
                                            const TFacts& Facts) {
    if (Actual.Width != Reference.Width || Actual.Height != Reference.Height)
        return ::testing::AssertionFailure() << "size " << Actual.Width << "x" << Actual.Height;
    TColorManager Gamma;
    Gamma.SetGammaCorrection(Facts.Gamma > 0 ? Facts.Gamma : 1.0f, 2.2f);
    auto Corrected = [&](int V) { return Facts.Gamma > 0 ? int(Gamma.GammaTable()[size_t(V)]) : V; };
    const bool Sixteen = Facts.Depth == 16;
    const bool CompareAlpha = Facts.ColorType == 6 || Facts.GreyOrRgbKey;
    // The transparent colour keys by the picture's colour: where gamma brings a
    // neighbouring level to the key's colour, that level turns transparent too.
    const uint8_t* KeyColour = nullptr;
    for (int I = 0; Facts.GreyOrRgbKey && I < Actual.Width * Actual.Height && !KeyColour; ++I)
        if (Reference.At(I % Actual.Width, I / Actual.Width)[3] == 0) KeyColour = Actual.At(I % Actual.Width, I / Actual.Width);
    auto KeyedAlike = [&](const uint8_t* A) { return KeyColour && std::memcmp(A, KeyColour, 3) == 0 && A[3] == 0; };
    for (int Y = 0; Y < Actual.Height; ++Y)
        for (int X = 0; X < Actual.Width; ++X) {
            const uint8_t* A = Actual.At(X, Y);
            const uint8_t* R = Reference.At(X, Y);
            for (int C = 0; C < (CompareAlpha ? 4 : 3); ++C) {
                const int Ref = R[C];
                auto Expected = [&](int V) { return C == 3 ? V : Corrected(V); };
                if (A[C] == Expected(Ref) || (Sixteen && Ref > 0 && A[C] == Expected(Ref - 1))) continue;
                if (C == 3 && Facts.GreyOrRgbKey && KeyedAlike(A)) continue;
                return ::testing::AssertionFailure()
                       << "pixel (" << X << "," << Y << ") sample " << C << ": rgba " << int(A[0]) << ","
                       << int(A[1]) << "," << int(A[2]) << "," << int(A[3]) << ", reference " << int(R[0]) << ","
                       << int(R[1]) << "," << int(R[2]) << "," << int(R[3]) << " (expected " << Expected(Ref) << ")";
            }
        }
    return ::testing::AssertionSuccess();
}

} // namespace

TEST(PngCorpus, EveryFileMatchesItsReference) {
    QV_REQUIRE_CORPUS();
    const auto Files = CorpusFiles("png");
    ASSERT_FALSE(Files.empty());
    int Compared = 0, Refused = 0;
    for (const std::string& File : Files) {
        const std::string Name = BaseName(File);
        SCOPED_TRACE(Name);
        const Bytes Data = ReadFileBytes(File);
        // The invalid files of the suite (named x...) and the message each must raise are in the shared table.
        const TCorpusExpectation Expect = ExpectationFor(File, Data);
        if (Name[0] == 'x') {
            ASSERT_EQ(Expect.Check, TCorpusCheck::Fails) << "an invalid file without an expected message";
            EXPECT_EQ(LoadError(Data), Expect.Message);
            ++Refused;
            continue;
        }
        ASSERT_NE(Expect.Check, TCorpusCheck::Fails);
        const std::string Ref = ReferenceFor(File);
        ASSERT_FALSE(Ref.empty()) << "no reference";
        EXPECT_TRUE(MatchesReference(LoadAsRgba(ReaderOf<TPNGGraphic>(), Data), ReadPng(Ref), ScanChunks(Data)));
        ++Compared;
    }
    EXPECT_EQ(Refused, 5);
    EXPECT_GT(Compared, 60);
}

TEST(PngCorpus, DamagedFilesFailCleanly) {
    QV_REQUIRE_CORPUS();
    for (const std::string& File : CorpusFiles("png")) SweepDamaged(ReaderOf<TPNGGraphic>(), ReadFileBytes(File), BaseName(File));
}

TEST(PngReader, FiltersAndPassesAtEveryPixelSizeMatchLibpng) {
    // Random bytes under random filter types are valid image data: libpng's decode is the reference.
    struct TLayout {
        uint8_t ColorType, Depth, Channels;
    };
    const TLayout Layouts[] = {{0, 1, 1}, {3, 4, 1}, {0, 8, 1}, {4, 8, 2}, {2, 8, 3}, {6, 8, 4},
                               {0, 16, 1}, {4, 16, 2}, {2, 16, 3}, {6, 16, 4}};
    const uint32_t Width = 29, Height = 19;
    std::mt19937 Random(5);
    for (const TLayout& L : Layouts)
        for (uint8_t Interlace : {0, 1}) {
            SCOPED_TRACE(testing::Message() << "colour type " << int(L.ColorType) << ", depth " << int(L.Depth)
                                            << (Interlace ? ", interlaced" : ""));
            auto RowBytes = [&](uint32_t Pixels) { return (size_t{Pixels} * L.Depth * L.Channels + 7) / 8; };
            Bytes Raw;
            auto AddRows = [&](uint32_t Columns, uint32_t Rows) {
                for (uint32_t Y = 0; Columns > 0 && Y < Rows; ++Y) {
                    Raw.push_back(static_cast<uint8_t>(Random() % 5));
                    for (size_t I = 0; I < RowBytes(Columns); ++I) Raw.push_back(static_cast<uint8_t>(Random()));
                }
            };
            if (Interlace) {
                const uint32_t Start[7][2] = {{0, 0}, {4, 0}, {0, 4}, {2, 0}, {0, 2}, {1, 0}, {0, 1}};
                const uint32_t Step[7][2] = {{8, 8}, {8, 8}, {4, 8}, {4, 4}, {2, 4}, {2, 2}, {1, 2}};
                for (int P = 0; P < 7; ++P)
                    AddRows((Width + Step[P][0] - Start[P][0] - 1) / Step[P][0],
                            (Height + Step[P][1] - Start[P][1] - 1) / Step[P][1]);
            } else {
                AddRows(Width, Height);
            }
            std::vector<Bytes> Chunks = {Header(Width, Height, L.Depth, L.ColorType, Interlace)};
            if (L.ColorType == 3) {
                Bytes Palette(16 * 3);
                for (uint8_t& B : Palette) B = static_cast<uint8_t>(Random());
                Chunks.push_back(Chunk("PLTE", Palette));
            }
            Chunks.push_back(Chunk("IDAT", Zlib(Raw)));
            Chunks.push_back(End());
            const Bytes File = PngFile(Chunks);
            EXPECT_TRUE(MatchesReference(LoadAsRgba(ReaderOf<TPNGGraphic>(), File), DecodePng(File),
                                         TFacts{L.Depth, L.ColorType, 0, false}));
        }
}

TEST(PngReader, ChunkSizesAreCheckedBeforeUse) {
    const Bytes Image = Zlib(RgbRaw(3, 2));
    const TRgbaImage Plain = LoadAsRgba(ReaderOf<TPNGGraphic>(), RgbFile(3, 2, {}, Image));

    // A length far beyond the file fails as a read error, without allocating first.
    Bytes Huge = RgbFile(3, 2, {Chunk("tEXt", {'a'})}, Image);
    Huge[33] = 0xFF, Huge[34] = 0xFF, Huge[35] = 0xFF, Huge[36] = 0xF0; // the tEXt length
    EXPECT_EQ(LoadError(Huge), "Stream read error");
    Bytes HugeData = RgbFile(3, 2, {}, Image);
    HugeData[33] = 0xFF, HugeData[34] = 0xFF, HugeData[35] = 0xFF, HugeData[36] = 0xF0; // the IDAT length
    EXPECT_EQ(LoadError(HugeData), "Stream read error");

    // A header chunk of any length but 13 is not a PNG header.
    for (size_t Length : {12u, 14u}) {
        Bytes Data = {0, 0, 0, 3, 0, 0, 0, 2, 8, 2, 0, 0, 0, 0};
        Data.resize(Length);
        EXPECT_EQ(LoadError(PngFile({Chunk("IHDR", Data), Chunk("IDAT", Image), End()})), InvalidImage) << Length;
    }

    // gAMA, bKGD and tRNS of a length that does not fit are ignored, but their CRC still counts.
    const Bytes Odd = RgbFile(3, 2, {Chunk("gAMA", {1, 2}), Chunk("bKGD", {1}), Chunk("tRNS", {0, 0})}, Image);
    EXPECT_TRUE(SameRgba(LoadAsRgba(ReaderOf<TPNGGraphic>(), Odd), Plain, 0, TAlphaCheck::Compare));
    EXPECT_EQ(LoadError(RgbFile(3, 2, {Chunk("gAMA", {1, 2}, true)}, Image)), CrcError);
    EXPECT_EQ(LoadError(RgbFile(3, 2, {Chunk("tRNS", {0, 0}, true)}, Image)), CrcError);

    // Sizes beyond the bitmap limits fail there, before any row buffer exists; a
    // size within them whose data cannot be in the file fails as a read error.
    EXPECT_NE(LoadError(PngFile({Header(100000, 100000, 8, 2), Chunk("IDAT", Image), End()})).find("exceeds the limit"),
              std::string::npos);
    EXPECT_EQ(LoadError(PngFile({Header(16000, 16000, 8, 6), Chunk("IDAT", Image), End()})), "Stream read error");
}

TEST(PngReader, TransparentColourIsTheOnePixelsHold) {
    // Grey keys at every depth, the 8-bit one also under gamma: exactly the pixels of that level turn transparent.
    struct TCase {
        uint8_t Depth;
        uint32_t Pixel; // the pixel whose level is the key
        std::vector<Bytes> Extra;
    };
    const std::vector<TCase> Cases = {
        {1, 1, {}}, {2, 2, {}}, {4, 3, {}}, {8, 5, {}}, {8, 5, {GammaChunk(100000)}}, {16, 6, {}},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(testing::Message() << "depth " << int(Case.Depth) << (Case.Extra.empty() ? "" : " gamma"));
        std::vector<Bytes> Extra = Case.Extra;
        const uint16_t Key = GreyLevel(Case.Depth, Case.Pixel);
        Extra.push_back(Chunk("tRNS", U16BE({Key})));
        const TRgbaImage Image = LoadAsRgba(ReaderOf<TPNGGraphic>(), GreyLevels(Case.Depth, Extra));
        for (uint32_t I = 0; I < 8; ++I)
            EXPECT_EQ(Image.At(int(I % 4), int(I / 4))[3], GreyLevel(Case.Depth, I) == Key ? 0 : 255) << "pixel " << I;
    }

    // An RGB key under gamma names the colour before correction.
    const Bytes Raw = RgbRaw(3, 2);
    const Bytes File = RgbFile(3, 2, {GammaChunk(25000), Chunk("tRNS", U16BE({Raw[4], Raw[5], Raw[6]}))}, Zlib(Raw));
    const TRgbaImage Image = LoadAsRgba(ReaderOf<TPNGGraphic>(), File);
    for (int I = 0; I < 6; ++I) EXPECT_EQ(Image.At(I % 3, I / 3)[3], I == 1 ? 0 : 255) << "pixel " << I;
}

TEST(PngReader, GammaBelongsToOneLoadAndFollowsTheChunkOrder) {
    const Bytes Raw = RgbRaw(3, 2);
    const Bytes Plain = RgbFile(3, 2, {}, Zlib(Raw));
    const Bytes Corrected = RgbFile(3, 2, {GammaChunk(25000)}, Zlib(Raw));
    TPNGGraphic Reader;
    LoadInto(Reader, Corrected);
    const TRgbaImage First = BitmapToRgba(Reader);
    LoadInto(Reader, Plain);
    const TRgbaImage Second = BitmapToRgba(Reader);
    EXPECT_FALSE(SameRgba(First, Second, 0, TAlphaCheck::Ignore)) << "the gamma file was not corrected";
    EXPECT_TRUE(SameRgba(Second, LoadAsRgba(ReaderOf<TPNGGraphic>(), Plain), 0, TAlphaCheck::Compare))
        << "the plain file kept the gamma of the file before";
    EXPECT_EQ(First.At(0, 0)[0], 0);
    EXPECT_LT(First.At(1, 0)[0], Second.At(1, 0)[0]); // a file gamma of 0.25 darkens

    // A palette is corrected by a gAMA chunk before it, not by one after it.
    const Bytes Palette = {10, 100, 200, 50, 150, 250};
    const Bytes Index = Zlib(Rows(1, 2, [](uint32_t, size_t I) { return static_cast<uint8_t>(I); }));
    auto IndexedFile = [&](bool GammaFirst) {
        std::vector<Bytes> Chunks = {Header(2, 1, 8, 3)};
        if (GammaFirst) Chunks.push_back(GammaChunk(25000));
        Chunks.push_back(Chunk("PLTE", Palette));
        if (!GammaFirst) Chunks.push_back(GammaChunk(25000));
        Chunks.push_back(Chunk("IDAT", Index));
        Chunks.push_back(End());
        return PngFile(Chunks);
    };
    const TRgbaImage After = LoadAsRgba(ReaderOf<TPNGGraphic>(), IndexedFile(false));
    EXPECT_EQ(std::vector<uint8_t>(After.At(1, 0), After.At(1, 0) + 3), std::vector<uint8_t>({50, 150, 250}));
    TColorManager Table;
    Table.SetGammaCorrection(0.25f, 2.2f);
    const TRgbaImage Before = LoadAsRgba(ReaderOf<TPNGGraphic>(), IndexedFile(true));
    EXPECT_EQ(Before.At(1, 0)[1], Table.GammaTable()[150]);
}

TEST(PngReader, DamagedDataRaisesItsMessage) {
    const Bytes Raw = RgbRaw(3, 2);
    const Bytes Image = Zlib(Raw);

    // Filter types above 4 leave the row as stored.
    Bytes Filtered = Raw;
    Filtered[0] = 5;
    const TRgbaImage Stored = LoadAsRgba(ReaderOf<TPNGGraphic>(), RgbFile(3, 2, {}, Zlib(Filtered)));
    EXPECT_TRUE(SameRgba(Stored, LoadAsRgba(ReaderOf<TPNGGraphic>(), RgbFile(3, 2, {}, Image)), 0, TAlphaCheck::Compare));

    EXPECT_EQ(LoadError(PngFile({Header(3, 2, 8, 2, 0, 1), Chunk("IDAT", Image), End()})),
              "Cannot load image. The compression scheme is not supported for PNG files.");
    Bytes Corrupt = Image;
    Corrupt[2] = 0x07; // the first block: final, of the reserved block type
    EXPECT_EQ(LoadError(RgbFile(3, 2, {}, Corrupt)), CompressionError);
    Bytes Trailing = Image;
    Trailing.insert(Trailing.end(), {1, 2, 3});
    EXPECT_EQ(LoadError(RgbFile(3, 2, {}, Trailing)), ExtraData);
    EXPECT_EQ(LoadError(RgbFile(3, 2, {}, Zlib(Bytes(Raw.begin(), Raw.end() - 4)))), ExtraData);
    EXPECT_EQ(LoadError(RgbFile(3, 2, {Chunk("XYZW", {})}, Image)), CriticalChunk);
    EXPECT_EQ(LoadError(PngFile({Header(3, 2, 8, 2), Chunk("IDAT", Image), Chunk("XYZW", {}), End()})), CriticalChunk);
    // An unknown ancillary chunk is passed over unchecked.
    EXPECT_EQ(LoadError(RgbFile(3, 2, {Chunk("xyZw", {1, 2}, true)}, Image)), "(loaded)");
    // Indexed pixels with no palette to look them up in.
    EXPECT_EQ(LoadError(PngFile({Header(3, 2, 8, 3), Chunk("IDAT", Image), End()})), InvalidPalette);

    // Image data that ends early loads; the missing rows come from the reused row buffers, the same every time.
    const Bytes Tall = Zlib(RgbRaw(3, 6));
    const Bytes Short = RgbFile(3, 6, {}, Bytes(Tall.begin(), Tall.begin() + static_cast<ptrdiff_t>(Tall.size() / 2)));
    const TRgbaImage Once = LoadAsRgba(ReaderOf<TPNGGraphic>(), Short);
    EXPECT_TRUE(SameRgba(Once, LoadAsRgba(ReaderOf<TPNGGraphic>(), Short), 0, TAlphaCheck::Compare));
}

TEST(PngIcon, PngEntryShowsWithItsAlpha) {
    InitializeImageLib();
    // An RGBA entry keeps its alpha; a grey entry's transparent level becomes alpha 0.
    const Bytes Rgba = PngFile({Header(2, 1, 8, 6), Chunk("IDAT", Zlib({0, 10, 20, 30, 40, 50, 60, 70, 128})), End()});
    const Bytes Grey = GreyLevels(8, {Chunk("tRNS", U16BE({2}))});
    for (const Bytes* Entry : {&Rgba, &Grey}) {
        const uint8_t Width = Entry == &Rgba ? 2 : 4, Height = Entry == &Rgba ? 1 : 2;
        Bytes Icon = {0, 0, 1, 0, 1, 0, Width, Height, 0, 0, 1, 0, 32, 0};
        for (uint32_t V : {static_cast<uint32_t>(Entry->size()), 22u})
            for (int Shift = 0; Shift < 32; Shift += 8) Icon.push_back(static_cast<uint8_t>(V >> Shift));
        Icon.insert(Icon.end(), Entry->begin(), Entry->end());
        TMemoryStream Stream(Icon);
        TIcon Loaded;
        Loaded.LoadFromStream(Stream);
        ASSERT_EQ(Loaded.Bitmap().PixelFormat(), pf32bit);
        const TRgbaImage Expected = LoadAsRgba(ReaderOf<TPNGGraphic>(), *Entry);
        EXPECT_TRUE(SameRgba(BitmapToRgba(Loaded.Bitmap()), Expected, 0, TAlphaCheck::Compare));
        EXPECT_EQ(BitmapToRgba(Loaded.Bitmap()).At(1, 0)[3], Entry == &Rgba ? 128 : 255);
    }
}
