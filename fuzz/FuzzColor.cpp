// libFuzzer target for the colour manager. The first bytes choose the settings
// (schemes, sample sizes and counts, options, gamma, YCbCr parameters, pass mask,
// pixel count, number of planes); the rest fills the source planes. Every buffer
// is exactly as large as SourceBytesNeeded and TargetBytesNeeded say, so the
// sanitizers see any routine that reads or writes more than they promise. Only
// the colour manager's own refusals (EColorConversionError) are expected; an
// assertion here means the size rules and a routine disagree.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "imaging/ImageColor.h"
#include "platform/Exceptions.h"

using namespace qv;

namespace {

/// Takes settings bytes from the front of the input, zeros once it runs out.
class TSettings {
public:
    TSettings(const uint8_t* Data, size_t Size) : FData(Data), FSize(Size) {}
    uint8_t Next() { return FAt < FSize ? FData[FAt++] : 0; }
    std::span<const uint8_t> Rest() const { return {FData + FAt, FSize - std::min(FAt, FSize)}; }

private:
    const uint8_t* FData;
    size_t FSize;
    size_t FAt = 0;
};

constexpr uint8_t SampleSizes[] = {1, 2, 4, 8, 16, 3, 12};

/// An exactly sized heap block filled from the input (cycled), so reads past it are caught.
std::unique_ptr<uint8_t[]> Plane(size_t Bytes, std::span<const uint8_t> Fill, size_t Seed) {
    auto Result = std::make_unique<uint8_t[]>(std::max<size_t>(Bytes, 1));
    for (size_t I = 0; I < Bytes; ++I)
        Result[I] = Fill.empty() ? static_cast<uint8_t>(I + Seed) : Fill[(I + Seed * 7) % Fill.size()];
    return Result;
}

void Run(TSettings& In) {
    TColorManager Cm;
    Cm.SetSourceColorScheme(static_cast<TColorScheme>(In.Next() % 13));
    Cm.SetTargetColorScheme(static_cast<TColorScheme>(In.Next() % 13));
    Cm.SetSourceBitsPerSample(SampleSizes[In.Next() % std::size(SampleSizes)]);
    Cm.SetTargetBitsPerSample(SampleSizes[In.Next() % std::size(SampleSizes)]);
    Cm.SetSourceSamplesPerPixel(static_cast<uint8_t>(In.Next() % 4 + 1));
    Cm.SetTargetSamplesPerPixel(static_cast<uint8_t>(In.Next() % 4 + 1));
    Cm.SourceOptions = TConversionOptions::FromBits(In.Next() & 0x1F);
    Cm.TargetOptions = TConversionOptions::FromBits(In.Next() & 0x1F);
    const uint8_t Gamma = In.Next();
    if (Gamma & 1) Cm.SetGammaCorrection(static_cast<float>(Gamma) / 64.0f, 2.2f);
    const uint8_t Chroma = In.Next();
    if (Chroma & 1) {
        const float Coefficients[3] = {static_cast<float>(In.Next()) / 255.0f, static_cast<float>(In.Next()) / 255.0f,
                                       static_cast<float>(In.Next()) / 255.0f};
        Cm.SetYCbCrParameters(std::span<const float>(Coefficients, Chroma % 3 + 1), 2, 1);
    }
    const uint8_t Mask = In.Next();
    const uint32_t Count = (uint32_t{In.Next()} << 4 | (In.Next() & 0x0F)) % 2048;
    // Interleaved, or planar with the planes the routine reads (three, or four when alpha
    // goes to alpha; four always do, the extra plane is ignored).
    const size_t PlaneChoices[] = {1, 4, Cm.SourceHasAlpha() && Cm.TargetHasAlpha() ? 4u : 3u};
    const size_t Planes = PlaneChoices[In.Next() % 3];

    const uint64_t SourceBytes = Cm.SourceBytesNeeded(Count, Mask, Planes);
    const uint64_t TargetBytes = Cm.TargetBytesNeeded(Count);
    std::vector<std::unique_ptr<uint8_t[]>> Sources;
    std::vector<std::span<const uint8_t>> Spans;
    for (size_t P = 0; P < Planes; ++P) {
        Sources.push_back(Plane(SourceBytes, In.Rest(), P));
        Spans.emplace_back(Sources.back().get(), SourceBytes);
    }
    auto Target = Plane(TargetBytes, {}, 0);
    Cm.ConvertLineChecked(Spans, std::span<uint8_t>(Target.get(), TargetBytes), Count, Mask);

    // The palettes read ColorCount entries of the layout (at most 256).
    Cm.CreateGrayPalette(Mask & 1);
    const auto Layout = static_cast<TPaletteLayout>(Mask % 8);
    const bool Wide = Layout >= TPaletteLayout::Interleaved16Triple;
    const bool Quad = Layout == TPaletteLayout::Interleaved8Quad || Layout == TPaletteLayout::Interleaved16Quad;
    const bool Planar = Layout == TPaletteLayout::Planar8Triple || Layout == TPaletteLayout::Planar8Quad ||
                        Layout == TPaletteLayout::Planar16Triple || Layout == TPaletteLayout::Planar16Quad;
    const uint32_t Colors = Count % 300;
    const size_t Entries = std::min<uint32_t>(Colors, 256);
    const size_t PlaneBytes = Entries * (Wide ? 2 : 1) * (Planar ? 1 : (Quad ? 4 : 3));
    std::vector<std::unique_ptr<uint8_t[]>> Palette;
    std::vector<const void*> Pointers;
    for (size_t P = 0; P < (Planar ? 3u : 1u); ++P) {
        Palette.push_back(Plane(PlaneBytes, In.Rest(), P + 5));
        Pointers.push_back(Palette.back().get());
    }
    Cm.CreateColorPalette(Pointers, Layout, Colors, Mask & 2);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    TSettings In(Data, Size);
    try {
        Run(In);
    } catch (const EColorConversionError&) {
        // A refused set-up: no routine for these settings, or a setter's range check.
    }
    return 0;
}
