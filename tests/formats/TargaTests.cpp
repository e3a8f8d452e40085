#include "imaging/formats/Targa.h"

#include <gtest/gtest.h>
#include <stb/stb_image.h>

#include <algorithm>
#include <memory>

#include "FormatTestSupport.h"
#include "TestSupport.h"
#include "platform/Streams.h"

using namespace qv;
using namespace qvtest;

namespace {

using Bytes = std::vector<uint8_t>;

/// An 18-byte header (all numbers little-endian), followed by Rest.
Bytes TargaFile(uint8_t ColorMapType, uint8_t ImageType, uint16_t MapLength, uint8_t EntrySize, uint16_t Width,
                uint16_t Height, uint8_t Depth, uint8_t Descriptor, const Bytes& Rest) {
    Bytes Out = {0,                              // identification field length
                 ColorMapType,
                 ImageType,
                 0, 0,                           // first colour map entry
                 static_cast<uint8_t>(MapLength), static_cast<uint8_t>(MapLength >> 8),
                 EntrySize,
                 0, 0, 0, 0,                     // x and y origin
                 static_cast<uint8_t>(Width), static_cast<uint8_t>(Width >> 8),
                 static_cast<uint8_t>(Height), static_cast<uint8_t>(Height >> 8),
                 Depth,
                 Descriptor};
    for (const uint8_t Byte : Rest) Out.push_back(Byte);
    return Out;
}

std::unique_ptr<TTargaGraphic> Load(const Bytes& Data) {
    auto Reader = std::make_unique<TTargaGraphic>();
    LoadInto(*Reader, Data);
    return Reader;
}

Bytes Row(const TBitmap& Bitmap, int Y, size_t Count) {
    return Bytes(Bitmap.ScanLine(Y), Bitmap.ScanLine(Y) + Count);
}

template <typename TAction>
std::string MessageOf(TAction&& Action) {
    try {
        Action();
    } catch (const std::exception& E) {
        return E.what();
    }
    return "(nothing raised)";
}

} // namespace

// Every corpus file: exact at 8, 24 and 32 bits, 15/16-bit through the picture's 5-bit
// widening; grey + alpha files show their grey, the alpha dropped.
TEST(TargaCorpus, EveryFileMatchesItsReference) {
    QV_REQUIRE_CORPUS();
    const auto Files = CorpusFiles("tga");
    ASSERT_GE(Files.size(), 29u);
    for (const std::string& File : Files) {
        SCOPED_TRACE(BaseName(File));
        const Bytes Data = ReadFileBytes(File);
        const TRgbaImage Actual = LoadAsRgba(ReaderOf<TTargaGraphic>(), Data);
        const TCorpusExpectation Expect = ExpectationFor(File, Data);
        ASSERT_EQ(Expect.Check, TCorpusCheck::Compare);
        EXPECT_TRUE(SameRgba(Actual, AdjustedReference("tga", Data, ReadPng(ReferenceFor(File))), Expect.Tolerance,
                             Expect.Alpha));
        SweepDamaged(ReaderOf<TTargaGraphic>(), Data, BaseName(File));
    }
}

TEST(TargaReader, RunsCrossRowEnds) {
    // 3 x 3, 24 bits, top row first: a run of 5 crosses into row 1, a raw packet of 3
    // into row 2, and a run of 2 ends the picture.
    const Bytes Packets = {0x84, 1, 2, 3, 0x02, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0x81, 13, 14, 15, 0x80, 16, 17, 18};
    const auto Reader = Load(TargaFile(0, 10, 0, 24, 3, 3, 24, 0x20, Packets));
    ASSERT_EQ(Reader->PixelFormat(), pf24bit);
    EXPECT_EQ(Row(*Reader, 0, 9), (Bytes{1, 2, 3, 1, 2, 3, 1, 2, 3}));
    EXPECT_EQ(Row(*Reader, 1, 9), (Bytes{1, 2, 3, 1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(Row(*Reader, 2, 9), (Bytes{7, 8, 9, 10, 11, 12, 13, 14, 15}));

    // One packet of 128 covering several narrow rows, bottom row first, 15 bits.
    Bytes Long = {0xFF, 0x1F, 0x00};
    const auto Narrow = Load(TargaFile(0, 10, 0, 24, 2, 64, 15, 0, Long));
    ASSERT_EQ(Narrow->PixelFormat(), pf15bit);
    for (int Y = 0; Y < 64; ++Y) EXPECT_EQ(Row(*Narrow, Y, 4), (Bytes{0x1F, 0, 0x1F, 0})) << Y;

    // Data that ends inside a row leaves the rest of the picture black.
    const auto Short = Load(TargaFile(0, 11, 0, 24, 4, 2, 8, 0x20, {0x82, 9, 0x00}));
    EXPECT_EQ(Row(*Short, 0, 4), (Bytes{9, 9, 9, 0}));
    EXPECT_EQ(Row(*Short, 1, 4), (Bytes{0, 0, 0, 0}));
}

TEST(TargaReader, GreyFiles) {
    // A colour map in a grey file is passed over; the picture gets a grey ramp.
    const Bytes Map = {1, 2, 3, 4, 5, 6};
    Bytes Pixels = Map;
    Pixels.insert(Pixels.end(), {10, 20, 30});
    const auto Mapped = Load(TargaFile(1, 3, 2, 24, 3, 1, 8, 0, Pixels));
    EXPECT_EQ(Row(*Mapped, 0, 3), (Bytes{10, 20, 30}));
    ASSERT_EQ(Mapped->Palette().size(), 256u);
    EXPECT_EQ(Mapped->Palette()[128], (TRGBQuad{128, 128, 128, 0}));

    // 16-bit grey is grey + alpha: the grey byte shows, the alpha is dropped.
    const auto GreyAlpha = Load(TargaFile(0, 3, 0, 24, 3, 1, 16, 0, {10, 255, 20, 0, 30, 128}));
    EXPECT_EQ(GreyAlpha->PixelFormat(), pf8bit);
    EXPECT_EQ(Row(*GreyAlpha, 0, 3), (Bytes{10, 20, 30}));
}

TEST(TargaReader, HeadersAndBadSizes) {
    // Shorter than the header: the stream's read error.
    EXPECT_EQ(MessageOf([] { Load(Bytes{0, 0, 2, 0, 0, 0, 0, 24, 0, 0}); }), "Stream read error");

    // Image type 0: the header's size, no pixel data.
    const auto NoData = Load(TargaFile(0, 0, 0, 24, 5, 4, 24, 0, {}));
    EXPECT_EQ(NoData->Width(), 5);
    EXPECT_EQ(NoData->Height(), 4);
    EXPECT_EQ(Row(*NoData, 3, 15), Bytes(15, 0));

    // An 8-bit colour-mapped file without a map has the platform's default palette, also
    // after a grey file in the same object.
    TTargaGraphic Reused;
    LoadInto(Reused, TargaFile(0, 3, 0, 24, 1, 1, 8, 0, {7}));
    LoadInto(Reused, TargaFile(0, 1, 0, 24, 1, 1, 8, 0, {3}));
    ASSERT_EQ(Reused.Palette().size(), 256u);
    EXPECT_EQ(Reused.PixelBGRA(0, 0), 0xFF0000FFu);

    // A header promising far more than the 40 bytes that follow fails before allocating.
    for (const uint8_t Type : {2, 10})
        for (const uint16_t Side : {65535, 12000}) {
            SCOPED_TRACE(Side);
            EXPECT_THROW(Load(TargaFile(0, Type, 0, 24, Side, Side, 32, 0, Bytes(40, 0x81))), Exception);
        }

    // The can-load test wants a known colour map entry size, also without a colour map.
    const Bytes Good = TargaFile(0, 2, 0, 24, 1, 1, 24, 0, {1, 2, 3});
    TMemoryStream GoodStream(Good);
    EXPECT_TRUE(TTargaGraphic().CanLoadStream(GoodStream));
    EXPECT_EQ(GoodStream.Position(), 0);
    TMemoryStream NoEntrySize(TargaFile(0, 2, 0, 0, 1, 1, 24, 0, {1, 2, 3}));
    EXPECT_FALSE(TTargaGraphic().CanLoadStream(NoEntrySize));
    TMemoryStream HeaderOnly(Bytes(Good.begin(), Good.begin() + 18));
    EXPECT_FALSE(TTargaGraphic().CanLoadStream(HeaderOnly));
}

namespace {

/// A picture of Format with runs, long runs and busy stretches, every byte of its rows set.
void FillTestPicture(TBitmap& Bitmap, TPixelFormat Format, int Width, int Height) {
    if (Format == pf1bit) Bitmap.SetPalette({TRGBQuad{0, 0, 0, 0}, TRGBQuad{10, 200, 30, 0}});
    if (Format == pf4bit || Format == pf8bit) {
        // Five entries only: the written map pads the rest with black.
        std::vector<TRGBQuad> Entries;
        for (uint8_t I = 0; I < 5; ++I) Entries.push_back(TRGBQuad{static_cast<uint8_t>(I * 50), 7, static_cast<uint8_t>(255 - I), 0});
        Bitmap.SetPalette(Entries);
    }
    Bitmap.SetPixelFormat(Format);
    Bitmap.SetSize(Width, Height);
    const int Bits = Format == pf1bit ? 1 : Format == pf4bit ? 4 : Format == pf8bit ? 8 : Format == pf24bit ? 24
                     : Format == pf15bit || Format == pf16bit ? 16 : 32;
    const size_t RowBytes = (size_t(Width) * Bits + 7) / 8;
    uint32_t Seed = 12345;
    for (int Y = 0; Y < Height; ++Y) {
        uint8_t* P = Bitmap.ScanLine(Y);
        for (size_t I = 0; I < RowBytes; ++I) {
            Seed = Seed * 1103515245u + 12345u;
            const size_t Pixel = I * 8 / Bits;
            // A long flat stretch, short runs, then noise.
            P[I] = Pixel < size_t(Width) / 2 ? static_cast<uint8_t>(Y * 3 + (Bits >= 8 ? 0 : 0x55))
                   : Pixel < size_t(Width) * 3 / 4 ? static_cast<uint8_t>((Pixel / 3) * 7 + I % (Bits / 8 + 1))
                                                   : static_cast<uint8_t>(Seed >> 24);
        }
        if (Format == pf8bit) P[0] = 200; // beyond the palette: black
    }
}

TRgbaImage FromStb(const Bytes& File) {
    int W = 0, H = 0, N = 0;
    std::unique_ptr<uint8_t, void (*)(void*)> Pixels(
        stbi_load_from_memory(File.data(), static_cast<int>(File.size()), &W, &H, &N, 4), stbi_image_free);
    TRgbaImage Image;
    if (!Pixels) return Image;
    Image.Width = W;
    Image.Height = H;
    Image.Pixels.assign(Pixels.get(), Pixels.get() + size_t(W) * H * 4);
    return Image;
}

} // namespace

// Written files read back the same through our reader and through stb_image, with the
// header exactly as the format wants it.
TEST(TargaWriter, RoundTripEveryPixelFormat) {
    struct TCase {
        TPixelFormat Format;
        uint8_t Depth;
    };
    const TCase Cases[] = {{pf1bit, 8},   {pf4bit, 8},   {pf8bit, 8},  {pf15bit, 16},
                           {pf16bit, 16}, {pf24bit, 24}, {pf32bit, 32}, {pfDevice, 32}};
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(PixelFormatBits(Case.Format));
        const int Width = 300, Height = 5;
        TTargaGraphic Writer;
        TBitmap Source;
        FillTestPicture(Source, Case.Format, Width, Height);
        Writer.Assign(&Source);
        TMemoryStream Stream;
        Writer.SaveToStream(Stream);
        const Bytes File = Stream.Data();

        const bool Mapped = Case.Depth == 8;
        const Bytes Header = {0, Mapped ? uint8_t(1) : uint8_t(0), Mapped ? uint8_t(9) : uint8_t(10), 0, 0, 0, 1, 24,
                              0, 0, 0, 0, Width & 0xFF, Width >> 8, Height, 0, Case.Depth, 0x20};
        ASSERT_GE(File.size(), 18u);
        EXPECT_EQ(Bytes(File.begin(), File.begin() + 18), Header);
        if (Mapped) {
            ASSERT_GE(File.size(), 18u + 768u);
            const auto& Palette = Source.Palette();
            for (size_t I = 0; I < 256; ++I) {
                const TRGBQuad Q = I < Palette.size() ? Palette[I] : TRGBQuad{};
                EXPECT_EQ(Bytes(File.begin() + 18 + 3 * I, File.begin() + 21 + 3 * I),
                          (Bytes{Q.rgbBlue, Q.rgbGreen, Q.rgbRed})) << I;
            }
        }

        // 5-6-5 pictures are stored at 5-5-5; device pictures keep no alpha on screen.
        TBitmap Shown;
        Shown.Assign(&Source);
        if (Case.Format == pf16bit) Shown.SetPixelFormat(pf15bit);
        const TRgbaImage Want = BitmapToRgba(Shown);
        const TAlphaCheck Alpha = Case.Format == pfDevice ? TAlphaCheck::Ignore : TAlphaCheck::Compare;
        EXPECT_TRUE(SameRgba(LoadAsRgba(ReaderOf<TTargaGraphic>(), File), Want, 0, Alpha));
        // stb_image widens 5-bit samples by multiplication, the picture by bit replication.
        EXPECT_TRUE(SameRgba(FromStb(File), Want, Case.Depth == 16 ? 1 : 0, Alpha));
    }
}

TEST(TargaWriter, SizesThatCannotBeWritten) {
    TTargaGraphic Empty;
    Empty.SetPixelFormat(pf24bit);
    TMemoryStream Nothing;
    Empty.SaveToStream(Nothing);
    EXPECT_EQ(Nothing.Size(), 0);

    TTargaGraphic Wide;
    Wide.SetPixelFormat(pf8bit);
    Wide.SetSize(65536, 1);
    TMemoryStream Stream;
    EXPECT_EQ(MessageOf([&] { Wide.SaveToStream(Stream); }),
              "Cannot save image. Targa pictures are at most 65535 \u00d7 65535 pixels.");
    EXPECT_EQ(Stream.Size(), 0);
}
