// Group 4 and two-dimensional Group 3 decoding, checked against strips that
// libtiff encodes from random bilevel rows.

#include <gtest/gtest.h>
#include <tiffio.h>

#include <filesystem>
#include <random>

#include "DecoderTestSupport.h"
#include "TestSupport.h"

using namespace qv;
using Bytes = std::vector<uint8_t>;

namespace {

/// Rows of runs with the lengths fax pages have: long white gaps, short black strokes,
/// rows repeating the one above with small shifts (what two-dimensional coding is for).
Bytes RandomPage(uint32_t Width, uint32_t Rows, uint32_t Seed) {
    std::mt19937 Random(Seed);
    const size_t RowBytes = (Width + 7) / 8;
    Bytes Page(RowBytes * Rows, 0);
    std::vector<uint32_t> Edges;
    for (uint32_t Y = 0; Y < Rows; ++Y) {
        if (Y == 0 || Random() % 4 == 0) {
            Edges.clear();
            // One draw per statement: the order of two draws in one expression is unspecified.
            for (uint32_t X = Random() % 40; X < Width;) {
                Edges.push_back(X);
                const uint32_t Span = Random() % 3 == 0 ? 300 : 12;
                X += 1 + Random() % Span;
            }
        } else {
            for (auto& E : Edges) {
                const uint32_t Shift = Random() % 7;
                E = std::min<uint32_t>(Width, E + Shift - 3 + (E < 3 ? 3 : 0));
            }
            std::sort(Edges.begin(), Edges.end());
        }
        bool Black = false;
        uint32_t From = 0;
        for (size_t K = 0; K <= Edges.size(); ++K) {
            const uint32_t To = K < Edges.size() ? std::min(Edges[K], Width) : Width;
            if (Black)
                for (uint32_t X = From; X < To; ++X) Page[Y * RowBytes + X / 8] |= static_cast<uint8_t>(0x80 >> (X % 8));
            From = std::max(From, To);
            Black = !Black;
        }
    }
    return Page;
}

/// The single strip of a bilevel TIFF that libtiff writes with Compression (and Group 3 options).
Bytes EncodeWithLibTIFF(const Bytes& Page, uint32_t Width, uint32_t Rows, uint16_t Compression,
                        uint32_t Group3Options, uint16_t FillOrder) {
    const std::string Path = (std::filesystem::path(qvtest::TempDir()) / "fax.tif").string();
    TIFFSetWarningHandler(nullptr);
    TIFF* Out = TIFFOpen(Path.c_str(), "w");
    TIFFSetField(Out, TIFFTAG_IMAGEWIDTH, Width);
    TIFFSetField(Out, TIFFTAG_IMAGELENGTH, Rows);
    TIFFSetField(Out, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(Out, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(Out, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(Out, TIFFTAG_FILLORDER, FillOrder);
    TIFFSetField(Out, TIFFTAG_COMPRESSION, Compression);
    if (Compression == COMPRESSION_CCITTFAX3) TIFFSetField(Out, TIFFTAG_GROUP3OPTIONS, Group3Options);
    TIFFSetField(Out, TIFFTAG_ROWSPERSTRIP, Rows);
    TIFFWriteEncodedStrip(Out, 0, const_cast<uint8_t*>(Page.data()), static_cast<tsize_t>(Page.size()));
    TIFFClose(Out);
    TIFF* In = TIFFOpen(Path.c_str(), "r");
    uint64_t* Counts = nullptr;
    TIFFGetField(In, TIFFTAG_STRIPBYTECOUNTS, &Counts);
    Bytes Strip(static_cast<size_t>(Counts[0]));
    TIFFReadRawStrip(In, 0, Strip.data(), static_cast<tsize_t>(Strip.size()));
    TIFFClose(In);
    return Strip;
}

template <typename TFaxDecoder>
Bytes DecodeStrip(const Bytes& Strip, uint32_t Options, bool SwapBits, uint32_t Width, size_t Size) {
    TFaxDecoder Decoder(Options, SwapBits, false, Width);
    return qvtest::Decode(Decoder, Strip, static_cast<int32_t>(Strip.size()), static_cast<int32_t>(Size), Size, 0x5A)
        .Output;
}

} // namespace

TEST(CCITTFax2D, LibTIFFStripsDecodeToTheirPixels) {
    struct TCase {
        uint16_t Compression;
        uint32_t Group3Options;
        uint16_t FillOrder;
    };
    const TCase Cases[] = {
        {COMPRESSION_CCITTFAX4, 0, FILLORDER_MSB2LSB},
        {COMPRESSION_CCITTFAX4, 0, FILLORDER_LSB2MSB},
        {COMPRESSION_CCITTFAX3, GROUP3OPT_2DENCODING, FILLORDER_MSB2LSB},
        {COMPRESSION_CCITTFAX3, GROUP3OPT_2DENCODING | GROUP3OPT_FILLBITS, FILLORDER_MSB2LSB},
        {COMPRESSION_CCITTFAX3, GROUP3OPT_2DENCODING | GROUP3OPT_FILLBITS, FILLORDER_LSB2MSB},
    };
    for (const uint32_t Width : {1u, 7u, 64u, 333u, 1728u, 2480u}) {
        const uint32_t Rows = Width > 1000 ? 60 : 37;
        const Bytes Page = RandomPage(Width, Rows, Width);
        for (const TCase& Case : Cases) {
            const Bytes Strip =
                EncodeWithLibTIFF(Page, Width, Rows, Case.Compression, Case.Group3Options, Case.FillOrder);
            const bool Swap = Case.FillOrder == FILLORDER_LSB2MSB;
            const Bytes Decoded = Case.Compression == COMPRESSION_CCITTFAX4
                                      ? DecodeStrip<TCCITTFax4Decoder>(Strip, 0, Swap, Width, Page.size())
                                      : DecodeStrip<TCCITTFax3Decoder>(Strip, Case.Group3Options, Swap, Width,
                                                                       Page.size());
            EXPECT_EQ(Decoded, Page) << "width " << Width << " compression " << Case.Compression << " options "
                                     << Case.Group3Options << " fill order " << Case.FillOrder;
        }
    }
}

TEST(CCITTFax2D, DamagedGroup4EndsTheStripAndGroup3Resynchronises) {
    const uint32_t Width = 200, Rows = 40;
    const Bytes Page = RandomPage(Width, Rows, 7);
    const size_t RowBytes = (Width + 7) / 8;

    // Group 4: a damaged code keeps the rows decoded before it; every later row is white.
    Bytes G4 = EncodeWithLibTIFF(Page, Width, Rows, COMPRESSION_CCITTFAX4, 0, FILLORDER_MSB2LSB);
    G4.resize(G4.size() / 2);
    const Bytes Cut = DecodeStrip<TCCITTFax4Decoder>(G4, 0, false, Width, Page.size());
    size_t Good = 0;
    while (Good < Rows && std::equal(Page.begin() + Good * RowBytes, Page.begin() + (Good + 1) * RowBytes,
                                     Cut.begin() + Good * RowBytes))
        ++Good;
    EXPECT_GT(Good, 5u);
    EXPECT_LT(Good, size_t{Rows});
    for (size_t Y = Good + 1; Y < Rows; ++Y)
        EXPECT_TRUE(std::all_of(Cut.begin() + Y * RowBytes, Cut.begin() + (Y + 1) * RowBytes,
                                [](uint8_t B) { return B == 0; }))
            << "row " << Y;

    // Group 3 2-D with fill bits: garbage inside one row damages that row and the
    // rows coded against it, but decoding picks up again at the next end-of-line
    // codes. A destroyed end-of-line code merges two rows, so the rows after the
    // damage may come out a row or two early: they match the page at some shift.
    Bytes G3 = EncodeWithLibTIFF(Page, Width, Rows, COMPRESSION_CCITTFAX3,
                                 GROUP3OPT_2DENCODING | GROUP3OPT_FILLBITS, FILLORDER_MSB2LSB);
    const Bytes Clean = DecodeStrip<TCCITTFax3Decoder>(G3, 1, false, Width, Page.size());
    ASSERT_EQ(Clean, Page);
    for (size_t K = G3.size() / 3; K < G3.size() / 3 + 3; ++K) G3[K] ^= 0x5C;
    const Bytes Damaged = DecodeStrip<TCCITTFax3Decoder>(G3, 1, false, Width, Page.size());
    auto Row = [&](const Bytes& Data, size_t Y) { return Data.begin() + static_cast<ptrdiff_t>(Y * RowBytes); };
    const size_t First = Rows - 10, Count = 5;
    bool Resynchronised = false;
    for (size_t Shift = 0; Shift <= 3 && !Resynchronised; ++Shift) {
        bool Same = true;
        for (size_t Y = First; Y < First + Count; ++Y)
            Same = Same && std::equal(Row(Page, Y + Shift), Row(Page, Y + Shift + 1), Row(Damaged, Y));
        Resynchronised = Same;
    }
    EXPECT_TRUE(Resynchronised) << "the rows after the damage did not resynchronise";
}

TEST(CCITTFax2D, GarbageTruncationAndHugeCountsStayInBounds) {
    const uint32_t Width = 300, Rows = 12;
    const Bytes Page = RandomPage(Width, Rows, 3);
    const int32_t Size = static_cast<int32_t>(Page.size());
    for (const bool Swap : {false, true}) {
        qvtest::Sweep([Swap] { return std::make_unique<TCCITTFax4Decoder>(0, Swap, false, 300); },
                      EncodeWithLibTIFF(Page, Width, Rows, COMPRESSION_CCITTFAX4, 0, FILLORDER_MSB2LSB), Size,
                      Page.size());
        qvtest::Sweep([Swap] { return std::make_unique<TCCITTFax3Decoder>(1, Swap, false, 300); },
                      EncodeWithLibTIFF(Page, Width, Rows, COMPRESSION_CCITTFAX3, GROUP3OPT_2DENCODING,
                                        FILLORDER_MSB2LSB),
                      Size, Page.size());
    }
}

TEST(CCITTFax2D, AWidthNearFourBillionTakesMemoryAsTheDataNeedsIt) {
    // The changing elements of a row are kept as the codes give them: reserving room for the
    // whole width would ask for gigabytes before the first code is read.
    const uint32_t Width = 0xFFFFFFFF;
    // 001 horizontal, 00111 white 10, 0010 black 6, then a vertical code past the row's end.
    const Bytes Horizontal(256, 0x27);
    // An end-of-line code and the tag bit of a two-dimensional row, then the same codes.
    Bytes Group3(2 + Horizontal.size(), 0x27);
    Group3[0] = 0x00;
    Group3[1] = 0x10;
    Bytes Decoded;
    EXPECT_NO_THROW(Decoded = DecodeStrip<TCCITTFax4Decoder>(Horizontal, 0, false, Width, 4096));
    EXPECT_TRUE(std::any_of(Decoded.begin(), Decoded.end(), [](uint8_t B) { return B != 0; }));
    EXPECT_NO_THROW(DecodeStrip<TCCITTFax3Decoder>(Group3, 1, false, Width, 4096));
}
