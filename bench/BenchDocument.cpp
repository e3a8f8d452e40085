// Layered documents: loading and flattening a 4-layer 4000 x 3000 document,
// and how much of that is inflating the layer pixels.

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <vector>

#include "display/Pix32.h"
#include "display/PixEffect.h"
#include "document/MQDoc.h"
#include "platform/Streams.h"

using namespace qv;

namespace {

constexpr int DocW = 4000;
constexpr int DocH = 3000;
constexpr double DocPixels = double{DocW} * DocH;

// Photograph-like content: smooth gradients with a little noise, so that
// deflate works about as hard as on a painted layer.
void PaintLayer(TPictureLayer& Layer, int W, int H, uint32_t Seed, bool Translucent) {
    AllocSurface(W, H, Layer.Surface);
    uint32_t State = Seed;
    for (int Y = 0; Y < H; ++Y) {
        TPixel32* Row = SurfaceScanline(Layer.Surface, Y);
        for (int X = 0; X < W; ++X) {
            State = State * 1103515245u + 12345u;
            const int Noise = static_cast<int>((State >> 16) & 7);
            const auto C = [&](int Base, int Scale) { return static_cast<uint8_t>((Base + (X + Y * Scale) / 40 + Noise) & 0xFF); };
            const uint8_t Alpha = Translucent ? static_cast<uint8_t>(X * 255 / W) : 255;
            Row[X] = MakePixel(C(Seed & 63, 1), C(90, 2), C(30, 3), Alpha);
        }
    }
}

struct TFixture {
    std::vector<uint8_t> File;
    std::vector<std::vector<uint8_t>> Blocks; // each layer's zlib stream, as the writer stores it
    std::vector<size_t> BlockSizes;          // uncompressed sizes

    TFixture() {
        TPictureDoc Doc;
        Doc.SetDocSize(DocW, DocH);
        const struct {
            int W, H, Left, Top;
            uint8_t Opacity;
            TBlendMode Mode;
            bool Translucent;
        } Layers[] = {
            {DocW, DocH, 0, 0, 255, TBlendMode::Normal, false},
            {3000, 2000, 500, 400, 255, TBlendMode::Multiply, true},
            {2500, 2500, 2000, 1000, 200, TBlendMode::Screen, false}, // partly outside
            {DocW, DocH, 0, 0, 128, TBlendMode::Normal, true},
        };
        uint32_t Seed = 1;
        for (const auto& L : Layers) {
            TPictureLayer& Layer = Doc.LayerAt(Doc.AddLayer(Doc.LayerCount()));
            PaintLayer(Layer, L.W, L.H, Seed++, L.Translucent);
            Layer.Left = L.Left;
            Layer.Top = L.Top;
            Layer.Opacity = L.Opacity;
            Layer.BlendMode = static_cast<uint8_t>(L.Mode);

            const size_t Size = size_t(L.W) * L.H * 4;
            uLongf Packed = compressBound(static_cast<uLong>(Size));
            std::vector<uint8_t> Block(Packed);
            compress2(Block.data(), &Packed, reinterpret_cast<const Bytef*>(Layer.Surface.Bits), static_cast<uLong>(Size),
                      Z_DEFAULT_COMPRESSION);
            Block.resize(Packed);
            Blocks.push_back(std::move(Block));
            BlockSizes.push_back(Size);
        }
        TMemoryStream Stream;
        Doc.SaveToStream(Stream);
        File = Stream.Data();
    }
};

const TFixture& Fixture() {
    static const TFixture Instance;
    return Instance;
}

void SetCounters(benchmark::State& State) {
    State.counters["MPix/s"] = benchmark::Counter(DocPixels / 1e6, benchmark::Counter::kIsIterationInvariantRate);
    State.counters["FileMB"] = static_cast<double>(Fixture().File.size()) / 1e6;
}

void BM_LoadAndFlatten(benchmark::State& State) {
    const auto& F = Fixture();
    for (auto _ : State) {
        TBytesStream Stream(F.File.data(), static_cast<int64_t>(F.File.size()));
        TPictureDoc Doc;
        Doc.LoadFromStream(Stream);
        TBitmap Bitmap;
        Doc.Flatten(Bitmap, false);
        benchmark::DoNotOptimize(Bitmap.ScanLine(0));
    }
    SetCounters(State);
}

void BM_Load(benchmark::State& State) {
    const auto& F = Fixture();
    for (auto _ : State) {
        TBytesStream Stream(F.File.data(), static_cast<int64_t>(F.File.size()));
        TPictureDoc Doc;
        Doc.LoadFromStream(Stream);
        benchmark::DoNotOptimize(Doc.LayerAt(0).Surface.Bits);
    }
    SetCounters(State);
}

void BM_Flatten(benchmark::State& State) {
    const auto& F = Fixture();
    TBytesStream Stream(F.File.data(), static_cast<int64_t>(F.File.size()));
    TPictureDoc Doc;
    Doc.LoadFromStream(Stream);
    TBitmap Bitmap;
    for (auto _ : State) {
        Doc.Flatten(Bitmap, false);
        benchmark::DoNotOptimize(Bitmap.ScanLine(0));
    }
    SetCounters(State);
}

// zlib alone on the same layer streams: the floor under loading.
void BM_InflateOnly(benchmark::State& State) {
    const auto& F = Fixture();
    std::vector<uint8_t> Out(DocW * size_t{DocH} * 4);
    for (auto _ : State) {
        for (size_t I = 0; I < F.Blocks.size(); ++I) {
            uLongf Size = static_cast<uLongf>(F.BlockSizes[I]);
            uncompress(Out.data(), &Size, F.Blocks[I].data(), static_cast<uLong>(F.Blocks[I].size()));
        }
        benchmark::DoNotOptimize(Out.data());
    }
    SetCounters(State);
}

} // namespace

BENCHMARK(BM_LoadAndFlatten)->Unit(benchmark::kMillisecond)->MinTime(3);
BENCHMARK(BM_Load)->Unit(benchmark::kMillisecond)->MinTime(3);
BENCHMARK(BM_Flatten)->Unit(benchmark::kMillisecond)->MinTime(3);
BENCHMARK(BM_InflateOnly)->Unit(benchmark::kMillisecond)->MinTime(3);
BENCHMARK_MAIN();
