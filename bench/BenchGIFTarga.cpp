// Load throughput of the GIF and Targa readers beside giflib (DGifSlurp) and
// stb_image on the same files, and the Targa writer's output rate. Items/s are
// pixels; bytes/s are the picture's stored bytes (writer) or the file (readers).

#include <benchmark/benchmark.h>

#include <gif_lib.h>
#include <stb/stb_image.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "imaging/formats/GIF.h"
#include "imaging/formats/Targa.h"
#include "platform/Streams.h"

using namespace qv;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr int Width = 1500;
constexpr int Height = 1000;

/// A photo-like picture: smooth gradients, a few shapes and a little deterministic noise,
/// as blue, green, red, alpha.
const Bytes& Photo() {
    static const Bytes Pixels = [] {
        Bytes Result(size_t(Width) * Height * 4);
        uint32_t Seed = 12345;
        for (int Y = 0; Y < Height; ++Y)
            for (int X = 0; X < Width; ++X) {
                Seed = Seed * 1103515245u + 12345u;
                const int Noise = static_cast<int>(Seed >> 29) - 4;
                const bool Disc = (X - 500) * (X - 500) + (Y - 400) * (Y - 400) < 200 * 200;
                uint8_t* P = &Result[(size_t(Y) * Width + X) * 4];
                P[0] = static_cast<uint8_t>(std::clamp((Disc ? 220 : X * 255 / Width) + Noise, 0, 255));
                P[1] = static_cast<uint8_t>(std::clamp(Y * 255 / Height + Noise, 0, 255));
                P[2] = static_cast<uint8_t>(std::clamp(((X + Y) / 6 % 64) * 4 + Noise, 0, 255));
                P[3] = static_cast<uint8_t>(Disc ? 128 : 255);
            }
        return Result;
    }();
    return Pixels;
}

/// The photo reduced to 3-3-2 palette indices, dithered by the noise it carries.
const Bytes& PhotoIndices() {
    static const Bytes Indices = [] {
        Bytes Result(size_t(Width) * Height);
        const Bytes& Bgra = Photo();
        for (size_t I = 0; I < Result.size(); ++I)
            Result[I] = static_cast<uint8_t>((Bgra[4 * I + 2] & 0xE0) | ((Bgra[4 * I + 1] >> 3) & 0x1C) | (Bgra[4 * I] >> 6));
        return Result;
    }();
    return Indices;
}

struct TGIFBuffer {
    const Bytes* Source = nullptr;
    Bytes Written;
    size_t Position = 0;
};

int GIFWrite(GifFileType* File, const GifByteType* Buffer, int Size) {
    auto* Out = static_cast<TGIFBuffer*>(File->UserData);
    Out->Written.insert(Out->Written.end(), Buffer, Buffer + Size);
    return Size;
}

int GIFRead(GifFileType* File, GifByteType* Buffer, int Size) {
    auto* In = static_cast<TGIFBuffer*>(File->UserData);
    const size_t Count = std::min<size_t>(static_cast<size_t>(Size), In->Source->size() - In->Position);
    std::memcpy(Buffer, In->Source->data() + In->Position, Count);
    In->Position += Count;
    return static_cast<int>(Count);
}

/// The photo as a GIF written by giflib; interlaced files get their rows in pass order.
Bytes MakeGIF(bool Interlaced) {
    TGIFBuffer Out;
    int Error = 0;
    GifFileType* Gif = EGifOpen(&Out, GIFWrite, &Error);
    ColorMapObject* Map = GifMakeMapObject(256, nullptr);
    for (int I = 0; I < 256; ++I)
        Map->Colors[I] = GifColorType{uint8_t((I >> 5) * 36), uint8_t(((I >> 2) & 7) * 36), uint8_t((I & 3) * 85)};
    EGifPutScreenDesc(Gif, Width, Height, 8, 0, Map);
    EGifPutImageDesc(Gif, 0, 0, Width, Height, Interlaced, nullptr);
    auto Put = [&](int Row) { EGifPutLine(Gif, const_cast<uint8_t*>(&PhotoIndices()[size_t(Row) * Width]), Width); };
    if (Interlaced) {
        for (const auto& [First, Step] : {std::pair{0, 8}, {4, 8}, {2, 4}, {1, 2}})
            for (int Row = First; Row < Height; Row += Step) Put(Row);
    } else {
        for (int Row = 0; Row < Height; ++Row) Put(Row);
    }
    EGifCloseFile(Gif, &Error);
    GifFreeMapObject(Map);
    return Out.Written;
}

const Bytes& GIFFile(bool Interlaced) {
    static const Bytes Plain = MakeGIF(false);
    static const Bytes Woven = MakeGIF(true);
    return Interlaced ? Woven : Plain;
}

void Count(benchmark::State& State, const Bytes& File) {
    State.SetItemsProcessed(static_cast<int64_t>(State.iterations()) * Width * Height);
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * File.size()));
}

template <typename TReader>
void LoadOurs(benchmark::State& State, const Bytes& File) {
    for (auto _ : State) {
        TBytesStream Stream(File.data(), static_cast<int64_t>(File.size()));
        TReader Reader;
        Reader.LoadFromStream(Stream);
        benchmark::DoNotOptimize(Reader.ScanLine(0));
    }
    Count(State, File);
}

void LoadStb(benchmark::State& State, const Bytes& File) {
    for (auto _ : State) {
        int W = 0, H = 0, N = 0;
        stbi_uc* Pixels = stbi_load_from_memory(File.data(), static_cast<int>(File.size()), &W, &H, &N, 0);
        if (!Pixels) State.SkipWithError("stb_image failed");
        benchmark::DoNotOptimize(Pixels);
        stbi_image_free(Pixels);
    }
    Count(State, File);
}

void BM_GIF_Ours(benchmark::State& State) { LoadOurs<TGIFGraphic>(State, GIFFile(State.range(0) != 0)); }

void BM_GIF_giflib(benchmark::State& State) {
    const Bytes& File = GIFFile(State.range(0) != 0);
    for (auto _ : State) {
        TGIFBuffer In;
        In.Source = &File;
        int Error = 0;
        GifFileType* Gif = DGifOpen(&In, GIFRead, &Error);
        if (!Gif || DGifSlurp(Gif) != GIF_OK) State.SkipWithError("giflib failed");
        benchmark::DoNotOptimize(Gif->SavedImages[0].RasterBits);
        DGifCloseFile(Gif, &Error);
    }
    Count(State, File);
}

void BM_GIF_stb(benchmark::State& State) { LoadStb(State, GIFFile(State.range(0) != 0)); }

/// The photo as a Targa file: run-length encoded by our writer, or stored raw, bottom row first.
Bytes MakeTarga(TPixelFormat Format, bool RunLength) {
    TTargaGraphic Picture;
    Picture.SetPixelFormat(Format);
    Picture.SetSize(Width, Height);
    const size_t PixelSize = Format == pf32bit ? 4 : 3;
    const Bytes& Bgra = Photo();
    for (int Y = 0; Y < Height; ++Y) {
        uint8_t* Row = Picture.ScanLine(Y);
        for (int X = 0; X < Width; ++X)
            std::memcpy(Row + X * PixelSize, &Bgra[(size_t(Y) * Width + X) * 4], PixelSize);
    }
    if (RunLength) {
        TMemoryStream Stream;
        Picture.SaveToStream(Stream);
        return Stream.Data();
    }
    Bytes File = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, Width & 0xFF, Width >> 8, Height & 0xFF, Height >> 8,
                  static_cast<uint8_t>(PixelSize * 8), 0};
    for (int Y = Height - 1; Y >= 0; --Y)
        File.insert(File.end(), Picture.ScanLine(Y), Picture.ScanLine(Y) + size_t(Width) * PixelSize);
    return File;
}

const Bytes& TargaFile(int Variant) {
    static const Bytes Files[] = {MakeTarga(pf24bit, false), MakeTarga(pf32bit, false), MakeTarga(pf24bit, true),
                                  MakeTarga(pf32bit, true)};
    return Files[Variant];
}

void BM_Targa_Ours(benchmark::State& State) { LoadOurs<TTargaGraphic>(State, TargaFile(static_cast<int>(State.range(0)))); }
void BM_Targa_stb(benchmark::State& State) { LoadStb(State, TargaFile(static_cast<int>(State.range(0)))); }

void BM_TargaWrite(benchmark::State& State) {
    const TPixelFormat Format = State.range(0) == 32 ? pf32bit : pf24bit;
    TTargaGraphic Picture;
    const Bytes File = MakeTarga(Format, true);
    TBytesStream Source(File.data(), static_cast<int64_t>(File.size()));
    Picture.LoadFromStream(Source);
    for (auto _ : State) {
        TMemoryStream Stream;
        Picture.SaveToStream(Stream);
        benchmark::DoNotOptimize(Stream.Data().data());
    }
    State.SetItemsProcessed(static_cast<int64_t>(State.iterations()) * Width * Height);
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations()) * Width * Height * (Format == pf32bit ? 4 : 3));
}

void GIFArguments(benchmark::internal::Benchmark* B) { B->ArgName("interlaced")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond); }
// 0: raw 24, 1: raw 32, 2: run-length 24, 3: run-length 32.
void TargaArguments(benchmark::internal::Benchmark* B) { B->ArgName("variant")->DenseRange(0, 3)->Unit(benchmark::kMillisecond); }

} // namespace

BENCHMARK(BM_GIF_Ours)->Apply(GIFArguments);
BENCHMARK(BM_GIF_giflib)->Apply(GIFArguments);
BENCHMARK(BM_GIF_stb)->Apply(GIFArguments);
BENCHMARK(BM_Targa_Ours)->Apply(TargaArguments);
BENCHMARK(BM_Targa_stb)->Apply(TargaArguments);
BENCHMARK(BM_TargaWrite)->ArgName("bits")->Arg(24)->Arg(32)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
