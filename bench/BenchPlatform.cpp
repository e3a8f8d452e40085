// Load throughput of the platform's picture classes: Windows bitmaps
// (uncompressed 24-bit, 8-bit RLE) and JPEG, beside bare libjpeg-turbo
// decoding the same JPEG file into the same blue-green-red rows. Bytes/s is
// the file size; items/s are pixels.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include <jpeglib.h>

#include "platform/Graphics.h"
#include "platform/JPEG.h"

using namespace qv;

namespace {

constexpr int Width = 1600;
constexpr int Height = 1200;

// A photo-like picture: smooth gradients with a little deterministic noise.
std::vector<uint8_t> MakeRgb() {
    std::vector<uint8_t> Rgb(static_cast<size_t>(Width) * Height * 3);
    uint32_t Seed = 12345;
    for (int Y = 0; Y < Height; ++Y)
        for (int X = 0; X < Width; ++X) {
            Seed = Seed * 1103515245u + 12345u;
            const int Noise = static_cast<int>(Seed >> 28) - 8;
            uint8_t* P = &Rgb[(static_cast<size_t>(Y) * Width + X) * 3];
            P[0] = static_cast<uint8_t>(std::clamp(X * 255 / Width + Noise, 0, 255));
            P[1] = static_cast<uint8_t>(std::clamp(Y * 255 / Height + Noise, 0, 255));
            P[2] = static_cast<uint8_t>(std::clamp(((X + Y) / 8 % 64) * 4 + Noise, 0, 255));
        }
    return Rgb;
}

const std::vector<uint8_t>& JpegFile() {
    static const std::vector<uint8_t> Data = [] {
        const std::vector<uint8_t> Rgb = MakeRgb();
        jpeg_compress_struct Info;
        jpeg_error_mgr Error;
        Info.err = jpeg_std_error(&Error);
        jpeg_create_compress(&Info);
        unsigned char* Buffer = nullptr;
        unsigned long Size = 0;
        jpeg_mem_dest(&Info, &Buffer, &Size);
        Info.image_width = Width;
        Info.image_height = Height;
        Info.input_components = 3;
        Info.in_color_space = JCS_RGB;
        jpeg_set_defaults(&Info);
        jpeg_set_quality(&Info, 90, TRUE);
        jpeg_start_compress(&Info, TRUE);
        for (int Y = 0; Y < Height; ++Y) {
            JSAMPROW Row = const_cast<JSAMPROW>(&Rgb[static_cast<size_t>(Y) * Width * 3]);
            jpeg_write_scanlines(&Info, &Row, 1);
        }
        jpeg_finish_compress(&Info);
        jpeg_destroy_compress(&Info);
        std::vector<uint8_t> Result(Buffer, Buffer + Size);
        std::free(Buffer);
        return Result;
    }();
    return Data;
}

std::vector<uint8_t> Save(TBitmap& Bitmap) {
    TMemoryStream Stream;
    Bitmap.SaveToStream(Stream);
    return Stream.Data();
}

const std::vector<uint8_t>& Bitmap24File() {
    static const std::vector<uint8_t> Data = [] {
        const std::vector<uint8_t> Rgb = MakeRgb();
        TBitmap B;
        B.SetPixelFormat(pf24bit);
        B.SetSize(Width, Height);
        for (int Y = 0; Y < Height; ++Y)
            for (int X = 0; X < Width; ++X) {
                const uint8_t* S = &Rgb[(static_cast<size_t>(Y) * Width + X) * 3];
                uint8_t* D = B.ScanLine(Y) + 3 * X;
                D[0] = S[2], D[1] = S[1], D[2] = S[0];
            }
        return Save(B);
    }();
    return Data;
}

// An RLE8 file of horizontal bands: runs of 64 pixels and short literal runs.
const std::vector<uint8_t>& Rle8File() {
    static const std::vector<uint8_t> Data = [] {
        std::vector<uint8_t> Pixels;
        for (int Y = 0; Y < Height; ++Y) {
            for (int X = 0; X < Width; X += 64) {
                const int Run = std::min(64, Width - X);
                Pixels.push_back(static_cast<uint8_t>(Run - 4));
                Pixels.push_back(static_cast<uint8_t>((X / 64 + Y / 16) & 0xFF));
                Pixels.insert(Pixels.end(), {0, 4, uint8_t(Y), uint8_t(X), uint8_t(Y + X), uint8_t(7)});
            }
            Pixels.insert(Pixels.end(), {0, 0}); // end of line
        }
        Pixels.insert(Pixels.end(), {0, 1}); // end of bitmap
        std::vector<uint8_t> File;
        auto U16 = [&](uint32_t V) { File.push_back(uint8_t(V)), File.push_back(uint8_t(V >> 8)); };
        auto U32 = [&](uint32_t V) { U16(V), U16(V >> 16); };
        const uint32_t OffBits = 14 + 40 + 256 * 4;
        File.push_back('B'), File.push_back('M');
        U32(OffBits + static_cast<uint32_t>(Pixels.size())), U32(0), U32(OffBits);
        U32(40), U32(Width), U32(Height), U16(1), U16(8), U32(1), U32(static_cast<uint32_t>(Pixels.size()));
        U32(0), U32(0), U32(256), U32(0);
        for (int I = 0; I < 256; ++I) U32(static_cast<uint32_t>(I * 0x010101));
        File.insert(File.end(), Pixels.begin(), Pixels.end());
        return File;
    }();
    return Data;
}

void Report(benchmark::State& State, size_t FileBytes) {
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations()) * static_cast<int64_t>(FileBytes));
    State.SetItemsProcessed(static_cast<int64_t>(State.iterations()) * Width * Height);
}

// Loads one in-memory bitmap file per iteration.
template <const std::vector<uint8_t>& (*MakeFile)()>
void BM_BitmapLoad(benchmark::State& State) {
    const auto& Data = MakeFile();
    for (auto _ : State) {
        TBytesStream Stream(Data.data(), static_cast<int64_t>(Data.size()));
        TBitmap B;
        B.LoadFromStream(Stream);
        benchmark::DoNotOptimize(B.ScanLine(0));
    }
    Report(State, Data.size());
}
BENCHMARK(BM_BitmapLoad<Bitmap24File>)->Name("BM_BitmapLoad24")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BitmapLoad<Rle8File>)->Name("BM_BitmapLoadRle8")->Unit(benchmark::kMillisecond);

void BM_JpegLoad(benchmark::State& State) {
    const auto& Data = JpegFile();
    for (auto _ : State) {
        TBytesStream Stream(Data.data(), static_cast<int64_t>(Data.size()));
        TJPEGImage Image;
        Image.LoadFromStream(Stream);
        benchmark::DoNotOptimize(Image.Bitmap().ScanLine(0));
    }
    Report(State, Data.size());
}
BENCHMARK(BM_JpegLoad)->Unit(benchmark::kMillisecond);

// The same file through libjpeg-turbo alone, into one preallocated buffer.
void BM_JpegBareLibjpegTurbo(benchmark::State& State) {
    const auto& Data = JpegFile();
    std::vector<uint8_t> Pixels(static_cast<size_t>(Width) * Height * 3);
    for (auto _ : State) {
        jpeg_decompress_struct Info;
        jpeg_error_mgr Error;
        Info.err = jpeg_std_error(&Error);
        jpeg_create_decompress(&Info);
        jpeg_mem_src(&Info, Data.data(), static_cast<unsigned long>(Data.size()));
        jpeg_read_header(&Info, TRUE);
        Info.out_color_space = JCS_EXT_BGR;
        jpeg_start_decompress(&Info);
        while (Info.output_scanline < Info.output_height) {
            JSAMPROW Row = &Pixels[static_cast<size_t>(Info.output_scanline) * Width * 3];
            jpeg_read_scanlines(&Info, &Row, 1);
        }
        jpeg_finish_decompress(&Info);
        jpeg_destroy_decompress(&Info);
        benchmark::DoNotOptimize(Pixels.data());
    }
    Report(State, Data.size());
}
BENCHMARK(BM_JpegBareLibjpegTurbo)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
