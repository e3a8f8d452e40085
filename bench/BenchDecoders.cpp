// Decoder throughput in bytes of output per second, side by side with the
// reference libraries: giflib's and libtiff's LZW, libtiff's PackBits and
// CCITT strips, and bare zlib inflate.

#include <benchmark/benchmark.h>

#include <gif_lib.h>
#include <jpeglib.h>
#include <tiffio.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <stdexcept>
#include <vector>

#include "imaging/decoders/ImageCompression.h"
#include "platform/Streams.h"

using namespace qv;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint32_t PictureWidth = 1024;
constexpr uint32_t PictureHeight = 1024;

/// A grey picture with smooth areas, noise and hard-edged "text" blocks, so that every scheme
/// meets both long runs and busy stretches.
const Bytes& Picture() {
    static const Bytes Pixels = [] {
        Bytes Result(size_t(PictureWidth) * PictureHeight);
        std::mt19937 Random(42);
        for (uint32_t Y = 0; Y < PictureHeight; ++Y)
            for (uint32_t X = 0; X < PictureWidth; ++X) {
                uint8_t Value = static_cast<uint8_t>((X / 4 + Y / 8) & 0xF0);
                if ((Y / 64) % 3 == 1) Value = static_cast<uint8_t>(Value + Random() % 8);
                if ((X / 16 + Y / 16) % 7 == 0 && (X % 16) < 10) Value = 0;
                Result[size_t(Y) * PictureWidth + X] = Value;
            }
        return Result;
    }();
    return Pixels;
}

/// The picture reduced to black and white.
const Bytes& BilevelPicture() {
    static const Bytes Pixels = [] {
        Bytes Result(size_t(PictureWidth / 8) * PictureHeight);
        const Bytes& Grey = Picture();
        for (size_t Index = 0; Index < Grey.size(); ++Index)
            if (Grey[Index] < 100) Result[Index / 8] |= static_cast<uint8_t>(0x80 >> (Index % 8));
        return Result;
    }();
    return Pixels;
}

// ---- libtiff over memory

struct TMemoryFile {
    Bytes Data;
    toff_t Position = 0;
};

tsize_t MemoryRead(thandle_t Handle, tdata_t Buffer, tsize_t Size) {
    auto* File = static_cast<TMemoryFile*>(Handle);
    const toff_t Count = std::min<toff_t>(static_cast<toff_t>(Size), File->Data.size() - std::min<toff_t>(File->Position, File->Data.size()));
    if (Count > 0) std::memcpy(Buffer, File->Data.data() + File->Position, Count);
    File->Position += Count;
    return static_cast<tsize_t>(Count);
}
tsize_t MemoryWrite(thandle_t Handle, tdata_t Buffer, tsize_t Size) {
    auto* File = static_cast<TMemoryFile*>(Handle);
    if (File->Position + Size > File->Data.size()) File->Data.resize(File->Position + Size);
    std::memcpy(File->Data.data() + File->Position, Buffer, static_cast<size_t>(Size));
    File->Position += Size;
    return Size;
}
toff_t MemorySeek(thandle_t Handle, toff_t Offset, int Whence) {
    auto* File = static_cast<TMemoryFile*>(Handle);
    if (Whence == SEEK_SET) File->Position = Offset;
    else if (Whence == SEEK_CUR) File->Position += Offset;
    else File->Position = File->Data.size() + Offset;
    return File->Position;
}
int MemoryClose(thandle_t) { return 0; }
toff_t MemorySize(thandle_t Handle) { return static_cast<TMemoryFile*>(Handle)->Data.size(); }
int MemoryMap(thandle_t, tdata_t*, toff_t*) { return 0; }
void MemoryUnmap(thandle_t, tdata_t, toff_t) {}

TIFF* OpenMemoryTIFF(TMemoryFile& File, const char* Mode) {
    File.Position = 0;
    return TIFFClientOpen("memory", Mode, &File, MemoryRead, MemoryWrite, MemorySeek, MemoryClose, MemorySize,
                          MemoryMap, MemoryUnmap);
}

/// A one-strip TIFF of the picture (grey or bilevel) written by libtiff with Compression.
TMemoryFile WriteTIFF(uint16_t Compression, bool Bilevel) {
    TIFFSetWarningHandler(nullptr);
    TMemoryFile File;
    TIFF* Tiff = OpenMemoryTIFF(File, "w");
    TIFFSetField(Tiff, TIFFTAG_IMAGEWIDTH, PictureWidth);
    TIFFSetField(Tiff, TIFFTAG_IMAGELENGTH, PictureHeight);
    TIFFSetField(Tiff, TIFFTAG_BITSPERSAMPLE, Bilevel ? 1 : 8);
    TIFFSetField(Tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(Tiff, TIFFTAG_PHOTOMETRIC, Bilevel ? PHOTOMETRIC_MINISWHITE : PHOTOMETRIC_MINISBLACK);
    TIFFSetField(Tiff, TIFFTAG_COMPRESSION, Compression);
    TIFFSetField(Tiff, TIFFTAG_ROWSPERSTRIP, PictureHeight);
    const Bytes& Pixels = Bilevel ? BilevelPicture() : Picture();
    TIFFWriteEncodedStrip(Tiff, 0, const_cast<uint8_t*>(Pixels.data()), static_cast<tsize_t>(Pixels.size()));
    TIFFClose(Tiff);
    return File;
}

Bytes RawStrip(TMemoryFile& File) {
    TIFF* Tiff = OpenMemoryTIFF(File, "r");
    uint64_t* Counts = nullptr;
    TIFFGetField(Tiff, TIFFTAG_STRIPBYTECOUNTS, &Counts);
    Bytes Strip(static_cast<size_t>(Counts[0]));
    TIFFReadRawStrip(Tiff, 0, Strip.data(), static_cast<tsize_t>(Strip.size()));
    TIFFClose(Tiff);
    return Strip;
}

void LibTIFFStrip(benchmark::State& State, uint16_t Compression, bool Bilevel) {
    TMemoryFile File = WriteTIFF(Compression, Bilevel);
    TIFF* Tiff = OpenMemoryTIFF(File, "r");
    Bytes Out(Bilevel ? BilevelPicture().size() : Picture().size());
    for (auto _ : State) {
        const tsize_t Size = TIFFReadEncodedStrip(Tiff, 0, Out.data(), static_cast<tsize_t>(Out.size()));
        if (Size != static_cast<tsize_t>(Out.size())) State.SkipWithError("libtiff strip failed");
        benchmark::DoNotOptimize(Out.data());
    }
    TIFFClose(Tiff);
    if (Out != (Bilevel ? BilevelPicture() : Picture())) State.SkipWithError("libtiff output differs");
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * Out.size()));
}

void OurStrip(benchmark::State& State, TDecoder& Decoder, Bytes Packed, const Bytes& Expected) {
    Bytes Out(Expected.size());
    for (auto _ : State) {
        uint8_t* Source = Packed.data();
        uint8_t* Dest = Out.data();
        Decoder.Decode(Source, Dest, static_cast<int32_t>(Packed.size()), static_cast<int32_t>(Out.size()), Packed.size(),
                       Out.size());
        benchmark::DoNotOptimize(Out.data());
    }
    if (Out != Expected) State.SkipWithError("decoded output differs");
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * Out.size()));
}

// ---- LZW

void BM_LZW_TIFF_Ours(benchmark::State& State) {
    TMemoryFile File = WriteTIFF(COMPRESSION_LZW, false);
    TTIFFLZWDecoder Decoder;
    OurStrip(State, Decoder, RawStrip(File), Picture());
}
void BM_LZW_TIFF_LibTIFF(benchmark::State& State) { LibTIFFStrip(State, COMPRESSION_LZW, false); }

constexpr uint32_t PhotoRowBytes = 3 * 1024;
constexpr uint32_t PhotoRows = 1024;

/// The bytes of an LZW strip of a photograph-like RGB picture under the horizontal predictor:
/// small differences with noise, so strings stay short and codes are mostly 12 bits wide.
const Bytes& DifferencedPhoto() {
    static const Bytes Pixels = [] {
        Bytes Result(size_t{PhotoRowBytes} * PhotoRows);
        std::mt19937 Random(7);
        for (uint32_t Y = 0; Y < PhotoRows; ++Y) {
            uint8_t* Row = &Result[size_t{Y} * PhotoRowBytes];
            for (uint32_t X = 0; X < PhotoRowBytes / 3; ++X) {
                const bool Block = (X / 100 + Y / 80) % 5 == 0;
                Row[3 * X] = static_cast<uint8_t>(Block ? 200 : X / 4 + Random() % 4);
                Row[3 * X + 1] = static_cast<uint8_t>(Block ? 30 : Y / 4 + Random() % 4);
                Row[3 * X + 2] = static_cast<uint8_t>(Block ? 90 : (X + Y) / 8 + Random() % 4);
            }
            for (uint32_t X = PhotoRowBytes - 1; X >= 3; --X) Row[X] = static_cast<uint8_t>(Row[X] - Row[X - 3]);
        }
        return Result;
    }();
    return Pixels;
}

/// The differenced photograph as one grey strip, so that libtiff's time is LZW alone.
TMemoryFile WritePhotoTIFF() {
    TIFFSetWarningHandler(nullptr);
    TMemoryFile File;
    TIFF* Tiff = OpenMemoryTIFF(File, "w");
    TIFFSetField(Tiff, TIFFTAG_IMAGEWIDTH, PhotoRowBytes);
    TIFFSetField(Tiff, TIFFTAG_IMAGELENGTH, PhotoRows);
    TIFFSetField(Tiff, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(Tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(Tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(Tiff, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    TIFFSetField(Tiff, TIFFTAG_ROWSPERSTRIP, PhotoRows);
    TIFFWriteEncodedStrip(Tiff, 0, const_cast<uint8_t*>(DifferencedPhoto().data()),
                          static_cast<tsize_t>(DifferencedPhoto().size()));
    TIFFClose(Tiff);
    return File;
}

void BM_LZW_TIFF_Photo_Ours(benchmark::State& State) {
    TMemoryFile File = WritePhotoTIFF();
    TTIFFLZWDecoder Decoder;
    OurStrip(State, Decoder, RawStrip(File), DifferencedPhoto());
}
void BM_LZW_TIFF_Photo_LibTIFF(benchmark::State& State) {
    TMemoryFile File = WritePhotoTIFF();
    TIFF* Tiff = OpenMemoryTIFF(File, "r");
    Bytes Out(DifferencedPhoto().size());
    for (auto _ : State) {
        const tsize_t Size = TIFFReadEncodedStrip(Tiff, 0, Out.data(), static_cast<tsize_t>(Out.size()));
        if (Size != static_cast<tsize_t>(Out.size())) State.SkipWithError("libtiff strip failed");
        benchmark::DoNotOptimize(Out.data());
    }
    TIFFClose(Tiff);
    if (Out != DifferencedPhoto()) State.SkipWithError("libtiff output differs");
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * Out.size()));
}

struct TGIFBuffer {
    Bytes Data;
    size_t Position = 0;
};

int GIFWrite(GifFileType* File, const GifByteType* Buffer, int Size) {
    auto* Out = static_cast<TGIFBuffer*>(File->UserData);
    Out->Data.insert(Out->Data.end(), Buffer, Buffer + Size);
    return Size;
}
int GIFRead(GifFileType* File, GifByteType* Buffer, int Size) {
    auto* In = static_cast<TGIFBuffer*>(File->UserData);
    const size_t Count = std::min<size_t>(static_cast<size_t>(Size), In->Data.size() - In->Position);
    std::memcpy(Buffer, In->Data.data() + In->Position, Count);
    In->Position += Count;
    return static_cast<int>(Count);
}

const Bytes& GIFFile() {
    static const Bytes File = [] {
        TGIFBuffer Out;
        int Error = 0;
        GifFileType* Gif = EGifOpen(&Out, GIFWrite, &Error);
        ColorMapObject* Map = GifMakeMapObject(256, nullptr);
        for (int Index = 0; Index < 256; ++Index)
            Map->Colors[Index] = GifColorType{uint8_t(Index), uint8_t(Index), uint8_t(Index)};
        EGifPutScreenDesc(Gif, PictureWidth, PictureHeight, 8, 0, Map);
        EGifPutImageDesc(Gif, 0, 0, PictureWidth, PictureHeight, false, nullptr);
        for (uint32_t Row = 0; Row < PictureHeight; ++Row)
            EGifPutLine(Gif, const_cast<uint8_t*>(&Picture()[size_t(Row) * PictureWidth]), PictureWidth);
        EGifCloseFile(Gif, &Error);
        GifFreeMapObject(Map);
        return Out.Data;
    }();
    return File;
}

/// The image's LZW data with the sub-block lengths taken out, as a GIF reader hands it over.
Bytes GIFImageData(uint8_t& CodeSize) {
    const Bytes& File = GIFFile();
    size_t At = 13 + 3 * 256; // header, screen descriptor, global colour table
    if (File.at(At) != 0x2C) throw std::runtime_error("GIF image descriptor expected");
    At += 10;
    CodeSize = File.at(At++);
    Bytes Data;
    while (File.at(At) != 0) {
        const size_t Length = File[At++];
        Data.insert(Data.end(), File.begin() + static_cast<ptrdiff_t>(At), File.begin() + static_cast<ptrdiff_t>(At + Length));
        At += Length;
    }
    return Data;
}

void BM_LZW_GIF_Ours(benchmark::State& State) {
    uint8_t CodeSize = 0;
    Bytes Data = GIFImageData(CodeSize);
    TGIFLZWDecoder Decoder(CodeSize);
    OurStrip(State, Decoder, std::move(Data), Picture());
}

void BM_LZW_GIF_giflib(benchmark::State& State) {
    TGIFBuffer In{GIFFile(), 0};
    for (auto _ : State) {
        In.Position = 0;
        int Error = 0;
        GifFileType* Gif = DGifOpen(&In, GIFRead, &Error);
        if (!Gif || DGifSlurp(Gif) != GIF_OK) State.SkipWithError("giflib failed");
        benchmark::DoNotOptimize(Gif->SavedImages[0].RasterBits);
        DGifCloseFile(Gif, &Error);
    }
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * Picture().size()));
}

// ---- PackBits and the other run-length schemes

void BM_PackBits_Ours(benchmark::State& State) {
    TMemoryFile File = WriteTIFF(COMPRESSION_PACKBITS, false);
    TPackbitsRLEDecoder Decoder;
    OurStrip(State, Decoder, RawStrip(File), Picture());
}
void BM_PackBits_LibTIFF(benchmark::State& State) { LibTIFFStrip(State, COMPRESSION_PACKBITS, false); }

void BM_TargaRLE_Ours(benchmark::State& State) {
    TTargaRLEDecoder Codec(8);
    Bytes Packed(Picture().size() * 2);
    uint32_t Stored = 0;
    Codec.Encode(Picture().data(), Packed.data(), static_cast<uint32_t>(Picture().size()), Stored, Packed.size());
    Packed.resize(Stored);
    OurStrip(State, Codec, std::move(Packed), Picture());
}

void BM_TargaRLE_Encode(benchmark::State& State) {
    TTargaRLEDecoder Codec(8);
    Bytes Packed(Picture().size() * 2);
    for (auto _ : State) {
        uint32_t Stored = 0;
        Codec.Encode(Picture().data(), Packed.data(), static_cast<uint32_t>(Picture().size()), Stored, Packed.size());
        benchmark::DoNotOptimize(Stored);
    }
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * Picture().size()));
}

/// Packs the picture into PCX runs (count byte 0xC0 | n, then the value).
void BM_PCXRLE_Ours(benchmark::State& State) {
    const Bytes& Pixels = Picture();
    Bytes Packed;
    for (size_t At = 0; At < Pixels.size();) {
        size_t Run = 1;
        while (Run < 63 && At + Run < Pixels.size() && Pixels[At + Run] == Pixels[At]) ++Run;
        if (Run > 1 || Pixels[At] >= 0xC0) Packed.push_back(static_cast<uint8_t>(0xC0 | Run));
        Packed.push_back(Pixels[At]);
        At += Run;
    }
    TPCXRLEDecoder Decoder;
    OurStrip(State, Decoder, std::move(Packed), Pixels);
}

// ---- CCITT

void BM_CCITTMH_Ours(benchmark::State& State) {
    TMemoryFile File = WriteTIFF(COMPRESSION_CCITTRLE, true);
    TCCITTMHDecoder Decoder(0, false, false, PictureWidth);
    OurStrip(State, Decoder, RawStrip(File), BilevelPicture());
}
void BM_CCITTMH_LibTIFF(benchmark::State& State) { LibTIFFStrip(State, COMPRESSION_CCITTRLE, true); }

void BM_CCITTFax3_Ours(benchmark::State& State) {
    TMemoryFile File = WriteTIFF(COMPRESSION_CCITTFAX3, true);
    TCCITTFax3Decoder Decoder(0, false, false, PictureWidth);
    OurStrip(State, Decoder, RawStrip(File), BilevelPicture());
}
void BM_CCITTFax3_LibTIFF(benchmark::State& State) { LibTIFFStrip(State, COMPRESSION_CCITTFAX3, true); }

// ---- Two-dimensional fax pages: A4 at 200 and 300 dpi

struct TFaxPage {
    uint32_t Width;
    uint32_t Height;
    Bytes Pixels;
};

/// A text-like A4 page: lines of glyph-sized black strokes with margins.
TFaxPage MakeFaxPage(uint32_t Width, uint32_t Height) {
    TFaxPage Page{Width, Height, Bytes(size_t((Width + 7) / 8) * Height, 0)};
    const size_t RowBytes = (Width + 7) / 8;
    std::mt19937 Random(Width);
    const uint32_t LineHeight = Width / 60, Glyph = Width / 100;
    for (uint32_t Top = Width / 12; Top + LineHeight < Height - Width / 12; Top += LineHeight * 3 / 2) {
        std::vector<std::pair<uint32_t, uint32_t>> Strokes;
        for (uint32_t X = Width / 12; X + Glyph < Width - Width / 12; X += Glyph + Random() % Glyph)
            if (Random() % 6 != 0) Strokes.emplace_back(X, X + 1 + Random() % (Glyph - 1));
        for (uint32_t Y = Top; Y < Top + LineHeight; ++Y)
            for (const auto& [From, To] : Strokes)
                if ((Y - Top + From) % 5 != 0)
                    for (uint32_t X = From; X < To; ++X) Page.Pixels[Y * RowBytes + X / 8] |= static_cast<uint8_t>(0x80 >> (X % 8));
    }
    return Page;
}

TMemoryFile WriteFaxTIFF(const TFaxPage& Page, uint16_t Compression) {
    TIFFSetWarningHandler(nullptr);
    TMemoryFile File;
    TIFF* Tiff = OpenMemoryTIFF(File, "w");
    TIFFSetField(Tiff, TIFFTAG_IMAGEWIDTH, Page.Width);
    TIFFSetField(Tiff, TIFFTAG_IMAGELENGTH, Page.Height);
    TIFFSetField(Tiff, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(Tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(Tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(Tiff, TIFFTAG_COMPRESSION, Compression);
    if (Compression == COMPRESSION_CCITTFAX3) TIFFSetField(Tiff, TIFFTAG_GROUP3OPTIONS, GROUP3OPT_2DENCODING);
    TIFFSetField(Tiff, TIFFTAG_ROWSPERSTRIP, Page.Height);
    TIFFWriteEncodedStrip(Tiff, 0, const_cast<uint8_t*>(Page.Pixels.data()), static_cast<tsize_t>(Page.Pixels.size()));
    TIFFClose(Tiff);
    return File;
}

const TFaxPage& FaxPage(int64_t Dpi) {
    static const TFaxPage Page200 = MakeFaxPage(1728, 2287);
    static const TFaxPage Page300 = MakeFaxPage(2480, 3508);
    return Dpi == 200 ? Page200 : Page300;
}

void BM_CCITTFax4_Ours(benchmark::State& State) {
    const TFaxPage& Page = FaxPage(State.range(0));
    TMemoryFile File = WriteFaxTIFF(Page, COMPRESSION_CCITTFAX4);
    TCCITTFax4Decoder Decoder(0, false, false, Page.Width);
    OurStrip(State, Decoder, RawStrip(File), Page.Pixels);
}
void BM_CCITTFax3_2D_Ours(benchmark::State& State) {
    const TFaxPage& Page = FaxPage(State.range(0));
    TMemoryFile File = WriteFaxTIFF(Page, COMPRESSION_CCITTFAX3);
    TCCITTFax3Decoder Decoder(1, false, false, Page.Width);
    OurStrip(State, Decoder, RawStrip(File), Page.Pixels);
}
void LibTIFFFaxPage(benchmark::State& State, uint16_t Compression) {
    const TFaxPage& Page = FaxPage(State.range(0));
    TMemoryFile File = WriteFaxTIFF(Page, Compression);
    TIFF* Tiff = OpenMemoryTIFF(File, "r");
    Bytes Out(Page.Pixels.size());
    for (auto _ : State) {
        TIFFReadEncodedStrip(Tiff, 0, Out.data(), static_cast<tsize_t>(Out.size()));
        benchmark::DoNotOptimize(Out.data());
    }
    TIFFClose(Tiff);
    if (Out != Page.Pixels) State.SkipWithError("libtiff output differs");
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * Out.size()));
}
void BM_CCITTFax4_LibTIFF(benchmark::State& State) { LibTIFFFaxPage(State, COMPRESSION_CCITTFAX4); }
void BM_CCITTFax3_2D_LibTIFF(benchmark::State& State) { LibTIFFFaxPage(State, COMPRESSION_CCITTFAX3); }

// ---- Deflate

Bytes Deflated() {
    uLongf Size = compressBound(static_cast<uLong>(Picture().size()));
    Bytes Out(Size);
    compress(Out.data(), &Size, Picture().data(), static_cast<uLong>(Picture().size()));
    Out.resize(Size);
    return Out;
}

void BM_LZ77_Ours(benchmark::State& State) {
    TLZ77Decoder Decoder(Z_PARTIAL_FLUSH, true);
    Decoder.DecodeInit();
    OurStrip(State, Decoder, Deflated(), Picture());
    Decoder.DecodeEnd();
}

void BM_LZ77_zlib(benchmark::State& State) {
    Bytes Packed = Deflated();
    Bytes Out(Picture().size());
    z_stream Stream{};
    inflateInit(&Stream);
    for (auto _ : State) {
        inflateReset(&Stream);
        Stream.next_in = Packed.data();
        Stream.avail_in = static_cast<uInt>(Packed.size());
        Stream.next_out = Out.data();
        Stream.avail_out = static_cast<uInt>(Out.size());
        if (inflate(&Stream, Z_PARTIAL_FLUSH) != Z_STREAM_END) State.SkipWithError("inflate failed");
        benchmark::DoNotOptimize(Out.data());
    }
    inflateEnd(&Stream);
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * Out.size()));
}

// ---- TIFF-JPEG, ThunderScan, Photo-CD

void BM_TIFFJPEG_Ours(benchmark::State& State) {
    jpeg_compress_struct Info{};
    jpeg_error_mgr Error{};
    Info.err = jpeg_std_error(&Error);
    jpeg_create_compress(&Info);
    unsigned char* Buffer = nullptr;
    unsigned long Size = 0;
    jpeg_mem_dest(&Info, &Buffer, &Size);
    Info.image_width = PictureWidth;
    Info.image_height = PictureHeight;
    Info.input_components = 3;
    Info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&Info);
    jpeg_start_compress(&Info, TRUE);
    Bytes Row(PictureWidth * 3);
    while (Info.next_scanline < Info.image_height) {
        for (uint32_t X = 0; X < PictureWidth; ++X)
            for (int C = 0; C < 3; ++C) Row[X * 3 + C] = static_cast<uint8_t>(Picture()[Info.next_scanline * PictureWidth + X] + C * 40);
        JSAMPROW Line = Row.data();
        jpeg_write_scanlines(&Info, &Line, 1);
    }
    jpeg_finish_compress(&Info);
    jpeg_destroy_compress(&Info);
    Bytes Strip(Buffer, Buffer + Size);
    std::free(Buffer);

    TImageProperties Properties;
    Properties.Width = PictureWidth;
    Properties.Height = PictureHeight;
    Properties.RowsPerStrip = {PictureHeight};
    Properties.PlanarConfig = 1;
    Properties.SamplesPerPixel = 3;
    Properties.BitsPerSample = 8;
    Properties.ColorScheme = TColorScheme::YCbCr;
    Properties.YCbCrSubSampling = {2, 2};
    TTIFFJPEGDecoder Decoder(Properties);
    Decoder.DecodeInit();
    Bytes Out(size_t(PictureWidth) * PictureHeight * 3);
    for (auto _ : State) {
        uint8_t* Source = Strip.data();
        uint8_t* Dest = Out.data();
        Decoder.Decode(Source, Dest, static_cast<int32_t>(Strip.size()), static_cast<int32_t>(Out.size()), Strip.size(),
                       Out.size());
        benchmark::DoNotOptimize(Out.data());
    }
    Decoder.DecodeEnd();
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * Out.size()));
}

void BM_Thunder_Ours(benchmark::State& State) {
    // Raw pixels, deltas and runs in a mix as ThunderScan writes them.
    std::mt19937 Random(5);
    Bytes Packed;
    for (uint32_t Row = 0; Row < PictureHeight; ++Row) {
        uint32_t Pixels = 0;
        while (Pixels < PictureWidth) {
            switch (Random() % 4) {
                case 0: Packed.push_back(static_cast<uint8_t>(Random() % 64)); Pixels += Packed.back(); break;
                case 1: Packed.push_back(static_cast<uint8_t>(0x40 | (Random() % 64 & 0x15))); Pixels += 3; break;
                case 2: Packed.push_back(static_cast<uint8_t>(0x80 | (Random() % 64 & 0x1B))); Pixels += 2; break;
                default: Packed.push_back(static_cast<uint8_t>(0xC0 | (Random() % 16))); Pixels += 1; break;
            }
        }
    }
    TThunderDecoder Decoder(PictureWidth);
    Bytes Out(size_t(PictureWidth / 2) * PictureHeight);
    for (auto _ : State) {
        uint8_t* Source = Packed.data();
        uint8_t* Dest = Out.data();
        Decoder.Decode(Source, Dest, static_cast<int32_t>(Packed.size()), static_cast<int32_t>(Out.size()), Packed.size(),
                       Out.size());
        benchmark::DoNotOptimize(Out.data());
    }
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * Out.size()));
}

void BM_PhotoCD_Ours(benchmark::State& State) {
    // One table of eight codes, then every row of a 1536 × 1024 luma plane.
    constexpr uint32_t Stride = 1536, Rows = 1024;
    Bytes Stream;
    uint64_t Accumulator = 0;
    int Bits = 0;
    auto Put = [&](uint32_t Value, int Count) {
        Accumulator = (Accumulator << Count) | Value;
        Bits += Count;
        while (Bits >= 8) {
            Stream.push_back(static_cast<uint8_t>(Accumulator >> (Bits - 8)));
            Bits -= 8;
        }
    };
    const uint32_t Codes[8][2] = {{0b0, 1}, {0b100, 3}, {0b101, 3}, {0b1100, 4}, {0b1101, 4}, {0b11100, 5}, {0b11101, 5}, {0b111100, 6}};
    Put(7, 8);
    for (int Index = 0; Index < 8; ++Index) {
        Put(Codes[Index][1] - 1, 8);
        Put(Codes[Index][0] << (16 - Codes[Index][1]), 16);
        Put(static_cast<uint8_t>(Index - 4), 8);
    }
    std::mt19937 Random(6);
    for (uint32_t Row = 0; Row <= Rows; ++Row) {
        Put(0xFFFFFE, 24);
        Put(Row << 1, 16); // plane 0, row number, spare bit
        if (Row == Rows) break;
        for (uint32_t X = 0; X < Stride; ++X) {
            const auto& Code = Codes[Random() % 8];
            Put(Code[0], static_cast<int>(Code[1]));
        }
    }
    Put(0, 8 - Bits % 8);
    Stream.resize((Stream.size() / 2048 + 2) * 2048, 0);
    Bytes Luma(size_t(Stride) * Rows, 128);
    for (auto _ : State) {
        TBytesStream Input(Stream.data(), static_cast<int64_t>(Stream.size()));
        TPCDDecoder Decoder(Input);
        Decoder.DecodePlanes(TPCDPlanes{Luma.data(), nullptr, nullptr, Luma.size(), 0, 0}, Stride, Rows);
        benchmark::DoNotOptimize(Luma.data());
    }
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * Luma.size()));
}

} // namespace

BENCHMARK(BM_LZW_TIFF_Ours);
BENCHMARK(BM_LZW_TIFF_LibTIFF);
BENCHMARK(BM_LZW_TIFF_Photo_Ours);
BENCHMARK(BM_LZW_TIFF_Photo_LibTIFF);
BENCHMARK(BM_LZW_GIF_Ours);
BENCHMARK(BM_LZW_GIF_giflib);
BENCHMARK(BM_PackBits_Ours);
BENCHMARK(BM_PackBits_LibTIFF);
BENCHMARK(BM_TargaRLE_Ours);
BENCHMARK(BM_TargaRLE_Encode);
BENCHMARK(BM_PCXRLE_Ours);
BENCHMARK(BM_CCITTMH_Ours);
BENCHMARK(BM_CCITTMH_LibTIFF);
BENCHMARK(BM_CCITTFax3_Ours);
BENCHMARK(BM_CCITTFax3_LibTIFF);
BENCHMARK(BM_CCITTFax4_Ours)->Arg(200)->Arg(300);
BENCHMARK(BM_CCITTFax4_LibTIFF)->Arg(200)->Arg(300);
BENCHMARK(BM_CCITTFax3_2D_Ours)->Arg(200)->Arg(300);
BENCHMARK(BM_CCITTFax3_2D_LibTIFF)->Arg(200)->Arg(300);
BENCHMARK(BM_LZ77_Ours);
BENCHMARK(BM_LZ77_zlib);
BENCHMARK(BM_TIFFJPEG_Ours);
BENCHMARK(BM_Thunder_Ours);
BENCHMARK(BM_PhotoCD_Ours);

BENCHMARK_MAIN();
