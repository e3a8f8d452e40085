#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include <jpeglib.h>

#include "DecoderTestSupport.h"
#include "TestSupport.h"
#include "imaging/ImageStrings.h"
#include "imaging/decoders/ImageCompression.h"
#include "platform/System.h"

using namespace qv;
using Bytes = std::vector<uint8_t>;

namespace {

/// Compresses W × H pixels of Components samples with libjpeg. With Tables given, the strip is
/// written abbreviated and its tables go to a separate tables-only stream, as TIFF stores them.
Bytes Compress(const Bytes& Pixels, int Width, int Height, int Components, J_COLOR_SPACE Space, int Sampling,
               Bytes* Tables = nullptr) {
    jpeg_compress_struct Info{};
    jpeg_error_mgr Error{};
    Info.err = jpeg_std_error(&Error);
    jpeg_create_compress(&Info);
    Info.image_width = static_cast<JDIMENSION>(Width);
    Info.image_height = static_cast<JDIMENSION>(Height);
    Info.input_components = Components;
    Info.in_color_space = Components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&Info);
    jpeg_set_colorspace(&Info, Space);
    Info.comp_info[0].h_samp_factor = Sampling;
    Info.comp_info[0].v_samp_factor = Sampling;
    jpeg_set_quality(&Info, 90, TRUE);
    unsigned char* Buffer = nullptr;
    unsigned long Size = 0;
    if (Tables) {
        jpeg_mem_dest(&Info, &Buffer, &Size);
        jpeg_write_tables(&Info);
        Tables->assign(Buffer, Buffer + Size);
        std::free(Buffer);
        Buffer = nullptr;
        Size = 0;
        jpeg_suppress_tables(&Info, TRUE);
    }
    jpeg_mem_dest(&Info, &Buffer, &Size);
    jpeg_start_compress(&Info, Tables ? FALSE : TRUE);
    while (Info.next_scanline < Info.image_height) {
        JSAMPROW Row = const_cast<JSAMPROW>(&Pixels[size_t(Info.next_scanline) * Width * Components]);
        jpeg_write_scanlines(&Info, &Row, 1);
    }
    jpeg_finish_compress(&Info);
    jpeg_destroy_compress(&Info);
    Bytes Result(Buffer, Buffer + Size);
    std::free(Buffer);
    return Result;
}

/// libjpeg's own decode of a strip, blue-green-red for colour, as the decoder must deliver it.
Bytes PlainDecode(const Bytes& Strip, const Bytes& Tables, bool Colour) {
    jpeg_decompress_struct Info{};
    jpeg_error_mgr Error{};
    Info.err = jpeg_std_error(&Error);
    jpeg_create_decompress(&Info);
    if (!Tables.empty()) {
        jpeg_mem_src(&Info, Tables.data(), static_cast<unsigned long>(Tables.size()));
        jpeg_read_header(&Info, FALSE);
    }
    jpeg_mem_src(&Info, Strip.data(), static_cast<unsigned long>(Strip.size()));
    jpeg_read_header(&Info, TRUE);
    if (Colour) Info.out_color_space = JCS_EXT_BGR;
    Info.dct_method = JDCT_ISLOW;
    jpeg_start_decompress(&Info);
    const size_t Line = size_t(Info.output_width) * Info.output_components;
    Bytes Out(Line * Info.output_height);
    while (Info.output_scanline < Info.output_height) {
        JSAMPROW Row = &Out[Info.output_scanline * Line];
        jpeg_read_scanlines(&Info, &Row, 1);
    }
    jpeg_finish_decompress(&Info);
    jpeg_destroy_decompress(&Info);
    return Out;
}

Bytes Gradient(int Width, int Height, int Components) {
    Bytes Pixels(size_t(Width) * Height * Components);
    for (int Y = 0; Y < Height; ++Y)
        for (int X = 0; X < Width; ++X)
            for (int C = 0; C < Components; ++C)
                Pixels[(size_t(Y) * Width + X) * Components + C] = static_cast<uint8_t>((X * 3 + Y * 5 + C * 70) & 0xFF);
    return Pixels;
}

TImageProperties ColourProperties(uint32_t Width, uint32_t Height, uint32_t RowsPerStrip) {
    TImageProperties Properties;
    Properties.Width = Width;
    Properties.Height = Height;
    Properties.RowsPerStrip = {RowsPerStrip};
    Properties.PlanarConfig = 1;
    Properties.SamplesPerPixel = 3;
    Properties.BitsPerSample = 8;
    Properties.ColorScheme = TColorScheme::YCbCr;
    Properties.YCbCrSubSampling = {2, 2};
    Properties.StripCount = (Height + RowsPerStrip - 1) / RowsPerStrip;
    return Properties;
}

/// Collects warnings for the lifetime of a test.
struct TWarningCollector {
    std::vector<std::pair<std::string, std::string>> Warnings;
    TWarningCollector() {
        SetWarningSink([this](const std::string& Caption, const std::string& Text) { Warnings.emplace_back(Caption, Text); });
    }
    ~TWarningCollector() { SetWarningSink(nullptr); }
};

Bytes DecodeStrip(TTIFFJPEGDecoder& Decoder, const Bytes& Strip, size_t Size, uint8_t Fill = 0xEE) {
    return qvtest::Decode(Decoder, Strip, static_cast<int32_t>(Strip.size()), static_cast<int32_t>(Size), Size, Fill)
        .Output;
}

} // namespace

TEST(TIFFJPEG, DecodesAbbreviatedYCbCrStripsWithSharedTables) {
    const int Width = 40, Height = 24, StripRows = 16;
    const Bytes Pixels = Gradient(Width, Height, 3);
    TImageProperties Properties = ColourProperties(Width, Height, StripRows);
    Bytes First = Compress(Bytes(Pixels.begin(), Pixels.begin() + Width * StripRows * 3), Width, StripRows, 3,
                           JCS_YCbCr, 2, &Properties.JPEGTables);
    Bytes Unused;
    Bytes Second = Compress(Bytes(Pixels.begin() + Width * StripRows * 3, Pixels.end()), Width, Height - StripRows, 3,
                            JCS_YCbCr, 2, &Unused);
    TTIFFJPEGDecoder Decoder(Properties);
    Decoder.DecodeInit();
    EXPECT_EQ(DecodeStrip(Decoder, First, Width * 3 * StripRows), PlainDecode(First, Properties.JPEGTables, true));
    EXPECT_EQ(Decoder.ScanlineSize(), uint32_t(Width * 3));
    // The last strip is shorter; the reader's buffer holds a whole strip and the rest stays as it was.
    Properties.CurrentRow = StripRows;
    Properties.CurrentStrip = 1;
    Bytes Expected = PlainDecode(Second, Properties.JPEGTables, true);
    Expected.resize(size_t(Width) * 3 * StripRows, 0xEE);
    EXPECT_EQ(DecodeStrip(Decoder, Second, Width * 3 * StripRows), Expected);
    Decoder.DecodeEnd();
}

TEST(TIFFJPEG, RGBComesOutBlueGreenRedAndGreyAsStored) {
    const int Width = 16, Height = 8;
    const Bytes Pixels = Gradient(Width, Height, 3);
    TImageProperties Properties = ColourProperties(Width, Height, Height);
    Properties.ColorScheme = TColorScheme::RGB;
    Properties.YCbCrSubSampling.clear();
    const Bytes RGB = Compress(Pixels, Width, Height, 3, JCS_RGB, 1);
    TTIFFJPEGDecoder Decoder(Properties);
    Decoder.DecodeInit();
    const Bytes Out = DecodeStrip(Decoder, RGB, Pixels.size());
    EXPECT_EQ(Out, PlainDecode(RGB, {}, true));
    int Worst = 0;
    for (size_t Pixel = 0; Pixel < Pixels.size() / 3; ++Pixel)
        for (int C = 0; C < 3; ++C) Worst = std::max(Worst, std::abs(Out[Pixel * 3 + C] - Pixels[Pixel * 3 + 2 - C]));
    EXPECT_LE(Worst, 12);

    TImageProperties Grey = Properties;
    Grey.ColorScheme = TColorScheme::Gray;
    Grey.SamplesPerPixel = 1;
    const Bytes GreyPixels = Gradient(Width, Height, 1);
    const Bytes GreyStrip = Compress(GreyPixels, Width, Height, 1, JCS_GRAYSCALE, 1);
    TTIFFJPEGDecoder GreyDecoder(Grey);
    GreyDecoder.DecodeInit();
    EXPECT_EQ(DecodeStrip(GreyDecoder, GreyStrip, GreyPixels.size()), PlainDecode(GreyStrip, {}, false));
}

TEST(TIFFJPEG, StripsThatDoNotMatchThePropertiesRaiseBeforeWriting) {
    const int Width = 16, Height = 16;
    const Bytes Strip = Compress(Gradient(Width, Height, 3), Width, Height, 3, JCS_YCbCr, 2);
    const size_t Size = Width * Height * 3;
    auto Expect = [&](const TImageProperties& Properties, const char* Message, size_t Unpacked) {
        TTIFFJPEGDecoder Decoder(Properties);
        Decoder.DecodeInit();
        Bytes Out(Size, 0xEE);
        uint8_t* Source = const_cast<uint8_t*>(Strip.data());
        uint8_t* Dest = Out.data();
        try {
            Decoder.Decode(Source, Dest, static_cast<int32_t>(Strip.size()), static_cast<int32_t>(Unpacked), Strip.size(),
                           Out.size());
            ADD_FAILURE() << "no exception for " << Message;
        } catch (const EGraphicCompression& Error) {
            EXPECT_STREQ(Error.what(), Message);
        }
        EXPECT_EQ(Out, Bytes(Size, 0xEE));
    };
    TImageProperties Properties = ColourProperties(Width, Height, Height);
    TImageProperties Taller = Properties;
    Taller.Height = 20;
    Taller.RowsPerStrip = {20};
    Expect(Taller, gesJPEGStripSize, Size);
    TImageProperties FourSamples = Properties;
    FourSamples.SamplesPerPixel = 4;
    Expect(FourSamples, gesJPEGComponentCount, Size);
    TImageProperties Planes = Properties;
    Planes.PlanarConfig = 2;
    Expect(Planes, gesJPEGComponentCount, Size);
    TImageProperties Sixteen = Properties;
    Sixteen.BitsPerSample = 16;
    Expect(Sixteen, gesJPEGDataPrecision, Size);
    TImageProperties Unsampled = Properties;
    Unsampled.YCbCrSubSampling = {1, 1};
    Expect(Unsampled, gesJPEGSamplingFactors, Size);
    Expect(Properties, gesJPEGFractionalLine, Size - 1);
}

TEST(TIFFJPEG, BogusTablesAreRefused) {
    TImageProperties Properties = ColourProperties(8, 8, 8);
    Properties.JPEGTables = Compress(Gradient(8, 8, 3), 8, 8, 3, JCS_YCbCr, 2); // a whole image
    TTIFFJPEGDecoder WholeImage(Properties);
    try {
        WholeImage.DecodeInit();
        ADD_FAILURE() << "an image accepted as tables";
    } catch (const EGraphicCompression& Error) {
        EXPECT_STREQ(Error.what(), gesJPEGBogusTableField);
    }
    Properties.JPEGTables = {0x12, 0x34, 0x56};
    TTIFFJPEGDecoder Garbage(Properties);
    EXPECT_THROW(Garbage.DecodeInit(), EGraphicCompression);
}

TEST(TIFFJPEG, TruncatedStripsWarnAndDamagedOnesRaise) {
    TWarningCollector Collector;
    const int Width = 128, Height = 128;
    const Bytes Strip = Compress(Gradient(Width, Height, 3), Width, Height, 3, JCS_YCbCr, 2);
    TImageProperties Properties = ColourProperties(Width, Height, Height);
    TTIFFJPEGDecoder Decoder(Properties);
    Decoder.DecodeInit();
    const size_t Size = Width * Height * 3;
    const Bytes Full = DecodeStrip(Decoder, Strip, Size);
    const Bytes Half = DecodeStrip(Decoder, Bytes(Strip.begin(), Strip.end() - static_cast<ptrdiff_t>(Strip.size() / 4)), Size);
    ASSERT_FALSE(Collector.Warnings.empty());
    EXPECT_EQ(Collector.Warnings.front(), std::make_pair(std::string("Warning"), std::string(gesJPEGEOI)));
    EXPECT_TRUE(std::equal(Full.begin(), Full.begin() + 3 * Width, Half.begin())); // the first rows arrived
    // Not JPEG data at all: libjpeg's error becomes an exception, and the decoder stays usable.
    EXPECT_THROW(DecodeStrip(Decoder, Bytes(100, 0x42), Size), EGraphicCompression);
    EXPECT_EQ(DecodeStrip(Decoder, Strip, Size), Full);
}

TEST(TIFFJPEG, GarbageTruncationAndHugeCountsStayInBounds) {
    TWarningCollector Collector;
    const Bytes Strip = Compress(Gradient(24, 16, 3), 24, 16, 3, JCS_YCbCr, 2);
    static TImageProperties Properties = ColourProperties(24, 16, 16);
    qvtest::Sweep(
        [] {
            auto Decoder = std::make_unique<TTIFFJPEGDecoder>(Properties);
            Decoder->DecodeInit();
            return Decoder;
        },
        Strip, 24 * 16 * 3, 24 * 16 * 3);
}

TEST(TIFFJPEG, CorpusJPEGStripsMatchTheirReferences) {
    QV_REQUIRE_CORPUS();
    TWarningCollector Collector;
    const std::string Corpus = qvtest::CorpusDir();
    for (const char* Name : {"tahoe_jpeg_ycbcr.tif", "tahoe_jpeg_rgb.tif", "quad-jpeg.tif",
                             "tiff_strip_ycbcr_jpeg_1x1_sampling.tif", "tiff_strip_ycbcr_jpeg_2x2_sampling.tif"}) {
        SCOPED_TRACE(Name);
        const auto TIFF = qvtest::ReadTIFFStrips(Corpus + "/files/tiff/" + Name);
        const auto Reference = qvtest::ReadReferencePNG(Corpus + "/ref/tiff/" + std::string(Name) + ".png");
        ASSERT_EQ(TIFF.Compression, 7u);
        TImageProperties Properties;
        Properties.Width = TIFF.Width;
        Properties.Height = TIFF.Height;
        Properties.RowsPerStrip = {TIFF.RowsPerStrip};
        Properties.PlanarConfig = TIFF.PlanarConfig;
        Properties.SamplesPerPixel = static_cast<uint8_t>(TIFF.SamplesPerPixel);
        Properties.BitsPerSample = static_cast<uint8_t>(TIFF.BitsPerSample);
        Properties.ColorScheme = TIFF.Photometric == 6 ? TColorScheme::YCbCr : TColorScheme::RGB;
        Properties.YCbCrSubSampling = TIFF.YCbCrSubSampling;
        if (TIFF.Photometric == 6 && Properties.YCbCrSubSampling.empty()) Properties.YCbCrSubSampling = {2, 2};
        Properties.JPEGTables = TIFF.JPEGTables;
        Properties.StripCount = static_cast<uint32_t>(TIFF.Strips.size());
        TTIFFJPEGDecoder Decoder(Properties);
        Decoder.DecodeInit();
        const size_t Line = size_t(TIFF.Width) * 3;
        int Worst = 0;
        for (size_t Strip = 0; Strip < TIFF.Strips.size(); ++Strip) {
            Properties.CurrentStrip = static_cast<uint32_t>(Strip);
            Properties.CurrentRow = static_cast<uint32_t>(Strip * TIFF.RowsPerStrip);
            const Bytes Out = DecodeStrip(Decoder, TIFF.Strips[Strip], Line * TIFF.RowsPerStrip);
            const size_t Rows = std::min<size_t>(TIFF.RowsPerStrip, TIFF.Height - Properties.CurrentRow);
            for (size_t Y = 0; Y < Rows; ++Y)
                for (size_t X = 0; X < TIFF.Width; ++X)
                    for (int C = 0; C < 3; ++C) {
                        const int Got = Out[Y * Line + X * 3 + (2 - C)];
                        const int Want = Reference.RGBA[((Properties.CurrentRow + Y) * TIFF.Width + X) * 4 + C];
                        Worst = std::max(Worst, std::abs(Got - Want));
                    }
        }
        EXPECT_LE(Worst, 3);
        Decoder.DecodeEnd();
    }
}

// Grey and CMYK strips come out as stored: one grey sample, or C, M, Y, K as the file holds them.
TEST(TIFFJPEG, CorpusGreyAndCMYKStripsMatchTheirSamples) {
    QV_REQUIRE_CORPUS();
    TWarningCollector Collector;
    const std::string Corpus = qvtest::CorpusDir();
    struct Case { const char* Name; const char* Reference; TColorScheme Scheme; };
    for (const Case& C : {Case{"tahoe_grey_jpeg.tif", ".png", TColorScheme::Gray},
                          Case{"tiff_strip_cmyk_jpeg.tif", ".channels.png", TColorScheme::CMYK}}) {
        SCOPED_TRACE(C.Name);
        const auto TIFF = qvtest::ReadTIFFStrips(Corpus + "/files/tiff/" + C.Name);
        const auto Reference = qvtest::ReadReferencePNG(Corpus + "/ref/tiff/" + C.Name + C.Reference);
        ASSERT_EQ(TIFF.Compression, 7u);
        ASSERT_EQ(TIFF.Width, Reference.Width);
        TImageProperties Properties;
        Properties.Width = TIFF.Width;
        Properties.Height = TIFF.Height;
        Properties.RowsPerStrip = {TIFF.RowsPerStrip};
        Properties.PlanarConfig = TIFF.PlanarConfig;
        Properties.SamplesPerPixel = static_cast<uint8_t>(TIFF.SamplesPerPixel);
        Properties.BitsPerSample = static_cast<uint8_t>(TIFF.BitsPerSample);
        Properties.ColorScheme = C.Scheme;
        Properties.JPEGTables = TIFF.JPEGTables;
        Properties.StripCount = static_cast<uint32_t>(TIFF.Strips.size());
        TTIFFJPEGDecoder Decoder(Properties);
        Decoder.DecodeInit();
        const size_t Components = TIFF.SamplesPerPixel;
        const size_t Line = size_t(TIFF.Width) * Components;
        int Worst = 0;
        for (size_t Strip = 0; Strip < TIFF.Strips.size(); ++Strip) {
            Properties.CurrentStrip = static_cast<uint32_t>(Strip);
            Properties.CurrentRow = static_cast<uint32_t>(Strip * TIFF.RowsPerStrip);
            const size_t Rows = std::min<size_t>(TIFF.RowsPerStrip, TIFF.Height - Properties.CurrentRow);
            const Bytes Out = DecodeStrip(Decoder, TIFF.Strips[Strip], Line * Rows);
            for (size_t Y = 0; Y < Rows; ++Y)
                for (size_t X = 0; X < TIFF.Width; ++X)
                    for (size_t K = 0; K < Components; ++K) {
                        const int Got = Out[Y * Line + X * Components + K];
                        const int Want = Reference.RGBA[((Properties.CurrentRow + Y) * TIFF.Width + X) * 4 + K];
                        Worst = std::max(Worst, std::abs(Got - Want));
                    }
        }
        EXPECT_LE(Worst, 3);
        Decoder.DecodeEnd();
    }
    EXPECT_TRUE(Collector.Warnings.empty());
}

namespace {

/// A progressive grey JPEG written with the given scan script.
Bytes CompressProgressive(int Width, int Height, const std::vector<jpeg_scan_info>& Script) {
    const Bytes Pixels = Gradient(Width, Height, 1);
    jpeg_compress_struct Info{};
    jpeg_error_mgr Error{};
    Info.err = jpeg_std_error(&Error);
    jpeg_create_compress(&Info);
    Info.image_width = static_cast<JDIMENSION>(Width);
    Info.image_height = static_cast<JDIMENSION>(Height);
    Info.input_components = 1;
    Info.in_color_space = JCS_GRAYSCALE;
    jpeg_set_defaults(&Info);
    Info.scan_info = Script.data();
    Info.num_scans = static_cast<int>(Script.size());
    unsigned char* Buffer = nullptr;
    unsigned long Size = 0;
    jpeg_mem_dest(&Info, &Buffer, &Size);
    jpeg_start_compress(&Info, TRUE);
    while (Info.next_scanline < Info.image_height) {
        JSAMPROW Row = const_cast<JSAMPROW>(&Pixels[size_t(Info.next_scanline) * Width]);
        jpeg_write_scanlines(&Info, &Row, 1);
    }
    jpeg_finish_compress(&Info);
    jpeg_destroy_compress(&Info);
    Bytes Result(Buffer, Buffer + Size);
    std::free(Buffer);
    return Result;
}

/// A scan script with every coefficient in a scan of its own, first its high bits, then its
/// lowest: 128 scans, all valid.
std::vector<jpeg_scan_info> ManyScans() {
    std::vector<jpeg_scan_info> Script;
    for (int Pass = 0; Pass < 2; ++Pass)
        for (int K = 0; K < 64; ++K) {
            jpeg_scan_info Scan{};
            Scan.comps_in_scan = 1;
            Scan.component_index[0] = 0;
            Scan.Ss = K;
            Scan.Se = K;
            Scan.Ah = Pass == 0 ? 0 : 1;
            Scan.Al = Pass == 0 ? 1 : 0;
            Script.push_back(Scan);
        }
    return Script;
}

TImageProperties GreyProperties(uint32_t Width, uint32_t Height) {
    TImageProperties Properties = ColourProperties(Width, Height, Height);
    Properties.SamplesPerPixel = 1;
    Properties.ColorScheme = TColorScheme::Gray;
    Properties.YCbCrSubSampling.clear();
    return Properties;
}

} // namespace

TEST(TIFFJPEG, ProgressiveStripsAreBoundedInScansAndMemory) {
    TWarningCollector Collector;
    // A strip with more scans than any encoder writes is refused...
    // The decoder keeps a reference to the properties.
    const TImageProperties Small = GreyProperties(16, 16), Large = GreyProperties(12000, 12000);
    const Bytes Many = CompressProgressive(16, 16, ManyScans());
    {
        TTIFFJPEGDecoder Decoder(Small);
        Decoder.DecodeInit();
        try {
            DecodeStrip(Decoder, Many, 16 * 16);
            ADD_FAILURE() << "decoded 128 scans";
        } catch (const EGraphicCompression& E) {
            EXPECT_EQ(E.Message(), Format(gesJPEGLibraryError, Format(gesJPEGTooManyScans, 100).c_str()));
        }
    }
    // ... while the usual ten-scan progression decodes as libjpeg decodes it.
    jpeg_compress_struct Probe{};
    jpeg_error_mgr ProbeError{};
    Probe.err = jpeg_std_error(&ProbeError);
    jpeg_create_compress(&Probe);
    Probe.input_components = 1;
    Probe.in_color_space = JCS_GRAYSCALE;
    jpeg_set_defaults(&Probe);
    jpeg_simple_progression(&Probe);
    const std::vector<jpeg_scan_info> Usual(Probe.scan_info, Probe.scan_info + Probe.num_scans);
    jpeg_destroy_compress(&Probe);
    const Bytes Progressive = CompressProgressive(16, 16, Usual);
    {
        TTIFFJPEGDecoder Decoder(Small);
        Decoder.DecodeInit();
        EXPECT_EQ(DecodeStrip(Decoder, Progressive, 16 * 16), PlainDecode(Progressive, {}, false));
    }

    // A header claiming a picture whose coefficients need more than the memory limit (12000 x 12000
    // grey: 288 MB) is refused before libjpeg allocates them.
    Bytes Huge = Progressive;
    for (size_t I = 0; I + 8 < Huge.size(); ++I)
        if (Huge[I] == 0xFF && Huge[I + 1] == 0xC2) {
            Huge[I + 5] = 12000 >> 8;
            Huge[I + 6] = 12000 & 0xFF;
            Huge[I + 7] = 12000 >> 8;
            Huge[I + 8] = 12000 & 0xFF;
            break;
        }
    TTIFFJPEGDecoder Decoder(Large);
    Decoder.DecodeInit();
    EXPECT_THROW(DecodeStrip(Decoder, Huge, 12000), EGraphicCompression);
}
