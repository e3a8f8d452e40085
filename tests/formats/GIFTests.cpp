#include "imaging/formats/GIF.h"

#include <gtest/gtest.h>

#include <array>
#include <stdexcept>

#include "FormatTestSupport.h"
#include "TestSupport.h"
#include "imaging/ByteReader.h"
#include "imaging/decoders/ImageCompression.h"
#include "platform/Streams.h"

using namespace qv;
using namespace qvtest;

namespace {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& Out, unsigned V) {
    Out.push_back(static_cast<uint8_t>(V));
    Out.push_back(static_cast<uint8_t>(V >> 8));
}

/// LZW data that codes every pixel as its own literal, with a clear code often enough
/// that the code width never grows.
Bytes LiteralLZW(const Bytes& Pixels, unsigned CodeSize) {
    const unsigned Clear = 1u << CodeSize, Width = CodeSize + 1;
    Bytes Out;
    uint32_t Bits = 0, Count = 0;
    auto Emit = [&](unsigned Code) {
        Bits |= Code << Count;
        for (Count += Width; Count >= 8; Count -= 8, Bits >>= 8) Out.push_back(static_cast<uint8_t>(Bits));
    };
    for (size_t I = 0; I < Pixels.size(); ++I) {
        if (I % (Clear - 2) == 0) Emit(Clear);
        Emit(Pixels[I]);
    }
    Emit(Clear + 1);
    if (Count > 0) Out.push_back(static_cast<uint8_t>(Bits));
    return Out;
}

/// Data in sub-blocks of at most 255 bytes, then the terminator.
void PutSubBlocks(Bytes& Out, const Bytes& Data) {
    for (size_t I = 0; I < Data.size(); I += 255) {
        const size_t N = std::min<size_t>(255, Data.size() - I);
        Out.push_back(static_cast<uint8_t>(N));
        Out.insert(Out.end(), Data.begin() + static_cast<ptrdiff_t>(I), Data.begin() + static_cast<ptrdiff_t>(I + N));
    }
    Out.push_back(0);
}

/// Signature, screen descriptor and an optional global table of Colors grey entries.
Bytes GifHead(unsigned Width, unsigned Height, unsigned TableBits, const char* Signature = "GIF89a") {
    Bytes Out(Signature, Signature + 6);
    Put16(Out, Width);
    Put16(Out, Height);
    Out.push_back(TableBits ? static_cast<uint8_t>(0x80 | (TableBits - 1)) : 0); // flags
    Out.push_back(0);                                                            // background
    Out.push_back(0);                                                            // aspect
    for (unsigned I = 0; TableBits && I < (1u << TableBits); ++I)
        Out.insert(Out.end(), {static_cast<uint8_t>(I * 10), static_cast<uint8_t>(I * 10), static_cast<uint8_t>(I * 10)});
    return Out;
}

/// An image descriptor with Flags, a local table of LocalBits (red ramp) if set, then the pixels.
void PutImage(Bytes& Out, unsigned Width, unsigned Height, uint8_t Flags, const Bytes& Pixels,
              unsigned CodeSize = 2, unsigned LocalBits = 0) {
    Out.push_back(0x2C);
    Put16(Out, 3); // left and top: no part in the picture
    Put16(Out, 4);
    Put16(Out, Width);
    Put16(Out, Height);
    Out.push_back(static_cast<uint8_t>(Flags | (LocalBits ? 0x80 | (LocalBits - 1) : 0)));
    for (unsigned I = 0; LocalBits && I < (1u << LocalBits); ++I)
        Out.insert(Out.end(), {static_cast<uint8_t>(200 + I), 0, 0});
    Out.push_back(static_cast<uint8_t>(CodeSize));
    PutSubBlocks(Out, LiteralLZW(Pixels, CodeSize));
}

/// The message of what Action raises.
template <typename TAction>
std::string MessageOf(TAction&& Action) {
    try {
        Action();
    } catch (const std::exception& E) {
        return E.what();
    }
    return "(nothing raised)";
}

std::unique_ptr<TGIFGraphic> Load(const Bytes& Data) {
    auto Reader = std::make_unique<TGIFGraphic>();
    LoadInto(*Reader, Data);
    return Reader;
}

Bytes RowIndices(unsigned Width, unsigned Height) {
    Bytes Pixels;
    for (unsigned Y = 0; Y < Height; ++Y)
        for (unsigned X = 0; X < Width; ++X) Pixels.push_back(static_cast<uint8_t>(Y % 4));
    return Pixels;
}

} // namespace

// Every corpus file, compared with its reference inside the first image's rectangle. The
// reference carries the transparent index as alpha, the picture does not: colour only.
TEST(GIFCorpus, FirstImageMatchesReference) {
    QV_REQUIRE_CORPUS();
    const auto Files = CorpusFiles("gif");
    ASSERT_GE(Files.size(), 16u);
    for (const std::string& File : Files) {
        SCOPED_TRACE(BaseName(File));
        const Bytes Data = ReadFileBytes(File);
        const auto Reader = Load(Data);
        EXPECT_EQ(Reader->PixelFormat(), pf8bit);
        TMemoryStream Stream(Data);
        EXPECT_TRUE(TGIFGraphic().CanLoadStream(Stream));
        // The references show the logical screen: the shared table's adjustment crops the first image.
        const TRgbaImage Reference = AdjustedReference("gif", Data, ReadPng(ReferenceFor(File)));
        const TCorpusExpectation Expect = ExpectationFor(File, Data);
        ASSERT_EQ(Expect.Check, TCorpusCheck::Compare);
        EXPECT_TRUE(SameRgba(BitmapToRgba(*Reader), Reference, Expect.Tolerance, Expect.Alpha));
        SweepDamaged(ReaderOf<TGIFGraphic>(), Data, BaseName(File));
    }
}

TEST(GIFReader, HeaderVariants) {
    // Lower-case signature, an image width of 0 (the screen's), a local table replacing the
    // global one, and extensions of every kind before the image, one holding a ','.
    Bytes File = GifHead(5, 2, 3, "gif87a");
    File.insert(File.end(), {0x21, 0xF9, 4, 1, 0, 0, 2, 0});            // graphic control
    File.insert(File.end(), {0x21, 0xFE, 3, 'a', ',', 'b', 0});         // comment
    File.insert(File.end(), {0x21, 0x01, 2, 9, 9, 1, ',', 0});          // plain text
    File.insert(File.end(), {0x21, 0xFF, 3, 'N', 'E', 'T', 2, 1, 0, 0}); // application
    File.insert(File.end(), {0x21, 0x99, 2, ',', ';', 0});               // unknown label
    PutImage(File, 0, 2, 0, {0, 1, 2, 3, 0, 3, 2, 1, 0, 3}, 2, 2);
    File.push_back(0x3B);
    const auto Reader = Load(File);
    EXPECT_EQ(Reader->ImageProperties().Version, 87u);
    EXPECT_TRUE(Reader->ImageProperties().GIFLocalColorTable);
    EXPECT_EQ(Reader->ImageProperties().BitsPerPixel, 2);
    ASSERT_EQ(Reader->Width(), 5);
    ASSERT_EQ(Reader->Height(), 2);
    EXPECT_EQ(Reader->PixelFormat(), pf8bit);
    ASSERT_EQ(Reader->Palette().size(), 4u);
    EXPECT_EQ(Reader->Palette()[3], (TRGBQuad{0, 0, 203, 0}));
    EXPECT_EQ(Bytes(Reader->ScanLine(1), Reader->ScanLine(1) + 5), (Bytes{3, 2, 1, 0, 3}));

    // Extensions and a trailer without an image: an empty 8-bit picture with the global palette.
    Bytes Empty = GifHead(7, 7, 1);
    Empty.insert(Empty.end(), {0x21, 0xFE, 1, 'x', 0, 0x3B});
    const auto EmptyReader = Load(Empty);
    EXPECT_TRUE(EmptyReader->Empty());
    EXPECT_EQ(EmptyReader->PixelFormat(), pf8bit);
    EXPECT_EQ(EmptyReader->Palette().size(), 2u);

    // Without any colour table the picture has the platform's default palette, not the
    // palette of the file loaded before into the same object.
    Bytes Bare = GifHead(4, 1, 0);
    PutImage(Bare, 4, 1, 0, {0, 1, 2, 3});
    TGIFGraphic Reused;
    LoadInto(Reused, File);
    LoadInto(Reused, Bare);
    ASSERT_EQ(Reused.Palette().size(), 256u);
    EXPECT_EQ(Reused.Palette()[255], (TRGBQuad{255, 255, 255, 0}));
    EXPECT_EQ(Reused.Palette()[3], (TRGBQuad{255, 0, 0, 0}));

    Bytes Wrong = File;
    Wrong[0] = 'J';
    EXPECT_THROW(Load(Wrong), EInvalidGraphic);
    EXPECT_EQ(MessageOf([&] { Load(Wrong); }), "Cannot load image. Invalid or unexpected GIF image format.");
    Bytes Version = File;
    Version[4] = 'x';
    EXPECT_THROW(Load(Version), EConvertError);
    TMemoryStream Short(Bytes(File.begin(), File.begin() + 22));
    EXPECT_FALSE(TGIFGraphic().CanLoadStream(Short));
    TMemoryStream Long(Bytes(File.begin(), File.begin() + 23));
    EXPECT_TRUE(TGIFGraphic().CanLoadStream(Long));
    EXPECT_EQ(Long.Position(), 0);
}

TEST(GIFReader, DamagedData) {
    // A chain that claims more than the file holds decodes what is there; the rest is 0,
    // also in an object that held a picture before.
    Bytes Full = GifHead(4, 8, 2);
    PutImage(Full, 4, 8, 0, Bytes(32, 3));
    Bytes Cut = GifHead(4, 8, 2);
    PutImage(Cut, 4, 8, 0, RowIndices(4, 8));
    const size_t DataStart = Cut.size() - 1 - LiteralLZW(RowIndices(4, 8), 2).size();
    Cut[DataStart - 1] = 255; // the block now claims 255 bytes
    Cut.resize(DataStart + 5); // 13 codes: two rows and a clear code
    TGIFGraphic Reader;
    LoadInto(Reader, Full);
    LoadInto(Reader, Cut);
    ASSERT_EQ(Reader.Width(), 4);
    ASSERT_EQ(Reader.Height(), 8);
    EXPECT_EQ(Bytes(Reader.ScanLine(0), Reader.ScanLine(0) + 4), (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(Bytes(Reader.ScanLine(1), Reader.ScanLine(1) + 4), (Bytes{1, 1, 1, 1}));
    for (int Y = 2; Y < 8; ++Y) EXPECT_EQ(Bytes(Reader.ScanLine(Y), Reader.ScanLine(Y) + 4), Bytes(4, 0)) << Y;

    // Code size 12 leaves no room in the code table: the decoder's error.
    Bytes Wide = GifHead(2, 2, 1);
    PutImage(Wide, 2, 2, 0, {0, 1, 1, 0});
    Wide[Wide.size() - 1 - LiteralLZW({0, 1, 1, 0}, 2).size() - 2] = 12;
    EXPECT_THROW(Load(Wide), EGraphicCompression);

    // A huge image with a few bytes of data fails before the picture is allocated.
    Bytes Huge = GifHead(16000, 16000, 1);
    PutImage(Huge, 16000, 16000, 0, {0, 1});
    EXPECT_THROW(Load(Huge), EReadError);
}
