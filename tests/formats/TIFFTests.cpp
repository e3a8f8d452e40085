#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>

#include "FormatTestSupport.h"
#include "TestSupport.h"
#include "imaging/decoders/ImageCompression.h"
#include "imaging/formats/EPS.h"
#include "imaging/formats/TIFF.h"
#include "platform/Exceptions.h"
#include "platform/Streams.h"

using namespace qv;
using namespace qvtest;
using Bytes = std::vector<uint8_t>;

namespace {

const std::string Tiled = "Cannot load image. Tiled images are not supported for TIF/TIFF files.";
const std::string Planes = "Cannot load image. Separate colour planes are not supported for TIF/TIFF files.";
const std::string Scheme = "Cannot load image. The compression scheme is not supported for TIF/TIFF files.";
const std::string InvalidTIFF = "Cannot load image. Invalid or unexpected TIF/TIFF image format.";
const std::string InvalidEPS = "Cannot load image. Invalid or unexpected EPS image format.";

/// How a corpus file is checked.
enum class TCheck {
    Exact,    ///< every sample equal
    Near,     ///< within Tolerance (16-bit sources, JPEG, YCbCr)
    Channels, ///< CMYK: against the raw samples of the .channels.png reference
    Opaque,   ///< associated alpha: colour compared where the reference is opaque
    Loads,    ///< CIELab: our own formula, only required to load at the right size
    RowEnds,  ///< exact but for each row's last run, which the reference leaves unwritten
    Fails     ///< refused with Message
};

struct TExpectation {
    TCheck Check = TCheck::Exact;
    int Tolerance = 0;
    std::string Message;
};

const std::map<std::string, TExpectation>& Expectations() {
    static const std::map<std::string, TExpectation> Table = {
        {"cramps-tile.tif", {TCheck::Fails, 0, Tiled}},
        {"quad-tile.tif", {TCheck::Fails, 0, Tiled}},
        {"tahoe_tiled.tif", {TCheck::Fails, 0, Tiled}},
        {"oxford.tif", {TCheck::Fails, 0, Planes}},
        {"flower-rgb-planar-08.tif", {TCheck::Fails, 0, Planes}},
        {"flower-separated-planar-08.tif", {TCheck::Fails, 0, Planes}},
        {"tahoe_rgb_planar_packbits.tif", {TCheck::Fails, 0, Planes}},
        {"hopper_g4.tif", {TCheck::Fails, 0, Scheme}},
        {"tahoe_bw_g4.tif", {TCheck::Fails, 0, Scheme}},
        {"tahoe_bw_g3_2d.tif", {TCheck::Fails, 0, Scheme}},
        {"smallliz.tif", {TCheck::Fails, 0, Scheme}},
        {"quad-lzw.tif", {TCheck::Fails, 0, Scheme}}, // old-style LZW
        {"tiff_16bit_RGB.tiff", {TCheck::Fails, 0, Tiled}},
        // 16-bit colour maps: narrowed by rounding, the reference takes the high byte.
        {"flower-palette-02.tif", {TCheck::Near, 1, ""}},
        {"flower-palette-04.tif", {TCheck::Near, 1, ""}},
        {"flower-palette-08.tif", {TCheck::Near, 1, ""}},
        {"text.tif", {TCheck::RowEnds, 0, ""}},
        {"flower-minisblack-16.tif", {TCheck::Near, 1, ""}},
        {"flower-rgb-contig-16.tif", {TCheck::Near, 1, ""}},
        {"ladoga.tif", {TCheck::Near, 1, ""}},
        {"16bit.MM.deflate.tif", {TCheck::Near, 1, ""}},
        {"tahoe_grey16_MM.tif", {TCheck::Near, 1, ""}},
        {"tahoe_rgb16_lzw.tif", {TCheck::Near, 1, ""}},
        {"flower-separated-contig-16.tif", {TCheck::Near, 2, ""}},
        {"quad-jpeg.tif", {TCheck::Near, 3, ""}},
        {"tiff_strip_ycbcr_jpeg_2x2_sampling.tif", {TCheck::Near, 3, ""}},
        {"tiff_strip_ycbcr_jpeg_1x1_sampling.tif", {TCheck::Near, 3, ""}},
        {"tahoe_jpeg_ycbcr.tif", {TCheck::Near, 3, ""}},
        {"tahoe_jpeg_rgb.tif", {TCheck::Near, 3, ""}},
        {"tahoe_grey_jpeg.tif", {TCheck::Near, 3, ""}},
        {"ycbcr-cat.tif", {TCheck::Near, 3, ""}},
        {"tiff_strip_cmyk_jpeg.tif", {TCheck::Channels, 0, ""}},
        {"flower-separated-contig-08.tif", {TCheck::Channels, 0, ""}},
        {"tahoe_cmyk.tif", {TCheck::Channels, 0, ""}},
        {"tahoe_cmyk_lzw_MM.tif", {TCheck::Channels, 0, ""}},
        {"lab.tif", {TCheck::Loads, 0, ""}},
        {"tahoe_lab.tif", {TCheck::Loads, 0, ""}},
        {"strike.tif", {TCheck::Opaque, 0, ""}},
    };
    return Table;
}

/// The picture our CMYK conversion makes of the raw samples (C, M, Y, K in R, G, B, A).
TRgbaImage FromChannels(const TRgbaImage& Channels) {
    TRgbaImage Result = Channels;
    for (size_t I = 0; I < Result.Pixels.size(); I += 4) {
        const int K = Channels.Pixels[I + 3];
        for (int C = 0; C < 3; ++C) {
            const int X = Channels.Pixels[I + static_cast<size_t>(C)];
            Result.Pixels[I + static_cast<size_t>(C)] = static_cast<uint8_t>(std::clamp(255 - X - K + X * K / 255, 0, 255));
        }
        Result.Pixels[I + 3] = 255;
    }
    return Result;
}

/// The picture with each row's trailing run of equal pixels taken from the reference.
TRgbaImage WithReferenceRowEnds(TRgbaImage Actual, const TRgbaImage& Reference) {
    if (Actual.Width != Reference.Width || Actual.Height != Reference.Height) return Actual;
    for (int Y = 0; Y < Actual.Height; ++Y) {
        const uint8_t Last = Actual.At(Actual.Width - 1, Y)[0];
        for (int X = Actual.Width - 1; X >= 0 && Actual.At(X, Y)[0] == Last; --X)
            std::memcpy(&Actual.Pixels[(static_cast<size_t>(Y) * Actual.Width + X) * 4], Reference.At(X, Y), 4);
    }
    return Actual;
}

std::string LoadError(const TReaderFactory& Factory, const Bytes& Data) {
    try {
        LoadAsRgba(Factory, Data);
    } catch (const qv::Exception& E) {
        return E.what();
    }
    return "";
}

void CheckCorpusFile(const std::string& Path, const TReaderFactory& Factory) {
    const std::string Name = BaseName(Path);
    SCOPED_TRACE(Name);
    const Bytes Data = ReadFileBytes(Path);
    const auto Found = Expectations().find(Name);
    const TExpectation Expect = Found != Expectations().end() ? Found->second : TExpectation{};
    if (Expect.Check == TCheck::Fails) {
        EXPECT_EQ(LoadError(Factory, Data), Expect.Message);
        return;
    }
    TRgbaImage Actual;
    try {
        Actual = LoadAsRgba(Factory, Data);
    } catch (const qv::Exception& E) {
        ADD_FAILURE() << "load failed: " << E.what();
        return;
    }
    const TRgbaImage Reference = ReadPng(ReferenceFor(Path));
    switch (Expect.Check) {
    case TCheck::Loads:
        EXPECT_EQ(Actual.Width, Reference.Width);
        EXPECT_EQ(Actual.Height, Reference.Height);
        break;
    case TCheck::Channels:
        EXPECT_TRUE(SameRgba(Actual, FromChannels(ReadPng(ReferenceFor(Path, ".channels.png"))), 1, TAlphaCheck::Ignore));
        break;
    case TCheck::RowEnds:
        EXPECT_TRUE(SameRgba(WithReferenceRowEnds(Actual, Reference), Reference, 0, TAlphaCheck::Compare));
        break;
    case TCheck::Opaque: EXPECT_TRUE(SameRgba(Actual, Reference, 0, TAlphaCheck::ColourWhereOpaque)); break;
    default: EXPECT_TRUE(SameRgba(Actual, Reference, Expect.Tolerance, TAlphaCheck::Compare)); break;
    }
}

} // namespace

TEST(TIFFReader, CorpusFilesShowOrFailWithTheirMessage) {
    QV_REQUIRE_CORPUS();
    const auto TIFFFiles = CorpusFiles("tiff");
    const auto EPSFiles = CorpusFiles("eps");
    ASSERT_FALSE(TIFFFiles.empty());
    ASSERT_FALSE(EPSFiles.empty());
    for (const std::string& Path : TIFFFiles) CheckCorpusFile(Path, ReaderOf<TTIFFGraphic>());
    for (const std::string& Path : EPSFiles) CheckCorpusFile(Path, ReaderOf<TEPSGraphic>());
}

TEST(TIFFReader, DamagedCorpusFilesFailCleanly) {
    QV_REQUIRE_CORPUS();
    // Damaged JPEG strips warn for every load; the sweep only asks how the loads end.
    SetWarningSink([](const std::string&, const std::string&) {});
    for (const std::string& Path : CorpusFiles("tiff")) SweepDamaged(ReaderOf<TTIFFGraphic>(), ReadFileBytes(Path), BaseName(Path));
    for (const std::string& Path : CorpusFiles("eps")) SweepDamaged(ReaderOf<TEPSGraphic>(), ReadFileBytes(Path), BaseName(Path));
    SetWarningSink({});
}
