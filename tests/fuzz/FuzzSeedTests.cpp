// The generated fuzz seeds must reach the paths they are made for: a seed that
// stops passing the first checks leaves its fuzzer blind again.

#include <algorithm>
#include <cstring>
#include <set>

#include <gtest/gtest.h>

#include "TestPng.h"
#include "display/PixEffect.h"
#include "document/MQDoc.h"
#include "fuzz/DecoderInput.h"
#include "fuzz/seeds/FuzzSeeds.h"
#include "imaging/decoders/ImageCompression.h"
#include "platform/Icon.h"

using namespace qv;
using namespace qvfuzz;

namespace {

struct TDecoderInput {
    uint8_t Kind, Parameter;
    size_t OutputSize;
    std::vector<uint8_t> Data;
};

TDecoderInput Split(const TSeed& Seed) {
    EXPECT_GE(Seed.Bytes.size(), DecoderHeaderSize) << Seed.Name;
    return {Seed.Bytes[0], Seed.Bytes[1], Seed.Bytes[2] * OutputUnit,
            std::vector<uint8_t>(Seed.Bytes.begin() + DecoderHeaderSize, Seed.Bytes.end())};
}

} // namespace

TEST(FuzzSeeds, KindsAreNamedOnceAndNotEmpty) {
    std::set<std::string> Names;
    for (const TSeedKind& Kind : SeedKinds()) {
        EXPECT_TRUE(Names.insert(Kind.Name).second) << Kind.Name;
        const std::vector<TSeed> Seeds = Kind.Make();
        EXPECT_FALSE(Seeds.empty()) << Kind.Name;
        std::set<std::string> SeedNames;
        for (const TSeed& Seed : Seeds) EXPECT_TRUE(SeedNames.insert(Seed.Name).second) << Seed.Name;
    }
}

// Every strip passes the size, component and sampling checks and decodes whole; the picture's
// colours survive (the first pixel is the pattern's dark corner, later ones are not all alike).
TEST(FuzzSeeds, TIFFJPEGStripsDecodeAtTheTargetsSizes) {
    for (const TSeed& Seed : TIFFJPEGSeeds()) {
        SCOPED_TRACE(Seed.Name);
        TDecoderInput Input = Split(Seed);
        ASSERT_EQ(Input.Kind, KindTIFFJPEG);
        TImageProperties Properties;
        SetTIFFJPEGProperties(Input.Parameter, Properties);
        TTIFFJPEGDecoder Decoder(Properties);
        std::vector<uint8_t> Output(Input.OutputSize);
        uint8_t* Source = Input.Data.data();
        uint8_t* Dest = Output.data();
        Decoder.DecodeInit();
        ASSERT_NO_THROW(Decoder.Decode(Source, Dest, static_cast<int32_t>(Input.Data.size()),
                                       static_cast<int32_t>(Output.size()), Input.Data.size(), Output.size()));
        Decoder.DecodeEnd();
        ASSERT_EQ(Decoder.ScanlineSize(), Properties.Width * 3);
        const size_t Rows = std::min<size_t>(Properties.Height, Output.size() / Decoder.ScanlineSize());
        const auto End = Output.begin() + static_cast<std::ptrdiff_t>(Rows * Decoder.ScanlineSize());
        EXPECT_LT(Output[2], 40) << "red of the first pixel";
        EXPECT_NE(std::count(Output.begin(), End, Output[0]), End - Output.begin());
    }
}

// Both entry points run to the end marker, and every luma pixel of every row gets exactly one of
// the table's deltas (1, 2, 4 or 8), whatever the chroma rows between them.
TEST(FuzzSeeds, PhotoCDResidualsReachEveryLumaPixel) {
    std::set<uint8_t> Kinds;
    for (const TSeed& Seed : PhotoCDSeeds()) {
        SCOPED_TRACE(Seed.Name);
        TDecoderInput Input = Split(Seed);
        Kinds.insert(Input.Kind);
        const int32_t Stride = PCDStride(Input.Parameter), Rows = PCDRows(Input.Parameter);
        std::vector<uint8_t> Luma(Input.OutputSize), Chroma1(Input.OutputSize / 2), Chroma2(Input.OutputSize / 2);
        TPCDPlanes Planes{Luma.data(), Chroma1.data(), Chroma2.data(), Luma.size(), Chroma1.size(), Chroma2.size()};
        TBytesStream Stream(Input.Data.data(), static_cast<int64_t>(Input.Data.size()));
        TPCDDecoder Decoder(Stream);
        if (Input.Kind == KindPCDPlanes) {
            ASSERT_NO_THROW(Decoder.DecodePlanes(Planes, Stride, Rows));
        } else {
            ASSERT_EQ(Input.Kind, KindPCDDecode);
            uint8_t* Source = reinterpret_cast<uint8_t*>(&Planes);
            uint8_t* Dest = nullptr;
            ASSERT_NO_THROW(Decoder.Decode(Source, Dest, Stride, Rows, sizeof(Planes), 0));
        }
        for (size_t Index = 0; Index < static_cast<size_t>(Stride * Rows); ++Index)
            EXPECT_TRUE(Luma[Index] == 1 || Luma[Index] == 2 || Luma[Index] == 4 || Luma[Index] == 8)
                << "pixel " << Index << " = " << int{Luma[Index]};
        EXPECT_TRUE(std::all_of(Luma.begin() + Stride * Rows, Luma.end(), [](uint8_t V) { return V == 0; }));
        EXPECT_TRUE(std::all_of(Chroma1.begin(), Chroma1.end(), [](uint8_t V) { return V == 0; }));
    }
    EXPECT_EQ(Kinds, (std::set<uint8_t>{KindPCDPlanes, KindPCDDecode}));
}

// The documents load whole with several layers, use every blend mode between them, and flatten.
TEST(FuzzSeeds, LayeredDocumentsCoverEveryBlendMode) {
    std::set<int> Modes;
    for (const TSeed& Seed : LayeredDocumentSeeds()) {
        SCOPED_TRACE(Seed.Name);
        TBytesStream Stream(Seed.Bytes.data(), static_cast<int64_t>(Seed.Bytes.size()));
        TPictureDoc Doc;
        ASSERT_NO_THROW(Doc.LoadFromStream(Stream));
        EXPECT_GE(Doc.LayerCount(), 2);
        for (int Index = 0; Index < Doc.LayerCount(); ++Index) {
            const TPictureLayer& Layer = Doc.LayerAt(Index);
            EXPECT_NE(Layer.Surface.Bits, nullptr);
            if (Index > 0) Modes.insert(Layer.BlendMode);
        }
        TBitmap Flat;
        ASSERT_NO_THROW(Doc.Flatten(Flat, true));
        EXPECT_EQ(Flat.Width(), Doc.DocWidth());
        EXPECT_EQ(Flat.Height(), Doc.DocHeight());
    }
    for (int Mode = 0; Mode <= BlendModeCount; ++Mode) EXPECT_TRUE(Modes.count(Mode)) << "mode " << Mode;
}

namespace {

// PNG entries decoded by libpng, so that the icons are checked apart from our own PNG reader.
void DecodeWithLibpng(TStream& Stream, TBitmap& Bitmap) {
    std::vector<uint8_t> Data(static_cast<size_t>(Stream.Size()));
    Stream.ReadBuffer(Data.data(), Stream.Size());
    const qvtest::TRgbaImage Image = qvtest::DecodePng(Data);
    Bitmap.SetPixelFormat(pf32bit);
    Bitmap.SetSize(Image.Width, Image.Height);
    for (int Y = 0; Y < Image.Height; ++Y) {
        uint8_t* Row = Bitmap.ScanLine(Y);
        for (int X = 0; X < Image.Width; ++X) {
            const uint8_t* P = Image.At(X, Y);
            const uint8_t Bgra[4] = {P[2], P[1], P[0], P[3]};
            std::memcpy(Row + 4 * X, Bgra, 4);
        }
    }
}

} // namespace

// Every icon passes the directory checks and its largest entry, a PNG one, is what loads.
TEST(FuzzSeeds, PNGIconsLoadTheirPNGEntry) {
    TIcon::SetPngDecoder(DecodeWithLibpng);
    for (const TSeed& Seed : PNGIconSeeds()) {
        SCOPED_TRACE(Seed.Name);
        const std::vector<uint8_t>& Bytes = Seed.Bytes;
        int Largest = 0; // directory sides, 0 standing for 256
        for (size_t Entry = 0; Entry < static_cast<size_t>(Bytes[4] | Bytes[5] << 8); ++Entry)
            Largest = std::max(Largest, Bytes[6 + 16 * Entry] == 0 ? 256 : int{Bytes[6 + 16 * Entry]});
        TBytesStream Stream(Bytes.data(), static_cast<int64_t>(Bytes.size()));
        TIcon Icon;
        ASSERT_NO_THROW(Icon.LoadFromStream(Stream));
        EXPECT_EQ(Icon.Width(), Largest);
        EXPECT_EQ(Icon.Height(), Largest);
    }
    TIcon::SetPngDecoder(nullptr);
}
