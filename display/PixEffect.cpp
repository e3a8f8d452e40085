#include "display/PixEffect.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "display/PixSimd.h"
#include "platform/Exceptions.h"
#include "platform/System.h"

namespace qv {

namespace {

// A pixel split into its channels, colours indexed blue, green, red.
struct TChannels {
    int32_t C[3];
    int32_t A;
};

inline TChannels Split(TPixel32 P) {
    return TChannels{{static_cast<int32_t>(P & 0xFF), static_cast<int32_t>(P >> 8 & 0xFF),
                      static_cast<int32_t>(P >> 16 & 0xFF)},
                     static_cast<int32_t>(P >> 24)};
}

inline TPixel32 Join(const int32_t (&C)[3], int32_t A) {
    return static_cast<TPixel32>(A) << 24 | static_cast<TPixel32>(C[2]) << 16 | static_cast<TPixel32>(C[1]) << 8 |
           static_cast<TPixel32>(C[0]);
}

// 0..255 onto 0..256, so that 255 means "all" in a >> 8 product.
inline int32_t Widen(int32_t Alpha) { return Alpha < 128 ? Alpha : Alpha + 1; }

// Result alpha of modes 1, 2 and 4 to 8 over a translucent base.
inline int32_t UnionAlpha(int32_t Da, int32_t Sa) { return Da + Sa - Sa * Da / 255; }

// Lightness weights shared by the colour and luminosity modes.
inline int32_t Lum(const TChannels& P) { return 77 * P.C[2] + 150 * P.C[1] + 29 * P.C[0]; }

inline int32_t Clamp255(int32_t V) { return std::clamp(V, 0, 255); }

// Exact quotients by the result alphas without a hardware divide, which
// dominates the translucent-base formulas: with M = floor((2^64 - 1) / d),
// (n * M + n) >> 64 equals n / d for every 32-bit n and d.
struct TReciprocals {
    uint64_t ByAlpha[256];     // d = alpha
    uint64_t ByAlpha255[256];  // d = 255 x alpha
};

constexpr TReciprocals MakeReciprocals() {
    TReciprocals R{};
    for (uint64_t A = 1; A < 256; ++A) {
        R.ByAlpha[A] = UINT64_MAX / A;
        R.ByAlpha255[A] = UINT64_MAX / (255 * A);
    }
    return R;
}

constexpr TReciprocals Reciprocals = MakeReciprocals();

inline int32_t Quotient(int32_t N, uint64_t M) {
    const auto Wide = static_cast<unsigned __int128>(static_cast<uint32_t>(N)) * M + static_cast<uint32_t>(N);
    return static_cast<int32_t>(Wide >> 64);
}

/// N / Alpha and N / (255 x Alpha) for non-negative N and Alpha 1..255.
inline int32_t DivAlpha(int32_t N, int32_t Alpha) { return Quotient(N, Reciprocals.ByAlpha[Alpha]); }
inline int32_t DivAlpha255(int32_t N, int32_t Alpha) { return Quotient(N, Reciprocals.ByAlpha255[Alpha]); }

// Runs a mode's colour rule per channel with the shared transparent-blend and
// opaque-base cases first; Translucent gets the union alpha Ra (N = 255 x Ra).
template <typename TOpaque, typename TTranslucent>
inline TPixel32 Compose(TPixel32 D, TPixel32 S, TOpaque Opaque, TTranslucent Translucent) {
    if (S < 0x01000000u) return D;
    const TChannels Dc = Split(D), Sc = Split(S);
    int32_t R[3];
    if (Dc.A == 255) {
        for (int I = 0; I < 3; ++I) R[I] = Opaque(Dc.C[I], Sc.C[I], Sc.A);
        return Join(R, 255);
    }
    const int32_t Ra = UnionAlpha(Dc.A, Sc.A);
    for (int I = 0; I < 3; ++I) R[I] = Translucent(Dc.C[I], Sc.C[I], Dc.A, Sc.A, Ra);
    return Join(R, Ra);
}

TPixel32 BlendNormal(TPixel32 D, TPixel32 S) {
    if (S < 0x01000000u) return D;
    const TChannels Dc = Split(D), Sc = Split(S);
    int32_t R[3];
    if (Dc.A == 255) {
        const int32_t K = Widen(Sc.A);
        for (int I = 0; I < 3; ++I) R[I] = Dc.C[I] + (((Sc.C[I] - Dc.C[I]) * K) >> 8);
        return Join(R, 255);
    }
    const int32_t T = ((255 - Sc.A) * Widen(Dc.A)) >> 8;
    const int32_t Ra0 = Sc.A + T;
    for (int I = 0; I < 3; ++I) R[I] = DivAlpha(Sc.C[I] * Sc.A + Dc.C[I] * T, Ra0);
    return Join(R, Ra0);
}

TPixel32 BlendMultiply(TPixel32 D, TPixel32 S) {
    return Compose(
        D, S,
        [](int32_t d, int32_t s, int32_t Sa) {
            const int32_t K = Widen(Sa);
            return ((256 - K + ((s * K) >> 8)) * d) >> 8;
        },
        [](int32_t d, int32_t s, int32_t Da, int32_t Sa, int32_t Ra) {
            return DivAlpha255(Sa * s * (d * Da / 255 + 255 - Da) + d * (255 - Sa) * Da, Ra);
        });
}

TPixel32 BlendScreen(TPixel32 D, TPixel32 S) {
    if (S < 0x01000000u) return D;
    const TChannels Dc = Split(D), Sc = Split(S);
    int32_t R[3];
    if (Dc.A == 255) {
        for (int I = 0; I < 3; ++I) R[I] = Dc.C[I] + Sc.C[I] * Sc.A * (255 - Dc.C[I]) / 65025;
        return Join(R, 255);
    }
    const int32_t Ra = UnionAlpha(Dc.A, Sc.A);
    for (int I = 0; I < 3; ++I) {
        const int32_t T = (65025 - Dc.C[I] * Dc.A) * Sc.C[I] / 65025;
        R[I] = DivAlpha(T * Sc.A + Dc.C[I] * Dc.A, Ra);
    }
    return Join(R, Ra);
}

TPixel32 BlendSoftLight(TPixel32 D, TPixel32 S) {
    if (S < 0x01000000u) return D;
    const TChannels Dc = Split(D), Sc = Split(S);
    const int32_t Sa = Sc.A, Da = Dc.A;
    int32_t R[3];
    if (Da == 255) {
        for (int I = 0; I < 3; ++I) {
            const int32_t d = Dc.C[I], s = Sc.C[I];
            const int32_t U = d + 2 * (255 - d) * s / 255;
            R[I] = (U * Sa + (255 - Sa) * 255) * d / 65025;
        }
        return Join(R, 255);
    }
    const int32_t Ra3 = Da + (255 - Da) * Sa / 255;
    for (int I = 0; I < 3; ++I) {
        const int32_t d = Dc.C[I], s = Sc.C[I];
        const int32_t V = (2 * (255 - d) * s + 255 * d) * Sa / 65025;
        // The truncating divisions can land above 255 (256 for d = s = 255 at
        // alpha 100, far more at alpha 1); a byte would wrap to black.
        R[I] = std::min(DivAlpha255((V + 255 - Sa) * Da * d + s * (255 - Da) * Sa, Ra3), 255);
    }
    return Join(R, Ra3);
}

// Colour and luminosity mix a target colour C with the base over the blend alpha.
template <bool KeepBaseLuminance>
TPixel32 BlendLuminance(TPixel32 D, TPixel32 S) {
    if (S < 0x01000000u) return D;
    const TChannels Dc = Split(D), Sc = Split(S);
    const int32_t Sa = Sc.A, Da = Dc.A;
    const int32_t Delta = KeepBaseLuminance ? (Lum(Dc) - Lum(Sc)) / 256 : (Lum(Sc) - Lum(Dc)) / 256;
    int32_t R[3];
    if (Da == 255) {
        for (int I = 0; I < 3; ++I) {
            const int32_t C = Clamp255((KeepBaseLuminance ? Sc.C[I] : Dc.C[I]) + Delta);
            R[I] = (C * Sa + (255 - Sa) * Dc.C[I]) / 255;
        }
        return Join(R, 255);
    }
    const int32_t Ra = UnionAlpha(Da, Sa);
    for (int I = 0; I < 3; ++I) {
        const int32_t C = Clamp255((KeepBaseLuminance ? Sc.C[I] : Dc.C[I]) + Delta);
        R[I] = DivAlpha255(C * Da * Sa + Dc.C[I] * (255 - Sa) * Da + Sc.C[I] * (255 - Da) * Sa, Ra);
    }
    return Join(R, Ra);
}

template <bool Lighter>
TPixel32 BlendLightenDarken(TPixel32 D, TPixel32 S) {
    return Compose(
        D, S,
        [](int32_t d, int32_t s, int32_t Sa) {
            const int32_t M = d + (s - d) * Sa / 255;
            return Lighter ? std::max(d, M) : std::min(d, M);
        },
        [](int32_t d, int32_t s, int32_t Da, int32_t Sa, int32_t Ra) {
            const int32_t A = s * Sa * 255 + d * (255 - Sa) * Da;
            const int32_t B = d * Da * 255 + s * (255 - Da) * Sa;
            return DivAlpha255(Lighter ? std::max(A, B) : std::min(A, B), Ra);
        });
}

TPixel32 BlendInvert(TPixel32 D, TPixel32 S) {
    return Compose(
        D, S, [](int32_t d, int32_t, int32_t Sa) { return d + Sa - 2 * Sa * d / 255; },
        [](int32_t d, int32_t, int32_t Da, int32_t Sa, int32_t Ra) {
            return DivAlpha255((255 - d) * Sa * 255 + d * (255 - Sa) * Da, Ra);
        });
}

TPixel32 BlendDissolve(TPixel32 D, TPixel32 S) {
    const uint32_t Sa = S >> 24;
    if (Sa == 0) return D;
    if (Sa == 255) return S;
    return static_cast<uint32_t>(Random(256)) < Sa ? S | 0xFF000000u : D;
}

constexpr TBlendFunction BlendFunctions[BlendModeCount] = {
    BlendNormal,        BlendMultiply,       BlendScreen,
    BlendSoftLight,     BlendLuminance<true>, BlendLuminance<false>,
    BlendLightenDarken<true>, BlendLightenDarken<false>, BlendInvert,
    BlendDissolve};

// The blend pixel's alpha faded by the layer opacity (0..255 onto 0..256).
inline TPixel32 FadeAlpha(TPixel32 S, uint32_t K) { return (S & 0x00FFFFFFu) | (((S >> 24) * K) >> 8) << 24; }

template <TBlendFunction Function, bool Faded>
void BlendRow(TPixel32* Result, const TPixel32* Base, const TPixel32* Blend, int32_t Count, uint32_t K) {
    for (int32_t X = 0; X < Count; ++X) Result[X] = Function(Base[X], Faded ? FadeAlpha(Blend[X], K) : Blend[X]);
}

using TBlendRow = void (*)(TPixel32*, const TPixel32*, const TPixel32*, int32_t, uint32_t);

template <size_t... Mode>
constexpr auto MakeRowTable(std::index_sequence<Mode...>, std::bool_constant<false>) {
    return std::array<TBlendRow, BlendModeCount>{BlendRow<BlendFunctions[Mode], false>...};
}
template <size_t... Mode>
constexpr auto MakeRowTable(std::index_sequence<Mode...>, std::bool_constant<true>) {
    return std::array<TBlendRow, BlendModeCount>{BlendRow<BlendFunctions[Mode], true>...};
}

constexpr auto PlainRows = MakeRowTable(std::make_index_sequence<BlendModeCount>{}, std::bool_constant<false>{});
constexpr auto FadedRows = MakeRowTable(std::make_index_sequence<BlendModeCount>{}, std::bool_constant<true>{});

#if defined(__x86_64__) || defined(__i386__)

#define QV_AVX2 __attribute__((target("avx2")))

// Asks for the cache line 1 KiB beyond P: whole-frame rows stream from memory
// faster than the hardware prefetcher alone runs ahead. A prefetch never
// faults, so the address may lie past the end of the row; it is formed as an
// integer so that no pointer leaves its buffer.
QV_AVX2 inline void PrefetchAhead(const void* P) {
    _mm_prefetch(reinterpret_cast<const char*>(reinterpret_cast<uintptr_t>(P) + 1024), _MM_HINT_T0);
}

// r = d + ((s - d) * k >> 8) on 16-bit lanes of four pixels; only bits 8..15
// of the product matter, and a wrapping 16-bit multiply keeps them.
QV_AVX2 inline __m256i NormalOpaque(__m256i S, __m256i D, __m256i FadeK, bool Faded) {
    const __m256i AlphaToColour = _mm256_setr_epi8(6, 7, 6, 7, 6, 7, -128, -128, 14, 15, 14, 15, 14, 15, -128, -128, 6,
                                                   7, 6, 7, 6, 7, -128, -128, 14, 15, 14, 15, 14, 15, -128, -128);
    __m256i A = _mm256_shuffle_epi8(S, AlphaToColour);
    if (Faded) A = _mm256_srli_epi16(_mm256_mullo_epi16(A, FadeK), 8);
    const __m256i K = _mm256_add_epi16(A, _mm256_srli_epi16(A, 7));
    const __m256i Product = _mm256_mullo_epi16(_mm256_sub_epi16(S, D), K);
    return _mm256_and_si256(_mm256_add_epi16(D, _mm256_srli_epi16(Product, 8)), _mm256_set1_epi16(0xFF));
}

// Normal mode over translucent bases, eight pixels in 32-bit lanes:
// t = (255 - Sa) * kd >> 8, Ra0 = Sa + t, r = (s * Sa + d * t) / Ra0. The
// numerator n is below 2^16 and Ra0 at most 255. In single precision
// n * (1 / Ra0) is off n / Ra0 by less than 2^-14, while a quotient that is
// not an integer lies at least 1/255 below the next one; adding 2^-10 before
// truncating therefore gives exactly the integer quotient in every case.
QV_AVX2 inline __m256i NormalTranslucent(__m256i S, __m256i D, __m256i Sa) {
    const __m256i Byte = _mm256_set1_epi32(0xFF);
    const __m256i Da = _mm256_srli_epi32(D, 24);
    const __m256i Kd = _mm256_add_epi32(Da, _mm256_srli_epi32(Da, 7));
    const __m256i T = _mm256_srli_epi32(_mm256_mullo_epi16(_mm256_sub_epi32(Byte, Sa), Kd), 8);
    const __m256i Ra0 = _mm256_add_epi32(Sa, T);
    const __m256 Inverse =
        _mm256_div_ps(_mm256_set1_ps(1.0f), _mm256_cvtepi32_ps(_mm256_max_epi32(Ra0, _mm256_set1_epi32(1))));
    const __m256 Nudge = _mm256_set1_ps(1.0f / 1024);
    __m256i Result = _mm256_slli_epi32(Ra0, 24);
    for (int Shift = 0; Shift < 24; Shift += 8) {
        // Byte Shift / 8 of each pixel alone in its 32-bit lane.
        const char B = static_cast<char>(Shift / 8), Z = -128;
        const __m256i Pick = _mm256_setr_epi8(B, Z, Z, Z, B + 4, Z, Z, Z, B + 8, Z, Z, Z, B + 12, Z, Z, Z, B, Z, Z, Z,
                                              B + 4, Z, Z, Z, B + 8, Z, Z, Z, B + 12, Z, Z, Z);
        const __m256i Sc = _mm256_shuffle_epi8(S, Pick);
        const __m256i Dc = _mm256_shuffle_epi8(D, Pick);
        // Each product is below 2^16, so the 16-bit multiply keeps it whole.
        const __m256i N = _mm256_add_epi32(_mm256_mullo_epi16(Sc, Sa), _mm256_mullo_epi16(Dc, T));
        const __m256i Q = _mm256_cvttps_epi32(_mm256_add_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(N), Inverse), Nudge));
        Result = _mm256_or_si256(Result, _mm256_slli_epi32(Q, Shift));
    }
    return Result;
}

// Normal mode, eight pixels at a time: the opaque-base rule for all eight,
// and where some base is translucent also that rule, chosen per pixel; a
// transparent blend pixel keeps the base.
QV_AVX2 void NormalRowAvx2(TPixel32* Result, const TPixel32* Base, const TPixel32* Blend, int32_t Count,
                           uint32_t Fade) {
    const __m256i Zero = _mm256_setzero_si256();
    const __m256i AlphaBits = _mm256_set1_epi32(static_cast<int32_t>(0xFF000000u));
    const __m256i FadeK = _mm256_set1_epi16(static_cast<int16_t>(Fade));
    const bool Faded = Fade < 256;
    int32_t X = 0;
    for (; X + 8 <= Count; X += 8) {
        PrefetchAhead(Base + X);
        PrefetchAhead(Blend + X);
        PrefetchAhead(Result + X);
        const __m256i D = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(Base + X));
        const __m256i S = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(Blend + X));
        const __m256i Opaque = _mm256_cmpeq_epi32(_mm256_and_si256(D, AlphaBits), AlphaBits);
        __m256i R = Zero;
        if (!_mm256_testz_si256(Opaque, Opaque)) {
            const __m256i Low = NormalOpaque(_mm256_unpacklo_epi8(S, Zero), _mm256_unpacklo_epi8(D, Zero), FadeK, Faded);
            const __m256i High = NormalOpaque(_mm256_unpackhi_epi8(S, Zero), _mm256_unpackhi_epi8(D, Zero), FadeK, Faded);
            R = _mm256_or_si256(_mm256_packus_epi16(Low, High), AlphaBits);
        }
        if (!_mm256_testc_si256(D, AlphaBits)) {
            __m256i Sa = _mm256_srli_epi32(S, 24);
            if (Faded) Sa = _mm256_srli_epi32(_mm256_mullo_epi16(Sa, _mm256_set1_epi32(static_cast<int32_t>(Fade))), 8);
            R = _mm256_blendv_epi8(NormalTranslucent(S, D, Sa), R, Opaque);
            R = _mm256_blendv_epi8(R, D, _mm256_cmpeq_epi32(Sa, Zero));
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(Result + X), R);
    }
    for (; X < Count; ++X) Result[X] = BlendNormal(Base[X], Faded ? FadeAlpha(Blend[X], Fade) : Blend[X]);
}

#endif

} // namespace

TBlendFunction GetBlendFunction(uint8_t Mode) { return BlendFunctions[Mode < BlendModeCount ? Mode : 0]; }

void BlendSurfaces(const TSurface& Result, const TSurface& Base, const TSurface& Blend, uint8_t Opacity,
                   uint8_t Mode) {
    QV_ASSERT(Result.Width == Base.Width && Result.Width == Blend.Width && Result.Height == Base.Height &&
                  Result.Height == Blend.Height,
              "Assertion failure");
    if (Mode >= BlendModeCount) Mode = 0;
    const uint32_t Fade = static_cast<uint32_t>(Widen(Opacity));
    TBlendRow Row = Opacity == 255 ? PlainRows[Mode] : FadedRows[Mode];
#if defined(__x86_64__) || defined(__i386__)
    if (Mode == 0 && ActiveSimdLevel() == TSimdLevel::AVX2) Row = NormalRowAvx2;
#endif
    const uint32_t K = Opacity == 255 ? 256 : Fade;
    for (int32_t Y = 0; Y < Result.Height; ++Y)
        Row(SurfaceScanline(Result, Y), SurfaceScanline(Base, Y), SurfaceScanline(Blend, Y), Result.Width, K);
}

} // namespace qv
