#include <gtest/gtest.h>

#include <zlib.h>

#include <bit>
#include <set>

#include "FormatTestSupport.h"
#include "TestSupport.h"
#include "imaging/formats/PSP.h"
#include "platform/Exceptions.h"

using namespace qv;
using namespace qvtest;
using Bytes = std::vector<uint8_t>;

namespace {

// --- A small Paintshop Pro writer for what the corpus lacks ----------------------------------

struct TPSPChannel {
    uint16_t Type = 0;       // 0 composite or transparency, 1 red, 2 green, 3 blue
    uint16_t BitmapType = 0; // 0 image, 1 transparency mask
    Bytes Data{};            // as stored
    int64_t Compressed = -1; // the stored compressed length; -1 = Data's size
};

struct TPSPLayer {
    uint8_t Type = 1; // raster (major version 3: 0)
    std::vector<TPSPChannel> Channels{};
    std::array<int32_t, 8> Rectangles{}; // the layer's, then the stored part; zero: the whole picture
};

struct TPSPFile {
    uint16_t Major = 5;
    uint32_t Width = 4;
    uint32_t Height = 2;
    uint16_t Compression = 0; // 0 none, 1 run-length, 2 deflate, 3 JPEG
    uint16_t Depth = 8;
    uint8_t Grey = 0;
    uint8_t ResolutionUnit = 1; // 2 = per centimetre
    std::vector<std::array<uint8_t, 3>> Palette{}; // red, green, blue
    std::vector<TPSPLayer> Layers{};
    Bytes Trailing{};
};

void Put16(Bytes& B, uint32_t V) { B.insert(B.end(), {uint8_t(V), uint8_t(V >> 8)}); }
void Put32(Bytes& B, uint64_t V) { B.insert(B.end(), {uint8_t(V), uint8_t(V >> 8), uint8_t(V >> 16), uint8_t(V >> 24)}); }

Bytes Block(uint16_t Major, uint16_t Id, const Bytes& Content, uint32_t InitialLength = 0) {
    Bytes B = {'~', 'B', 'K', 0};
    Put16(B, Id);
    if (Major == 3) Put32(B, InitialLength);
    Put32(B, Content.size());
    B.insert(B.end(), Content.begin(), Content.end());
    return B;
}

Bytes WritePSP(const TPSPFile& F) {
    const bool V3 = F.Major == 3;
    Bytes B(32, 0);
    std::copy_n("Paint Shop Pro Image File\n\x1a", 27, B.begin());
    Put16(B, F.Major);
    Put16(B, 0);
    Bytes Attributes;
    if (!V3) Put32(Attributes, 46);          // chunk length, its own four bytes included
    Put32(Attributes, F.Width);
    Put32(Attributes, F.Height);
    const uint64_t Resolution = std::bit_cast<uint64_t>(double{100});
    Put32(Attributes, Resolution & 0xFFFFFFFF);
    Put32(Attributes, Resolution >> 32);
    Attributes.push_back(F.ResolutionUnit);
    Put16(Attributes, F.Compression);
    Put16(Attributes, F.Depth);
    Put16(Attributes, 1);                    // planes
    Put32(Attributes, 256);                  // colours
    Attributes.push_back(F.Grey);
    Attributes.insert(Attributes.end(), 4 + 4 + 2 + 4, 0); // image size, active layer, layer count, contents
    const Bytes A = Block(F.Major, 0, Attributes, 42);
    B.insert(B.end(), A.begin(), A.end());
    if (!F.Palette.empty()) {
        Bytes Palette;
        if (!V3) Put32(Palette, 8);
        Put32(Palette, F.Palette.size());
        for (const auto& E : F.Palette) Palette.insert(Palette.end(), {E[2], E[1], E[0], 0});
        const Bytes P = Block(F.Major, 2, Palette);
        B.insert(B.end(), P.begin(), P.end());
    }
    Bytes Bank;
    for (const TPSPLayer& L : F.Layers) {
        Bytes Layer;
        if (V3) {
            Layer.resize(256, 0);            // name
        } else {
            Put32(Layer, 4 + 2 + 1 + 115);   // chunk length
            Put16(Layer, 1);                 // name length
            Layer.push_back('L');
        }
        Layer.push_back(L.Type);
        for (int32_t V : L.Rectangles) Put32(Layer, uint32_t(V));
        Layer.insert(Layer.end(), 114 - 32, 0); // the rest of the layer information
        if (!V3) Put32(Layer, 8);            // bitmap information chunk length
        Put16(Layer, 1);                     // bitmap count
        Put16(Layer, static_cast<uint32_t>(L.Channels.size()));
        for (const TPSPChannel& C : L.Channels) {
            Bytes Channel;
            if (!V3) Put32(Channel, 16);
            Put32(Channel, C.Compressed < 0 ? C.Data.size() : uint64_t(C.Compressed));
            Put32(Channel, 0xFFFFFFFF);      // uncompressed length, not trusted
            Put16(Channel, C.BitmapType);
            Put16(Channel, C.Type);
            Channel.insert(Channel.end(), C.Data.begin(), C.Data.end());
            const Bytes CB = Block(F.Major, 5, Channel, 12);
            Layer.insert(Layer.end(), CB.begin(), CB.end());
        }
        const Bytes LB = Block(F.Major, 4, Layer, 375);
        Bank.insert(Bank.end(), LB.begin(), LB.end());
    }
    const Bytes BankBlock = Block(F.Major, 3, Bank);
    B.insert(B.end(), BankBlock.begin(), BankBlock.end());
    B.insert(B.end(), F.Trailing.begin(), F.Trailing.end());
    return B;
}

Bytes Deflate(const Bytes& Data) {
    uLongf Size = compressBound(static_cast<uLong>(Data.size()));
    Bytes Out(Size);
    compress(Out.data(), &Size, Data.data(), static_cast<uLong>(Data.size()));
    Out.resize(Size);
    return Out;
}

/// Literal run-length packets of at most 127 bytes.
Bytes RunLength(const Bytes& Data) {
    Bytes Out;
    for (size_t I = 0; I < Data.size(); I += 127) {
        const size_t N = std::min<size_t>(127, Data.size() - I);
        Out.push_back(static_cast<uint8_t>(N));
        Out.insert(Out.end(), Data.begin() + long(I), Data.begin() + long(I + N));
    }
    return Out;
}

Bytes Ramp(size_t Size, int Step, int Start = 0) {
    Bytes Plane(Size);
    for (size_t I = 0; I < Size; ++I) Plane[I] = static_cast<uint8_t>(Start + int(I) * Step);
    return Plane;
}

TRgbaImage Load(const Bytes& Data) { return LoadAsRgba(ReaderOf<TPSPGraphic>(), Data); }

std::string LoadError(const Bytes& Data) { return LoadMessage(ReaderOf<TPSPGraphic>(), Data, "(loaded)"); }

/// A 4 x 2 true-colour file of three ramps, stored with Compression, and its picture.
TPSPFile Colour(uint16_t Compression) {
    TPSPFile F{.Compression = Compression, .Depth = 24};
    F.Layers.push_back(TPSPLayer{});
    for (uint16_t Type = 1; Type <= 3; ++Type) {
        const Bytes Plane = Ramp(8, 20 * Type, Type);
        F.Layers[0].Channels.push_back(
            {.Type = Type, .Data = Compression == 2 ? Deflate(Plane) : Compression == 1 ? RunLength(Plane) : Plane});
    }
    return F;
}

} // namespace

TEST(PSPCorpus, EveryFileAsItsReferenceShowsIt) {
    QV_REQUIRE_CORPUS();
    // Multi-layer files are only required to load (the table says so): their references merge
    // the layers (and one of them, document.psp, is cropped to 28 of the 32 columns its header states).
    const auto Files = CorpusFiles("psp");
    ASSERT_FALSE(Files.empty());
    for (const std::string& File : Files) {
        const std::string Name = BaseName(File);
        SCOPED_TRACE(Name);
        const Bytes Data = ReadFileBytes(File);
        TRgbaImage Actual;
        ASSERT_NO_THROW(Actual = Load(Data));
        const TCorpusExpectation Expect = ExpectationFor(File, Data);
        if (Expect.Check != TCorpusCheck::Loads) {
            ASSERT_EQ(Expect.Check, TCorpusCheck::Compare);
            EXPECT_TRUE(SameRgba(Actual, ReadPng(ReferenceFor(File)), Expect.Tolerance, Expect.Alpha));
        }
        SweepDamaged(ReaderOf<TPSPGraphic>(), Data, Name, 12, 12);
    }
}

TEST(PSPFixtures, LayersAndChannelsTheCorpusLacks) {
    // Deflate and run-length channels decode to what the stored ones hold.
    const TRgbaImage Stored = Load(WritePSP(Colour(0)));
    EXPECT_EQ(Stored.At(1, 1)[0], 5 * 20 + 1);
    EXPECT_TRUE(SameRgba(Load(WritePSP(Colour(1))), Stored, 0, TAlphaCheck::Compare));
    EXPECT_TRUE(SameRgba(Load(WritePSP(Colour(2))), Stored, 0, TAlphaCheck::Compare));

    // A transparency channel gives the picture its alpha; without one it is opaque.
    TPSPFile Translucent = Colour(0);
    Translucent.Layers[0].Channels.push_back({.Type = 0, .BitmapType = 1, .Data = Ramp(8, 30, 10)});
    const TRgbaImage Alpha = Load(WritePSP(Translucent));
    EXPECT_EQ(Alpha.At(3, 1)[3], 10 + 7 * 30);
    EXPECT_TRUE(SameRgba(Alpha, Stored, 0, TAlphaCheck::Ignore));
    EXPECT_EQ(Stored.At(3, 1)[3], 255);

    // Vector and empty layers are passed over; trailing bytes after the bank are not a block.
    TPSPFile Later = Colour(0);
    Later.Layers.insert(Later.Layers.begin(), {TPSPLayer{.Type = 3, .Channels = {{.Type = 1, .Data = Bytes(8, 9)}}}, TPSPLayer{}});
    Later.Trailing = {0x7E, 1, 2};
    EXPECT_TRUE(SameRgba(Load(WritePSP(Later)), Stored, 0, TAlphaCheck::Compare));
    Later.Layers.resize(1); // only the vector layer: the picture's size, no pixels
    const TRgbaImage Blank = Load(WritePSP(Later));
    EXPECT_EQ(Blank.Width, 4);
    EXPECT_EQ(Blank.At(1, 1)[0], 0);

    // Palette layers: the first composite wins over a later mask of the same type, other
    // channel types and extra channels are passed over, a palette of 300 entries keeps 256.
    TPSPFile Palette{.Width = 4, .Height = 1};
    for (int I = 0; I < 300; ++I) Palette.Palette.push_back({uint8_t(I), uint8_t(255 - I), uint8_t(I * 3)});
    Palette.Layers.push_back(TPSPLayer{.Channels = {{.Type = 9, .Data = Bytes(4, 1)},
                                                    {.Type = 0, .Data = {0, 7, 200, 255}},
                                                    {.Type = 0, .BitmapType = 1, .Data = Bytes(4, 3)},
                                                    {.Type = 2, .Data = Bytes(4, 4)}}});
    const TRgbaImage Indices = Load(WritePSP(Palette));
    for (int X = 0; X < 4; ++X) {
        const int I = std::array{0, 7, 200, 255}[size_t(X)];
        EXPECT_EQ(Indices.At(X, 0)[0], I);
        EXPECT_EQ(Indices.At(X, 0)[2], uint8_t(I * 3));
    }
    Palette.Grey = 1;
    Palette.Palette.clear();
    EXPECT_EQ(Load(WritePSP(Palette)).At(2, 0)[1], 200);

    // A layer stores only its rectangle: 2 x 1 pixels at (1, 1), the rest of the picture empty.
    TPSPFile Part{.Width = 4, .Height = 2, .Grey = 1};
    Part.Layers.push_back(TPSPLayer{.Channels = {{.Type = 0, .Data = {90, 91}}}, .Rectangles = {1, 0, 3, 2, 0, 1, 2, 2}});
    const TRgbaImage Placed = Load(WritePSP(Part));
    const int Expected[2][4] = {{0, 0, 0, 0}, {0, 90, 91, 0}};
    for (int Y = 0; Y < 2; ++Y)
        for (int X = 0; X < 4; ++X) EXPECT_EQ(Placed.At(X, Y)[0], Expected[Y][X]) << X << "," << Y;

    // 4-bit rows of width / 2 + 1 bytes, not padded to 4.
    TPSPFile Nibbles{.Width = 4, .Height = 2, .Depth = 4};
    Nibbles.Layers.push_back(TPSPLayer{.Channels = {{.Type = 0, .Data = {0x12, 0x34, 0, 0x56, 0x78, 0}}}});
    const TRgbaImage Grey4 = Load(WritePSP(Nibbles));
    EXPECT_EQ(Grey4.At(0, 1)[0], 0x55);
    EXPECT_EQ(Grey4.At(3, 1)[0], 0x88);
    Nibbles.Layers[0] = TPSPLayer{.Channels = {{.Type = 0, .Data = {0xA0}}}, .Rectangles = {3, 1, 4, 2, 0, 0, 1, 1}};
    const TRgbaImage Corner = Load(WritePSP(Nibbles));
    EXPECT_EQ(Corner.At(3, 1)[0], 0xAA);
    EXPECT_EQ(Corner.At(2, 1)[0], 0);

    // A stored channel longer than the picture, and resolution per centimetre reported per inch.
    TPSPFile Long = Colour(0);
    Long.ResolutionUnit = 2;
    Long.Layers[0].Channels[0].Data.resize(1000, 1);
    EXPECT_TRUE(SameRgba(Load(WritePSP(Long)), Stored, 0, TAlphaCheck::Compare));
    TPSPGraphic Reader;
    TMemoryStream Stream(WritePSP(Long));
    ASSERT_TRUE(Reader.ReadImageProperties(Stream, 0));
    EXPECT_FLOAT_EQ(Reader.ImageProperties().XResolution, 254.0f);
}

TEST(PSPFixtures, DamagedChannelsRaiseTheirMessage) {
    TPSPFile Corrupt = Colour(2);
    Corrupt.Layers[0].Channels[1].Data.resize(Corrupt.Layers[0].Channels[1].Data.size() - 4);
    TPSPFile Jpeg = Colour(0);
    Jpeg.Compression = 3;
    TPSPFile Huge = Colour(0);
    Huge.Layers[0].Channels[0].Compressed = 0xFFFFFFFF;
    TPSPFile Deep = Colour(0);
    Deep.Depth = 16;
    const struct {
        const char* What;
        TPSPFile File;
        std::string Message;
    } Cases[] = {
        {"cut deflate stream", Corrupt, "LZ77 decompression error."},
        {"JPEG channels", Jpeg, "Cannot load image. Invalid or unexpected PSP image format."},
        {"channel claiming 4 GiB", Huge, "Stream read error"},
        {"16 bits per sample", Deep, "Invalid color format in PSP file."},
    };
    for (const auto& Case : Cases) EXPECT_EQ(LoadError(WritePSP(Case.File)), Case.Message) << Case.What;
}
