// Load throughput of the portable map reader on a 4000 x 3000 picture, binary
// pixel and gray maps beside stb_image decoding the same bytes, and text pixel
// maps in bytes per second. Items/s are pixels; bytes/s the file size.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <stb/stb_image.h>

#include "imaging/formats/PPM.h"
#include "platform/Streams.h"

using namespace qv;

namespace {

constexpr int Width = 4000;
constexpr int Height = 3000;
// The text picture is smaller: its file is about four bytes per sample.
constexpr int TextWidth = 1000;
constexpr int TextHeight = 750;

// A photo-like sample: smooth gradients with a little deterministic noise.
uint8_t Sample(int X, int Y, int C, uint32_t& Seed) {
    Seed = Seed * 1103515245u + 12345u;
    const int Noise = static_cast<int>(Seed >> 28) - 8;
    const int Base = C == 0 ? X * 255 / Width : C == 1 ? Y * 255 / Height : ((X + Y) / 8 % 64) * 4;
    return static_cast<uint8_t>(std::clamp(Base + Noise, 0, 255));
}

std::vector<uint8_t> BinaryMap(int Type, int Samples) {
    const std::string Header = "P" + std::to_string(Type) + "\n" + std::to_string(Width) + " " +
                               std::to_string(Height) + "\n255\n";
    std::vector<uint8_t> File(Header.begin(), Header.end());
    File.reserve(File.size() + static_cast<size_t>(Width) * Height * Samples);
    uint32_t Seed = 12345;
    for (int Y = 0; Y < Height; ++Y)
        for (int X = 0; X < Width; ++X)
            for (int C = 0; C < Samples; ++C) File.push_back(Sample(X, Y, C, Seed));
    return File;
}

const std::vector<uint8_t>& P6File() {
    static const std::vector<uint8_t> Data = BinaryMap(6, 3);
    return Data;
}

const std::vector<uint8_t>& P5File() {
    static const std::vector<uint8_t> Data = BinaryMap(5, 1);
    return Data;
}

// Plain pixel map as netpbm writes it: samples separated by blanks, lines under 70 characters.
const std::vector<uint8_t>& P3File() {
    static const std::vector<uint8_t> Data = [] {
        std::string Text = "P3\n" + std::to_string(TextWidth) + " " + std::to_string(TextHeight) + "\n255\n";
        uint32_t Seed = 12345;
        size_t LineStart = Text.size();
        char Number[8];
        for (int Y = 0; Y < TextHeight; ++Y)
            for (int X = 0; X < TextWidth; ++X)
                for (int C = 0; C < 3; ++C) {
                    const int Length = std::snprintf(Number, sizeof Number, "%d", Sample(X * 4, Y * 4, C, Seed));
                    if (Text.size() - LineStart + Length + 1 > 70) {
                        Text.back() = '\n';
                        LineStart = Text.size();
                    }
                    Text.append(Number, static_cast<size_t>(Length));
                    Text.push_back(' ');
                }
        return std::vector<uint8_t>(Text.begin(), Text.end());
    }();
    return Data;
}

void LoadQuorvia(benchmark::State& State, const std::vector<uint8_t>& File, int64_t Pixels) {
    for (auto _ : State) {
        TBytesStream Stream(File.data(), static_cast<int64_t>(File.size()));
        TPPMGraphic Reader;
        Reader.LoadFromStream(Stream);
        benchmark::DoNotOptimize(Reader.ScanLine(0));
    }
    State.SetItemsProcessed(State.iterations() * Pixels);
    State.SetBytesProcessed(State.iterations() * static_cast<int64_t>(File.size()));
}

void LoadStb(benchmark::State& State, const std::vector<uint8_t>& File, int Components) {
    for (auto _ : State) {
        int W = 0, H = 0, N = 0;
        stbi_uc* Pixels = stbi_load_from_memory(File.data(), static_cast<int>(File.size()), &W, &H, &N, Components);
        if (Pixels == nullptr) {
            State.SkipWithError("stb_image could not read the file");
            return;
        }
        benchmark::DoNotOptimize(Pixels[0]);
        stbi_image_free(Pixels);
    }
    State.SetItemsProcessed(State.iterations() * int64_t{Width} * Height);
    State.SetBytesProcessed(State.iterations() * static_cast<int64_t>(File.size()));
}

void BM_P6_Quorvia(benchmark::State& State) { LoadQuorvia(State, P6File(), int64_t{Width} * Height); }
void BM_P6_StbImage(benchmark::State& State) { LoadStb(State, P6File(), 3); }
void BM_P5_Quorvia(benchmark::State& State) { LoadQuorvia(State, P5File(), int64_t{Width} * Height); }
void BM_P5_StbImage(benchmark::State& State) { LoadStb(State, P5File(), 1); }
void BM_P3_Quorvia(benchmark::State& State) { LoadQuorvia(State, P3File(), int64_t{TextWidth} * TextHeight); }

} // namespace

BENCHMARK(BM_P6_Quorvia)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_P6_StbImage)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_P5_Quorvia)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_P5_StbImage)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_P3_Quorvia)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
