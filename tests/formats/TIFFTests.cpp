#include <gtest/gtest.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
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

const std::string Scheme = "Cannot load image. The compression scheme is not supported for TIF/TIFF files.";
const std::string InvalidTIFF = "Cannot load image. Invalid or unexpected TIF/TIFF image format.";
const std::string InvalidEPS = "Cannot load image. Invalid or unexpected EPS image format.";

std::string LoadError(const TReaderFactory& Factory, const Bytes& Data) { return LoadMessage(Factory, Data); }

// Each corpus file as the shared table expects it.
void CheckCorpusFile(const std::string& Path, const TReaderFactory& Factory) {
    const std::string Name = BaseName(Path);
    SCOPED_TRACE(Name);
    const Bytes Data = ReadFileBytes(Path);
    const TCorpusExpectation Expect = ExpectationFor(Path, Data);
    if (Expect.Check == TCorpusCheck::Fails) {
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
    case TCorpusCheck::SizeOnly:
        EXPECT_EQ(Actual.Width, Reference.Width);
        EXPECT_EQ(Actual.Height, Reference.Height);
        break;
    case TCorpusCheck::Channels:
        EXPECT_TRUE(SameRgba(Actual, FromInkChannels(ReadPng(ReferenceFor(Path, ".channels.png"))), Expect.Tolerance,
                             Expect.Alpha));
        break;
    case TCorpusCheck::RowEnds:
        EXPECT_TRUE(SameRgba(WithReferenceRowEnds(Actual, Reference), Reference, Expect.Tolerance, Expect.Alpha));
        break;
    case TCorpusCheck::Compare: EXPECT_TRUE(SameRgba(Actual, Reference, Expect.Tolerance, Expect.Alpha)); break;
    default: ADD_FAILURE() << "no TIFF check for this expectation"; break;
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

// --- Files written by libtiff, checked against libtiff's own decode -------------------------

namespace {

/// What libtiff writes: one picture of generated samples.
struct TLibTiffFile {
    const char* Name;
    bool BigEndian;
    uint16_t Samples;
    uint16_t Bits;
    uint16_t Photometric;
    uint16_t Compression;
    uint16_t Predictor = 1;
    uint16_t FillOrder = 1;
    uint16_t ExtraSample = 0xFFFF; ///< the extra sample's kind, none by default
    uint16_t SubH = 1, SubV = 1;   ///< YCbCr subsampling; the strips then hold blocks
    uint32_t Tile = 0;             ///< square tiles of this size, or strips
    bool Separate = false;         ///< one plane per sample
    uint32_t RowsPerStrip = 8;
};

constexpr uint32_t FixtureWidth = 37;
constexpr uint32_t FixtureHeight = 23;

/// A sample of the generated picture: smooth enough for every scheme, different per sample.
uint32_t SampleAt(uint32_t X, uint32_t Y, uint32_t S, uint16_t Bits) {
    const uint32_t Max = Bits == 16 ? 65535u : (1u << Bits) - 1;
    const uint32_t V = (X * 2311u + Y * 4099u + S * 10007u + X * Y * 97u) % 65536u;
    return Bits == 16 ? V : V * Max / 65535u;
}

/// Packs the samples of Rows rows of Width pixels from (X0, Y0) as the file stores them
/// (samples of Bits bits, rows byte-aligned): every sample of a pixel, or those of one plane.
/// Subsampled YCbCr is stored in blocks, or as chroma planes of one sample per block.
Bytes BlockData(const TLibTiffFile& F, uint32_t X0, uint32_t Y0, uint32_t Width, uint32_t Rows, uint32_t Plane,
                const std::function<uint32_t(uint32_t, uint32_t, uint32_t)>& Sample) {
    Bytes Out;
    const bool Blocks = F.SubH != 1 || F.SubV != 1;
    if (Blocks && !F.Separate) {
        for (uint32_t BY = Y0; BY < Y0 + Rows; BY += F.SubV)
            for (uint32_t BX = X0; BX < X0 + Width; BX += F.SubH) {
                for (uint32_t J = 0; J < F.SubV; ++J)
                    for (uint32_t I = 0; I < F.SubH; ++I)
                        Out.push_back(static_cast<uint8_t>(
                            Sample(std::min(BX + I, FixtureWidth - 1), std::min(BY + J, FixtureHeight - 1), 0)));
                Out.push_back(static_cast<uint8_t>(Sample(BX, BY, 1)));
                Out.push_back(static_cast<uint8_t>(Sample(BX, BY, 2)));
            }
        return Out;
    }
    const uint32_t StepX = Blocks && Plane > 0 ? F.SubH : 1;
    const uint32_t StepY = Blocks && Plane > 0 ? F.SubV : 1;
    const uint32_t First = F.Separate ? Plane : 0;
    const uint32_t Last = F.Separate ? Plane + 1 : F.Samples;
    for (uint32_t Y = Y0; Y < Y0 + Rows; Y += StepY) {
        uint32_t Acc = 0, Filled = 0;
        for (uint32_t X = X0; X < X0 + Width; X += StepX)
            for (uint32_t S = First; S < Last; ++S) {
                const uint32_t V = Sample(X, Y, S);
                if (F.Bits == 16) {
                    // libtiff swaps to the file's order itself.
                    const uint16_t W = static_cast<uint16_t>(V);
                    const uint8_t* P = reinterpret_cast<const uint8_t*>(&W);
                    Out.insert(Out.end(), P, P + 2);
                    continue;
                }
                Acc = Acc << F.Bits | V;
                Filled += F.Bits;
                while (Filled >= 8) {
                    Out.push_back(static_cast<uint8_t>(Acc >> (Filled - 8)));
                    Filled -= 8;
                }
            }
        if (Filled > 0) Out.push_back(static_cast<uint8_t>(Acc << (8 - Filled)));
    }
    return Out;
}

std::string TempPath(const char* Name) {
    return (std::filesystem::temp_directory_path() / (std::string("qv_tiff_") + std::to_string(::getpid()) + "_" + Name))
        .string();
}

/// Writes the file with libtiff; Sample gives each sample (x, y, sample index).
Bytes WriteWithLibTiff(const TLibTiffFile& F, const std::function<uint32_t(uint32_t, uint32_t, uint32_t)>& Sample,
                       const std::vector<uint16_t>& ColorMap = {}) {
    const std::string Path = TempPath(F.Name);
    TIFF* Tif = TIFFOpen(Path.c_str(), F.BigEndian ? "wb" : "wl");
    EXPECT_NE(Tif, nullptr);
    if (Tif == nullptr) return {};
    TIFFSetField(Tif, TIFFTAG_IMAGEWIDTH, FixtureWidth);
    TIFFSetField(Tif, TIFFTAG_IMAGELENGTH, FixtureHeight);
    TIFFSetField(Tif, TIFFTAG_SAMPLESPERPIXEL, F.Samples);
    TIFFSetField(Tif, TIFFTAG_BITSPERSAMPLE, F.Bits);
    TIFFSetField(Tif, TIFFTAG_PHOTOMETRIC, F.Photometric);
    TIFFSetField(Tif, TIFFTAG_COMPRESSION, F.Compression);
    TIFFSetField(Tif, TIFFTAG_PLANARCONFIG, F.Separate ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
    if (F.Tile != 0) {
        TIFFSetField(Tif, TIFFTAG_TILEWIDTH, F.Tile);
        TIFFSetField(Tif, TIFFTAG_TILELENGTH, F.Tile);
    } else {
        TIFFSetField(Tif, TIFFTAG_ROWSPERSTRIP, F.RowsPerStrip);
    }
    TIFFSetField(Tif, TIFFTAG_FILLORDER, F.FillOrder);
    if (F.Compression == COMPRESSION_JPEG) TIFFSetField(Tif, TIFFTAG_JPEGQUALITY, 100);
    if (F.Predictor != 1) TIFFSetField(Tif, TIFFTAG_PREDICTOR, F.Predictor);
    if (F.ExtraSample != 0xFFFF) {
        const uint16_t Extra[1] = {F.ExtraSample};
        TIFFSetField(Tif, TIFFTAG_EXTRASAMPLES, 1, Extra);
    }
    if (F.Photometric == PHOTOMETRIC_YCBCR) TIFFSetField(Tif, TIFFTAG_YCBCRSUBSAMPLING, F.SubH, F.SubV);
    if (F.Photometric == PHOTOMETRIC_PALETTE) {
        const size_t N = size_t{1} << F.Bits;
        TIFFSetField(Tif, TIFFTAG_COLORMAP, ColorMap.data(), ColorMap.data() + N, ColorMap.data() + 2 * N);
    }
    const uint32_t Planes = F.Separate ? F.Samples : 1;
    for (uint32_t Plane = 0; Plane < Planes; ++Plane) {
        if (F.Tile != 0) {
            for (uint32_t Y = 0; Y < FixtureHeight; Y += F.Tile)
                for (uint32_t X = 0; X < FixtureWidth; X += F.Tile) {
                    Bytes Data = BlockData(F, X, Y, F.Tile, F.Tile, Plane, Sample);
                    const ttile_t Tile = TIFFComputeTile(Tif, X, Y, 0, static_cast<uint16_t>(Plane));
                    EXPECT_GE(TIFFWriteEncodedTile(Tif, Tile, Data.data(), static_cast<tmsize_t>(Data.size())), 0);
                }
            continue;
        }
        const uint32_t PerPlane = (FixtureHeight + F.RowsPerStrip - 1) / F.RowsPerStrip;
        for (uint32_t Row = 0, Strip = 0; Row < FixtureHeight; Row += F.RowsPerStrip, ++Strip) {
            Bytes Data = BlockData(F, 0, Row, FixtureWidth, std::min(F.RowsPerStrip, FixtureHeight - Row), Plane, Sample);
            if (F.Compression == COMPRESSION_JPEG && F.Separate && Plane > 0 && F.SubH != 1) {
                // libtiff takes a subsampled plane's rows at the full plane's row stride.
                const size_t Across = (FixtureWidth + F.SubH - 1) / F.SubH;
                Bytes Padded;
                for (size_t At = 0; At < Data.size(); At += Across) {
                    Padded.insert(Padded.end(), Data.begin() + static_cast<ptrdiff_t>(At),
                                  Data.begin() + static_cast<ptrdiff_t>(std::min(At + Across, Data.size())));
                    Padded.resize(Padded.size() + FixtureWidth - Across, 0);
                }
                Data = Padded;
            }
            EXPECT_GE(TIFFWriteEncodedStrip(Tif, Plane * PerPlane + Strip, Data.data(), static_cast<tmsize_t>(Data.size())),
                      0);
        }
    }
    TIFFClose(Tif);
    Bytes Result = ReadFileBytes(Path);
    std::filesystem::remove(Path);
    return Result;
}

Bytes WriteWithLibTiff(const TLibTiffFile& F) {
    return WriteWithLibTiff(F, [&F](uint32_t X, uint32_t Y, uint32_t S) { return SampleAt(X, Y, S, F.Bits); });
}

/// libtiff's own decode of the file, as RGBA rows top-down.
std::optional<TRgbaImage> LibTiffRgba(const Bytes& Data, const char* Name) {
    const std::string Path = TempPath(Name);
    {
        TFileStream Out(Path, TFileMode::Create);
        Out.WriteBuffer(Data.data(), static_cast<int64_t>(Data.size()));
    }
    std::optional<TRgbaImage> Result;
    if (TIFF* Tif = TIFFOpen(Path.c_str(), "r")) {
        std::vector<uint32_t> Raster(size_t{FixtureWidth} * FixtureHeight);
        if (TIFFReadRGBAImageOriented(Tif, FixtureWidth, FixtureHeight, Raster.data(), ORIENTATION_TOPLEFT, 0)) {
            TRgbaImage Image;
            Image.Width = FixtureWidth;
            Image.Height = FixtureHeight;
            for (uint32_t P : Raster)
                Image.Pixels.insert(Image.Pixels.end(), {static_cast<uint8_t>(TIFFGetR(P)), static_cast<uint8_t>(TIFFGetG(P)),
                                                        static_cast<uint8_t>(TIFFGetB(P)), static_cast<uint8_t>(TIFFGetA(P))});
            Result = Image;
        }
        TIFFClose(Tif);
    }
    std::filesystem::remove(Path);
    return Result;
}

} // namespace

TEST(TIFFReader, VariantsTheCorpusLacksMatchLibTiff) {
    // Predictor on 16-bit and two-sample pixels (both byte orders), grey with an extra sample,
    // fill order 2 under LZW and deflate, subsampled YCbCr blocks without JPEG.
    const TLibTiffFile Files[] = {
        {"grey16_pred_ii", false, 1, 16, PHOTOMETRIC_MINISBLACK, COMPRESSION_LZW, 2},
        {"grey16_pred_mm", true, 1, 16, PHOTOMETRIC_MINISBLACK, COMPRESSION_ADOBE_DEFLATE, 2},
        {"rgb16_pred_mm", true, 3, 16, PHOTOMETRIC_RGB, COMPRESSION_LZW, 2},
        {"rgb8_pred_ii", false, 3, 8, PHOTOMETRIC_RGB, COMPRESSION_PACKBITS, 1},
        {"greyalpha_pred", false, 2, 8, PHOTOMETRIC_MINISBLACK, COMPRESSION_LZW, 2, 1, EXTRASAMPLE_UNSPECIFIED},
        {"greyalpha16_mm", true, 2, 16, PHOTOMETRIC_MINISWHITE, COMPRESSION_NONE, 1, 1, EXTRASAMPLE_UNSPECIFIED},
        {"grey8_lzw_fill2", false, 1, 8, PHOTOMETRIC_MINISBLACK, COMPRESSION_LZW, 1, 2},
        {"grey4_deflate_fill2_mm", true, 1, 4, PHOTOMETRIC_MINISWHITE, COMPRESSION_ADOBE_DEFLATE, 1, 2},
        {"ycbcr22", false, 3, 8, PHOTOMETRIC_YCBCR, COMPRESSION_NONE, 1, 1, 0xFFFF, 2, 2},
        {"ycbcr21_lzw_mm", true, 3, 8, PHOTOMETRIC_YCBCR, COMPRESSION_LZW, 1, 1, 0xFFFF, 2, 1},
        {"ycbcr42", false, 3, 8, PHOTOMETRIC_YCBCR, COMPRESSION_PACKBITS, 1, 1, 0xFFFF, 4, 2},
    };
    for (const TLibTiffFile& F : Files) {
        SCOPED_TRACE(F.Name);
        const Bytes Data = WriteWithLibTiff(F);
        const auto Expected = LibTiffRgba(Data, F.Name);
        ASSERT_TRUE(Expected.has_value());
        TRgbaImage Actual;
        ASSERT_NO_THROW(Actual = LoadAsRgba(ReaderOf<TTIFFGraphic>(), Data));
        const int Tolerance = F.Photometric == PHOTOMETRIC_YCBCR ? 3 : F.Bits == 16 ? (F.Samples == 4 ? 2 : 1) : 0;
        // The extra sample is dropped, so alpha is not compared.
        EXPECT_TRUE(SameRgba(Actual, *Expected, Tolerance, TAlphaCheck::Ignore));
    }
}

TEST(TIFFReader, TilesAndSeparatePlanesMatchLibTiff) {
    // 16 x 16 tiles over 37 x 23 pixels overhang at the right and the bottom; strips of
    // separate planes come one plane after the other. The predictor runs along tile rows and
    // within each plane. Each must show as libtiff shows the same samples in plain strips
    // (libtiff's own picture reader misplaces 16-bit grey in tiles that overhang); JPEG files,
    // which do not hold their samples exactly, as libtiff shows the file itself.
    struct TCase {
        TLibTiffFile File;
        int Tolerance;
    };
    auto Tiled = [](TLibTiffFile F) { F.Tile = 16; return F; };
    auto Planar = [](TLibTiffFile F) { F.Separate = true; return F; };
    const TCase Cases[] = {
        {Tiled({"rgb8_tiles_lzw_pred", false, 3, 8, PHOTOMETRIC_RGB, COMPRESSION_LZW, 2}), 0},
        {Tiled({"grey16_tiles_deflate_mm", true, 1, 16, PHOTOMETRIC_MINISBLACK, COMPRESSION_ADOBE_DEFLATE, 2}), 1},
        {Tiled({"grey4_tiles_packbits", false, 1, 4, PHOTOMETRIC_MINISWHITE, COMPRESSION_PACKBITS}), 0},
        {Tiled({"bilevel_tiles_g4", false, 1, 1, PHOTOMETRIC_MINISWHITE, COMPRESSION_CCITTFAX4}), 0},
        {Tiled({"cmyk8_tiles", true, 4, 8, PHOTOMETRIC_SEPARATED, COMPRESSION_NONE}), 2},
        {Tiled({"ycbcr22_tiles", false, 3, 8, PHOTOMETRIC_YCBCR, COMPRESSION_LZW, 1, 1, 0xFFFF, 2, 2}), 3},
        {Tiled({"rgb_jpeg_tiles", false, 3, 8, PHOTOMETRIC_RGB, COMPRESSION_JPEG}), 3},
        {Tiled({"ycbcr_jpeg_tiles", false, 3, 8, PHOTOMETRIC_YCBCR, COMPRESSION_JPEG, 1, 1, 0xFFFF, 2, 2}), 3},
        {Planar({"rgb8_planes_packbits", false, 3, 8, PHOTOMETRIC_RGB, COMPRESSION_PACKBITS}), 0},
        {Planar({"rgba8_planes_lzw_pred_mm", true, 4, 8, PHOTOMETRIC_RGB, COMPRESSION_LZW, 2, 1, EXTRASAMPLE_ASSOCALPHA}), 0},
        {Planar({"rgb16_planes_deflate_pred", false, 3, 16, PHOTOMETRIC_RGB, COMPRESSION_ADOBE_DEFLATE, 2}), 1},
        {Planar({"cmyk8_planes_lzw_fill2", false, 4, 8, PHOTOMETRIC_SEPARATED, COMPRESSION_LZW, 1, 2}), 2},
        {Planar({"greyalpha_planes", false, 2, 8, PHOTOMETRIC_MINISBLACK, COMPRESSION_NONE, 1, 1, EXTRASAMPLE_UNSPECIFIED}), 0},
        {Planar({"rgb_jpeg_planes", false, 3, 8, PHOTOMETRIC_RGB, COMPRESSION_JPEG}), 3},
        {Planar(Tiled({"rgb8_planes_tiles_lzw", true, 3, 8, PHOTOMETRIC_RGB, COMPRESSION_LZW, 2})), 0},
    };
    for (const TCase& Case : Cases) {
        const TLibTiffFile& F = Case.File;
        SCOPED_TRACE(F.Name);
        TLibTiffFile Plain = F;
        Plain.Name = "plain";
        Plain.Tile = 0;
        Plain.Separate = false;
        Plain.Compression = COMPRESSION_NONE;
        Plain.Predictor = Plain.FillOrder = 1;
        const Bytes Data = WriteWithLibTiff(F);
        const auto Expected = F.Compression == COMPRESSION_JPEG ? LibTiffRgba(Data, F.Name)
                                                                : LibTiffRgba(WriteWithLibTiff(Plain), "plain");
        ASSERT_TRUE(Expected.has_value());
        TRgbaImage Actual;
        ASSERT_NO_THROW(Actual = LoadAsRgba(ReaderOf<TTIFFGraphic>(), Data));
        const bool Alpha = F.Samples == 4 && F.Photometric == PHOTOMETRIC_RGB;
        EXPECT_TRUE(SameRgba(Actual, *Expected, Case.Tolerance, Alpha ? TAlphaCheck::Compare : TAlphaCheck::Ignore));
    }
}

TEST(TIFFReader, SubsampledSeparatePlanesShowAsTheirContiguousFile) {
    // Separate YCbCr planes hold chroma at the subsampled size (libtiff's picture reader does
    // not show them); they must give the picture of the same samples stored in blocks.
    for (const auto& [H, V] : {std::pair{2, 2}, std::pair{2, 1}, std::pair{4, 2}}) {
        SCOPED_TRACE(testing::Message() << H << "x" << V);
        TLibTiffFile Blocks{"ycbcr_blocks", false, 3, 8, PHOTOMETRIC_YCBCR, COMPRESSION_NONE, 1, 1, 0xFFFF,
                            static_cast<uint16_t>(H), static_cast<uint16_t>(V)};
        TLibTiffFile Planes = Blocks;
        Planes.Name = "ycbcr_planes";
        Planes.Separate = true;
        const TRgbaImage Expected = LoadAsRgba(ReaderOf<TTIFFGraphic>(), WriteWithLibTiff(Blocks));
        EXPECT_TRUE(SameRgba(LoadAsRgba(ReaderOf<TTIFFGraphic>(), WriteWithLibTiff(Planes)), Expected, 0,
                             TAlphaCheck::Compare));
        Planes.Compression = COMPRESSION_JPEG;
        Planes.RowsPerStrip = 16;
        Planes.Name = "ycbcr_planes_jpeg";
        TRgbaImage Jpeg;
        ASSERT_NO_THROW(Jpeg = LoadAsRgba(ReaderOf<TTIFFGraphic>(), WriteWithLibTiff(Planes)));
        EXPECT_TRUE(SameRgba(Jpeg, Expected, 8, TAlphaCheck::Compare));
    }
}

TEST(TIFFReader, ByteOrderDoesNotChangeWideSamples) {
    // 16-bit CMYK, YCbCr and CIELab: both byte orders give the same picture, the picture of
    // the 8-bit file of the samples' high bytes (libtiff's for CMYK; ours for Lab, whose
    // formula is our own, and YCbCr, whose 16-bit form libtiff does not show).
    for (uint16_t Photometric : {uint16_t{PHOTOMETRIC_SEPARATED}, uint16_t{PHOTOMETRIC_YCBCR}, uint16_t{PHOTOMETRIC_CIELAB}}) {
        SCOPED_TRACE(Photometric);
        const uint16_t Samples = Photometric == PHOTOMETRIC_SEPARATED ? 4 : 3;
        TLibTiffFile Little{"wide_ii", false, Samples, 16, Photometric, COMPRESSION_LZW, 2};
        Little.SubH = Little.SubV = 1;
        TLibTiffFile Big = Little;
        Big.Name = "wide_mm";
        Big.BigEndian = true;
        const TRgbaImage A = LoadAsRgba(ReaderOf<TTIFFGraphic>(), WriteWithLibTiff(Little));
        const TRgbaImage B = LoadAsRgba(ReaderOf<TTIFFGraphic>(), WriteWithLibTiff(Big));
        EXPECT_TRUE(SameRgba(A, B, 0, TAlphaCheck::Compare));
        TLibTiffFile Narrow{"narrow", false, Samples, 8, Photometric, COMPRESSION_NONE};
        Narrow.SubH = Narrow.SubV = 1;
        const Bytes NarrowFile = WriteWithLibTiff(Narrow, [](uint32_t X, uint32_t Y, uint32_t S) {
            return SampleAt(X, Y, S, 16) >> 8;
        });
        if (Photometric == PHOTOMETRIC_SEPARATED) {
            const auto Expected = LibTiffRgba(NarrowFile, "narrow");
            ASSERT_TRUE(Expected.has_value());
            EXPECT_TRUE(SameRgba(A, *Expected, 2, TAlphaCheck::Compare));
        } else {
            EXPECT_TRUE(SameRgba(A, LoadAsRgba(ReaderOf<TTIFFGraphic>(), NarrowFile),
                                 Photometric == PHOTOMETRIC_CIELAB ? 0 : 3, TAlphaCheck::Compare));
        }
    }
}

TEST(TIFFReader, PaletteWithAnExtraSampleDropsIt) {
    std::vector<uint16_t> Map(3 * 256);
    for (size_t I = 0; I < Map.size(); ++I) Map[I] = static_cast<uint16_t>((I * 40503u) & 0xFF00u);
    auto Index = [](uint32_t X, uint32_t Y, uint32_t S) { return S == 0 ? (X * 7 + Y * 3) % 256 : 255 - X; };
    const TLibTiffFile One{"palette", true, 1, 8, PHOTOMETRIC_PALETTE, COMPRESSION_LZW};
    const TLibTiffFile Two{"palette_extra", true, 2, 8, PHOTOMETRIC_PALETTE, COMPRESSION_LZW, 2, 1, EXTRASAMPLE_UNSPECIFIED};
    const TRgbaImage A = LoadAsRgba(ReaderOf<TTIFFGraphic>(), WriteWithLibTiff(One, Index, Map));
    const TRgbaImage B = LoadAsRgba(ReaderOf<TTIFFGraphic>(), WriteWithLibTiff(Two, Index, Map));
    EXPECT_TRUE(SameRgba(A, B, 0, TAlphaCheck::Compare));
    EXPECT_NEAR(A.At(3, 1)[0], Map[(3 * 7 + 3) % 256] >> 8, 1);
}

// --- Hand-built files: what libtiff will not write ----------------------------------------

namespace {

/// A small TIFF writer, either byte order: strip data right after the header, then the IFD,
/// then the values that do not fit into their entries.
class TTiffBuilder {
public:
    explicit TTiffBuilder(bool BigEndian) : FBig(BigEndian) {}

    /// An entry with its values (rationals as numerator, denominator pairs).
    TTiffBuilder& Tag(uint16_t Tag, uint16_t Type, std::vector<uint32_t> Values) {
        const uint32_t Count = static_cast<uint32_t>(Type == 5 ? Values.size() / 2 : Values.size());
        FEntries.push_back({Tag, Type, Count, std::move(Values), std::nullopt});
        return *this;
    }
    TTiffBuilder& Short(uint16_t T, std::vector<uint32_t> Values) { return Tag(T, 3, std::move(Values)); }
    TTiffBuilder& Long(uint16_t T, std::vector<uint32_t> Values) { return Tag(T, 4, std::move(Values)); }
    /// An entry whose count and value field are given as they are, whatever they claim.
    TTiffBuilder& Raw(uint16_t T, uint16_t Type, uint32_t Count, uint32_t Field) {
        FEntries.push_back({T, Type, Count, {}, Field});
        return *this;
    }
    /// Appends strip data; returns its offset.
    uint32_t Data(const Bytes& D) {
        const uint32_t Offset = static_cast<uint32_t>(8 + FData.size());
        FData.insert(FData.end(), D.begin(), D.end());
        return Offset;
    }
    /// The file; NextIFD is written after the entries (0 ends the chain).
    Bytes Build(std::optional<uint32_t> NextIFD = 0) const {
        Bytes Out = {FBig ? uint8_t{'M'} : uint8_t{'I'}, FBig ? uint8_t{'M'} : uint8_t{'I'}};
        Put(Out, 42, 2);
        const uint32_t IFD = static_cast<uint32_t>(8 + FData.size() + FData.size() % 2);
        Put(Out, IFD, 4);
        Out.insert(Out.end(), FData.begin(), FData.end());
        Out.resize(IFD, 0);
        auto Entries = FEntries;
        std::sort(Entries.begin(), Entries.end(), [](const auto& A, const auto& B) { return A.Tag < B.Tag; });
        Bytes Extra;
        uint32_t ExtraAt = IFD + 2 + 12 * static_cast<uint32_t>(Entries.size()) + 4;
        Put(Out, static_cast<uint32_t>(Entries.size()), 2);
        for (const auto& E : Entries) {
            Put(Out, E.Tag, 2);
            Put(Out, E.Type, 2);
            Put(Out, E.Count, 4);
            if (E.Field) {
                Put(Out, *E.Field, 4);
                continue;
            }
            const size_t Size = E.Type == 3 ? 2 : E.Type == 1 ? 1 : 4;
            Bytes Values;
            for (uint32_t V : E.Values) Put(Values, V, Size);
            if (Values.size() <= 4) {
                Values.resize(4, 0);
                Out.insert(Out.end(), Values.begin(), Values.end());
            } else {
                Put(Out, ExtraAt + static_cast<uint32_t>(Extra.size()), 4);
                Extra.insert(Extra.end(), Values.begin(), Values.end());
            }
        }
        Put(Out, NextIFD.value_or(IFD), 4);
        Out.insert(Out.end(), Extra.begin(), Extra.end());
        return Out;
    }

private:
    struct TEntry {
        uint16_t Tag, Type;
        uint32_t Count;
        std::vector<uint32_t> Values;
        std::optional<uint32_t> Field;
    };
    void Put(Bytes& Out, uint32_t V, size_t Size) const {
        for (size_t I = 0; I < Size; ++I)
            Out.push_back(static_cast<uint8_t>(V >> (8 * (FBig ? Size - 1 - I : I))));
    }
    bool FBig;
    Bytes FData;
    std::vector<TEntry> FEntries;
};

/// An 8-bit grey picture of Width x Height with the given strips (each a run of rows).
TTiffBuilder Grey8(bool Big, uint32_t Width, uint32_t Height, uint32_t Compression = 1) {
    TTiffBuilder B(Big);
    B.Long(256, {Width}).Long(257, {Height}).Short(258, {8}).Short(259, {Compression}).Short(262, {1});
    return B;
}

Bytes Ramp(size_t Count, uint8_t Start) {
    Bytes Out(Count);
    for (size_t I = 0; I < Count; ++I) Out[I] = static_cast<uint8_t>(Start + I * 7);
    return Out;
}

/// PackBits literal runs of the bytes.
Bytes PackLiteral(const Bytes& Data) {
    Bytes Out;
    for (size_t I = 0; I < Data.size(); I += 128) {
        const size_t N = std::min<size_t>(128, Data.size() - I);
        Out.push_back(static_cast<uint8_t>(N - 1));
        Out.insert(Out.end(), Data.begin() + static_cast<ptrdiff_t>(I), Data.begin() + static_cast<ptrdiff_t>(I + N));
    }
    return Out;
}

/// The grey levels of an 8-bit grey picture's RGBA rows.
Bytes GreyLevels(const TRgbaImage& Image) {
    Bytes Out;
    for (size_t I = 0; I < Image.Pixels.size(); I += 4) Out.push_back(Image.Pixels[I]);
    return Out;
}

} // namespace

TEST(TIFFReader, MissingAndOutsizedStripSizesFallBackToTheData) {
    for (bool Big : {false, true}) {
        SCOPED_TRACE(Big ? "MM" : "II");
        const Bytes Top = Ramp(12, 1), Bottom = Ramp(12, 100);
        Bytes All = Top;
        All.insert(All.end(), Bottom.begin(), Bottom.end());
        {
            // No byte counts, uncompressed: each strip holds its rows' bytes.
            TTiffBuilder B = Grey8(Big, 6, 4);
            const uint32_t A = B.Data(Top), C = B.Data(Bottom);
            B.Long(273, {A, C}).Long(278, {2});
            EXPECT_EQ(GreyLevels(LoadAsRgba(ReaderOf<TTIFFGraphic>(), B.Build())), All);
        }
        {
            // No byte counts, compressed: up to the next strip, the last to the file's end.
            TTiffBuilder B = Grey8(Big, 6, 4, 32773);
            const uint32_t A = B.Data(PackLiteral(Top)), C = B.Data(PackLiteral(Bottom));
            B.Long(273, {A, C}).Long(278, {2});
            EXPECT_EQ(GreyLevels(LoadAsRgba(ReaderOf<TTIFFGraphic>(), B.Build())), All);
        }
        {
            // Byte counts of 4 GiB, rows per strip 0xFFFFFFFE: cut to the file and the picture.
            TTiffBuilder B = Grey8(Big, 6, 4);
            B.Long(273, {B.Data(All)}).Long(278, {0xFFFFFFFEu}).Long(279, {0xFFFFFFFFu});
            EXPECT_EQ(GreyLevels(LoadAsRgba(ReaderOf<TTIFFGraphic>(), B.Build())), All);
        }
        {
            // Bits per sample and rows per strip without values: 1 bit, one strip.
            TTiffBuilder B(Big);
            B.Long(256, {8}).Long(257, {2}).Raw(258, 3, 0, 0).Short(259, {1}).Short(262, {1});
            B.Long(273, {B.Data({0xF0, 0x0F})}).Raw(278, 4, 0, 0).Long(279, {2});
            const TRgbaImage Image = LoadAsRgba(ReaderOf<TTIFFGraphic>(), B.Build());
            EXPECT_EQ(GreyLevels(Image), (Bytes{255, 255, 255, 255, 0, 0, 0, 0, 0, 0, 0, 0, 255, 255, 255, 255}));
        }
    }
}

TEST(TIFFReader, HostileOrUnsupportedFilesRaiseTheirMessage) {
    const Bytes Row = Ramp(16, 3);
    auto Error = [](const Bytes& File) { return LoadError(ReaderOf<TTIFFGraphic>(), File); };
    for (bool Big : {false, true}) {
        SCOPED_TRACE(Big ? "MM" : "II");
        {
            TTiffBuilder B = Grey8(Big, 4, 4);
            B.Data(Row);
            B.Long(278, {4}).Long(279, {16});
            EXPECT_EQ(Error(B.Build()), InvalidTIFF) << "no strip offsets";
        }
        {
            TTiffBuilder B = Grey8(Big, 4, 4);
            B.Long(273, {B.Data(Row)}).Long(278, {0}).Long(279, {16});
            EXPECT_EQ(Error(B.Build()), InvalidTIFF) << "rows per strip 0";
        }
        {
            TTiffBuilder B(Big);
            B.Long(256, {2}).Long(257, {2}).Short(258, {16}).Short(259, {1}).Short(262, {3});
            B.Long(273, {B.Data(Bytes(8, 0))}).Long(279, {8}).Short(320, std::vector<uint32_t>(3 * 65536, 0x8000));
            EXPECT_EQ(Error(B.Build()), InvalidTIFF) << "16-bit palette";
        }
        {
            // Pictures far larger than their strips could ever fill.
            TTiffBuilder B = Grey8(Big, 1u << 20, 1u << 20);
            B.Long(273, {B.Data(Row)}).Long(279, {16});
            EXPECT_EQ(Error(B.Build()), InvalidTIFF) << "2^20 x 2^20";
            TTiffBuilder C = Grey8(Big, 16384, 16384, 8);
            C.Long(273, {C.Data(Row)}).Long(279, {16});
            EXPECT_EQ(Error(C.Build()), InvalidTIFF) << "16384 x 16384";
        }
        {
            // Tiles of 2^20 x 2^20 over a 4 x 4 picture from a few bytes.
            TTiffBuilder B = Grey8(Big, 4, 4);
            B.Long(322, {1u << 20}).Long(323, {1u << 20}).Long(324, {B.Data(Row)}).Long(325, {16});
            EXPECT_EQ(Error(B.Build()), InvalidTIFF) << "huge tiles";
        }
        {
            // A strip-offset list claiming 2^30 values in a file of a few hundred bytes.
            TTiffBuilder B = Grey8(Big, 4, 4);
            B.Data(Row);
            B.Raw(273, 4, 1u << 30, 8).Long(279, {16});
            EXPECT_FALSE(Error(B.Build()).empty());
        }
        {
            TTiffBuilder B(Big);
            B.Long(256, {4}).Long(257, {4}).Short(258, {4}).Short(259, {5}).Short(262, {1}).Short(317, {2});
            B.Long(273, {B.Data(Bytes{0x80, 0x00, 0x40, 0x40})}).Long(279, {4});
            EXPECT_EQ(Error(B.Build()), Scheme) << "predictor on 4-bit samples";
        }
        {
            TTiffBuilder B(Big);
            B.Long(256, {8}).Long(257, {1}).Short(258, {1}).Short(259, {3}).Short(262, {0}).Long(292, {2});
            B.Long(273, {B.Data(Bytes{0x00, 0x10})}).Long(279, {2});
            EXPECT_EQ(Error(B.Build()), Scheme) << "Group 3 uncompressed mode";
        }
    }
}

TEST(TIFFReader, BilevelTilesNarrowerThanAByteAreJoinedBitByBit) {
    // 10 x 3 pixels in tiles of 4 x 2 (libtiff only writes multiples of 16): each tile row is
    // one byte of which 4 bits are pixels; tiles overhang to the right and at the bottom.
    auto Black = [](uint32_t X, uint32_t Y) { return (X + 2 * Y) % 3 == 0; };
    TTiffBuilder B(false);
    B.Long(256, {10}).Long(257, {3}).Short(258, {1}).Short(259, {1}).Short(262, {1});
    B.Long(322, {4}).Long(323, {2});
    std::vector<uint32_t> Offsets;
    for (uint32_t TY = 0; TY < 4; TY += 2)
        for (uint32_t TX = 0; TX < 12; TX += 4) {
            Bytes Tile(2, 0);
            for (uint32_t Y = 0; Y < 2; ++Y)
                for (uint32_t X = 0; X < 4; ++X)
                    if (!Black(TX + X, TY + Y)) Tile[Y] = static_cast<uint8_t>(Tile[Y] | 0x80 >> X);
            Offsets.push_back(B.Data(Tile));
        }
    B.Long(324, Offsets).Long(325, std::vector<uint32_t>(6, 2));
    Bytes Expected;
    for (uint32_t Y = 0; Y < 3; ++Y)
        for (uint32_t X = 0; X < 10; ++X) Expected.push_back(Black(X, Y) ? 0 : 255);
    EXPECT_EQ(GreyLevels(LoadAsRgba(ReaderOf<TTIFFGraphic>(), B.Build())), Expected);
}

TEST(TIFFReader, PropertiesOfTheChosenDirectory) {
    // A big-endian file with two 16-bit values in one value field; resolutions per centimetre;
    // an IFD chain that points back at itself ends.
    TTiffBuilder B(true);
    B.Long(256, {4}).Long(257, {2}).Short(258, {8, 8, 8}).Short(259, {1}).Short(262, {6}).Short(277, {3});
    B.Long(273, {B.Data(Bytes(24, 128))}).Short(530, {2, 1}).Tag(282, 5, {254, 2}).Tag(283, 5, {100, 1}).Short(296, {3});
    TMemoryStream Stream(B.Build(std::nullopt));
    TTIFFGraphic Reader;
    ASSERT_TRUE(Reader.ReadImageProperties(Stream, 0));
    const TImageProperties& P = Reader.ImageProperties();
    EXPECT_EQ(P.YCbCrSubSampling, (TByteArray{2, 1}));
    EXPECT_FLOAT_EQ(P.XResolution, 127 * 2.54f);
    EXPECT_FLOAT_EQ(P.YResolution, 254.0f);
    EXPECT_EQ(P.RowsPerStrip, (TCardinalArray{2}));
    Stream.SetPosition(0);
    EXPECT_FALSE(Reader.ReadImageProperties(Stream, 3));
    // One subsampling value leaves the defaults.
    TTiffBuilder C(false);
    C.Long(256, {4}).Long(257, {2}).Short(262, {6}).Short(277, {3}).Short(530, {1});
    TMemoryStream Other(C.Build());
    ASSERT_TRUE(Reader.ReadImageProperties(Other, 0));
    EXPECT_EQ(Reader.ImageProperties().YCbCrSubSampling, (TByteArray{2, 2}));
}

TEST(TIFFReader, WordAlignedModifiedHuffmanRows) {
    // Compression 32771: each compressed row starts on an even byte. An all-white row of 37
    // pixels is one byte (white 37), an all-black row three (white 0, black 37): both padded.
    const Bytes White = {0b00010110, 0};
    const Bytes Black = {0b00110101, 0b00001101, 0b01100000, 0};
    Bytes Data;
    for (int Row = 0; Row < 4; ++Row) Data.insert(Data.end(), (Row % 2 ? Black : White).begin(), (Row % 2 ? Black : White).end());
    TTiffBuilder B(false);
    B.Long(256, {37}).Long(257, {4}).Short(258, {1}).Short(259, {32771}).Short(262, {0});
    B.Long(273, {B.Data(Data)}).Long(279, {static_cast<uint32_t>(Data.size())});
    const Bytes Levels = GreyLevels(LoadAsRgba(ReaderOf<TTIFFGraphic>(), B.Build()));
    ASSERT_EQ(Levels.size(), 4u * 37);
    for (size_t Row = 0; Row < 4; ++Row)
        EXPECT_EQ(Bytes(Levels.begin() + static_cast<ptrdiff_t>(Row * 37), Levels.begin() + static_cast<ptrdiff_t>(Row * 37 + 37)),
                  Bytes(37, Row % 2 ? 0 : 255)) << "row " << Row;
}

TEST(TIFFReader, EPSPreviewOffsetsOutsideTheFileAreRefused) {
    TTiffBuilder Preview = Grey8(false, 4, 4);
    Preview.Long(273, {Preview.Data(Ramp(16, 9))}).Long(279, {16});
    const Bytes TIFF = Preview.Build();
    auto EPS = [&](int32_t Offset) {
        Bytes Out = {0xC5, 0xD0, 0xD3, 0xC6};
        Out.resize(30, 0);
        for (int I = 0; I < 4; ++I) {
            Out[20 + static_cast<size_t>(I)] = static_cast<uint8_t>(static_cast<uint32_t>(Offset) >> (8 * I));
            Out[24 + static_cast<size_t>(I)] = static_cast<uint8_t>(TIFF.size() >> (8 * I));
        }
        Out.resize(40, ' ');
        Out.insert(Out.end(), TIFF.begin(), TIFF.end());
        return Out;
    };
    EXPECT_EQ(GreyLevels(LoadAsRgba(ReaderOf<TEPSGraphic>(), EPS(40))), Ramp(16, 9));
    TMemoryStream Good(EPS(40));
    EXPECT_TRUE(TEPSGraphic().CanLoadStream(Good));
    for (int32_t Offset : {-5, 10, 29, 40 + static_cast<int32_t>(TIFF.size()), 0x7FFFFFFF})
        EXPECT_EQ(LoadError(ReaderOf<TEPSGraphic>(), EPS(Offset)), InvalidEPS) << Offset;
    // No preview: the TIFF reader finds the EPS header and refuses it.
    EXPECT_EQ(LoadError(ReaderOf<TEPSGraphic>(), EPS(0)), InvalidTIFF);
    const std::string Text = "%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 10 10\nshowpage\n";
    EXPECT_EQ(LoadError(ReaderOf<TEPSGraphic>(), Bytes(Text.begin(), Text.end())), InvalidEPS);
}
