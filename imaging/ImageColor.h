#pragma once
// TColorManager converts rows of pixels from the layout a file stores them in
// to the layout of the bitmap that shows them, and builds the palettes of
// indexed and gray images and the gamma table.

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

#include "imaging/ImageTypes.h"
#include "platform/Graphics.h"

namespace qv {

/// Members of TConversionOptions; the value is the bit number.
enum class TConversionOption : uint8_t {
    Alpha = 0,           ///< the side carries an alpha sample (recomputed from the scheme)
    UseGamma = 1,        ///< target: colour samples pass through GammaTable
    ByteSwap = 2,        ///< source: 16-bit samples are stored most significant byte first
    LabLightness255 = 3, ///< source: CIE L* is stored as 0..255
    LabChroma128 = 4     ///< source: CIE a* and b* are unsigned with 128 as zero
};
using TConversionOptions = TEnumSet<TConversionOption>;

/// How palette data handed to CreateColorPalette is laid out.
enum class TPaletteLayout : uint8_t {
    Interleaved8Triple, Interleaved8Quad, Planar8Triple, Planar8Quad,
    Interleaved16Triple, Interleaved16Quad, Planar16Triple, Planar16Quad
};

class TColorManager {
public:
    /// A row routine: Sources (one pointer interleaved, one per channel planar),
    /// Target row, Count target pixels to visit, Mask the pass mask.
    using TRowRoutine = void (TColorManager::*)(const void* const* Sources, size_t SourceCount,
                                                uint8_t* Target, uint32_t Count, uint8_t Mask);

    /// Sets the defaults: 8-bit RGB source, 8-bit BGR target, gamma 1.0 / 2.2 (see Reset).
    TColorManager();

    /// Returns every setting to its default, as every load starts: 8-bit RGB source
    /// and 8-bit BGR target of 3 samples, empty option sets (so no UseGamma, ByteSwap
    /// or Lab options), gamma 1.0 / 2.2 with its table, YCbCr coefficients 0.299,
    /// 0.587, 0.114 and subsampling 1 x 1, no chroma tables, no routine selected
    /// (Changed set). The gamma table is rebuilt for 8-bit samples, so a reader that
    /// sets its file gamma before its sample sizes (PNG reads gAMA first) gets the
    /// table that palettes index with 0..255. Build a table before setting sample
    /// sizes below 8 bits, never after: such a table holds only entries 0..2^t - 1.
    void Reset();

    bool Changed() const { return FChanged; }
    uint8_t SourceBitsPerSample() const { return FSourceBitsPerSample; }
    uint8_t TargetBitsPerSample() const { return FTargetBitsPerSample; }
    uint8_t SourceSamplesPerPixel() const { return FSourceSamplesPerPixel; }
    uint8_t TargetSamplesPerPixel() const { return FTargetSamplesPerPixel; }
    TColorScheme SourceColorScheme() const { return FSourceColorScheme; }
    TColorScheme TargetColorScheme() const { return FTargetColorScheme; }
    float MainGamma() const { return FMainGamma; }
    float DisplayGamma() const { return FDisplayGamma; }
    const std::array<uint8_t, 256>& GammaTable() const { return FGammaTable; }
    const std::array<float, 3>& YCbCrCoefficients() const { return FYCbCrCoefficients; }
    uint8_t HorizontalSubsampling() const { return FHorizontalSubsampling; }
    uint8_t VerticalSubsampling() const { return FVerticalSubsampling; }
    /// The chroma tables; empty until a YCbCr or PhotoYCC source is selected.
    const std::vector<int32_t>& CrToR() const { return FCrToR; }
    const std::vector<int32_t>& CbToB() const { return FCbToB; }
    const std::vector<int32_t>& CrToG() const { return FCrToG; }
    const std::vector<int32_t>& CbToG() const { return FCbToG; }
    /// The routine chosen at the last selection; null when none fits.
    TRowRoutine RowRoutine() const { return FRowRoutine; }

    /// Option sets; readers write them directly, at any time. Nothing selected at
    /// routine selection depends on them: the routines read them on every call and
    /// take alpha from the colour schemes, so assigning a set (which clears its Alpha
    /// bit) never leaves a stale stride. The Alpha bit itself is recomputed from the
    /// schemes at every selection, for readers that look at it.
    TConversionOptions SourceOptions;
    TConversionOptions TargetOptions;
    /// Whether source and target pixels carry an alpha sample (GrayAlpha, RGBA, BGRA),
    /// from the schemes as they are now.
    bool SourceHasAlpha() const;
    bool TargetHasAlpha() const;

    /// Bits per sample (1..16; the row routines handle 1, 2, 4, 8 and 16);
    /// 0 or more than 16 raises EColorConversionError.
    void SetSourceBitsPerSample(uint8_t Value);
    void SetTargetBitsPerSample(uint8_t Value);
    /// Samples per pixel (1..4); anything else raises EColorConversionError.
    void SetSourceSamplesPerPixel(uint8_t Value);
    void SetTargetSamplesPerPixel(uint8_t Value);
    void SetSourceColorScheme(TColorScheme Value);
    void SetTargetColorScheme(TColorScheme Value);
    /// Rebuilds the gamma table for a file gamma and a display gamma (non-positive
    /// values fall back to 1.0 and 2.2). Call after setting the sample sizes.
    void SetGammaCorrection(float MainGamma, float DisplayGamma);
    /// Replaces Kr, then Kg, then Kb with the given coefficients (one to three),
    /// then validates and stores the subsampling factors (1, 2 or 4; vertical <= horizontal).
    void SetYCbCrParameters(std::span<const float> Coefficients, uint8_t HorizontalSubsampling,
                            uint8_t VerticalSubsampling);
    void SetYCbCrParameters(std::initializer_list<float> Coefficients, uint8_t HorizontalSubsampling,
                            uint8_t VerticalSubsampling) {
        SetYCbCrParameters(std::span<const float>(Coefficients.begin(), Coefficients.size()),
                           HorizontalSubsampling, VerticalSubsampling);
    }

    /// The bitmap pixel format matching the target (true) or source (false) sample layout.
    TPixelFormat PlatformPixelFormat(bool Target) const;
    /// A gray ramp of 2^k entries (k = target bits x samples, at most 8); with
    /// MinIsWhite the ramp runs from white to black.
    TLogPalette CreateGrayPalette(bool MinIsWhite) const;
    /// A palette from file data (one pointer, or three planes red, green, blue),
    /// at most 256 entries, rescaled when source and target sample sizes differ.
    TLogPalette CreateColorPalette(std::span<const void* const> Data, TPaletteLayout Layout,
                                   uint32_t ColorCount, bool BGROrder) const;
    TLogPalette CreateColorPalette(std::initializer_list<const void*> Data, TPaletteLayout Layout,
                                   uint32_t ColorCount, bool BGROrder) const {
        return CreateColorPalette(std::span<const void* const>(Data.begin(), Data.size()), Layout,
                                  ColorCount, BGROrder);
    }

    /// Converts Count target pixels from Sources into Target, visiting the pixels
    /// whose bit of Mask is set (bit 7 for the first, rotating). Selects the row
    /// routine first when a setting changed; raises EColorConversionError when
    /// none fits. The caller guarantees the buffers are large enough.
    void ConvertLine(std::span<const void* const> Sources, void* Target, uint32_t Count, uint8_t Mask);
    void ConvertLine(std::initializer_list<const void*> Sources, void* Target, uint32_t Count,
                     uint8_t Mask) {
        ConvertLine(std::span<const void* const>(Sources.begin(), Sources.size()), Target, Count, Mask);
    }
    /// ConvertLine with its buffer sizes checked first: each source plane and the
    /// target must hold what Count and Mask need, else EAssertionFailed is raised.
    void ConvertLineChecked(std::span<const std::span<const uint8_t>> Sources, std::span<uint8_t> Target,
                            uint32_t Count, uint8_t Mask);

    /// Bytes one source plane must hold to feed Count target pixels under Mask
    /// (for PlaneCount source pointers). Selects the routine when settings changed.
    uint64_t SourceBytesNeeded(uint32_t Count, uint8_t Mask, size_t PlaneCount);
    /// Bytes the target row must hold for Count pixels.
    uint64_t TargetBytesNeeded(uint32_t Count);

    // The row routines among which the selection chooses; called through ConvertLine.
    void ConvertIndexed8(const void* const* Sources, size_t SourceCount, uint8_t* Target, uint32_t Count, uint8_t Mask);
    void ConvertIndexed16To16(const void* const* Sources, size_t SourceCount, uint8_t* Target, uint32_t Count, uint8_t Mask);
    void ConvertIndexed16ToLow(const void* const* Sources, size_t SourceCount, uint8_t* Target, uint32_t Count, uint8_t Mask);
    void ConvertIndexedLowTo16(const void* const* Sources, size_t SourceCount, uint8_t* Target, uint32_t Count, uint8_t Mask);
    void ConvertGray(const void* const* Sources, size_t SourceCount, uint8_t* Target, uint32_t Count, uint8_t Mask);
    void ConvertBGRToBGR(const void* const* Sources, size_t SourceCount, uint8_t* Target, uint32_t Count, uint8_t Mask);
    void ConvertBGRToRGB(const void* const* Sources, size_t SourceCount, uint8_t* Target, uint32_t Count, uint8_t Mask);
    void ConvertRGBToBGR(const void* const* Sources, size_t SourceCount, uint8_t* Target, uint32_t Count, uint8_t Mask);
    void ConvertRGBToRGB(const void* const* Sources, size_t SourceCount, uint8_t* Target, uint32_t Count, uint8_t Mask);
    void ConvertCMYKToBGR(const void* const* Sources, size_t SourceCount, uint8_t* Target, uint32_t Count, uint8_t Mask);
    void ConvertCMYKToRGB(const void* const* Sources, size_t SourceCount, uint8_t* Target, uint32_t Count, uint8_t Mask);
    void ConvertLabToBGR(const void* const* Sources, size_t SourceCount, uint8_t* Target, uint32_t Count, uint8_t Mask);
    void ConvertLabToRGB(const void* const* Sources, size_t SourceCount, uint8_t* Target, uint32_t Count, uint8_t Mask);
    void ConvertYCbCrToBGR(const void* const* Sources, size_t SourceCount, uint8_t* Target, uint32_t Count, uint8_t Mask);
    void ConvertYCbCrToRGB(const void* const* Sources, size_t SourceCount, uint8_t* Target, uint32_t Count, uint8_t Mask);
    void ConvertPhotoYCCToBGR(const void* const* Sources, size_t SourceCount, uint8_t* Target, uint32_t Count, uint8_t Mask);
    void ConvertPhotoYCCToRGB(const void* const* Sources, size_t SourceCount, uint8_t* Target, uint32_t Count, uint8_t Mask);

private:
    void SelectRowRoutine();
    void BuildChromaTables();

    bool FChanged = true;
    uint8_t FSourceBitsPerSample = 8;
    uint8_t FTargetBitsPerSample = 8;
    uint8_t FSourceSamplesPerPixel = 3;
    uint8_t FTargetSamplesPerPixel = 3;
    float FMainGamma = 1.0f;
    float FDisplayGamma = 2.2f;
    std::array<uint8_t, 256> FGammaTable{};
    std::array<float, 3> FYCbCrCoefficients{0.299f, 0.587f, 0.114f};
    uint8_t FHorizontalSubsampling = 1;
    uint8_t FVerticalSubsampling = 1;
    std::vector<int32_t> FCrToR;
    std::vector<int32_t> FCbToB;
    std::vector<int32_t> FCrToG;
    std::vector<int32_t> FCbToG;
    TColorScheme FSourceColorScheme = TColorScheme::RGB;
    TColorScheme FTargetColorScheme = TColorScheme::BGR;
    TRowRoutine FRowRoutine = nullptr;
};

} // namespace qv
