// Display core speed: stretch renderer, blend modes, fills and a whole view
// repaint, side by side with pixman doing the same work. Rates are
// destination megapixels per second ("MP/s").

#include <benchmark/benchmark.h>
#include <pixman.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "display/Pix32.h"
#include "display/PixEffect.h"
#include "display/PixRender.h"
#include "display/PixSimd.h"

using namespace qv;

namespace {

struct TSize {
    int Width;
    int Height;
    const char* Name;
};

constexpr TSize FullHD{1920, 1080, "1080p"};
constexpr TSize UltraHD{3840, 2160, "4K"};

// A picture-like surface: smooth colour gradients with some noise, opaque or
// with an alpha that varies from pixel to pixel.
TOwnedSurface MakePicture(int Width, int Height, bool Translucent, uint32_t Seed) {
    TOwnedSurface Picture(Width, Height);
    std::mt19937 Rng(Seed);
    for (int Y = 0; Y < Height; ++Y) {
        TPixel32* Row = SurfaceScanline(Picture, Y);
        for (int X = 0; X < Width; ++X) {
            const uint32_t Noise = Rng();
            const auto R = static_cast<uint8_t>(X * 255 / Width + (Noise & 15));
            const auto G = static_cast<uint8_t>(Y * 255 / Height + (Noise >> 4 & 15));
            const auto B = static_cast<uint8_t>((X + Y) & 255);
            const auto A = static_cast<uint8_t>(Translucent ? Noise >> 24 : 255);
            Row[X] = MakePixel(R, G, B, A);
        }
    }
    return Picture;
}

void SetRate(benchmark::State& State, int64_t PixelsPerIteration) {
    State.counters["MP/s"] = benchmark::Counter(static_cast<double>(PixelsPerIteration) * State.iterations() / 1e6,
                                                benchmark::Counter::kIsRate);
}

int SourceExtent(int Dest, double Scale) { return std::max(1, static_cast<int>(std::lround(Dest / Scale))); }

// pixman views of our surfaces (premultiplication does not matter for speed).
struct TPixmanImage {
    pixman_image_t* Image;
    explicit TPixmanImage(const TSurface& S)
        : Image(pixman_image_create_bits(PIXMAN_a8r8g8b8, S.Width, S.Height, reinterpret_cast<uint32_t*>(S.Bits),
                                         S.Stride)) {}
    ~TPixmanImage() { pixman_image_unref(Image); }
    TPixmanImage(const TPixmanImage&) = delete;
    TPixmanImage& operator=(const TPixmanImage&) = delete;
};

void Bilinear(benchmark::State& State, TSize Dest, double Scale) {
    TOwnedSurface Target = MakePicture(Dest.Width, Dest.Height, false, 1);
    TOwnedSurface Source = MakePicture(SourceExtent(Dest.Width, Scale), SourceExtent(Dest.Height, Scale), false, 2);
    for (auto _ : State) {
        StretchBlendBilinear(Target, Source, Rect(0, 0, Dest.Width, Dest.Height), 255);
        benchmark::ClobberMemory();
    }
    SetRate(State, int64_t{Dest.Width} * Dest.Height);
}

void PixmanBilinear(benchmark::State& State, TSize Dest, double Scale) {
    TOwnedSurface Target = MakePicture(Dest.Width, Dest.Height, false, 1);
    TOwnedSurface Source = MakePicture(SourceExtent(Dest.Width, Scale), SourceExtent(Dest.Height, Scale), false, 2);
    TPixmanImage Src(Source), Dst(Target);
    pixman_transform_t Transform;
    pixman_transform_init_scale(
        &Transform, pixman_double_to_fixed(static_cast<double>(Source.Surface().Width) / Dest.Width),
        pixman_double_to_fixed(static_cast<double>(Source.Surface().Height) / Dest.Height));
    pixman_image_set_transform(Src.Image, &Transform);
    pixman_image_set_filter(Src.Image, PIXMAN_FILTER_BILINEAR, nullptr, 0);
    pixman_image_set_repeat(Src.Image, PIXMAN_REPEAT_PAD);
    for (auto _ : State) {
        pixman_image_composite32(PIXMAN_OP_OVER, Src.Image, nullptr, Dst.Image, 0, 0, 0, 0, 0, 0, Dest.Width,
                                 Dest.Height);
        benchmark::ClobberMemory();
    }
    SetRate(State, int64_t{Dest.Width} * Dest.Height);
}

void Box(benchmark::State& State, TSize Dest, double Scale) {
    TOwnedSurface Target = MakePicture(Dest.Width, Dest.Height, false, 1);
    TOwnedSurface Source = MakePicture(SourceExtent(Dest.Width, Scale), SourceExtent(Dest.Height, Scale), false, 2);
    for (auto _ : State) {
        StretchBlendBox(Target, Source, Rect(0, 0, Dest.Width, Dest.Height));
        benchmark::ClobberMemory();
    }
    SetRate(State, int64_t{Dest.Width} * Dest.Height);
}

void Nearest(benchmark::State& State, TSize Dest, double Scale) {
    TOwnedSurface Target = MakePicture(Dest.Width, Dest.Height, false, 1);
    TOwnedSurface Source = MakePicture(SourceExtent(Dest.Width, Scale), SourceExtent(Dest.Height, Scale), false, 2);
    for (auto _ : State) {
        StretchCopyNearest(Target, Source, Rect(0, 0, Dest.Width, Dest.Height));
        benchmark::ClobberMemory();
    }
    SetRate(State, int64_t{Dest.Width} * Dest.Height);
}

void Blend(benchmark::State& State, int Mode, bool TranslucentBase, uint8_t Opacity) {
    TOwnedSurface Base = MakePicture(FullHD.Width, FullHD.Height, TranslucentBase, 3);
    TOwnedSurface Layer = MakePicture(FullHD.Width, FullHD.Height, true, 4);
    TOwnedSurface Result(FullHD.Width, FullHD.Height);
    for (auto _ : State) {
        BlendSurfaces(Result, Base, Layer, Opacity, static_cast<uint8_t>(Mode));
        benchmark::ClobberMemory();
    }
    SetRate(State, int64_t{FullHD.Width} * FullHD.Height);
}

// The same blend on a picture small enough to stay in cache: the arithmetic
// alone, without the memory traffic of the full frame.
void BlendCached(benchmark::State& State, bool TranslucentBase) {
    TOwnedSurface Base = MakePicture(128, 128, TranslucentBase, 3);
    TOwnedSurface Layer = MakePicture(128, 128, true, 4);
    TOwnedSurface Result(128, 128);
    for (auto _ : State) {
        BlendSurfaces(Result, Base, Layer, 255, TBlendMode::Normal);
        benchmark::ClobberMemory();
    }
    SetRate(State, int64_t{128} * 128);
}

// Normal blending in place, the way pixman composites OVER into its destination.
void BlendNormalInPlace(benchmark::State& State) {
    TOwnedSurface Base = MakePicture(FullHD.Width, FullHD.Height, false, 3);
    TOwnedSurface Layer = MakePicture(FullHD.Width, FullHD.Height, true, 4);
    for (auto _ : State) {
        BlendSurfaces(Base, Base, Layer, 255, TBlendMode::Normal);
        benchmark::ClobberMemory();
    }
    SetRate(State, int64_t{FullHD.Width} * FullHD.Height);
}

void PixmanOver(benchmark::State& State) {
    TOwnedSurface Base = MakePicture(FullHD.Width, FullHD.Height, false, 3);
    TOwnedSurface Layer = MakePicture(FullHD.Width, FullHD.Height, true, 4);
    TPixmanImage Src(Layer), Dst(Base);
    for (auto _ : State) {
        pixman_image_composite32(PIXMAN_OP_OVER, Src.Image, nullptr, Dst.Image, 0, 0, 0, 0, 0, 0, FullHD.Width,
                                 FullHD.Height);
        benchmark::ClobberMemory();
    }
    SetRate(State, int64_t{FullHD.Width} * FullHD.Height);
}

void Fill(benchmark::State& State, TSize Dest) {
    TOwnedSurface Target(Dest.Width, Dest.Height);
    for (auto _ : State) {
        FillSurfaceRect(Target, SurfaceBounds(Target), 0xFFF0F0F0u);
        benchmark::ClobberMemory();
    }
    SetRate(State, int64_t{Dest.Width} * Dest.Height);
}

// One paint of the image view: the background fill, then the picture
// centred at the zoom, enlarged with the bilinear blend or reduced with the
// box blend, covering the whole view.
void Repaint(benchmark::State& State, TSize View, double Scale) {
    TOwnedSurface Target(View.Width, View.Height);
    const int SourceWidth = SourceExtent(View.Width, Scale) + 2, SourceHeight = SourceExtent(View.Height, Scale) + 2;
    TOwnedSurface Picture = MakePicture(SourceWidth, SourceHeight, false, 5);
    const int Width = static_cast<int>(std::lround(SourceWidth * Scale));
    const int Height = static_cast<int>(std::lround(SourceHeight * Scale));
    const TRect R = OffsetRect(Rect(0, 0, Width, Height), (View.Width - Width) / 2, (View.Height - Height) / 2);
    for (auto _ : State) {
        FillSurfaceRect(Target, SurfaceBounds(Target), 0xFFF0F0F0u);
        if (Scale >= 1.0)
            StretchBlendBilinear(Target, Picture, R, 255);
        else
            StretchBlendBox(Target, Picture, R);
        benchmark::ClobberMemory();
    }
    SetRate(State, int64_t{View.Width} * View.Height);
}

const char* const ModeNames[BlendModeCount] = {"Normal",     "Multiply", "Screen",  "SoftLight", "Color",
                                               "Luminosity", "Lighten",  "Darken",  "Invert",    "Dissolve"};

std::string ScaleName(double Scale) {
    char Text[16];
    std::snprintf(Text, sizeof Text, "%g", Scale);
    return Text;
}

void RegisterAll() {
    for (TSize Dest : {FullHD, UltraHD})
        for (double Scale : {0.5, 1.0, 2.37, 5.0}) {
            const std::string Suffix = std::string("/") + Dest.Name + "/" + ScaleName(Scale);
            benchmark::RegisterBenchmark(("StretchBlendBilinear" + Suffix).c_str(), Bilinear, Dest, Scale)
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("PixmanBilinearOver" + Suffix).c_str(), PixmanBilinear, Dest, Scale)
                ->Unit(benchmark::kMillisecond);
        }
    for (double Scale : {0.25, 0.5, 0.75, 1.0})
        benchmark::RegisterBenchmark(("StretchBlendBox/1080p/" + ScaleName(Scale)).c_str(), Box, FullHD, Scale)
            ->Unit(benchmark::kMillisecond);
    for (double Scale : {0.5, 2.37})
        benchmark::RegisterBenchmark(("StretchCopyNearest/1080p/" + ScaleName(Scale)).c_str(), Nearest, FullHD, Scale)
            ->Unit(benchmark::kMillisecond);
    for (int Mode = 0; Mode < BlendModeCount; ++Mode)
        for (bool Translucent : {false, true})
            benchmark::RegisterBenchmark((std::string("BlendSurfaces/") + ModeNames[Mode] +
                                          (Translucent ? "/TranslucentBase" : "/OpaqueBase"))
                                             .c_str(),
                                         Blend, Mode, Translucent, uint8_t{255})
                ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BlendSurfaces/Normal/OpaqueBase/Opacity200", Blend, 0, false, uint8_t{200})
        ->Unit(benchmark::kMillisecond);
    for (bool Translucent : {false, true})
        benchmark::RegisterBenchmark(
            (std::string("BlendSurfaces/Normal/") + (Translucent ? "TranslucentBase" : "OpaqueBase") + "/Cached128")
                .c_str(),
            BlendCached, Translucent)
            ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("BlendSurfaces/Normal/OpaqueBase/InPlace", BlendNormalInPlace)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("PixmanOver/1080p", PixmanOver)->Unit(benchmark::kMillisecond);
    for (TSize Dest : {FullHD, UltraHD})
        benchmark::RegisterBenchmark((std::string("FillSurfaceRect/") + Dest.Name).c_str(), Fill, Dest)
            ->Unit(benchmark::kMillisecond);
    for (TSize View : {FullHD, UltraHD})
        for (double Scale : {0.5, 1.0, 2.37})
            benchmark::RegisterBenchmark(("Repaint/" + std::string(View.Name) + "/" + ScaleName(Scale)).c_str(),
                                         Repaint, View, Scale)
                ->Unit(benchmark::kMillisecond);
}

} // namespace

int main(int argc, char** argv) {
    // --scalar measures the scalar rows instead of the vector ones.
    for (int I = 1; I < argc; ++I)
        if (std::string(argv[I]) == "--scalar") {
            SetSimdLevel(TSimdLevel::Scalar);
            std::copy(argv + I + 1, argv + argc, argv + I);
            --argc;
            break;
        }
    RegisterAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
