// The document model and the MQD stream format: reading hand-built files,
// writing and reading back, hostile input, and building a document from a picture.

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "SampleDocument.h"
#include "TestSupport.h"
#include "display/Pix32.h"
#include "document/MQDoc.h"
#include "platform/Exceptions.h"
#include "platform/Streams.h"

using namespace qv;

namespace {

// Builds MQD streams byte by byte, independently of the writer under test.
struct TMQDBuilder {
    std::vector<uint8_t> Bytes;

    TMQDBuilder& U8(uint8_t V) {
        Bytes.push_back(V);
        return *this;
    }
    TMQDBuilder& I32(int32_t V) {
        for (int Shift = 0; Shift < 32; Shift += 8) Bytes.push_back(static_cast<uint8_t>(static_cast<uint32_t>(V) >> Shift));
        return *this;
    }
    TMQDBuilder& Raw(const std::vector<uint8_t>& Data) {
        Bytes.insert(Bytes.end(), Data.begin(), Data.end());
        return *this;
    }
    TMQDBuilder& Text(const std::string& S) {
        // Byte by byte: g++ 12 at -O3 misreads a range insert here as an overflow.
        for (const char C : S) Bytes.push_back(static_cast<uint8_t>(C));
        return *this;
    }
    TMQDBuilder& Header(int32_t Version, int32_t Width, int32_t Height, int32_t Background, int32_t Count) {
        Text("MqD ");        // magic
        I32(Version);        // format version
        I32(Width);          // document width
        I32(Height);         // document height
        I32(Background);     // paper colour
        return I32(Count);   // layer count
    }
    // One layer record; Compressed is the zlib stream (empty for w or h <= 0).
    TMQDBuilder& Layer(const std::string& Name, int32_t W, int32_t H, const std::vector<uint8_t>& Compressed,
                       uint8_t Opacity, int32_t Left, int32_t Top, uint8_t Mode) {
        I32(static_cast<int32_t>(Name.size()));
        Text(Name);
        I32(W);
        I32(H);
        Raw(Compressed);
        U8(Opacity);
        I32(Left);
        I32(Top);
        return U8(Mode);
    }
};

std::vector<uint8_t> Deflate(const std::vector<uint8_t>& Data) {
    uLongf Size = compressBound(static_cast<uLong>(Data.size()));
    std::vector<uint8_t> Out(Size);
    EXPECT_EQ(compress2(Out.data(), &Size, Data.data(), static_cast<uLong>(Data.size()), Z_DEFAULT_COMPRESSION), Z_OK);
    Out.resize(Size);
    return Out;
}

std::vector<uint8_t> Inflate(const uint8_t* Data, size_t Size, size_t Expected) {
    std::vector<uint8_t> Out(Expected);
    uLongf OutSize = static_cast<uLongf>(Expected);
    EXPECT_EQ(uncompress(Out.data(), &OutSize, Data, static_cast<uLong>(Size)), Z_OK);
    EXPECT_EQ(OutSize, Expected);
    return Out;
}

// Pixel bytes (blue, green, red, alpha) whose values depend on position, so
// that misplaced rows or a stream resumed at the wrong byte show up. Noise
// keeps large blocks from compressing below the 64 KB read-ahead.
std::vector<uint8_t> PixelBytes(int W, int H, uint32_t Seed) {
    std::vector<uint8_t> Out(static_cast<size_t>(W) * H * 4);
    uint32_t State = Seed * 2654435761u + 1;
    for (size_t I = 0; I < Out.size(); ++I) {
        State = State * 1103515245u + 12345u;
        Out[I] = static_cast<uint8_t>((State >> 16) ^ I);
    }
    return Out;
}

std::vector<uint8_t> SurfaceBytes(const TSurface& S) {
    std::vector<uint8_t> Out;
    for (int Y = 0; Y < S.Height; ++Y) {
        const auto* Row = reinterpret_cast<const uint8_t*>(SurfaceScanline(S, Y));
        Out.insert(Out.end(), Row, Row + S.Width * 4);
    }
    return Out;
}

void Load(TPictureDoc& Doc, const std::vector<uint8_t>& Bytes) {
    TBytesStream Stream(Bytes.data(), static_cast<int64_t>(Bytes.size()));
    Doc.LoadFromStream(Stream);
}

std::vector<uint8_t> Save(TPictureDoc& Doc) {
    TMemoryStream Stream;
    Doc.SaveToStream(Stream);
    return Stream.Data();
}

template <typename E>
std::string LoadFailure(TPictureDoc& Doc, const std::vector<uint8_t>& Bytes) {
    try {
        Load(Doc, Bytes);
    } catch (const E& Error) {
        return Error.Message();
    }
    ADD_FAILURE() << "load did not fail with the expected exception class";
    return {};
}

void FillLayer(TPictureLayer& Layer, int W, int H, uint32_t Seed) {
    AllocSurface(W, H, Layer.Surface);
    const auto Bytes = PixelBytes(W, H, Seed);
    std::memcpy(Layer.Surface.Bits, Bytes.data(), Bytes.size());
}

} // namespace

TEST(MQDocModel, LayerNumbersAndClear) {
    TPictureDoc Doc;
    EXPECT_EQ(Doc.AddLayer(0), 0);
    EXPECT_EQ(Doc.AddLayer(99), 1); // past the end: appended
    EXPECT_EQ(Doc.AddLayer(-4), 0); // inserted below the others
    EXPECT_EQ(Doc.LayerAt(0).Name, "Layer 3");
    EXPECT_EQ(Doc.LayerAt(1).Name, "Layer 1");
    EXPECT_EQ(Doc.LayerAt(2).Id, 2);
    EXPECT_THROW(Doc.LayerAt(3), EListError);
    EXPECT_THROW(Doc.LayerAt(-1), EListError);

    Doc.SetBackgroundColor(clRed);
    Doc.Clear();
    EXPECT_EQ(Doc.LayerCount(), 0);
    EXPECT_EQ(Doc.DocWidth(), 0);
    EXPECT_EQ(Doc.DocHeight(), 0);
    EXPECT_EQ(Doc.BackgroundColor(), clRed);
    Doc.AddLayer(0);
    EXPECT_EQ(Doc.LayerAt(0).Name, "Layer 1"); // numbering starts again
}

TEST(MQDocStreamString, RoundTripAndHostileLengths) {
    TMemoryStream Stream;
    WriteStreamString(Stream, "Sky");
    WriteStreamString(Stream, "");
    EXPECT_EQ(Stream.Data(), (std::vector<uint8_t>{3, 0, 0, 0, 'S', 'k', 'y', 0, 0, 0, 0}));
    Stream.SetPosition(0);
    std::string A = "x", B = "y";
    ReadStreamString(Stream, A);
    ReadStreamString(Stream, B);
    EXPECT_EQ(A, "Sky");
    EXPECT_EQ(B, "");

    const auto Negative = TMQDBuilder().I32(-1).Bytes;
    const auto TooLong = TMQDBuilder().I32(5).Text("abcd").Bytes;
    const auto Huge = TMQDBuilder().I32(0x7FFFFFFF).Bytes;
    for (const auto* Bytes : {&Negative, &TooLong, &Huge}) {
        TBytesStream In(Bytes->data(), static_cast<int64_t>(Bytes->size()));
        std::string S;
        EXPECT_THROW(ReadStreamString(In, S), EReadError);
    }
}

TEST(MQDocLoad, HeaderAndLayerFields) {
    const auto Pixels = PixelBytes(3, 2, 1);
    const auto Bytes = TMQDBuilder()
                           .Header(200, 640, 480, 0x00336699, 2)
                           .Layer("Sky<preserveAlpha><locked>", 3, 2, Deflate(Pixels), 77, -5, 9, 3)
                           .Layer("Ground<locked><preserveAlpha>", 0, 4, {}, 200, 1, 2, 9)
                           .Bytes;
    TPictureDoc Doc;
    std::vector<int> Progress;
    Doc.OnProgress = [&](int Percent) { Progress.push_back(Percent); };
    Load(Doc, Bytes);

    EXPECT_EQ(Doc.DocWidth(), 640);
    EXPECT_EQ(Doc.DocHeight(), 480);
    EXPECT_EQ(Doc.BackgroundColor(), 0x00336699);
    ASSERT_EQ(Doc.LayerCount(), 2);
    EXPECT_EQ(Doc.NextLayerId(), 2);
    EXPECT_EQ(Progress, (std::vector<int>{45, 80}));

    const TPictureLayer& Sky = Doc.LayerAt(0);
    EXPECT_EQ(Sky.Name, "Sky");
    EXPECT_TRUE(Sky.preserveAlpha);
    EXPECT_TRUE(Sky.locked);
    EXPECT_EQ(Sky.Opacity, 77);
    EXPECT_EQ(Sky.Left, -5);
    EXPECT_EQ(Sky.Top, 9);
    EXPECT_EQ(Sky.BlendMode, 3);
    EXPECT_TRUE(Sky.Visible);
    EXPECT_EQ(Sky.Surface.Stride, 12);
    EXPECT_EQ(SurfaceBytes(Sky.Surface), Pixels);

    // Width 0: no pixel data, the byte after the height is the opacity.
    const TPictureLayer& Ground = Doc.LayerAt(1);
    EXPECT_EQ(Ground.Name, "Ground");
    EXPECT_TRUE(Ground.preserveAlpha && Ground.locked);
    EXPECT_TRUE(SurfaceIsEmpty(Ground.Surface));
    EXPECT_EQ(Ground.Surface.Width, 0);
    EXPECT_EQ(Ground.Surface.Height, 4);
    EXPECT_EQ(Ground.Opacity, 200);
    EXPECT_EQ(Ground.BlendMode, 9);

    // The tags go back in one fixed order, whatever order they were read in.
    const auto Saved = Save(Doc);
    const auto Expected = TMQDBuilder()
                              .Header(200, 640, 480, 0x00336699, 2)
                              .Layer("Sky<preserveAlpha><locked>", 3, 2, {}, 0, 0, 0, 0)
                              .Bytes;
    ASSERT_GT(Saved.size(), 24u + 4 + 26);
    EXPECT_TRUE(std::equal(Expected.begin(), Expected.begin() + 24 + 4 + 26, Saved.begin()));
    const std::string Text(Saved.begin(), Saved.end());
    EXPECT_NE(Text.find("Ground<preserveAlpha><locked>"), std::string::npos);
}

TEST(MQDocLoad, TagsOnlyTheFirstOccurrenceAndNoLayers) {
    TPictureDoc Doc;
    Load(Doc, TMQDBuilder().Header(200, 10, 20, 0, 1).Layer("a<locked>b<locked>", -3, 5, {}, 1, 0, 0, 0).Bytes);
    EXPECT_EQ(Doc.LayerAt(0).Name, "ab<locked>");
    EXPECT_TRUE(Doc.LayerAt(0).locked);
    EXPECT_FALSE(Doc.LayerAt(0).preserveAlpha);
    EXPECT_EQ(Doc.LayerAt(0).Surface.Width, -3); // a negative size is kept, without pixels
    EXPECT_TRUE(SurfaceIsEmpty(Doc.LayerAt(0).Surface));

    Load(Doc, TMQDBuilder().Header(200, 31, 17, 0, 0).Bytes);
    EXPECT_EQ(Doc.LayerCount(), 0);
    EXPECT_EQ(Doc.DocWidth(), 31);
    EXPECT_EQ(Doc.DocHeight(), 17);
}

TEST(MQDocLoad, VersionsAndMagic) {
    TPictureDoc Doc;
    Load(Doc, TMQDBuilder().Header(200, 1, 1, 0, 0).Bytes);
    Load(Doc, TMQDBuilder().Header(-7, 1, 1, 0, 0).Bytes);
    Load(Doc, TMQDBuilder().Header(0, 1, 1, 0, 0).Bytes);
    EXPECT_EQ(LoadFailure<EInvalidGraphic>(Doc, TMQDBuilder().Header(201, 1, 1, 0, 0).Bytes),
              "This file is created with a newer version of Marqenta.");
    auto Bad = TMQDBuilder().Header(200, 1, 1, 0, 0).Bytes;
    Bad[3] = 'X';
    EXPECT_EQ(LoadFailure<EInvalidGraphic>(Doc, Bad), "This file is not a MQD file.");
    EXPECT_EQ(LoadFailure<EReadError>(Doc, {'M', 'q'}), "Stream read error");
}

// Blocks of pixel data larger and smaller than the decompressor's 64 KB
// read-ahead, each followed by more layers: every zlib stream must end
// exactly at its trailer for the next record to be read correctly.
TEST(MQDocLoad, PixelBlocksFollowedByMoreLayers) {
    const auto Big = PixelBytes(150, 120, 2);   // about 72 KB, barely compressible
    const auto Small = PixelBytes(5, 4, 3);
    const auto Bytes = TMQDBuilder()
                           .Header(200, 100, 100, 0, 5)
                           .Layer("big", 150, 120, Deflate(Big), 10, 1, 2, 1)
                           .Layer("small", 5, 4, Deflate(Small), 20, 3, 4, 2)
                           .Layer("empty", 0, 0, {}, 30, 5, 6, 3)
                           .Layer("big again", 150, 120, Deflate(Big), 40, 7, 8, 4)
                           .Layer("last", 5, 4, Deflate(Small), 50, 9, 10, 5)
                           .Bytes;
    ASSERT_GT(Bytes.size(), 2 * TDecompressionStream::BlockSize);
    TMemoryStream Stream(Bytes);
    TPictureDoc Doc;
    Doc.LoadFromStream(Stream);
    EXPECT_EQ(Stream.Position(), Stream.Size());
    ASSERT_EQ(Doc.LayerCount(), 5);
    for (int I = 0; I < 5; ++I) {
        EXPECT_EQ(Doc.LayerAt(I).Opacity, 10 * (I + 1));
        EXPECT_EQ(Doc.LayerAt(I).Left, 2 * I + 1);
        EXPECT_EQ(Doc.LayerAt(I).Top, 2 * I + 2);
        EXPECT_EQ(Doc.LayerAt(I).BlendMode, I + 1);
    }
    EXPECT_EQ(SurfaceBytes(Doc.LayerAt(0).Surface), Big);
    EXPECT_EQ(SurfaceBytes(Doc.LayerAt(1).Surface), Small);
    EXPECT_EQ(SurfaceBytes(Doc.LayerAt(3).Surface), Big);
    EXPECT_EQ(SurfaceBytes(Doc.LayerAt(4).Surface), Small);
}

TEST(MQDocSave, RoundTripKeepsEveryStoredField) {
    TPictureDoc Doc;
    Doc.SetDocSize(320, 200);
    Doc.SetBackgroundColor(0x00102030);
    TPictureLayer& A = Doc.LayerAt(Doc.AddLayer(0));
    FillLayer(A, 300, 90, 4);
    A.Opacity = 128;
    A.Left = -20;
    A.Top = 150;
    A.BlendMode = 7;
    A.preserveAlpha = true;
    TPictureLayer& B = Doc.LayerAt(Doc.AddLayer(1));
    B.Name = "Empty";
    B.locked = true;
    B.Visible = false; // not stored
    TPictureLayer& C = Doc.LayerAt(Doc.AddLayer(2));
    FillLayer(C, 1, 1, 5);
    C.Name = "";

    std::vector<int> Progress;
    Doc.OnProgress = [&](int Percent) { Progress.push_back(Percent); };
    const auto Saved = Save(Doc);
    EXPECT_EQ(Progress, (std::vector<int>{33, 56, 80}));

    TPictureDoc Copy;
    Load(Copy, Saved);
    qvtest::ExpectSameDocument(Doc, Copy);
    EXPECT_TRUE(Copy.LayerAt(1).Visible);
    EXPECT_EQ(Save(Copy), Saved);

    // The stored pixel block is a plain zlib stream of the rows, top row first.
    const size_t PixelsAt = 24 + 4 + std::string("Layer 1<preserveAlpha>").size() + 8;
    const auto Inflated = Inflate(Saved.data() + PixelsAt, Saved.size() - PixelsAt, 300 * 90 * 4);
    EXPECT_EQ(Inflated, SurfaceBytes(A.Surface));
}

TEST(MQDocSave, SurfaceWithoutPixelsIsStoredReadably) {
    TPictureDoc Doc;
    TPictureLayer& L = Doc.LayerAt(Doc.AddLayer(0));
    L.Surface.Width = 4; // a size but no pixel block
    L.Surface.Height = 3;
    Doc.AddLayer(1);
    TPictureDoc Copy;
    Load(Copy, Save(Doc));
    ASSERT_EQ(Copy.LayerCount(), 2);
    EXPECT_TRUE(SurfaceIsEmpty(Copy.LayerAt(0).Surface));
    EXPECT_EQ(Copy.LayerAt(0).Surface.Width, 0);
    EXPECT_EQ(Copy.LayerAt(1).Name, "Layer 2");
}

TEST(MQDocHostile, CountsAndSizesRefusedBeforeAllocating) {
    TPictureDoc Doc;
    EXPECT_THROW(Load(Doc, TMQDBuilder().Header(200, 1, 1, 0, -1).Bytes), EReadError);
    EXPECT_EQ(Doc.LayerCount(), 0);
    // Two layer records need 44 bytes at least.
    EXPECT_THROW(Load(Doc, TMQDBuilder().Header(200, 1, 1, 0, 2).Layer("", 0, 0, {}, 0, 0, 0, 0).Bytes), EReadError);
    EXPECT_EQ(Doc.LayerCount(), 0);
    EXPECT_THROW(Load(Doc, TMQDBuilder().Header(200, 1, 1, 0, 0x7FFFFFFF).Bytes), EReadError);

    const auto NameLength = [](int32_t Length) {
        return TMQDBuilder().Header(200, 1, 1, 0, 1).I32(Length).Text("name").I32(0).I32(0).U8(0).I32(0).I32(0).U8(0).Bytes;
    };
    EXPECT_THROW(Load(Doc, NameLength(-4)), EReadError);
    EXPECT_THROW(Load(Doc, NameLength(1 << 30)), EReadError);
    Load(Doc, NameLength(4));

    const auto SurfaceSize = [](int32_t W, int32_t H) {
        return TMQDBuilder().Header(200, 1, 1, 0, 1).Layer("", W, H, Deflate({1, 2, 3, 4}), 0, 0, 0, 0).Bytes;
    };
    EXPECT_NE(LoadFailure<EReadError>(Doc, SurfaceSize(TBitmap::MaxSide + 1, 1)).find("size limit"), std::string::npos);
    EXPECT_NE(LoadFailure<EReadError>(Doc, SurfaceSize(1, TBitmap::MaxSide + 1)).find("size limit"), std::string::npos);
    EXPECT_NE(LoadFailure<EReadError>(Doc, SurfaceSize(1 << 15, 1 << 15)).find("size limit"), std::string::npos);
    EXPECT_NE(LoadFailure<EReadError>(Doc, SurfaceSize(0x7FFFFFFF, 0x7FFFFFFF)).find("size limit"), std::string::npos);
    // Within the limit, but a few bytes of file cannot inflate to 256 MB.
    EXPECT_EQ(LoadFailure<EReadError>(Doc, SurfaceSize(1 << 13, 1 << 13)), "Stream read error");
    ASSERT_EQ(Doc.LayerCount(), 1);
    EXPECT_TRUE(SurfaceIsEmpty(Doc.LayerAt(0).Surface));
}

TEST(MQDocHostile, ZlibStreamsThatDoNotFitTheSurface) {
    const auto Pixels = PixelBytes(4, 4, 6);
    const auto WithData = [](int32_t W, int32_t H, const std::vector<uint8_t>& Compressed) {
        return TMQDBuilder().Header(200, 4, 4, 0, 2).Layer("first", 1, 1, Deflate({9, 9, 9, 9}), 1, 0, 0, 0)
            .Layer("second", W, H, Compressed, 0, 0, 0, 0).Bytes;
    };
    TPictureDoc Doc;
    // More data than the surface holds: refused, nothing written past the block.
    EXPECT_THROW(Load(Doc, WithData(2, 2, Deflate(Pixels))), EReadError);
    ASSERT_EQ(Doc.LayerCount(), 2);
    EXPECT_EQ(SurfaceBytes(Doc.LayerAt(0).Surface), (std::vector<uint8_t>{9, 9, 9, 9}));
    EXPECT_TRUE(SurfaceIsEmpty(Doc.LayerAt(1).Surface));

    // A complete zlib stream with fewer bytes than the surface needs.
    EXPECT_EQ(LoadFailure<EReadError>(Doc, WithData(4, 5, Deflate(Pixels))), "Stream read error");

    // Damaged deflate data.
    auto Damaged = Deflate(Pixels);
    Damaged[0] = 0x78;
    Damaged[1] = 0x9C;
    Damaged[2] = 0xFF; // reserved block type
    EXPECT_EQ(LoadFailure<EZlibError>(Doc, WithData(4, 4, Damaged)), "Error");
    auto BadChecksum = Deflate(Pixels);
    BadChecksum[BadChecksum.size() - 1] ^= 0x55;
    EXPECT_EQ(LoadFailure<EZlibError>(Doc, WithData(4, 4, BadChecksum)), "Error");
    EXPECT_TRUE(SurfaceIsEmpty(Doc.LayerAt(1).Surface));
}

TEST(MQDocHostile, EveryTruncationFailsCleanly) {
    const auto Bytes = TMQDBuilder()
                           .Header(200, 8, 8, 0, 3)
                           .Layer("one<locked>", 3, 3, Deflate(PixelBytes(3, 3, 7)), 255, 0, 0, 0)
                           .Layer("two", 0, 0, {}, 1, 2, 3, 4)
                           .Layer("three", 2, 5, Deflate(PixelBytes(2, 5, 8)), 9, -1, -1, 2)
                           .Bytes;
    TPictureDoc Whole;
    Load(Whole, Bytes);
    TPictureDoc Doc;
    for (size_t Length = 0; Length < Bytes.size(); ++Length) {
        const std::vector<uint8_t> Cut(Bytes.begin(), Bytes.begin() + static_cast<std::ptrdiff_t>(Length));
        EXPECT_THROW(Load(Doc, Cut), EReadError) << "cut at " << Length;
        // Layers read so far stay; a pixel block is either complete or gone.
        ASSERT_LE(Doc.LayerCount(), 3);
        for (int I = 0; I < Doc.LayerCount(); ++I) {
            const TSurface& S = Doc.LayerAt(I).Surface;
            if (!SurfaceIsEmpty(S)) {
                EXPECT_EQ(SurfaceBytes(S), SurfaceBytes(Whole.LayerAt(I).Surface)) << "cut at " << Length;
            }
        }
    }
}

TEST(MQDocAssign, FromA24BitPicture) {
    TBitmap Picture;
    Picture.SetPixelFormat(pf24bit);
    Picture.SetSize(5, 3);
    for (int Y = 0; Y < 3; ++Y)
        for (int X = 0; X < 5; ++X) {
            uint8_t* P = Picture.ScanLine(Y) + X * 3;
            P[0] = static_cast<uint8_t>(10 * X);
            P[1] = static_cast<uint8_t>(20 * Y);
            P[2] = static_cast<uint8_t>(X + Y);
        }
    TPictureDoc Doc;
    Doc.Assign(&Picture);
    EXPECT_EQ(Doc.DocWidth(), 5);
    EXPECT_EQ(Doc.DocHeight(), 3);
    ASSERT_EQ(Doc.LayerCount(), 1);
    const TPictureLayer& L = Doc.LayerAt(0);
    EXPECT_EQ(L.Name, "Layer 1");
    EXPECT_EQ(L.Left, 0);
    EXPECT_EQ(L.Top, 0);
    EXPECT_EQ(L.Opacity, 255);
    EXPECT_EQ(L.BlendMode, 0);
    EXPECT_TRUE(L.preserveAlpha);
    ASSERT_EQ(L.Surface.Width, 5);
    ASSERT_EQ(L.Surface.Height, 3);
    for (int Y = 0; Y < 3; ++Y)
        for (int X = 0; X < 5; ++X)
            EXPECT_EQ(SurfaceScanline(L.Surface, Y)[X], MakePixel(static_cast<uint8_t>(X + Y), static_cast<uint8_t>(20 * Y),
                                                                  static_cast<uint8_t>(10 * X), 255));
}

TEST(MQDocAssign, FromA32BitPictureKeepsAlpha) {
    TBitmap Picture;
    Picture.SetPixelFormat(pf32bit);
    Picture.SetSize(4, 2);
    for (int Y = 0; Y < 2; ++Y)
        for (int X = 0; X < 4; ++X)
            reinterpret_cast<uint32_t*>(Picture.ScanLine(Y))[X] = MakePixel(1, 2, static_cast<uint8_t>(X), 255);
    TPictureDoc Doc;
    Doc.Assign(&Picture);
    EXPECT_TRUE(Doc.LayerAt(0).preserveAlpha); // opaque

    reinterpret_cast<uint32_t*>(Picture.ScanLine(1))[3] = MakePixel(7, 8, 9, 10);
    Doc.Assign(&Picture);
    ASSERT_EQ(Doc.LayerCount(), 1);
    EXPECT_EQ(Doc.NextLayerId(), 1);
    const TPictureLayer& L = Doc.LayerAt(0);
    EXPECT_FALSE(L.preserveAlpha);
    EXPECT_EQ(SurfaceScanline(L.Surface, 1)[3], MakePixel(7, 8, 9, 10));
    EXPECT_EQ(SurfaceScanline(L.Surface, 0)[2], MakePixel(1, 2, 2, 255));

    TBitmap Empty;
    Doc.Assign(&Empty);
    EXPECT_EQ(Doc.LayerCount(), 0);
    EXPECT_EQ(Doc.DocWidth(), 0);
    Doc.Assign(&Picture);
    Doc.Assign(nullptr);
    EXPECT_EQ(Doc.LayerCount(), 0);
}

TEST(MQDocFiles, SaveAPictureAndShowTheDocument) {
    TBitmap Picture;
    Picture.SetPixelFormat(pf24bit);
    Picture.SetSize(3, 2);
    Picture.ScanLine(0)[0] = 200; // blue of the top-left pixel
    const std::string Path = qvtest::TempDir() + "/one.mqd";
    SavePictureAsDocument(Picture, Path);

    TBitmap Shown;
    LoadDocumentToBitmap(Shown, Path);
    EXPECT_EQ(Shown.PixelFormat(), pf32bit);
    EXPECT_EQ(Shown.Width(), 3);
    EXPECT_EQ(Shown.Height(), 2);
    EXPECT_EQ(Shown.PixelBGRA(0, 0), MakePixel(0, 0, 200, 255));
    EXPECT_EQ(Shown.PixelBGRA(2, 1), MakePixel(0, 0, 0, 255));
}
