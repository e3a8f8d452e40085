// PNG load throughput in megapixels per second: our reader (decoded into the
// picture) beside libpng's simplified API (BGR or BGRA output) and libspng
// (RGB8 or RGBA8), on generated files written by libpng with its default
// filters and compression: a photo-like RGB picture, a screenshot-like RGBA
// picture, an 8-bit palette picture and an interlaced RGB picture.

#include <benchmark/benchmark.h>

#include <png.h>
#include <spng.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <stdexcept>
#include <vector>

#include "imaging/formats/PNG.h"
#include "platform/Streams.h"

using namespace qv;
using Bytes = std::vector<uint8_t>;

namespace {

struct TPicture {
    uint32_t Width;
    uint32_t Height;
    int ColorType;   // PNG_COLOR_TYPE_*
    bool Interlaced;
    Bytes Pixels;    // rows top-down as the file stores them (indices for palette pictures)
    Bytes File;
};

void AppendToVector(png_structp Png, png_bytep Data, png_size_t Length) {
    auto* Out = static_cast<Bytes*>(png_get_io_ptr(Png));
    Out->insert(Out->end(), Data, Data + Length);
}

void FlushNothing(png_structp) {}

/// Writes the picture with libpng's default filter selection and compression level.
Bytes WritePng(const TPicture& P) {
    Bytes Out;
    png_structp Png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop Info = png_create_info_struct(Png);
    if (setjmp(png_jmpbuf(Png))) {
        png_destroy_write_struct(&Png, &Info);
        throw std::runtime_error("libpng could not write the benchmark picture");
    }
    png_set_write_fn(Png, &Out, AppendToVector, FlushNothing);
    png_set_IHDR(Png, Info, P.Width, P.Height, 8, P.ColorType,
                 P.Interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    std::vector<png_color> Palette(256);
    if (P.ColorType == PNG_COLOR_TYPE_PALETTE) {
        for (int I = 0; I < 256; ++I)
            Palette[size_t(I)] = png_color{uint8_t(I), uint8_t(255 - I), uint8_t((I * 7) & 0xFF)};
        png_set_PLTE(Png, Info, Palette.data(), 256);
    }
    png_write_info(Png, Info);
    const size_t RowBytes = P.Pixels.size() / P.Height;
    std::vector<png_bytep> Rows(P.Height);
    for (uint32_t Y = 0; Y < P.Height; ++Y) Rows[Y] = const_cast<png_bytep>(P.Pixels.data() + Y * RowBytes);
    png_write_image(Png, Rows.data());
    png_write_end(Png, Info);
    png_destroy_write_struct(&Png, &Info);
    return Out;
}

/// Smooth gradients with fine noise, as a photograph compresses.
TPicture Photo(uint32_t Width, uint32_t Height, bool Interlaced) {
    TPicture P{Width, Height, PNG_COLOR_TYPE_RGB, Interlaced, Bytes(size_t{Width} * Height * 3), {}};
    std::mt19937 Random(7);
    for (uint32_t Y = 0; Y < Height; ++Y)
        for (uint32_t X = 0; X < Width; ++X) {
            uint8_t* Px = &P.Pixels[(size_t{Y} * Width + X) * 3];
            const double U = double(X) / Width, V = double(Y) / Height;
            const int Noise = int(Random() % 7) - 3;
            Px[0] = uint8_t(std::clamp(int(128 + 100 * std::sin(6 * U + 2 * V)) + Noise, 0, 255));
            Px[1] = uint8_t(std::clamp(int(110 + 90 * std::cos(5 * V - 3 * U)) + Noise, 0, 255));
            Px[2] = uint8_t(std::clamp(int(90 + 80 * std::sin(4 * (U + V))) + Noise, 0, 255));
        }
    P.File = WritePng(P);
    return P;
}

/// Flat panels, window frames and lines of "text", with translucent shadows.
TPicture Screenshot(uint32_t Width, uint32_t Height) {
    TPicture P{Width, Height, PNG_COLOR_TYPE_RGB_ALPHA, false, Bytes(size_t{Width} * Height * 4), {}};
    std::mt19937 Random(11);
    for (uint32_t Y = 0; Y < Height; ++Y)
        for (uint32_t X = 0; X < Width; ++X) {
            uint8_t* Px = &P.Pixels[(size_t{Y} * Width + X) * 4];
            const uint32_t Panel = (X / 320 + Y / 240) % 4;
            uint8_t R = uint8_t(230 - Panel * 30), G = uint8_t(235 - Panel * 20), B = uint8_t(240 - Panel * 10), A = 255;
            if (Y % 240 < 24) R = 40, G = 70, B = 140; // title bars
            const bool TextLine = Y % 240 > 40 && (Y % 16) < 10 && X % 320 > 16 && X % 320 < 300;
            if (TextLine && ((X * 2654435761u + Y * 40503u) >> 13) % 3 == 0) R = G = B = 20;
            if (X % 320 >= 312) A = uint8_t(255 - (X % 320 - 312) * 24); // shadows
            if (Random() % 997 == 0) R = uint8_t(Random());
            Px[0] = R, Px[1] = G, Px[2] = B, Px[3] = A;
        }
    P.File = WritePng(P);
    return P;
}

/// A dithered palette picture: indices of smooth areas with scattered detail.
TPicture Palette(uint32_t Width, uint32_t Height) {
    TPicture P{Width, Height, PNG_COLOR_TYPE_PALETTE, false, Bytes(size_t{Width} * Height), {}};
    std::mt19937 Random(13);
    for (uint32_t Y = 0; Y < Height; ++Y)
        for (uint32_t X = 0; X < Width; ++X)
            P.Pixels[size_t{Y} * Width + X] = uint8_t((X / 16 + Y / 24) * 5 + (Random() % 4 == 0 ? Random() % 3 : 0));
    P.File = WritePng(P);
    return P;
}

const TPicture& PhotoPicture() { static const TPicture P = Photo(4000, 3000, false); return P; }
const TPicture& ScreenshotPicture() { static const TPicture P = Screenshot(2560, 1600); return P; }
const TPicture& PalettePicture() { static const TPicture P = Palette(4000, 3000); return P; }
const TPicture& InterlacedPicture() { static const TPicture P = Photo(2000, 1500, true); return P; }

void ReportRate(benchmark::State& State, const TPicture& P) {
    State.counters["MP/s"] = benchmark::Counter(double(P.Width) * P.Height * double(State.iterations()) / 1e6,
                                                benchmark::Counter::kIsRate);
    State.counters["file_MB"] = double(P.File.size()) / 1e6;
}

/// Every 97th row of our picture holds the file's samples (palette indices, or blue, green, red[, alpha]).
bool SameAsFile(const TPNGGraphic& Picture, const TPicture& P) {
    const int Samples = P.ColorType == PNG_COLOR_TYPE_PALETTE ? 1 : P.ColorType == PNG_COLOR_TYPE_RGB ? 3 : 4;
    for (uint32_t Y = 0; Y < P.Height; Y += 97) {
        const uint8_t* Row = Picture.ScanLine(int(Y));
        const uint8_t* File = &P.Pixels[size_t{Y} * P.Width * Samples];
        for (uint32_t X = 0; X < P.Width; ++X, Row += Samples, File += Samples) {
            if (Samples == 1 && Row[0] != File[0]) return false;
            if (Samples > 1 && (Row[0] != File[2] || Row[1] != File[1] || Row[2] != File[0])) return false;
            if (Samples == 4 && Row[3] != File[3]) return false;
        }
    }
    return true;
}

void Ours(benchmark::State& State, const TPicture& P) {
    auto Load = [&P](TPNGGraphic& Picture) {
        TBytesStream Stream(P.File.data(), static_cast<int64_t>(P.File.size()));
        Picture.LoadFromStream(Stream);
    };
    TPNGGraphic Check;
    Load(Check);
    if (!SameAsFile(Check, P)) State.SkipWithError("our picture differs from the file");
    for (auto _ : State) {
        TPNGGraphic Picture;
        Load(Picture);
        benchmark::DoNotOptimize(Picture.ScanLine(0));
    }
    ReportRate(State, P);
}

void LibPng(benchmark::State& State, const TPicture& P) {
    for (auto _ : State) {
        png_image Image{};
        Image.version = PNG_IMAGE_VERSION;
        if (!png_image_begin_read_from_memory(&Image, P.File.data(), P.File.size())) {
            State.SkipWithError(Image.message);
            break;
        }
        Image.format = (Image.format & PNG_FORMAT_FLAG_ALPHA) ? PNG_FORMAT_BGRA : PNG_FORMAT_BGR;
        std::unique_ptr<uint8_t[]> Out(new uint8_t[PNG_IMAGE_SIZE(Image)]);
        if (!png_image_finish_read(&Image, nullptr, Out.get(), 0, nullptr)) {
            State.SkipWithError(Image.message);
            break;
        }
        benchmark::DoNotOptimize(Out.get());
    }
    ReportRate(State, P);
}

void LibSpng(benchmark::State& State, const TPicture& P) {
    const int Format = P.ColorType == PNG_COLOR_TYPE_RGB_ALPHA ? SPNG_FMT_RGBA8 : SPNG_FMT_RGB8;
    for (auto _ : State) {
        std::unique_ptr<spng_ctx, decltype(&spng_ctx_free)> Context(spng_ctx_new(0), spng_ctx_free);
        size_t Size = 0;
        if (spng_set_png_buffer(Context.get(), P.File.data(), P.File.size()) != 0 ||
            spng_decoded_image_size(Context.get(), Format, &Size) != 0) {
            State.SkipWithError("libspng could not read the header");
            break;
        }
        std::unique_ptr<uint8_t[]> Out(new uint8_t[Size]);
        if (spng_decode_image(Context.get(), Out.get(), Size, Format, 0) != 0) {
            State.SkipWithError("libspng could not decode");
            break;
        }
        benchmark::DoNotOptimize(Out.get());
    }
    ReportRate(State, P);
}

void BM_PNG_Photo_Ours(benchmark::State& S) { Ours(S, PhotoPicture()); }
void BM_PNG_Photo_LibPng(benchmark::State& S) { LibPng(S, PhotoPicture()); }
void BM_PNG_Photo_LibSpng(benchmark::State& S) { LibSpng(S, PhotoPicture()); }
void BM_PNG_Screenshot_Ours(benchmark::State& S) { Ours(S, ScreenshotPicture()); }
void BM_PNG_Screenshot_LibPng(benchmark::State& S) { LibPng(S, ScreenshotPicture()); }
void BM_PNG_Screenshot_LibSpng(benchmark::State& S) { LibSpng(S, ScreenshotPicture()); }
void BM_PNG_Palette_Ours(benchmark::State& S) { Ours(S, PalettePicture()); }
void BM_PNG_Palette_LibPng(benchmark::State& S) { LibPng(S, PalettePicture()); }
void BM_PNG_Palette_LibSpng(benchmark::State& S) { LibSpng(S, PalettePicture()); }
void BM_PNG_Interlaced_Ours(benchmark::State& S) { Ours(S, InterlacedPicture()); }
void BM_PNG_Interlaced_LibPng(benchmark::State& S) { LibPng(S, InterlacedPicture()); }
void BM_PNG_Interlaced_LibSpng(benchmark::State& S) { LibSpng(S, InterlacedPicture()); }

} // namespace

BENCHMARK(BM_PNG_Photo_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PNG_Photo_LibPng)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PNG_Photo_LibSpng)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PNG_Screenshot_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PNG_Screenshot_LibPng)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PNG_Screenshot_LibSpng)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PNG_Palette_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PNG_Palette_LibPng)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PNG_Palette_LibSpng)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PNG_Interlaced_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PNG_Interlaced_LibPng)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PNG_Interlaced_LibSpng)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
