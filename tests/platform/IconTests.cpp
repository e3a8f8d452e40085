#include <gtest/gtest.h>

#include <filesystem>

#include "PictureTestUtil.h"
#include "TestSupport.h"
#include "platform/Icon.h"
#include "platform/Metafile.h"

using namespace qv;
using namespace qvtest;

namespace {

struct TWriter {
    std::vector<uint8_t> Bytes;
    void U8(uint32_t V) { Bytes.push_back(static_cast<uint8_t>(V)); }
    void U16(uint32_t V) { U8(V), U8(V >> 8); }
    void U32(uint32_t V) { U16(V), U16(V >> 16); }
    void U32BE(uint32_t V) { U8(V >> 24), U8(V >> 16), U8(V >> 8), U8(V); }
};

// One bitmap entry: colour rows of Depth bits from Pixel(x, y), the AND
// mask from Masked(x, y); rows bottom-up as icons store them.
template <typename TPixel, typename TMasked>
std::vector<uint8_t> BitmapEntry(int Size, int Depth, const std::vector<TRGBQuad>& Palette, TPixel Pixel, TMasked Masked) {
    TWriter W;
    W.U32(40);
    W.U32(static_cast<uint32_t>(Size));
    W.U32(static_cast<uint32_t>(Size * 2)); // colour rows plus mask rows
    W.U16(1);                               // planes
    W.U16(static_cast<uint32_t>(Depth));
    W.U32(0);                               // BI_RGB
    for (int I = 0; I < 5; ++I) W.U32(0);   // image size, resolution, colours used, important
    for (const TRGBQuad& Q : Palette) W.U8(Q.rgbBlue), W.U8(Q.rgbGreen), W.U8(Q.rgbRed), W.U8(0);
    for (int Y = Size - 1; Y >= 0; --Y) {
        std::vector<uint8_t> Row(static_cast<size_t>((Size * Depth + 31) / 32 * 4), 0);
        for (int X = 0; X < Size; ++X) {
            const uint32_t V = Pixel(X, Y);
            if (Depth < 8) {
                const int Bit = X * Depth;
                Row[static_cast<size_t>(Bit / 8)] |= static_cast<uint8_t>(V << (8 - Depth - Bit % 8));
            } else {
                for (int B = 0; B < Depth / 8; ++B) Row[static_cast<size_t>(X * Depth / 8 + B)] = static_cast<uint8_t>(V >> (8 * B));
            }
        }
        W.Bytes.insert(W.Bytes.end(), Row.begin(), Row.end());
    }
    for (int Y = Size - 1; Y >= 0; --Y) {
        std::vector<uint8_t> Row(static_cast<size_t>((Size + 31) / 32 * 4), 0);
        for (int X = 0; X < Size; ++X)
            if (Masked(X, Y)) Row[static_cast<size_t>(X / 8)] |= static_cast<uint8_t>(0x80 >> (X % 8));
        W.Bytes.insert(W.Bytes.end(), Row.begin(), Row.end());
    }
    return W.Bytes;
}

// The start of a PNG stream: signature and header chunk, then filler.
std::vector<uint8_t> PngEntry(int Size) {
    TWriter W;
    for (int B : {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A}) W.U8(static_cast<uint32_t>(B)); // signature
    W.U32BE(13);
    for (char C : std::string("IHDR")) W.U8(static_cast<uint8_t>(C));
    W.U32BE(static_cast<uint32_t>(Size));
    W.U32BE(static_cast<uint32_t>(Size));
    W.U8(8);  // bit depth
    W.U8(6);  // RGBA
    W.Bytes.resize(W.Bytes.size() + 40, 0);
    return W.Bytes;
}

struct TEntry {
    int Width;          // as the directory states it
    int Height;
    std::vector<uint8_t> Data;
};

std::vector<uint8_t> MakeIcon(const std::vector<TEntry>& Entries) {
    TWriter W;
    W.U16(0); // reserved
    W.U16(1); // icon
    W.U16(static_cast<uint32_t>(Entries.size()));
    uint32_t Offset = 6 + 16 * static_cast<uint32_t>(Entries.size());
    for (const TEntry& E : Entries) {
        W.U8(static_cast<uint32_t>(E.Width));
        W.U8(static_cast<uint32_t>(E.Height));
        W.U8(0);  // colour count
        W.U8(0);  // reserved
        W.U16(1); // planes
        W.U16(0); // bit count (left to the image header)
        W.U32(static_cast<uint32_t>(E.Data.size()));
        W.U32(Offset);
        Offset += static_cast<uint32_t>(E.Data.size());
    }
    for (const TEntry& E : Entries) W.Bytes.insert(W.Bytes.end(), E.Data.begin(), E.Data.end());
    return W.Bytes;
}

const std::vector<TRGBQuad> Palette16 = [] {
    std::vector<TRGBQuad> P(16);
    P[1] = {0, 0, 255, 0};  // red
    P[2] = {255, 0, 0, 0};  // blue
    return P;
}();

auto Nothing = [](int, int) { return false; };

// A 16x16 8-bit entry: red left half, blue right half, the top-left corner masked.
std::vector<uint8_t> EightBitEntry() {
    std::vector<TRGBQuad> P = Palette16;
    P.resize(256);
    return BitmapEntry(16, 8, P, [](int X, int) { return X < 8 ? 1u : 2u; }, [](int X, int Y) { return X < 2 && Y < 2; });
}

} // namespace

TEST(Icon, LoadsTheLargestDeepestEntry) {
    const auto Small = EightBitEntry();
    const auto Four = BitmapEntry(32, 4, Palette16, [](int, int) { return 1u; }, Nothing);
    const auto Deep = BitmapEntry(32, 32, {}, [](int, int) { return 0x8000FF00u; }, Nothing);
    TIcon Icon;
    LoadFromBytes(Icon, MakeIcon({{16, 16, Small}, {32, 32, Deep}, {32, 32, Four}}));
    ASSERT_EQ(Icon.Width(), 32);
    EXPECT_EQ(Icon.Bitmap().PixelFormat(), pf32bit);
    EXPECT_EQ(Rgba(Icon.Bitmap(), 5, 5), 0x00FF0080u);

    // An explicit entry, and the copy into a bitmap.
    const auto Data = MakeIcon({{16, 16, Small}, {32, 32, Deep}});
    TBytesStream Whole(Data.data(), static_cast<int64_t>(Data.size()));
    Icon.LoadEntryFromStream(Whole, 0);
    TBitmap Copy;
    Copy.Assign(&Icon);
    EXPECT_EQ(Copy.Width(), 16);
    EXPECT_EQ(Copy.PixelFormat(), pf32bit);
    Whole.SetPosition(0);
    EXPECT_THROW(Icon.LoadEntryFromStream(Whole, 2), EInvalidGraphic);
}

TEST(Icon, AndMaskMakesLowerDepthsTransparent) {
    for (int Depth : {1, 4, 8, 24}) {
        SCOPED_TRACE(Depth);
        std::vector<TRGBQuad> P = Palette16;
        P.resize(Depth <= 8 ? size_t{1} << Depth : 0);
        const uint32_t Red = Depth <= 8 ? 1u : 0xFF0000u, Other = Depth == 1 ? 0u : (Depth <= 8 ? 2u : 0x0000FFu);
        const auto Entry = BitmapEntry(16, Depth, P, [&](int X, int) { return X < 8 ? Red : Other; },
                                       [](int X, int Y) { return X < 2 && Y < 2; });
        TIcon Icon;
        LoadFromBytes(Icon, MakeIcon({{16, 16, Entry}}));
        const TBitmap& B = Icon.Bitmap();
        EXPECT_EQ(B.PixelFormat(), pf32bit);
        EXPECT_EQ(Rgba(B, 0, 0) & 0xFF, 0u);
        EXPECT_EQ(Rgba(B, 1, 1) & 0xFF, 0u);
        EXPECT_EQ(Rgba(B, 4, 4), 0xFF0000FFu);
        EXPECT_EQ(Rgba(B, 2, 0) & 0xFF, 255u);
    }
}

TEST(Icon, ThirtyTwoBitAlphaWinsOverTheMaskUnlessItIsEmpty) {
    auto Masked = [](int X, int) { return X == 0; };
    TIcon Icon;
    LoadFromBytes(Icon, MakeIcon({{8, 8, BitmapEntry(8, 32, {}, [](int, int) { return 0x40102030u; }, Masked)}}));
    EXPECT_EQ(Rgba(Icon.Bitmap(), 0, 0), 0x10203040u);
    EXPECT_EQ(Rgba(Icon.Bitmap(), 1, 0), 0x10203040u);
    // All alpha bytes zero: an old-style icon that relies on its mask.
    LoadFromBytes(Icon, MakeIcon({{8, 8, BitmapEntry(8, 32, {}, [](int, int) { return 0x00102030u; }, Masked)}}));
    EXPECT_EQ(Rgba(Icon.Bitmap(), 0, 0), 0x10203000u);
    EXPECT_EQ(Rgba(Icon.Bitmap(), 1, 0), 0x102030FFu);
}

TEST(Icon, RefusesADirectoryThatLies) {
    const auto Entry = EightBitEntry();
    auto ExpectRefused = [](std::vector<uint8_t> Data, const char* Why) {
        TIcon Icon;
        EXPECT_THROW(LoadFromBytes(Icon, Data), EInvalidGraphic) << Why;
        EXPECT_TRUE(Icon.Empty());
    };
    auto Data = MakeIcon({{16, 16, Entry}});
    Data[6 + 12] = 0xF0; // offset far beyond the file
    ExpectRefused(Data, "offset");
    Data = MakeIcon({{16, 16, Entry}});
    Data[6 + 10] = 0x40; // data size beyond the file
    ExpectRefused(Data, "size");
    Data = MakeIcon({{16, 16, Entry}});
    Data[6 + 12] = 4;    // data inside the directory
    ExpectRefused(Data, "overlap");
    ExpectRefused(MakeIcon({{32, 16, Entry}}), "width");
    ExpectRefused(MakeIcon({{16, 24, Entry}}), "height");
    // The directory's data size is smaller than the colour rows need.
    ExpectRefused(MakeIcon({{16, 16, std::vector<uint8_t>(Entry.begin(), Entry.begin() + 1000)}}), "short data");
    // A good entry does not excuse a bad one.
    ExpectRefused(MakeIcon({{16, 16, Entry}, {48, 48, Entry}}), "second entry");

    Data = MakeIcon({{16, 16, Entry}});
    Data[2] = 3; // neither icon nor cursor
    ExpectRefused(Data, "type");
    Data = MakeIcon({{16, 16, Entry}});
    Data[4] = 0; // no entries
    ExpectRefused(Data, "count");
}

TEST(Icon, PngEntriesNeedADecoder) {
    TIcon Icon;
    try {
        LoadFromBytes(Icon, MakeIcon({{0, 0, PngEntry(256)}}));
        FAIL() << "a PNG entry loaded without a decoder";
    } catch (const EInvalidGraphic& E) {
        EXPECT_NE(E.Message().find("PNG"), std::string::npos) << E.Message();
    }
    // Another entry is used instead of a PNG entry that cannot be decoded.
    LoadFromBytes(Icon, MakeIcon({{0, 0, PngEntry(256)}, {16, 16, EightBitEntry()}}));
    EXPECT_EQ(Icon.Width(), 16);
    // A PNG entry whose header disagrees with the directory is refused.
    EXPECT_THROW(LoadFromBytes(Icon, MakeIcon({{0, 0, PngEntry(64)}})), EInvalidGraphic);

    // With a decoder installed the largest entry is the PNG one; the decoder
    // sees exactly the entry's bytes.
    static int64_t SeenSize = 0;
    TIcon::SetPngDecoder([](TStream& Stream, TBitmap& Bitmap) {
        SeenSize = Stream.Size();
        Bitmap.SetPixelFormat(pf24bit);
        Bitmap.SetSize(256, 256);
    });
    LoadFromBytes(Icon, MakeIcon({{16, 16, EightBitEntry()}, {0, 0, PngEntry(256)}}));
    TIcon::SetPngDecoder(nullptr);
    EXPECT_EQ(Icon.Width(), 256);
    EXPECT_EQ(SeenSize, static_cast<int64_t>(PngEntry(256).size()));
    EXPECT_EQ(Rgba(Icon.Bitmap(), 0, 0), 0x000000FFu);
}

TEST(Icon, TruncationSweep) {
    const auto Data = MakeIcon({{16, 16, EightBitEntry()}, {8, 8, BitmapEntry(8, 32, {}, [](int, int) { return 0x80FFFFFFu; }, Nothing)}});
    TruncationSweep(Data, [](const std::vector<uint8_t>& Cut) {
        TIcon Icon;
        LoadFromBytes(Icon, Cut);
        EXPECT_EQ(Icon.Width(), 16);
    });
}

TEST(Metafile, LoadingIsRefusedClearly) {
    TMetafile Metafile;
    const std::vector<uint8_t> Data(64, 0);
    try {
        LoadFromBytes(Metafile, Data);
        FAIL() << "a metafile loaded";
    } catch (const EInvalidGraphic& E) {
        EXPECT_NE(E.Message().find("not supported"), std::string::npos) << E.Message();
    }
}

TEST(IconCorpus, FirstEntriesMatchReferences) {
    QV_REQUIRE_CORPUS();
    namespace fs = std::filesystem;
    int Count = 0;
    for (const auto& Entry : fs::directory_iterator(fs::path(CorpusDir()) / "files" / "ico")) {
        const std::string Name = Entry.path().filename().string();
        SCOPED_TRACE(Name);
        // The references show the first entry of the directory.
        TFileStream Stream(Entry.path().string(), TFileMode::OpenRead);
        TIcon Icon;
        Icon.LoadEntryFromStream(Stream, 0);
        const TRgbaImage Reference = ReadPng((fs::path(CorpusDir()) / "ref" / "ico" / (Name + ".png")).string());
        const int Difference = MaxChannelDifference(Icon.Bitmap(), Reference);
        EXPECT_GE(Difference, 0);
        EXPECT_LE(Difference, 0);
        ++Count;
    }
    EXPECT_GT(Count, 0);

    TIcon Icon;
    Icon.LoadFromFile((fs::path(CorpusDir()) / "files" / "ico" / "python.ico").string());
    EXPECT_EQ(Icon.Width(), 48);
}
