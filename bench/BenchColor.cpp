// ConvertLine throughput in megapixels per second for the common layouts,
// beside a plain memcpy of the same source bytes as the ceiling.

#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "imaging/ImageColor.h"

using namespace qv;

namespace {

constexpr uint32_t RowPixels = 4096;

struct TSetup {
    TColorScheme Source;
    uint8_t SourceBits;
    TColorScheme Target;
    uint8_t TargetBits;
    bool Swap = false;
    bool Gamma = false;
};

size_t SourceBytes(const TSetup& S) {
    switch (S.Source) {
    case TColorScheme::Indexed: return (size_t{RowPixels} * S.SourceBits + 7) / 8;
    case TColorScheme::RGBA:
    case TColorScheme::BGRA:
    case TColorScheme::CMYK: return size_t{RowPixels} * 4 * S.SourceBits / 8;
    default: return size_t{RowPixels} * 3 * S.SourceBits / 8;
    }
}

std::vector<uint8_t> RandomBytes(size_t Count) {
    std::mt19937 Random(42);
    std::vector<uint8_t> Result(Count);
    for (auto& B : Result) B = static_cast<uint8_t>(Random());
    return Result;
}

void Run(benchmark::State& State, TSetup S) {
    TColorManager Cm;
    Cm.SetSourceColorScheme(S.Source);
    Cm.SetSourceBitsPerSample(S.SourceBits);
    Cm.SetTargetColorScheme(S.Target);
    Cm.SetTargetBitsPerSample(S.TargetBits);
    if (S.Swap) Cm.SourceOptions.Include(TConversionOption::ByteSwap);
    if (S.Gamma) Cm.TargetOptions.Include(TConversionOption::UseGamma);
    const std::vector<uint8_t> Source = RandomBytes(SourceBytes(S));
    std::vector<uint8_t> Target(size_t{RowPixels} * 4 * 2);
    for (auto _ : State) {
        Cm.ConvertLine({Source.data()}, Target.data(), RowPixels, 0xFF);
        benchmark::DoNotOptimize(Target.data());
        benchmark::ClobberMemory();
    }
    State.counters["Mpixel/s"] =
        benchmark::Counter(double(State.iterations()) * RowPixels / 1e6, benchmark::Counter::kIsRate);
}

void Memcpy(benchmark::State& State, size_t BytesPerPixel) {
    const std::vector<uint8_t> Source = RandomBytes(size_t{RowPixels} * BytesPerPixel);
    std::vector<uint8_t> Target(Source.size());
    for (auto _ : State) {
        std::memcpy(Target.data(), Source.data(), Source.size());
        benchmark::DoNotOptimize(Target.data());
        benchmark::ClobberMemory();
    }
    State.counters["Mpixel/s"] =
        benchmark::Counter(double(State.iterations()) * RowPixels / 1e6, benchmark::Counter::kIsRate);
}

using TCS = TColorScheme;

} // namespace

BENCHMARK_CAPTURE(Memcpy, Ceiling3Bytes, 3);
BENCHMARK_CAPTURE(Memcpy, Ceiling4Bytes, 4);
BENCHMARK_CAPTURE(Run, RGBToBGR_8to8, TSetup{TCS::RGB, 8, TCS::BGR, 8});
BENCHMARK_CAPTURE(Run, RGBToBGR_8to8_Gamma, TSetup{TCS::RGB, 8, TCS::BGR, 8, false, true});
BENCHMARK_CAPTURE(Run, BGRToBGR_8to8, TSetup{TCS::BGR, 8, TCS::BGR, 8});
BENCHMARK_CAPTURE(Run, RGBAToBGRA_8to8, TSetup{TCS::RGBA, 8, TCS::BGRA, 8});
BENCHMARK_CAPTURE(Run, RGBAToBGRA_8to8_Gamma, TSetup{TCS::RGBA, 8, TCS::BGRA, 8, false, true});
BENCHMARK_CAPTURE(Run, RGBToBGR_16to8, TSetup{TCS::RGB, 16, TCS::BGR, 8});
BENCHMARK_CAPTURE(Run, RGBToBGR_16to8_Swap, TSetup{TCS::RGB, 16, TCS::BGR, 8, true});
BENCHMARK_CAPTURE(Run, RGBAToBGRA_16to8, TSetup{TCS::RGBA, 16, TCS::BGRA, 8});
BENCHMARK_CAPTURE(Run, RGBAToBGRA_16to8_Swap, TSetup{TCS::RGBA, 16, TCS::BGRA, 8, true});
BENCHMARK_CAPTURE(Run, Indexed_1to8, TSetup{TCS::Indexed, 1, TCS::Indexed, 8});
BENCHMARK_CAPTURE(Run, Indexed_4to8, TSetup{TCS::Indexed, 4, TCS::Indexed, 8});
BENCHMARK_CAPTURE(Run, CMYKToBGR_8to8, TSetup{TCS::CMYK, 8, TCS::BGR, 8});
BENCHMARK_CAPTURE(Run, YCbCrToBGR_8to8, TSetup{TCS::YCbCr, 8, TCS::BGR, 8});
BENCHMARK_CAPTURE(Run, LabToBGR_8to8, TSetup{TCS::CIELab, 8, TCS::BGR, 8});

BENCHMARK_MAIN();
