#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "PictureTestUtil.h"
#include "TestSupport.h"
#include "platform/Graphics.h"

using namespace qv;
using namespace qvtest;

namespace {

// Builds bitmap files field by field.
struct TBmpSpec {
    uint32_t HeaderSize = 40;
    int32_t Width = 0;
    int32_t Height = 0;
    uint16_t BitCount = 8;
    uint32_t Compression = 0;
    uint32_t ColorsUsed = 0;
    std::vector<uint32_t> Masks;     // red, green, blue (, alpha)
    std::vector<TRGBQuad> Palette;
    std::vector<uint8_t> Pixels;     // stored as they go into the file
    int64_t OffBits = -1;            // -1: directly after the palette
};

struct TWriter {
    std::vector<uint8_t> Bytes;
    void U8(uint32_t V) { Bytes.push_back(static_cast<uint8_t>(V)); }
    void U16(uint32_t V) { U8(V), U8(V >> 8); }
    void U32(uint32_t V) { U16(V), U16(V >> 16); }
};

std::vector<uint8_t> MakeBmp(const TBmpSpec& S) {
    TWriter Info;
    Info.U32(S.HeaderSize);
    if (S.HeaderSize == 12) {
        Info.U16(static_cast<uint32_t>(S.Width));  // width
        Info.U16(static_cast<uint32_t>(S.Height)); // height
        Info.U16(1);                               // planes
        Info.U16(S.BitCount);
    } else {
        Info.U32(static_cast<uint32_t>(S.Width));
        Info.U32(static_cast<uint32_t>(S.Height)); // negative: top-down
        Info.U16(1);                               // planes
        Info.U16(S.BitCount);
        Info.U32(S.Compression);
        Info.U32(static_cast<uint32_t>(S.Pixels.size())); // image size
        Info.U32(2835);                                   // pixels per metre, x
        Info.U32(2835);                                   // pixels per metre, y
        Info.U32(S.ColorsUsed);
        Info.U32(0);                                      // important colours
        for (size_t I = 0; I < S.Masks.size() && S.HeaderSize > 40; ++I) Info.U32(S.Masks[I]);
        while (Info.Bytes.size() < S.HeaderSize) Info.U8(0); // colour space, end points, gamma, intent...
        Info.Bytes.resize(S.HeaderSize);                      // the short OS/2 header stops after the bit count
    }
    if (S.HeaderSize == 40)
        for (uint32_t M : S.Masks) Info.U32(M);
    for (const TRGBQuad& Q : S.Palette) {
        Info.U8(Q.rgbBlue), Info.U8(Q.rgbGreen), Info.U8(Q.rgbRed);
        if (S.HeaderSize != 12) Info.U8(0);
    }
    TWriter File;
    const uint32_t OffBits = S.OffBits >= 0 ? static_cast<uint32_t>(S.OffBits) : static_cast<uint32_t>(14 + Info.Bytes.size());
    File.U8('B'), File.U8('M');
    File.U32(static_cast<uint32_t>(OffBits + S.Pixels.size())); // file size
    File.U32(0);                                                 // reserved
    File.U32(OffBits);
    File.Bytes.insert(File.Bytes.end(), Info.Bytes.begin(), Info.Bytes.end());
    File.Bytes.resize(std::max<size_t>(File.Bytes.size(), OffBits), 0);
    File.Bytes.insert(File.Bytes.end(), S.Pixels.begin(), S.Pixels.end());
    return File.Bytes;
}

// Stored rows in file order, each padded to 4 bytes.
std::vector<uint8_t> Rows(const std::vector<std::vector<uint8_t>>& Lines) {
    std::vector<uint8_t> Out;
    for (const auto& L : Lines) {
        Out.insert(Out.end(), L.begin(), L.end());
        Out.resize((Out.size() + 3) & ~size_t{3}, 0);
    }
    return Out;
}

const std::vector<TRGBQuad> FourColours = {{0, 0, 255, 0}, {0, 255, 0, 0}, {255, 0, 0, 0}, {255, 255, 255, 0}};

std::unique_ptr<TBitmap> Load(const std::vector<uint8_t>& Data) {
    auto B = std::make_unique<TBitmap>();
    LoadFromBytes(*B, Data);
    return B;
}

// A 3x2 8-bit picture: top row red, green, blue; bottom row white, red, green.
TBmpSpec EightBitSpec(uint32_t HeaderSize) {
    TBmpSpec S;
    S.HeaderSize = HeaderSize;
    S.Width = 3;
    S.Height = 2;
    S.BitCount = 8;
    // Colours used stays 0 (256 entries) while only four precede the pixels:
    // the pixel offset ends the palette.
    S.Palette = FourColours;
    if (HeaderSize == 12) S.Palette.resize(256);
    S.Pixels = Rows({{3, 0, 1}, {0, 1, 2}}); // bottom row first
    return S;
}

void ExpectEightBitPicture(const TBitmap& B) {
    ASSERT_EQ(B.Width(), 3);
    ASSERT_EQ(B.Height(), 2);
    EXPECT_EQ(B.PixelFormat(), pf8bit);
    EXPECT_EQ(Rgba(B, 0, 0), 0xFF0000FFu);
    EXPECT_EQ(Rgba(B, 1, 0), 0x00FF00FFu);
    EXPECT_EQ(Rgba(B, 2, 0), 0x0000FFFFu);
    EXPECT_EQ(Rgba(B, 0, 1), 0xFFFFFFFFu);
    EXPECT_EQ(Rgba(B, 2, 1), 0x00FF00FFu);
}

} // namespace

TEST(BitmapFile, ReadsEveryHeaderVersion) {
    for (uint32_t Size : {12u, 16u, 40u, 52u, 56u, 64u, 108u, 124u}) {
        SCOPED_TRACE(Size);
        TBmpSpec S = EightBitSpec(Size);
        if (Size == 16) S.Palette.resize(256); // the short OS/2 header has no colour count
        ExpectEightBitPicture(*Load(MakeBmp(S)));
    }
}

TEST(BitmapFile, TopDownRowsAndOffsetsFromTheLoadPosition) {
    TBmpSpec S = EightBitSpec(40);
    S.Height = -2;
    S.Pixels = Rows({{0, 1, 2}, {3, 0, 1}});
    ExpectEightBitPicture(*Load(MakeBmp(S)));

    // A bitmap inside a larger stream: its offsets count from where it starts.
    std::vector<uint8_t> Data(100, 0xEE);
    const auto File = MakeBmp(EightBitSpec(40));
    Data.insert(Data.end(), File.begin(), File.end());
    TBytesStream Stream(Data.data(), static_cast<int64_t>(Data.size()));
    Stream.SetPosition(100);
    TBitmap B;
    B.LoadFromStream(Stream);
    ExpectEightBitPicture(B);
}

TEST(BitmapFile, IndexedDepthsKeepTheirPalette) {
    TBmpSpec S;
    S.Width = 10;
    S.Height = 1;
    S.BitCount = 1;
    S.Palette = {FourColours[0], FourColours[3]};
    S.Pixels = Rows({{0xA0, 0x40}}); // pixels 0 and 2 and 9 set
    auto B = Load(MakeBmp(S));
    EXPECT_EQ(B->PixelFormat(), pf1bit);
    ASSERT_GE(B->Palette().size(), 2u);
    EXPECT_EQ(B->Palette()[1], FourColours[3]);
    EXPECT_EQ(Rgba(*B, 0, 0), 0xFFFFFFFFu);
    EXPECT_EQ(Rgba(*B, 1, 0), 0xFF0000FFu);
    EXPECT_EQ(Rgba(*B, 9, 0), 0xFFFFFFFFu);

    S.BitCount = 4;
    S.Width = 3;
    S.Palette = FourColours;
    S.ColorsUsed = 4;
    S.Pixels = Rows({{0x21, 0x30}});
    B = Load(MakeBmp(S));
    EXPECT_EQ(B->PixelFormat(), pf4bit);
    EXPECT_EQ(Rgba(*B, 0, 0), 0x0000FFFFu);
    EXPECT_EQ(Rgba(*B, 1, 0), 0x00FF00FFu);
    EXPECT_EQ(Rgba(*B, 2, 0), 0xFFFFFFFFu);
}

TEST(BitmapFile, IndicesBeyondThePaletteAreBlack) {
    TBmpSpec S = EightBitSpec(40);
    S.ColorsUsed = 2;
    S.Palette.resize(2);
    S.Pixels = Rows({{200, 255, 1}, {0, 3, 2}});
    auto B = Load(MakeBmp(S));
    EXPECT_EQ(Rgba(*B, 0, 1), 0x000000FFu);
    EXPECT_EQ(Rgba(*B, 1, 1), 0x000000FFu);
    EXPECT_EQ(Rgba(*B, 2, 1), 0x00FF00FFu);
}

TEST(BitmapFile, DirectColourDepths) {
    TBmpSpec S;
    S.Width = 2;
    S.Height = 1;
    S.Palette.clear();

    S.BitCount = 24;
    S.Pixels = Rows({{0x10, 0x20, 0x30, 0x40, 0x50, 0x60}});
    auto B = Load(MakeBmp(S));
    EXPECT_EQ(B->PixelFormat(), pf24bit);
    EXPECT_EQ(Rgba(*B, 1, 0), 0x605040FFu);

    S.BitCount = 16; // 5-5-5 without masks
    S.Pixels = Rows({{0x00, 0x7C, 0x1F, 0x00}});
    B = Load(MakeBmp(S));
    EXPECT_EQ(B->PixelFormat(), pf15bit);
    EXPECT_EQ(Rgba(*B, 0, 0), 0xFF0000FFu);
    EXPECT_EQ(Rgba(*B, 1, 0), 0x0000FFFFu);

    S.Compression = 3; // 5-6-5 bit fields
    S.Masks = {0xF800, 0x07E0, 0x001F};
    S.Pixels = Rows({{0xE0, 0x07, 0x00, 0xF8}});
    B = Load(MakeBmp(S));
    EXPECT_EQ(B->PixelFormat(), pf16bit);
    EXPECT_EQ(Rgba(*B, 0, 0), 0x00FF00FFu);
    EXPECT_EQ(Rgba(*B, 1, 0), 0xFF0000FFu);

    // 32 bits without an alpha mask: the fourth byte is not alpha.
    S.Compression = 0;
    S.Masks.clear();
    S.BitCount = 32;
    S.Pixels = {0x10, 0x20, 0x30, 0x00, 0x40, 0x50, 0x60, 0x7F};
    B = Load(MakeBmp(S));
    EXPECT_EQ(B->PixelFormat(), pf32bit);
    EXPECT_EQ(Rgba(*B, 0, 0), 0x302010FFu);
    EXPECT_EQ(Rgba(*B, 1, 0), 0x605040FFu);
}

TEST(BitmapFile, AlphaOnlyWhereAMaskSaysSo) {
    TBmpSpec S;
    S.Width = 2;
    S.Height = 1;
    S.BitCount = 32;
    S.HeaderSize = 124;
    S.Compression = 3;
    S.Masks = {0xFF0000, 0xFF00, 0xFF, 0xFF000000};
    S.Pixels = {0x10, 0x20, 0x30, 0x00, 0x40, 0x50, 0x60, 0x80};
    auto B = Load(MakeBmp(S));
    EXPECT_EQ(Rgba(*B, 0, 0), 0x30201000u);
    EXPECT_EQ(Rgba(*B, 1, 0), 0x60504080u);

    // BI_ALPHABITFIELDS after a plain info header.
    S.HeaderSize = 40;
    S.Compression = 6;
    B = Load(MakeBmp(S));
    EXPECT_EQ(Rgba(*B, 1, 0), 0x60504080u);

    // An alpha mask over bytes that are all zero: a writer that ignores alpha.
    S.Pixels = {0x10, 0x20, 0x30, 0x00, 0x40, 0x50, 0x60, 0x00};
    B = Load(MakeBmp(S));
    EXPECT_EQ(Rgba(*B, 0, 0), 0x302010FFu);
}

TEST(BitmapFile, UnusualBitFieldsWidenToEightBits) {
    TBmpSpec S;
    S.Width = 1;
    S.Height = 1;
    S.BitCount = 16;
    S.Compression = 6; // 4-4-4-4 with alpha
    S.Masks = {0x0F00, 0x00F0, 0x000F, 0xF000};
    S.Pixels = Rows({{0x8F, 0x7F}}); // a=7 r=15 g=8 b=15
    auto B = Load(MakeBmp(S));
    EXPECT_EQ(B->PixelFormat(), pf32bit);
    EXPECT_EQ(Rgba(*B, 0, 0), 0xFF88FF77u);

    S.BitCount = 32; // 10-10-10 without alpha
    S.Compression = 3;
    S.Masks = {0x3FF00000, 0x000FFC00, 0x000003FF};
    const uint32_t P = (1023u << 20) | (512u << 10) | 4u;
    S.Pixels = {uint8_t(P), uint8_t(P >> 8), uint8_t(P >> 16), uint8_t(P >> 24)};
    B = Load(MakeBmp(S));
    EXPECT_EQ(B->PixelFormat(), pf24bit);
    EXPECT_EQ(Rgba(*B, 0, 0), 0xFF8001FFu);
}

TEST(BitmapFile, Rle8RunsEscapesAndDeltas) {
    TBmpSpec S;
    S.Width = 6;
    S.Height = 4;
    S.Compression = 1;
    S.Palette = FourColours;
    S.Pixels = {
        3, 1,             // bottom row: three of index 1
        0, 3, 2, 3, 2, 0, // absolute run of three, padded to even
        0, 0,             // end of line
        0, 2, 2, 1,       // delta: two right, one up (row 2 from the bottom)
        2, 3,             // two of index 3 at x 2..3
        0, 0,             // end of line
        6, 2,             // top row: six of index 2
        0, 1,             // end of bitmap
    };
    auto B = Load(MakeBmp(S));
    EXPECT_EQ(B->PixelFormat(), pf8bit);
    const int Bottom = 3;
    EXPECT_EQ(Rgba(*B, 0, Bottom), 0x00FF00FFu);
    EXPECT_EQ(Rgba(*B, 3, Bottom), 0x0000FFFFu);
    EXPECT_EQ(Rgba(*B, 4, Bottom), 0xFFFFFFFFu);
    EXPECT_EQ(Rgba(*B, 5, Bottom), 0x0000FFFFu);
    // Row 1 from the bottom was skipped by the delta: index 0 throughout.
    for (int X = 0; X < 6; ++X) EXPECT_EQ(Rgba(*B, X, 2), 0xFF0000FFu) << X;
    EXPECT_EQ(Rgba(*B, 1, 1), 0xFF0000FFu);
    EXPECT_EQ(Rgba(*B, 2, 1), 0xFFFFFFFFu);
    EXPECT_EQ(Rgba(*B, 3, 1), 0xFFFFFFFFu);
    EXPECT_EQ(Rgba(*B, 4, 1), 0xFF0000FFu);
    EXPECT_EQ(Rgba(*B, 5, 0), 0x0000FFFFu);
}

TEST(BitmapFile, Rle4AlternatesNibbles) {
    TBmpSpec S;
    S.Width = 5;
    S.Height = 1;
    S.BitCount = 4;
    S.Compression = 2;
    S.Palette = FourColours;
    S.Pixels = {3, 0x12, 0, 3, 0x30, 0x20, 0, 1}; // 1 2 1, then absolute 3 0 2
    auto B = Load(MakeBmp(S));
    EXPECT_EQ(B->PixelFormat(), pf4bit);
    const uint32_t Expected[5] = {0x00FF00FFu, 0x0000FFFFu, 0x00FF00FFu, 0xFFFFFFFFu, 0xFF0000FFu};
    for (int X = 0; X < 5; ++X) EXPECT_EQ(Rgba(*B, X, 0), Expected[X]) << X;
}

TEST(BitmapFile, HostileRunsStayInsideTheBitmap) {
    TBmpSpec S;
    S.Width = 4;
    S.Height = 2;
    S.Compression = 1;
    S.Palette = FourColours;
    // A run far past the row's end does not wrap into the next row; an
    // absolute run past the end is clipped; deltas beyond the bitmap end it.
    S.Pixels = {255, 1, 0, 0, 0, 200, 0, 8, 0, 2, 255, 255, 9, 9};
    S.Pixels.insert(S.Pixels.begin() + 6, 200, 3);
    auto B = Load(MakeBmp(S));
    for (int X = 0; X < 4; ++X) {
        EXPECT_EQ(Rgba(*B, X, 1), 0x00FF00FFu) << X;
        EXPECT_EQ(Rgba(*B, X, 0), 0xFFFFFFFFu) << X;
    }

    // An RLE stream that stops before reaching the last row is a truncated file.
    S.Pixels = {4, 1};
    EXPECT_THROW(Load(MakeBmp(S)), EReadError);
    // Stopping after the last row's pixels, without end codes, is accepted.
    S.Pixels = {4, 1, 0, 0, 4, 2};
    EXPECT_EQ(Rgba(*Load(MakeBmp(S)), 3, 0), 0x0000FFFFu);
}

TEST(BitmapFile, RefusesImpossibleHeaders) {
    auto ExpectInvalid = [](const TBmpSpec& S) { EXPECT_THROW(Load(MakeBmp(S)), EInvalidGraphic); };
    TBmpSpec S = EightBitSpec(40);
    S.Width = TBitmap::MaxSide + 1;
    ExpectInvalid(S);
    S.Width = 1 << 16;
    S.Height = 1 << 16; // within each side's limit, beyond the pixel limit
    ExpectInvalid(S);
    S = EightBitSpec(40);
    S.Height = INT32_MIN;
    ExpectInvalid(S);
    S = EightBitSpec(99);
    ExpectInvalid(S);
    S = EightBitSpec(40);
    S.BitCount = 7;
    ExpectInvalid(S);
    S.BitCount = 24;
    S.Compression = 1; // RLE8 at 24 bits
    ExpectInvalid(S);
    S.Compression = 3; // bit fields with no masks set
    S.BitCount = 16;
    S.Masks = {0, 0, 0};
    ExpectInvalid(S);

    std::vector<uint8_t> NotABitmap = MakeBmp(EightBitSpec(40));
    NotABitmap[0] = 'X';
    EXPECT_THROW(Load(NotABitmap), EInvalidGraphic);
}

TEST(BitmapFile, TruncatedAndMisplacedData) {
    std::vector<uint8_t> Data = MakeBmp(EightBitSpec(40));
    Data.resize(Data.size() - 5);
    EXPECT_THROW(Load(Data), EReadError);

    // Pixel offset beyond the end of the file.
    Data = MakeBmp(EightBitSpec(40));
    Data[13] = 0x40; // bfOffBits = 1 GB + ...
    EXPECT_THROW(Load(Data), EReadError);

    // A huge picture claimed by a small file is refused before allocation.
    TBmpSpec S = EightBitSpec(40);
    S.Width = 16000;
    S.Height = 16000;
    EXPECT_THROW(Load(MakeBmp(S)), EReadError);

    // A last row without its padding is complete.
    Data = MakeBmp(EightBitSpec(40));
    Data.pop_back();
    ExpectEightBitPicture(*Load(Data));
}

TEST(BitmapFile, SavesAndReloadsEveryPixelFormat) {
    for (TPixelFormat Format : {pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit}) {
        SCOPED_TRACE(PixelFormatBits(Format));
        TBitmap Source;
        Source.SetPixelFormat(Format);
        if (Format <= pf8bit) Source.SetPalette(std::vector<TRGBQuad>{FourColours[0], FourColours[3], FourColours[1], FourColours[2]});
        Source.SetSize(13, 5);
        for (int Y = 0; Y < 5; ++Y) {
            uint8_t* Row = Source.ScanLine(Y);
            for (int I = 0; I < Source.RowBytes(); ++I) Row[I] = static_cast<uint8_t>(Y * 37 + I * 11);
        }
        if (Format == pf32bit)
            for (int Y = 0; Y < 5; ++Y)
                for (int X = 0; X < 13; ++X) Source.ScanLine(Y)[4 * X + 3] = 255;
        TMemoryStream Stream;
        Source.SaveToStream(Stream);
        Stream.SetPosition(0);
        TBitmap Copy;
        Copy.LoadFromStream(Stream);
        EXPECT_EQ(Copy.PixelFormat(), Format);
        ASSERT_EQ(Copy.Width(), 13);
        ASSERT_EQ(Copy.Height(), 5);
        for (int Y = 0; Y < 5; ++Y)
            for (int X = 0; X < 13; ++X) ASSERT_EQ(Copy.PixelBGRA(X, Y), Source.PixelBGRA(X, Y)) << X << "," << Y;
    }
}

TEST(BitmapFile, TruncationSweep) {
    TBmpSpec Rle;
    Rle.Width = 6;
    Rle.Height = 4;
    Rle.Compression = 1;
    Rle.Palette = FourColours;
    Rle.Pixels = {3, 1, 0, 3, 2, 3, 2, 0, 0, 0, 0, 2, 2, 1, 2, 3, 0, 0, 6, 2, 0, 1};
    TBmpSpec Fields;
    Fields.HeaderSize = 124;
    Fields.Width = 5;
    Fields.Height = -3;
    Fields.BitCount = 16;
    Fields.Compression = 3;
    Fields.Masks = {0x0F00, 0x00F0, 0x000F, 0xF000};
    Fields.Pixels.assign(36, 0x5A);
    for (const TBmpSpec& S : {Rle, Fields, EightBitSpec(12)}) {
        TruncationSweep(MakeBmp(S), [](const std::vector<uint8_t>& Cut) {
            auto B = Load(Cut);
            EXPECT_FALSE(B->Empty());
        });
    }
}

TEST(BitmapFileCorpus, MatchesReferences) {
    QV_REQUIRE_CORPUS();
    namespace fs = std::filesystem;
    int Count = 0;
    for (const auto& Entry : fs::directory_iterator(fs::path(CorpusDir()) / "files" / "bmp")) {
        const std::string Name = Entry.path().filename().string();
        SCOPED_TRACE(Name);
        TBitmap B;
        B.LoadFromFile(Entry.path().string());
        const TRgbaImage Reference = ReadPng((fs::path(CorpusDir()) / "ref" / "bmp" / (Name + ".png")).string());
        // 16-bit samples widen by rounding here and by truncation in some references.
        const int Tolerance = B.PixelFormat() == pf15bit || B.PixelFormat() == pf16bit ? 1 : 0;
        // Only 32-bit results carry alpha; the reference of rgb32bf.bmp takes
        // its unused fourth byte for alpha 0.
        const int Difference = MaxChannelDifference(B, Reference, B.PixelFormat() == pf32bit);
        EXPECT_GE(Difference, 0);
        EXPECT_LE(Difference, Tolerance);
        ++Count;
    }
    EXPECT_GT(Count, 0);
}
