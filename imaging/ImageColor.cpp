#include "imaging/ImageColor.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "imaging/ImageColorSimd.h"
#include "imaging/ImageStrings.h"
#include "platform/Exceptions.h"

namespace qv {

namespace {

using TRowFn = TColorManager::TRowRoutine;
using colorsimd::Swap3;
using colorsimd::Swap4;

[[noreturn]] void RaiseConversion(const char* Message) { throw EColorConversionError(Message); }

bool IsIndexedLike(TColorScheme Scheme) {
    return Scheme == TColorScheme::Indexed || Scheme == TColorScheme::Gray || Scheme == TColorScheme::GrayAlpha;
}

bool HasAlpha(TColorScheme Scheme) {
    return Scheme == TColorScheme::GrayAlpha || Scheme == TColorScheme::RGBA || Scheme == TColorScheme::BGRA;
}

bool IsRGBTarget(TColorScheme Scheme) {
    return Scheme == TColorScheme::RGB || Scheme == TColorScheme::RGBA;
}

bool IsBGRTarget(TColorScheme Scheme) {
    return Scheme == TColorScheme::BGR || Scheme == TColorScheme::BGRA;
}

bool IsLowBits(uint8_t Bits) { return Bits == 1 || Bits == 2 || Bits == 4 || Bits == 8; }
bool IsWideBits(uint8_t Bits) { return Bits == 8 || Bits == 16; }

uint16_t Read16(const uint8_t* P, bool Swap) {
    return Swap ? static_cast<uint16_t>((P[0] << 8) | P[1]) : static_cast<uint16_t>(P[0] | (P[1] << 8));
}

void Write16(uint8_t* P, uint32_t Value, bool Swap) {
    if (Swap) {
        P[0] = static_cast<uint8_t>(Value >> 8);
        P[1] = static_cast<uint8_t>(Value);
    } else {
        P[0] = static_cast<uint8_t>(Value);
        P[1] = static_cast<uint8_t>(Value >> 8);
    }
}

uint8_t Clamp255(int32_t Value) { return static_cast<uint8_t>(std::clamp(Value, 0, 255)); }

uint8_t Scale16To8(uint32_t Value) { return static_cast<uint8_t>(Value * 255 / 65535); }

/// Calls Fn(i) for every target pixel i of the pass Mask selects: bit 7 for the first pixel, rotating.
template <typename F>
inline void ForPass(uint32_t Count, uint8_t Mask, F&& Fn) {
    if (Mask == 0xFF) {
        for (uint32_t I = 0; I < Count; ++I) Fn(I);
        return;
    }
    for (uint32_t I = 0; I < Count; ++I)
        if (Mask & (0x80u >> (I & 7))) Fn(I);
}

/// Reads consecutive packed samples of 1, 2, 4 or 8 bits, most significant bit first.
class TBitSource {
public:
    TBitSource(const uint8_t* Data, unsigned Bits) : FData(Data), FBits(Bits), FMax((1u << Bits) - 1) {}
    unsigned Next() {
        const unsigned Shift = 8 - FBits - FBit;
        const unsigned Value = (*FData >> Shift) & FMax;
        FBit += FBits;
        if (FBit == 8) {
            FBit = 0;
            ++FData;
        }
        return Value;
    }

private:
    const uint8_t* FData;
    unsigned FBits;
    unsigned FMax;
    unsigned FBit = 0;
};

/// Stores a t-bit value into the slot of target pixel I, keeping the byte's other bits.
inline void StorePacked(uint8_t* Target, uint32_t I, unsigned Bits, unsigned Value) {
    if (Bits == 8) {
        Target[I] = static_cast<uint8_t>(Value);
        return;
    }
    const unsigned PerByte = 8 / Bits;
    uint8_t& Byte = Target[I / PerByte];
    const unsigned Shift = 8 - Bits - (I % PerByte) * Bits;
    const unsigned SlotMask = ((1u << Bits) - 1) << Shift;
    Byte = static_cast<uint8_t>((Byte & ~SlotMask) | ((Value << Shift) & SlotMask));
}

/// One channel of a source row: where its next sample is and how far apart samples lie.
struct TChannel {
    const uint8_t* Data;
    size_t Step;
};

/// Sets up NChannels channels of SampleBytes-byte samples: interleaved from one
/// pointer (PixelSamples samples per pixel) or planar, one pointer per channel.
void SetupChannels(TChannel* Channels, int NChannels, const void* const* Sources, size_t SourceCount,
                   bool Planar, size_t SampleBytes, int PixelSamples) {
    if (Planar) {
        QV_ASSERT(SourceCount >= static_cast<size_t>(NChannels), "Assertion failure");
        for (int C = 0; C < NChannels; ++C)
            Channels[C] = TChannel{static_cast<const uint8_t*>(Sources[C]), SampleBytes};
    } else {
        const auto* Base = static_cast<const uint8_t*>(Sources[0]);
        for (int C = 0; C < NChannels; ++C)
            Channels[C] = TChannel{Base + C * SampleBytes, SampleBytes * PixelSamples};
    }
}

// --- Fast paths of the 8-bit RGB family for whole rows without gamma --------------------------

void Copy8(const uint8_t* Source, uint8_t* Target, size_t Bytes) { std::memcpy(Target, Source, Bytes); }

} // namespace

// --- Settings ---------------------------------------------------------------------------------

TColorManager::TColorManager() { Reset(); }

void TColorManager::Reset() {
    FChanged = true;
    FSourceBitsPerSample = 8;
    FTargetBitsPerSample = 8;
    FSourceSamplesPerPixel = 3;
    FTargetSamplesPerPixel = 3;
    FSourceColorScheme = TColorScheme::RGB;
    FTargetColorScheme = TColorScheme::BGR;
    SourceOptions = TConversionOptions();
    TargetOptions = TConversionOptions();
    FYCbCrCoefficients = {0.299f, 0.587f, 0.114f};
    FHorizontalSubsampling = 1;
    FVerticalSubsampling = 1;
    FCrToR.clear();
    FCbToB.clear();
    FCrToG.clear();
    FCbToG.clear();
    FRowRoutine = nullptr;
    // After the 8-bit sample sizes, so every entry 0..255 is rebuilt.
    SetGammaCorrection(1.0f, 2.2f);
}

bool TColorManager::SourceHasAlpha() const { return HasAlpha(FSourceColorScheme); }

bool TColorManager::TargetHasAlpha() const { return HasAlpha(FTargetColorScheme); }

void TColorManager::SetSourceBitsPerSample(uint8_t Value) {
    if (Value == 0 || Value > 16) RaiseConversion(gesInvalidSampleDepth);
    if (Value != FSourceBitsPerSample) {
        FSourceBitsPerSample = Value;
        FChanged = true;
    }
}

void TColorManager::SetTargetBitsPerSample(uint8_t Value) {
    if (Value == 0 || Value > 16) RaiseConversion(gesInvalidSampleDepth);
    if (Value != FTargetBitsPerSample) {
        FTargetBitsPerSample = Value;
        FChanged = true;
    }
}

void TColorManager::SetSourceSamplesPerPixel(uint8_t Value) {
    if (Value == 0 || Value > 4) RaiseConversion(gesInvalidPixelDepth);
    if (Value != FSourceSamplesPerPixel) {
        FSourceSamplesPerPixel = Value;
        FChanged = true;
    }
}

void TColorManager::SetTargetSamplesPerPixel(uint8_t Value) {
    if (Value == 0 || Value > 4) RaiseConversion(gesInvalidPixelDepth);
    if (Value != FTargetSamplesPerPixel) {
        FTargetSamplesPerPixel = Value;
        FChanged = true;
    }
}

void TColorManager::SetSourceColorScheme(TColorScheme Value) {
    if (Value != FSourceColorScheme) {
        FSourceColorScheme = Value;
        FChanged = true;
    }
}

void TColorManager::SetTargetColorScheme(TColorScheme Value) {
    if (Value != FTargetColorScheme) {
        FTargetColorScheme = Value;
        FChanged = true;
    }
}

void TColorManager::SetGammaCorrection(float MainGamma, float DisplayGamma) {
    // NaN fails both comparisons and falls back like a non-positive value.
    FMainGamma = MainGamma > 0 ? MainGamma : 1.0f;
    FDisplayGamma = DisplayGamma > 0 ? DisplayGamma : 2.2f;
    const double Exponent = 1.0 / (static_cast<double>(FMainGamma) * static_cast<double>(FDisplayGamma));
    const unsigned TargetMax = (1u << FTargetBitsPerSample) - 1;
    // The table has 256 entries: a source below 8 bits feeding a 16-bit target still indexes at most 255.
    const unsigned N = FSourceBitsPerSample < 8 ? std::min(TargetMax, 255u) : 255u;
    const unsigned M = FTargetBitsPerSample < 8 ? TargetMax : 255u;
    if (N == 0) return;
    for (unsigned I = 0; I <= N; ++I) {
        const double Value = std::nearbyint(std::pow(static_cast<double>(I) / N, Exponent) * M);
        FGammaTable[I] = static_cast<uint8_t>(std::clamp(Value, 0.0, 255.0));
    }
}

void TColorManager::SetYCbCrParameters(std::span<const float> Coefficients, uint8_t HorizontalSubsampling,
                                       uint8_t VerticalSubsampling) {
    for (size_t I = 0; I < std::min<size_t>(Coefficients.size(), 3); ++I) {
        if (FYCbCrCoefficients[I] != Coefficients[I]) {
            FYCbCrCoefficients[I] = Coefficients[I];
            // The chroma tables depend on the coefficients.
            FChanged = true;
        }
    }
    auto Valid = [](uint8_t V) { return V == 1 || V == 2 || V == 4; };
    if (!Valid(HorizontalSubsampling) || !Valid(VerticalSubsampling)) RaiseConversion(gesInvalidSubSampling);
    if (HorizontalSubsampling < VerticalSubsampling) RaiseConversion(gesVerticalSubSamplingError);
    FHorizontalSubsampling = HorizontalSubsampling;
    FVerticalSubsampling = VerticalSubsampling;
}

TPixelFormat TColorManager::PlatformPixelFormat(bool Target) const {
    const unsigned B = Target ? FTargetBitsPerSample : FSourceBitsPerSample;
    const unsigned N = Target ? FTargetSamplesPerPixel : FSourceSamplesPerPixel;
    if (N == 1) {
        if (B == 1) return pf1bit;
        if (B >= 2 && B <= 4) return pf4bit;
        if (B >= 8 && B <= 16) return pf8bit;
        return pfCustom;
    }
    if (N == 3) return B <= 5 ? pf15bit : pf24bit;
    if (N == 4 && B >= 8) return pf32bit;
    return pfCustom;
}

// --- Palettes ---------------------------------------------------------------------------------

TLogPalette TColorManager::CreateGrayPalette(bool MinIsWhite) const {
    const unsigned K = std::min(8u, static_cast<unsigned>(FTargetBitsPerSample) * FTargetSamplesPerPixel);
    const unsigned N = 1u << K;
    const unsigned Step = 255 / (N - 1);
    const bool Gamma = TargetOptions.Contains(TConversionOption::UseGamma);
    TLogPalette Result;
    Result.palPalEntry.resize(N);
    for (unsigned I = 0; I < N; ++I) {
        const uint8_t V = Gamma ? FGammaTable[I * Step] : static_cast<uint8_t>(I * Step);
        Result.palPalEntry[MinIsWhite ? N - 1 - I : I] = TPaletteEntry{V, V, V, 0};
    }
    return Result;
}

TLogPalette TColorManager::CreateColorPalette(std::span<const void* const> Data, TPaletteLayout Layout,
                                              uint32_t ColorCount, bool BGROrder) const {
    const bool Planar = Layout == TPaletteLayout::Planar8Triple || Layout == TPaletteLayout::Planar8Quad ||
                        Layout == TPaletteLayout::Planar16Triple || Layout == TPaletteLayout::Planar16Quad;
    const bool Wide = Layout >= TPaletteLayout::Interleaved16Triple;
    const bool Quad = Layout == TPaletteLayout::Interleaved8Quad || Layout == TPaletteLayout::Interleaved16Quad;
    QV_ASSERT(Data.size() >= (Planar ? 3u : 1u), "Assertion failure");

    const uint32_t Count = std::min<uint32_t>(ColorCount, MaxPaletteEntries);
    const bool Gamma = TargetOptions.Contains(TConversionOption::UseGamma);
    const bool Swap = SourceOptions.Contains(TConversionOption::ByteSwap);
    const size_t SampleBytes = Wide ? 2 : 1;
    const size_t EntryBytes = SampleBytes * (Quad ? 4 : 3);

    // Entries beyond those the file gave stay black, so rescaling never reads past them.
    std::array<TPaletteEntry, MaxPaletteEntries> Entries{};
    auto Sample = [&](const uint8_t* P) -> uint8_t {
        const uint8_t V = Wide ? Scale16To8(Read16(P, Swap)) : *P;
        return Gamma ? FGammaTable[V] : V;
    };
    for (uint32_t I = 0; I < Count; ++I) {
        const uint8_t *R, *G, *B;
        if (Planar) {
            R = static_cast<const uint8_t*>(Data[0]) + I * SampleBytes;
            G = static_cast<const uint8_t*>(Data[1]) + I * SampleBytes;
            B = static_cast<const uint8_t*>(Data[2]) + I * SampleBytes;
        } else {
            const uint8_t* E = static_cast<const uint8_t*>(Data[0]) + I * EntryBytes;
            R = BGROrder ? E + 2 * SampleBytes : E;
            G = E + SampleBytes;
            B = BGROrder ? E : E + 2 * SampleBytes;
        }
        Entries[I] = TPaletteEntry{Sample(R), Sample(G), Sample(B), 0};
    }

    uint32_t Size = Count;
    const unsigned S = (1u << FSourceBitsPerSample) - 1;
    const unsigned T = (1u << FTargetBitsPerSample) - 1;
    if (FTargetBitsPerSample <= 8 && S != T) {
        // Same index scaling as ConvertIndexed8, done in place in the direction that never
        // overwrites an entry before it is read.
        auto SourceOf = [&](unsigned I) { return std::min<unsigned>(I * S / T, MaxPaletteEntries - 1); };
        if (S < T) {
            for (int I = static_cast<int>(T); I >= 0; --I) Entries[I] = Entries[SourceOf(I)];
        } else {
            for (unsigned I = 0; I <= T; ++I) Entries[I] = Entries[SourceOf(I)];
        }
        Size = T + 1;
    }
    TLogPalette Result;
    Result.palPalEntry.assign(Entries.begin(), Entries.begin() + Size);
    return Result;
}

// --- Routine selection and ConvertLine --------------------------------------------------------

void TColorManager::SelectRowRoutine() {
    FRowRoutine = nullptr;
    if (IsIndexedLike(FSourceColorScheme) !=
        (FTargetColorScheme == TColorScheme::Indexed || FTargetColorScheme == TColorScheme::Gray))
        RaiseConversion(gesIndexedNotSupported);
    SourceOptions.Set(TConversionOption::Alpha, HasAlpha(FSourceColorScheme));
    TargetOptions.Set(TConversionOption::Alpha, HasAlpha(FTargetColorScheme));

    const uint8_t S = FSourceBitsPerSample;
    const uint8_t T = FTargetBitsPerSample;
    const bool ToRGB = IsRGBTarget(FTargetColorScheme);
    const bool ToBGR = IsBGRTarget(FTargetColorScheme);
    const bool Wide = IsWideBits(S) && IsWideBits(T);
    TRowFn Routine = nullptr;

    // Each routine is chosen only for the sample sizes it converts; anything else
    // fails at ConvertLine instead of leaving the target rows unwritten.
    switch (FSourceColorScheme) {
    case TColorScheme::Indexed:
        if (S == 16 && T == 16)
            Routine = &TColorManager::ConvertIndexed16To16;
        else if (S == 16 && IsLowBits(T))
            Routine = &TColorManager::ConvertIndexed16ToLow;
        else if (IsLowBits(S) && T == 16)
            Routine = &TColorManager::ConvertIndexedLowTo16;
        else if (IsLowBits(S) && IsLowBits(T))
            Routine = &TColorManager::ConvertIndexed8;
        break;
    case TColorScheme::Gray:
        if (S != 16 && T != 16) {
            if (IsLowBits(S) && IsLowBits(T)) Routine = &TColorManager::ConvertIndexed8;
        } else if (Wide) {
            Routine = &TColorManager::ConvertGray;
        }
        break;
    case TColorScheme::GrayAlpha:
        if (Wide) Routine = &TColorManager::ConvertGray;
        break;
    case TColorScheme::RGB:
    case TColorScheme::RGBA:
        if (Wide && ToRGB) Routine = &TColorManager::ConvertRGBToRGB;
        if (Wide && ToBGR) Routine = &TColorManager::ConvertRGBToBGR;
        break;
    case TColorScheme::BGR:
    case TColorScheme::BGRA:
        if (Wide && ToRGB) Routine = &TColorManager::ConvertBGRToRGB;
        if (Wide && ToBGR) Routine = &TColorManager::ConvertBGRToBGR;
        break;
    case TColorScheme::CMYK:
        if (Wide && ToRGB) Routine = &TColorManager::ConvertCMYKToRGB;
        if (Wide && ToBGR) Routine = &TColorManager::ConvertCMYKToBGR;
        break;
    case TColorScheme::CIELab:
        if (Wide && ToRGB) Routine = &TColorManager::ConvertLabToRGB;
        if (Wide && ToBGR) Routine = &TColorManager::ConvertLabToBGR;
        break;
    case TColorScheme::YCbCr:
        BuildChromaTables();
        if (Wide && ToRGB) Routine = &TColorManager::ConvertYCbCrToRGB;
        if (Wide && ToBGR) Routine = &TColorManager::ConvertYCbCrToBGR;
        break;
    case TColorScheme::PhotoYCC:
        BuildChromaTables();
        if (Wide && ToRGB) Routine = &TColorManager::ConvertPhotoYCCToRGB;
        if (Wide && ToBGR) Routine = &TColorManager::ConvertPhotoYCCToBGR;
        break;
    default:
        break;
    }
    FRowRoutine = Routine;
    // A failed selection stays pending, so the next ConvertLine tries again.
    FChanged = Routine == nullptr;
}

void TColorManager::BuildChromaTables() {
    const float Kr = FYCbCrCoefficients[0];
    const float Kg = FYCbCrCoefficients[1];
    const float Kb = FYCbCrCoefficients[2];
    const float Cr = 2 - 2 * Kr;
    const float Cb = 2 - 2 * Kb;
    const float Gr = Kr * Cr / Kg;
    const float Gb = Kb * Cb / Kg;
    const bool Photo = FSourceColorScheme == TColorScheme::PhotoYCC;
    const int OffsetR = Photo ? 137 : 128;
    const int OffsetB = Photo ? 156 : 128;
    // Coefficients come from files; a zero Kg or absurd values must not overflow the integer tables.
    auto Round = [](float V) -> int32_t {
        const float R = std::nearbyint(V);
        if (!(R == R)) return 0;
        return static_cast<int32_t>(std::clamp(R, -65536.0f, 65536.0f));
    };
    FCrToR.assign(256, 0);
    FCbToB.assign(256, 0);
    FCrToG.assign(256, 0);
    FCbToG.assign(256, 0);
    for (int I = 0; I < 256; ++I) {
        FCrToR[I] = Round(Cr * static_cast<float>(I - OffsetR));
        FCrToG[I] = -Round(Gr * static_cast<float>(I - OffsetR));
        FCbToB[I] = Round(Cb * static_cast<float>(I - OffsetB));
        FCbToG[I] = -Round(Gb * static_cast<float>(I - OffsetB));
    }
}

void TColorManager::ConvertLine(std::span<const void* const> Sources, void* Target, uint32_t Count, uint8_t Mask) {
    if (FChanged) SelectRowRoutine();
    if (FRowRoutine == nullptr) RaiseConversion(gesConversionUnsupported);
    if (Count == 0) return;
    QV_ASSERT(!Sources.empty() && Sources[0] != nullptr && Target != nullptr, "Assertion failure");
    (this->*FRowRoutine)(Sources.data(), Sources.size(), static_cast<uint8_t*>(Target), Count, Mask);
}

namespace {

uint32_t PassPixels(uint32_t Count, uint8_t Mask) {
    const uint32_t Whole = Count / 8;
    uint32_t Result = Whole * static_cast<uint32_t>(__builtin_popcount(Mask));
    for (uint32_t I = Whole * 8; I < Count; ++I)
        if (Mask & (0x80u >> (I & 7))) ++Result;
    return Result;
}

} // namespace

uint64_t TColorManager::SourceBytesNeeded(uint32_t Count, uint8_t Mask, size_t PlaneCount) {
    if (FChanged) SelectRowRoutine();
    if (FRowRoutine == nullptr) RaiseConversion(gesConversionUnsupported);
    const uint64_t S = FSourceBitsPerSample;
    // The equal-size copy of the index family moves whole rows regardless of the pass.
    const bool IndexCopy = FRowRoutine == &TColorManager::ConvertIndexed8 && S == FTargetBitsPerSample;
    const uint64_t Pixels = (IndexCopy && Mask == 0xFF) ? Count : PassPixels(Count, Mask);
    uint64_t Samples;
    switch (FSourceColorScheme) {
    case TColorScheme::Indexed:
    case TColorScheme::Gray: Samples = 1; break;
    case TColorScheme::GrayAlpha: Samples = 2; break;
    case TColorScheme::CMYK: Samples = 4; break;
    case TColorScheme::CIELab:
    case TColorScheme::YCbCr:
    case TColorScheme::PhotoYCC: Samples = 3; break;
    default: Samples = SourceHasAlpha() ? 4 : 3; break;
    }
    const bool Planar = FSourceColorScheme == TColorScheme::CMYK ? PlaneCount == 4 : PlaneCount > 1;
    if (Planar && !IsIndexedLike(FSourceColorScheme)) Samples = 1;
    return (Pixels * Samples * S + 7) / 8;
}

uint64_t TColorManager::TargetBytesNeeded(uint32_t Count) {
    const uint64_t Samples = (FTargetColorScheme == TColorScheme::Indexed || FTargetColorScheme == TColorScheme::Gray)
                                 ? 1
                                 : (HasAlpha(FTargetColorScheme) ? 4 : 3);
    return (uint64_t{Count} * Samples * FTargetBitsPerSample + 7) / 8;
}

void TColorManager::ConvertLineChecked(std::span<const std::span<const uint8_t>> Sources, std::span<uint8_t> Target,
                                       uint32_t Count, uint8_t Mask) {
    QV_ASSERT(!Sources.empty() && Sources.size() <= 4, "Assertion failure");
    const uint64_t Needed = SourceBytesNeeded(Count, Mask, Sources.size());
    for (const auto& Plane : Sources) QV_ASSERT(Plane.size() >= Needed, "source row too short");
    QV_ASSERT(Target.size() >= TargetBytesNeeded(Count), "target row too short");
    std::array<const void*, 4> Pointers{};
    for (size_t I = 0; I < Sources.size(); ++I) Pointers[I] = Sources[I].data();
    ConvertLine(std::span<const void* const>(Pointers.data(), Sources.size()), Target.data(), Count, Mask);
}

// --- Index and gray routines ------------------------------------------------------------------

void TColorManager::ConvertIndexed8(const void* const* Sources, size_t, uint8_t* Target, uint32_t Count, uint8_t Mask) {
    const unsigned S = FSourceBitsPerSample;
    const unsigned T = FTargetBitsPerSample;
    const auto* Source = static_cast<const uint8_t*>(Sources[0]);
    if (S == T && Mask == 0xFF) {
        std::memcpy(Target, Source, (uint64_t{Count} * S + 7) / 8);
        return;
    }
    const unsigned SMax = (1u << S) - 1;
    const unsigned TMax = (1u << T) - 1;
    TBitSource Bits(Source, S);
    ForPass(Count, Mask, [&](uint32_t I) {
        const uint16_t V = static_cast<uint16_t>(Bits.Next());
        const uint16_t Scaled = static_cast<uint16_t>(static_cast<uint16_t>(V * TMax) / SMax);
        StorePacked(Target, I, T, Scaled);
    });
}

void TColorManager::ConvertIndexed16To16(const void* const* Sources, size_t, uint8_t* Target, uint32_t Count,
                                         uint8_t Mask) {
    const auto* Source = static_cast<const uint8_t*>(Sources[0]);
    const bool Swap = SourceOptions.Contains(TConversionOption::ByteSwap);
    if (!Swap && Mask == 0xFF) {
        std::memcpy(Target, Source, uint64_t{Count} * 2);
        return;
    }
    ForPass(Count, Mask, [&](uint32_t I) {
        Write16(Target + I * 2, Read16(Source, Swap), false);
        Source += 2;
    });
}

void TColorManager::ConvertIndexed16ToLow(const void* const* Sources, size_t, uint8_t* Target, uint32_t Count,
                                          uint8_t Mask) {
    const auto* Source = static_cast<const uint8_t*>(Sources[0]);
    const bool Swap = SourceOptions.Contains(TConversionOption::ByteSwap);
    const unsigned T = FTargetBitsPerSample;
    const uint32_t TMax = (1u << T) - 1;
    ForPass(Count, Mask, [&](uint32_t I) {
        StorePacked(Target, I, T, Read16(Source, Swap) * TMax / 65535);
        Source += 2;
    });
}

void TColorManager::ConvertIndexedLowTo16(const void* const* Sources, size_t, uint8_t* Target, uint32_t Count,
                                          uint8_t Mask) {
    const bool Swap = SourceOptions.Contains(TConversionOption::ByteSwap);
    const uint32_t SMax = (1u << FSourceBitsPerSample) - 1;
    TBitSource Bits(static_cast<const uint8_t*>(Sources[0]), FSourceBitsPerSample);
    ForPass(Count, Mask, [&](uint32_t I) { Write16(Target + I * 2, Bits.Next() * 65535 / SMax, Swap); });
}

void TColorManager::ConvertGray(const void* const* Sources, size_t, uint8_t* Target, uint32_t Count, uint8_t Mask) {
    const bool S16 = FSourceBitsPerSample == 16;
    const bool T16 = FTargetBitsPerSample == 16;
    const bool Swap = SourceOptions.Contains(TConversionOption::ByteSwap);
    const size_t SampleBytes = S16 ? 2 : 1;
    // The alpha sample of a gray-alpha source is skipped.
    const size_t Step = SourceHasAlpha() ? 2 * SampleBytes : SampleBytes;
    const auto* Source = static_cast<const uint8_t*>(Sources[0]);
    ForPass(Count, Mask, [&](uint32_t I) {
        if (!S16 && !T16)
            Target[I] = *Source;
        else if (!S16)
            Write16(Target + I * 2, *Source * 257u, false);
        else if (!T16)
            Target[I] = Scale16To8(Read16(Source, Swap));
        else
            Write16(Target + I * 2, Read16(Source, Swap), false);
        Source += Step;
    });
}

// --- RGB / BGR family -------------------------------------------------------------------------

namespace {

struct TRGBJob {
    TChannel Channels[4];
    int NChannels;        // 3, or 4 when alpha is converted too
    int Order[4];         // target slot of each source channel
    size_t TargetStep;    // bytes per target pixel
    const uint8_t* Gamma; // colour lookup (identity when gamma is off)
    bool Swap;
};

template <bool S16, bool T16>
void RunRGB(TRGBJob& Job, uint8_t* Target, uint32_t Count, uint8_t Mask) {
    ForPass(Count, Mask, [&](uint32_t I) {
        uint8_t* Pixel = Target + I * Job.TargetStep;
        for (int C = 0; C < Job.NChannels; ++C) {
            TChannel& Ch = Job.Channels[C];
            const bool IsAlpha = C == 3;
            uint8_t* Out = Pixel + Job.Order[C] * (T16 ? 2 : 1);
            if constexpr (!S16 && !T16) {
                *Out = IsAlpha ? *Ch.Data : Job.Gamma[*Ch.Data];
            } else if constexpr (!S16 && T16) {
                const uint32_t V = IsAlpha ? *Ch.Data : Job.Gamma[*Ch.Data];
                Write16(Out, V * 257, Job.Swap);
            } else if constexpr (S16 && !T16) {
                const uint8_t V = Scale16To8(Read16(Ch.Data, Job.Swap));
                *Out = IsAlpha ? V : Job.Gamma[V];
            } else {
                Write16(Out, Read16(Ch.Data, Job.Swap), Job.Swap);
            }
            Ch.Data += Ch.Step;
        }
    });
}

const uint8_t* IdentityTable() {
    static const auto Table = [] {
        std::array<uint8_t, 256> T{};
        for (int I = 0; I < 256; ++I) T[I] = static_cast<uint8_t>(I);
        return T;
    }();
    return Table.data();
}

} // namespace

namespace {

/// Whole interleaved rows from 16 to 8 bits: v * 255 div 65535 equals v div 257.
template <bool Swap, int SourceSamples, int TargetSamples, bool WithAlpha>
void Rows16To8(const uint8_t* S, uint8_t* T, uint32_t Count, bool Reverse, const uint8_t* Gamma) {
    const int First = Reverse ? 2 : 0;
    const int Third = Reverse ? 0 : 2;
    for (uint32_t I = 0; I < Count; ++I, S += 2 * SourceSamples, T += TargetSamples) {
        T[First] = Gamma[Read16(S, Swap) / 257];
        T[1] = Gamma[Read16(S + 2, Swap) / 257];
        T[Third] = Gamma[Read16(S + 4, Swap) / 257];
        if constexpr (WithAlpha) T[3] = static_cast<uint8_t>(Read16(S + 6, Swap) / 257);
    }
}

template <bool Swap>
void Rows16To8(const uint8_t* S, uint8_t* T, uint32_t Count, int SourceSamples, int TargetSamples, bool Reverse,
               const uint8_t* Gamma) {
    if (SourceSamples == 4 && TargetSamples == 4)
        Rows16To8<Swap, 4, 4, true>(S, T, Count, Reverse, Gamma);
    else if (SourceSamples == 4)
        Rows16To8<Swap, 4, 3, false>(S, T, Count, Reverse, Gamma);
    else if (TargetSamples == 4)
        Rows16To8<Swap, 3, 4, false>(S, T, Count, Reverse, Gamma);
    else
        Rows16To8<Swap, 3, 3, false>(S, T, Count, Reverse, Gamma);
}

/// Whole interleaved 16-bit rows without gamma into 8 bits, same sample count on both sides.
// Kept out of line so its chunk buffer does not weigh on the per-pixel paths beside it.
__attribute__((noinline)) void Narrow16Rows(const uint8_t* Source, uint8_t* Target, uint32_t Count, int Samples, bool Reverse, bool Swap) {
    // Every sample, alpha included, becomes v div 257; narrowing a chunk into a small
    // buffer that stays in the first-level cache, then reordering it, keeps both steps wide.
    constexpr uint32_t ChunkPixels = 1024;
    alignas(32) uint8_t Narrowed[ChunkPixels * 4];
    for (uint32_t Done = 0; Done < Count;) {
        const uint32_t N = std::min(Count - Done, ChunkPixels);
        const size_t Values = size_t{N} * Samples;
        const uint8_t* From = Source + size_t{Done} * Samples * 2;
        uint8_t* To = Target + size_t{Done} * Samples;
        if (!Reverse) {
            colorsimd::Narrow16(From, To, Values, Swap);
        } else {
            colorsimd::Narrow16(From, Narrowed, Values, Swap);
            if (Samples == 3)
                Swap3(Narrowed, To, N);
            else
                Swap4(Narrowed, To, N);
        }
        Done += N;
    }
}

} // namespace

/// Shared body of the four RGB/BGR routines; Reverse exchanges the first and third colour samples.
static void ConvertRGBFamily(const TColorManager& Cm, const void* const* Sources, size_t SourceCount,
                             uint8_t* Target, uint32_t Count, uint8_t Mask, bool Reverse) {
    const bool S16 = Cm.SourceBitsPerSample() == 16;
    const bool T16 = Cm.TargetBitsPerSample() == 16;
    const bool SourceAlpha = Cm.SourceHasAlpha();
    const bool TargetAlpha = Cm.TargetHasAlpha();
    const bool Gamma = Cm.TargetOptions.Contains(TConversionOption::UseGamma);
    const bool Swap = Cm.SourceOptions.Contains(TConversionOption::ByteSwap);
    const bool Planar = SourceCount > 1;
    const int SourceSamples = SourceAlpha ? 4 : 3;
    const int TargetSamples = TargetAlpha ? 4 : 3;
    const auto* Source = static_cast<const uint8_t*>(Sources[0]);

    if (!S16 && !T16 && !Gamma && !Planar && Mask == 0xFF) {
        if (SourceSamples == TargetSamples) {
            if (!Reverse)
                Copy8(Source, Target, size_t{Count} * SourceSamples);
            else if (SourceSamples == 3)
                Swap3(Source, Target, Count);
            else
                Swap4(Source, Target, Count);
            return;
        }
        const int A = Reverse ? 2 : 0;
        const int B = Reverse ? 0 : 2;
        for (uint32_t I = 0; I < Count; ++I) {
            const uint8_t* S = Source + size_t{I} * SourceSamples;
            uint8_t* T = Target + size_t{I} * TargetSamples;
            T[A] = S[0];
            T[1] = S[1];
            T[B] = S[2];
        }
        return;
    }

    if (!S16 && !T16 && !Gamma && Planar && Mask == 0xFF && SourceSamples == TargetSamples &&
        SourceCount >= static_cast<size_t>(SourceSamples)) {
        const auto Plane = [&](int K) { return static_cast<const uint8_t*>(Sources[K]); };
        const int First = Reverse ? 2 : 0;
        const int Third = Reverse ? 0 : 2;
        if (SourceSamples == 3)
            colorsimd::Interleave3(Plane(First), Plane(1), Plane(Third), Target, Count);
        else
            colorsimd::Interleave4(Plane(First), Plane(1), Plane(Third), Plane(3), Target, Count);
        return;
    }

    if (S16 && !T16 && !Planar && Mask == 0xFF && !Gamma && SourceSamples == TargetSamples) {
        Narrow16Rows(Source, Target, Count, SourceSamples, Reverse, Swap);
        return;
    }

    if (S16 && !T16 && !Planar && Mask == 0xFF) {
        const uint8_t* Table = Gamma ? Cm.GammaTable().data() : IdentityTable();
        if (Swap)
            Rows16To8<true>(Source, Target, Count, SourceSamples, TargetSamples, Reverse, Table);
        else
            Rows16To8<false>(Source, Target, Count, SourceSamples, TargetSamples, Reverse, Table);
        return;
    }

    TRGBJob Job{};
    Job.NChannels = SourceAlpha && TargetAlpha ? 4 : 3;
    SetupChannels(Job.Channels, Job.NChannels, Sources, SourceCount, Planar, S16 ? 2 : 1, SourceSamples);
    Job.Order[0] = Reverse ? 2 : 0;
    Job.Order[1] = 1;
    Job.Order[2] = Reverse ? 0 : 2;
    Job.Order[3] = 3;
    Job.TargetStep = static_cast<size_t>(TargetSamples) * (T16 ? 2 : 1);
    Job.Gamma = Gamma ? Cm.GammaTable().data() : IdentityTable();
    Job.Swap = Swap;
    if (!S16 && !T16)
        RunRGB<false, false>(Job, Target, Count, Mask);
    else if (!S16)
        RunRGB<false, true>(Job, Target, Count, Mask);
    else if (!T16)
        RunRGB<true, false>(Job, Target, Count, Mask);
    else
        RunRGB<true, true>(Job, Target, Count, Mask);
}

void TColorManager::ConvertBGRToBGR(const void* const* Sources, size_t SourceCount, uint8_t* Target, uint32_t Count,
                                    uint8_t Mask) {
    ConvertRGBFamily(*this, Sources, SourceCount, Target, Count, Mask, false);
}

void TColorManager::ConvertRGBToRGB(const void* const* Sources, size_t SourceCount, uint8_t* Target, uint32_t Count,
                                    uint8_t Mask) {
    ConvertRGBFamily(*this, Sources, SourceCount, Target, Count, Mask, false);
}

void TColorManager::ConvertBGRToRGB(const void* const* Sources, size_t SourceCount, uint8_t* Target, uint32_t Count,
                                    uint8_t Mask) {
    ConvertRGBFamily(*this, Sources, SourceCount, Target, Count, Mask, true);
}

void TColorManager::ConvertRGBToBGR(const void* const* Sources, size_t SourceCount, uint8_t* Target, uint32_t Count,
                                    uint8_t Mask) {
    ConvertRGBFamily(*this, Sources, SourceCount, Target, Count, Mask, true);
}

// --- CMYK, CIE L*a*b*, YCbCr and PhotoYCC -----------------------------------------------------

namespace {

/// Writes three 8-bit colour results (in R, G, B order) to a target pixel, widened to 16 bits when asked.
inline void PutRGB8(uint8_t* Pixel, uint8_t R, uint8_t G, uint8_t B, bool ToBGR, bool T16, bool Widen) {
    const uint8_t First = ToBGR ? B : R;
    const uint8_t Third = ToBGR ? R : B;
    if (!T16) {
        Pixel[0] = First;
        Pixel[1] = G;
        Pixel[2] = Third;
    } else {
        const uint32_t F = Widen ? 257u : 1u;
        Write16(Pixel, First * F, false);
        Write16(Pixel + 2, G * F, false);
        Write16(Pixel + 4, Third * F, false);
    }
}

inline void PutRGB16(uint8_t* Pixel, uint16_t R, uint16_t G, uint16_t B, bool ToBGR) {
    Write16(Pixel, ToBGR ? B : R, false);
    Write16(Pixel + 2, G, false);
    Write16(Pixel + 4, ToBGR ? R : B, false);
}

size_t TargetPixelBytes(const TColorManager& Cm) {
    return (Cm.TargetHasAlpha() ? 4u : 3u) * (Cm.TargetBitsPerSample() == 16 ? 2u : 1u);
}

void ConvertCMYK(const TColorManager& Cm, const void* const* Sources, size_t SourceCount, uint8_t* Target,
                 uint32_t Count, uint8_t Mask, bool ToBGR) {
    const bool S16 = Cm.SourceBitsPerSample() == 16;
    const bool T16 = Cm.TargetBitsPerSample() == 16;
    TChannel Ch[4];
    SetupChannels(Ch, 4, Sources, SourceCount, SourceCount == 4, S16 ? 2 : 1, 4);
    const size_t Step = TargetPixelBytes(Cm);
    ForPass(Count, Mask, [&](uint32_t I) {
        uint8_t* Pixel = Target + I * Step;
        if (!S16) {
            const int32_t K = *Ch[3].Data;
            uint8_t Out[3];
            for (int C = 0; C < 3; ++C) {
                const int32_t X = *Ch[C].Data;
                Out[C] = Clamp255(255 - X - K + X * K / 255);
            }
            PutRGB8(Pixel, Out[0], Out[1], Out[2], ToBGR, T16, true);
        } else {
            const uint32_t K = Read16(Ch[3].Data, false);
            if (!T16) {
                uint8_t Out[3];
                for (int C = 0; C < 3; ++C) {
                    const uint32_t X = Read16(Ch[C].Data, false);
                    const uint32_t Ink = (X + K - X * K / 65535) % 65536;
                    Out[C] = Clamp255(255 - static_cast<int32_t>(Ink * 255 / 65535));
                }
                PutRGB8(Pixel, Out[0], Out[1], Out[2], ToBGR, false, false);
            } else {
                uint16_t Out[3];
                for (int C = 0; C < 3; ++C) {
                    const uint32_t X = Read16(Ch[C].Data, false);
                    Out[C] = static_cast<uint16_t>((65535 + X * K / 65535 - X - K) % 65536);
                }
                PutRGB16(Pixel, Out[0], Out[1], Out[2], ToBGR);
            }
        }
        for (auto& C : Ch) C.Data += C.Step;
    });
}

uint8_t LabComponent(double V) {
    return static_cast<uint8_t>(std::clamp(std::nearbyint(V * 255.0), 0.0, 255.0));
}

void ConvertLab(const TColorManager& Cm, const void* const* Sources, size_t SourceCount, uint8_t* Target,
                uint32_t Count, uint8_t Mask, bool ToBGR) {
    const bool S16 = Cm.SourceBitsPerSample() == 16;
    const bool T16 = Cm.TargetBitsPerSample() == 16;
    const bool Lightness255 = Cm.SourceOptions.Contains(TConversionOption::LabLightness255);
    const bool Chroma128 = Cm.SourceOptions.Contains(TConversionOption::LabChroma128);
    TChannel Ch[3];
    SetupChannels(Ch, 3, Sources, SourceCount, SourceCount > 1, S16 ? 2 : 1, 3);
    const size_t Step = TargetPixelBytes(Cm);
    auto Chroma = [&](const uint8_t* P) -> double {
        const uint32_t Raw = S16 ? Read16(P, false) : *P;
        if (Chroma128) return static_cast<double>(Raw) - 128.0;
        return static_cast<double>(static_cast<int8_t>(static_cast<uint8_t>(Raw)));
    };
    ForPass(Count, Mask, [&](uint32_t I) {
        double L = S16 ? Read16(Ch[0].Data, false) : *Ch[0].Data;
        if (Lightness255) L /= 2.55;
        const double A = Chroma(Ch[1].Data);
        const double B = Chroma(Ch[2].Data);
        double X, Y, Z;
        if (L < 7.9996) {
            Y = L / 903.3;
            X = Y + A / 3893.5;
            Z = Y - B / 1557.4;
        } else {
            const double Fy = (L + 16.0) / 116.0;
            const double Fx = Fy + A / 500.0;
            const double Fz = Fy - B / 200.0;
            X = Fx * Fx * Fx;
            Y = Fy * Fy * Fy;
            Z = Fz * Fz * Fz;
        }
        const uint8_t R = LabComponent(2.998 * X - 1.458 * Y - 0.541 * Z);
        const uint8_t G = LabComponent(-0.952 * X + 1.893 * Y + 0.059 * Z);
        const uint8_t Bl = LabComponent(0.099 * X - 0.198 * Y + 1.099 * Z);
        // 16-bit samples have no settled meaning here; their results are stored unwidened.
        PutRGB8(Target + I * Step, R, G, Bl, ToBGR, T16, !S16);
        for (auto& C : Ch) C.Data += C.Step;
    });
}

struct TChromaTables {
    const int32_t* CrToR;
    const int32_t* CbToB;
    const int32_t* CrToG;
    const int32_t* CbToG;
};

uint16_t PhotoYCC16(float V) {
    // Out-of-gamut results clamp to the 16-bit range instead of wrapping around.
    return static_cast<uint16_t>(std::clamp(std::nearbyint(V), 0.0f, 65535.0f));
}

void ConvertLumaChroma(const TColorManager& Cm, const TChromaTables& Tables, const void* const* Sources,
                       size_t SourceCount, uint8_t* Target, uint32_t Count, uint8_t Mask, bool ToBGR) {
    const bool S16 = Cm.SourceBitsPerSample() == 16;
    const bool T16 = Cm.TargetBitsPerSample() == 16;
    TChannel Ch[3];
    SetupChannels(Ch, 3, Sources, SourceCount, SourceCount > 1, S16 ? 2 : 1, 3);
    const size_t Step = TargetPixelBytes(Cm);
    ForPass(Count, Mask, [&](uint32_t I) {
        uint8_t* Pixel = Target + I * Step;
        if (S16 && T16) {
            const float Y = static_cast<float>(Read16(Ch[0].Data, false)) * 1.3584f;
            const float C1 = static_cast<float>(Read16(Ch[1].Data, false)) - 40092.0f;
            const float C2 = static_cast<float>(Read16(Ch[2].Data, false)) - 35209.0f;
            PutRGB16(Pixel, PhotoYCC16(Y + 1.8215f * C2), PhotoYCC16(Y - 0.9271435f * C2 - 0.4302726f * C1),
                     PhotoYCC16(Y + 2.2179f * C1), ToBGR);
        } else {
            int32_t Y, Cb, Cr;
            if (S16) {
                Y = Scale16To8(Read16(Ch[0].Data, false));
                Cb = Scale16To8(Read16(Ch[1].Data, false));
                Cr = Scale16To8(Read16(Ch[2].Data, false));
            } else {
                Y = *Ch[0].Data;
                Cb = *Ch[1].Data;
                Cr = *Ch[2].Data;
            }
            PutRGB8(Pixel, Clamp255(Y + Tables.CrToR[Cr]), Clamp255(Y + Tables.CbToG[Cb] + Tables.CrToG[Cr]),
                    Clamp255(Y + Tables.CbToB[Cb]), ToBGR, T16, true);
        }
        for (auto& C : Ch) C.Data += C.Step;
    });
}

} // namespace

void TColorManager::ConvertCMYKToBGR(const void* const* Sources, size_t SourceCount, uint8_t* Target, uint32_t Count,
                                     uint8_t Mask) {
    ConvertCMYK(*this, Sources, SourceCount, Target, Count, Mask, true);
}

void TColorManager::ConvertCMYKToRGB(const void* const* Sources, size_t SourceCount, uint8_t* Target, uint32_t Count,
                                     uint8_t Mask) {
    ConvertCMYK(*this, Sources, SourceCount, Target, Count, Mask, false);
}

void TColorManager::ConvertLabToBGR(const void* const* Sources, size_t SourceCount, uint8_t* Target, uint32_t Count,
                                    uint8_t Mask) {
    ConvertLab(*this, Sources, SourceCount, Target, Count, Mask, true);
}

void TColorManager::ConvertLabToRGB(const void* const* Sources, size_t SourceCount, uint8_t* Target, uint32_t Count,
                                    uint8_t Mask) {
    ConvertLab(*this, Sources, SourceCount, Target, Count, Mask, false);
}

void TColorManager::ConvertYCbCrToBGR(const void* const* Sources, size_t SourceCount, uint8_t* Target, uint32_t Count,
                                      uint8_t Mask) {
    ConvertLumaChroma(*this, {FCrToR.data(), FCbToB.data(), FCrToG.data(), FCbToG.data()}, Sources, SourceCount,
                      Target, Count, Mask, true);
}

void TColorManager::ConvertYCbCrToRGB(const void* const* Sources, size_t SourceCount, uint8_t* Target, uint32_t Count,
                                      uint8_t Mask) {
    ConvertLumaChroma(*this, {FCrToR.data(), FCbToB.data(), FCrToG.data(), FCbToG.data()}, Sources, SourceCount,
                      Target, Count, Mask, false);
}

void TColorManager::ConvertPhotoYCCToBGR(const void* const* Sources, size_t SourceCount, uint8_t* Target,
                                         uint32_t Count, uint8_t Mask) {
    ConvertLumaChroma(*this, {FCrToR.data(), FCbToB.data(), FCrToG.data(), FCbToG.data()}, Sources, SourceCount,
                      Target, Count, Mask, true);
}

void TColorManager::ConvertPhotoYCCToRGB(const void* const* Sources, size_t SourceCount, uint8_t* Target,
                                         uint32_t Count, uint8_t Mask) {
    ConvertLumaChroma(*this, {FCrToR.data(), FCbToB.data(), FCrToG.data(), FCbToG.data()}, Sources, SourceCount,
                      Target, Count, Mask, false);
}

} // namespace qv
