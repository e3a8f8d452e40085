#include "display/PixRenderRows.h"

#include <immintrin.h>

namespace qv {

namespace {

// Bilinear sample of four pixels, blended over D by its alpha x Opacity.
inline TPixel32 BilinearPixel(TPixel32 D, TPixel32 P00, TPixel32 P01, TPixel32 P10, TPixel32 P11, uint32_t Wx,
                              uint32_t Wy, uint32_t Opacity) {
    const uint32_t Wx0 = 256 - Wx, Wy0 = 256 - Wy;
    uint32_t V[4];
    for (int Shift = 0, C = 0; C < 4; ++C, Shift += 8) {
        const uint32_t Top = (P00 >> Shift & 0xFF) * Wx0 + (P01 >> Shift & 0xFF) * Wx;
        const uint32_t Bottom = (P10 >> Shift & 0xFF) * Wx0 + (P11 >> Shift & 0xFF) * Wx;
        V[C] = (Top * Wy0 + Bottom * Wy) >> 16;
    }
    const int32_t A = static_cast<int32_t>((V[3] * Opacity) >> 8);
    if (A == 0) return D;
    TPixel32 Result = D & 0xFF000000u;
    for (int Shift = 0, C = 0; C < 3; ++C, Shift += 8) {
        const int32_t Dc = static_cast<int32_t>(D >> Shift & 0xFF);
        const int32_t Rc = (Dc + (((static_cast<int32_t>(V[C]) - Dc) * A) >> 8)) & 0xFF;
        Result |= static_cast<TPixel32>(Rc) << Shift;
    }
    return Result;
}

// Average of four samples, blended over D by the averaged alpha; a fully
// opaque average replaces the colour outright.
inline TPixel32 BoxPixel(TPixel32 D, TPixel32 S00, TPixel32 S01, TPixel32 S10, TPixel32 S11) {
    uint32_t V[4];
    for (int Shift = 0, C = 0; C < 4; ++C, Shift += 8)
        V[C] = ((S00 >> Shift & 0xFF) + (S01 >> Shift & 0xFF) + (S10 >> Shift & 0xFF) + (S11 >> Shift & 0xFF)) >> 2;
    const uint32_t A = V[3];
    if (A == 0) return D;
    if (A >= 255) return (D & 0xFF000000u) | V[2] << 16 | V[1] << 8 | V[0];
    TPixel32 Result = D & 0xFF000000u;
    for (int Shift = 0, C = 0; C < 3; ++C, Shift += 8)
        Result |= (((D >> Shift & 0xFF) * (256 - A) + V[C] * A) >> 8) << Shift;
    return Result;
}

} // namespace

void BilinearRowScalar(TPixel32* Dst, const TPixel32* Row0, const TPixel32* Row1, uint32_t Wy,
                       const TBilinearPlan& Plan) {
    for (int32_t K = 0; K < Plan.Count; ++K) {
        const int32_t I = Plan.Index[K];
        const uint32_t Wx = Plan.Weight[K];
        const int32_t J = Wx ? I + 1 : I;
        Dst[K] = BilinearPixel(Dst[K], Row0[I], Row0[J], Row1[I], Row1[J], Wx, Wy, Plan.Opacity);
    }
}

void BoxRowScalar(TPixel32* Dst, const TPixel32* Row0, const TPixel32* Row1, const int32_t* Index0,
                  const int32_t* Index1, int32_t Count) {
    for (int32_t K = 0; K < Count; ++K) {
        const int32_t I0 = Index0[K], I1 = Index1[K];
        Dst[K] = BoxPixel(Dst[K], Row0[I0], Row0[I1], Row1[I0], Row1[I1]);
    }
}

#if defined(__x86_64__) || defined(__i386__)

#define QV_AVX2 __attribute__((target("avx2")))

// Spreads each pixel's alpha word over its three colour words, 0 on its own.
QV_AVX2 inline __m256i AlphaToColour(__m256i V) {
    const __m256i Mask = _mm256_setr_epi8(6, 7, 6, 7, 6, 7, -128, -128, 14, 15, 14, 15, 14, 15, -128, -128, 6, 7, 6, 7,
                                          6, 7, -128, -128, 14, 15, 14, 15, 14, 15, -128, -128);
    return _mm256_shuffle_epi8(V, Mask);
}

// Bilinear values of pixels X (low lane) and X + 4 (high lane) in 32-bit lanes.
QV_AVX2 inline __m256i BilinearTap(const int16_t* Pairs, const uint32_t* WeightPair, const int32_t* Index, int32_t X,
                                   __m256i Unbias) {
    const __m256i Pair = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(Pairs + 8 * Index[X + 4]),
                                             reinterpret_cast<const __m128i*>(Pairs + 8 * Index[X]));
    const __m256i Weight = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(WeightPair + 4 * (X + 4)),
                                               reinterpret_cast<const __m128i*>(WeightPair + 4 * X));
    return _mm256_srli_epi32(_mm256_add_epi32(_mm256_madd_epi16(Pair, Weight), Unbias), 16);
}

// d + ((v - d) * a >> 8) with a = v_alpha * opacity >> 8; only bits 8..15 of
// the product matter, and a wrapping 16-bit multiply keeps them. a is 0 on
// the alpha lanes, which therefore keep d.
QV_AVX2 inline __m256i BlendOver(__m256i V, __m256i D, __m256i Opacity) {
    const __m256i A = AlphaToColour(_mm256_srli_epi16(_mm256_mullo_epi16(V, Opacity), 8));
    const __m256i Product = _mm256_mullo_epi16(_mm256_sub_epi16(V, D), A);
    return _mm256_and_si256(_mm256_add_epi16(D, _mm256_srli_epi16(Product, 8)), _mm256_set1_epi16(0xFF));
}

QV_AVX2 inline __m256i Average4(__m256i S00, __m256i S01, __m256i S10, __m256i S11) {
    return _mm256_srli_epi16(_mm256_add_epi16(_mm256_add_epi16(S00, S01), _mm256_add_epi16(S10, S11)), 2);
}

// d * (256 - k) + v * k >> 8 with k = 256 for an opaque average (v exactly),
// its alpha otherwise, and 0 on the alpha lanes (d unchanged).
QV_AVX2 inline __m256i BoxOver(__m256i V, __m256i D) {
    __m256i K = AlphaToColour(V);
    K = _mm256_sub_epi16(K, _mm256_cmpeq_epi16(K, _mm256_set1_epi16(255)));
    const __m256i Sum =
        _mm256_add_epi16(_mm256_mullo_epi16(D, _mm256_sub_epi16(_mm256_set1_epi16(256), K)), _mm256_mullo_epi16(V, K));
    return _mm256_srli_epi16(Sum, 8);
}

// The vector bilinear row works in two passes. First the two source rows are
// blended vertically into 16-bit values c = p0 * 256 + (p1 - p0) * Wy, which
// fit 16 bits exactly, so the products may wrap. Then each destination pixel
// multiplies the pair (c[i], c[i + 1]) by (256 - Wx, Wx) in one multiply-add;
// the pairs are stored biased by -32768 to fit signed 16 bits, and the bias
// comes back as 32768 * 256. The sum before the final >> 16 equals the
// scalar one term for term, so every value is identical.
QV_AVX2 void BilinearRowAvx2(TPixel32* Dst, const TPixel32* Row0, const TPixel32* Row1,
                                                     uint32_t Wy, const TBilinearPlan& Plan) {
    const int32_t Span = Plan.Last - Plan.First + 1;
    const TPixel32* Src0 = Row0 + Plan.First;
    const TPixel32* Src1 = Row1 + Plan.First;
    uint16_t* Columns = Plan.Columns;
    int16_t* Pairs = Plan.Pairs;

    const __m256i WeightY = _mm256_set1_epi16(static_cast<int16_t>(Wy));
    int32_t K = 0;
    for (; K + 4 <= Span; K += 4) {
        const __m256i A = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(Src0 + K)));
        const __m256i B = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(Src1 + K)));
        const __m256i C = _mm256_add_epi16(_mm256_slli_epi16(A, 8), _mm256_mullo_epi16(_mm256_sub_epi16(B, A), WeightY));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(Columns + 4 * K), C);
    }
    for (; K < Span; ++K)
        for (int Shift = 0, C = 0; C < 4; ++C, Shift += 8) {
            const uint32_t P0 = Src0[K] >> Shift & 0xFF, P1 = Src1[K] >> Shift & 0xFF;
            Columns[4 * K + C] = static_cast<uint16_t>(P0 * (256 - Wy) + P1 * Wy);
        }
    // The spare column pairs the last one with itself; its weight is always 0.
    for (int C = 0; C < 4; ++C) Columns[4 * Span + C] = Columns[4 * (Span - 1) + C];

    const __m256i Interleave = _mm256_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15, 0, 1, 8, 9, 2,
                                                3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15);
    const __m256i Bias = _mm256_set1_epi16(static_cast<int16_t>(0x8000));
    for (K = 0; K + 2 <= Span; K += 2) {
        const __m256i C = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(Columns + 4 * (K + 1)),
                                              reinterpret_cast<const __m128i*>(Columns + 4 * K));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(Pairs + 8 * K),
                            _mm256_xor_si256(_mm256_shuffle_epi8(C, Interleave), Bias));
    }
    for (; K < Span; ++K) {
        const __m128i C = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Columns + 4 * K));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(Pairs + 8 * K),
                         _mm_xor_si128(_mm_shuffle_epi8(C, _mm256_castsi256_si128(Interleave)),
                                       _mm256_castsi256_si128(Bias)));
    }

    const int32_t* Index = Plan.Index;
    const uint32_t* WeightPair = Plan.WeightPair;
    const __m256i Unbias = _mm256_set1_epi32(1 << 23);
    const __m256i Opacity = _mm256_set1_epi16(Plan.Opacity);
    const __m256i Zero = _mm256_setzero_si256();
    int32_t X = 0;
    for (; X + 8 <= Plan.Count; X += 8) {
        // Pixel X + J goes to the low lane and X + J + 4 to the high lane, so
        // the two packs leave the eight pixels in order.
        const __m256i V = _mm256_packus_epi16(
            _mm256_packs_epi32(BilinearTap(Pairs, WeightPair, Index, X, Unbias),
                               BilinearTap(Pairs, WeightPair, Index, X + 1, Unbias)),
            _mm256_packs_epi32(BilinearTap(Pairs, WeightPair, Index, X + 2, Unbias),
                               BilinearTap(Pairs, WeightPair, Index, X + 3, Unbias)));
        const __m256i D = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(Dst + X));
        const __m256i Low = BlendOver(_mm256_unpacklo_epi8(V, Zero), _mm256_unpacklo_epi8(D, Zero), Opacity);
        const __m256i High = BlendOver(_mm256_unpackhi_epi8(V, Zero), _mm256_unpackhi_epi8(D, Zero), Opacity);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(Dst + X), _mm256_packus_epi16(Low, High));
    }
    for (; X < Plan.Count; ++X) {
        const int32_t I = Index[X] + Plan.First;
        const uint32_t Wx = Plan.Weight[X];
        const int32_t J = Wx ? I + 1 : I;
        Dst[X] = BilinearPixel(Dst[X], Row0[I], Row0[J], Row1[I], Row1[J], Wx, Wy, Plan.Opacity);
    }
}

// Four gathered samples per pixel, summed in 16-bit lanes.
QV_AVX2 void BoxRowAvx2(TPixel32* Dst, const TPixel32* Row0, const TPixel32* Row1,
                                                const int32_t* Index0, const int32_t* Index1, int32_t Count) {
    const __m256i Zero = _mm256_setzero_si256();
    const int* Base0 = reinterpret_cast<const int*>(Row0);
    const int* Base1 = reinterpret_cast<const int*>(Row1);
    int32_t X = 0;
    for (; X + 8 <= Count; X += 8) {
        const __m256i I0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(Index0 + X));
        const __m256i I1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(Index1 + X));
        const __m256i S00 = _mm256_i32gather_epi32(Base0, I0, 4);
        const __m256i S01 = _mm256_i32gather_epi32(Base0, I1, 4);
        const __m256i S10 = _mm256_i32gather_epi32(Base1, I0, 4);
        const __m256i S11 = _mm256_i32gather_epi32(Base1, I1, 4);
        const __m256i D = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(Dst + X));
        const __m256i Low = BoxOver(Average4(_mm256_unpacklo_epi8(S00, Zero), _mm256_unpacklo_epi8(S01, Zero),
                                          _mm256_unpacklo_epi8(S10, Zero), _mm256_unpacklo_epi8(S11, Zero)),
                                  _mm256_unpacklo_epi8(D, Zero));
        const __m256i High = BoxOver(Average4(_mm256_unpackhi_epi8(S00, Zero), _mm256_unpackhi_epi8(S01, Zero),
                                           _mm256_unpackhi_epi8(S10, Zero), _mm256_unpackhi_epi8(S11, Zero)),
                                   _mm256_unpackhi_epi8(D, Zero));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(Dst + X), _mm256_packus_epi16(Low, High));
    }
    for (; X < Count; ++X) {
        const int32_t I0 = Index0[X], I1 = Index1[X];
        Dst[X] = BoxPixel(Dst[X], Row0[I0], Row0[I1], Row1[I0], Row1[I1]);
    }
}

#else

void BilinearRowAvx2(TPixel32* Dst, const TPixel32* Row0, const TPixel32* Row1, uint32_t Wy,
                     const TBilinearPlan& Plan) {
    BilinearRowScalar(Dst, Row0, Row1, Wy, Plan);
}

void BoxRowAvx2(TPixel32* Dst, const TPixel32* Row0, const TPixel32* Row1, const int32_t* Index0,
                const int32_t* Index1, int32_t Count) {
    BoxRowScalar(Dst, Row0, Row1, Index0, Index1, Count);
}

#endif

} // namespace qv
