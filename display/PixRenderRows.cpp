#include "display/PixRenderRows.h"

#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

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

void BoxRowScalar(TPixel32* Dst, const TPixel32* Row0, const TPixel32* Row1, const TBoxPlan& Plan) {
    for (int32_t K = 0; K < Plan.Count; ++K) {
        const int32_t I0 = Plan.Index0[K], I1 = Plan.Index1[K];
        Dst[K] = BoxPixel(Dst[K], Row0[I0], Row0[I1], Row1[I0], Row1[I1]);
    }
}

#if defined(__x86_64__) || defined(__i386__)

#define QV_AVX2 __attribute__((target("avx2")))

namespace {

// Asks for the cache line 1 KiB beyond P: whole-frame rows stream from memory
// faster than the hardware prefetcher alone runs ahead. A prefetch never
// faults, so the address may lie past the end of the row; it is formed as an
// integer so that no pointer leaves its buffer.
QV_AVX2 inline void PrefetchAhead(const void* P) {
    _mm_prefetch(reinterpret_cast<const char*>(reinterpret_cast<uintptr_t>(P) + 1024), _MM_HINT_T0);
}

// Spreads each pixel's alpha word over its three colour words, 0 on its own.
QV_AVX2 inline __m256i AlphaToColour(__m256i V) {
    const __m256i Mask = _mm256_setr_epi8(6, 7, 6, 7, 6, 7, -128, -128, 14, 15, 14, 15, 14, 15, -128, -128, 6, 7, 6, 7,
                                          6, 7, -128, -128, 14, 15, 14, 15, 14, 15, -128, -128);
    return _mm256_shuffle_epi8(V, Mask);
}

// d + ((v - d) * a >> 8) with a = v_alpha * opacity >> 8; only bits 8..15 of
// the product matter, and a wrapping 16-bit multiply keeps them. a is 0 on
// the alpha lanes, which therefore keep d.
QV_AVX2 inline __m256i BlendOver(__m256i V, __m256i D, __m256i Opacity) {
    const __m256i A = AlphaToColour(_mm256_srli_epi16(_mm256_mullo_epi16(V, Opacity), 8));
    const __m256i Product = _mm256_mullo_epi16(_mm256_sub_epi16(V, D), A);
    return _mm256_and_si256(_mm256_add_epi16(D, _mm256_srli_epi16(Product, 8)), _mm256_set1_epi16(0xFF));
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
// (p0 * 256 + (p1 - p0) * w) >> 8 on 16-bit lanes; the sum fits 16 bits, so the product may wrap.
QV_AVX2 inline __m256i Vertical(__m256i A, __m256i B, __m256i W) {
    return _mm256_srli_epi16(_mm256_add_epi16(_mm256_slli_epi16(A, 8), _mm256_mullo_epi16(_mm256_sub_epi16(B, A), W)),
                             8);
}

// Bilinear values less 128 of pixels X + J (low lane) and X + J + 4 (high
// lane) in 32-bit lanes, from interleaved biased column pairs (or the biased
// columns themselves) and the weight pairs of pixels X..X + 7. The bias of
// -32768 per value comes back as -128 after the shift: (T - 2^23) >> 16.
QV_AVX2 inline __m256i BilinearTap(const TBilinearPlan& Plan, int32_t X, int J, __m256i Weights, __m256i Interleave) {
    const int32_t* Index = Plan.Index;
    __m256i Pair;
    if (Plan.Prepaired) {
        Pair = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(Plan.Pairs + 8 * Index[X + J + 4]),
                                   reinterpret_cast<const __m128i*>(Plan.Pairs + 8 * Index[X + J]));
    } else {
        const __m256i C = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(Plan.Columns + 4 * Index[X + J + 4]),
                                              reinterpret_cast<const __m128i*>(Plan.Columns + 4 * Index[X + J]));
        Pair = _mm256_shuffle_epi8(C, Interleave);
    }
    const __m256i Spread = _mm256_setr_epi32(J, J, J, J, J + 4, J + 4, J + 4, J + 4);
    const __m256i Weight = _mm256_permutevar8x32_epi32(Weights, Spread);
    return _mm256_srai_epi32(_mm256_madd_epi16(Pair, Weight), 16);
}

// Copies along the row (no horizontal weights, source columns in order): the
// sample is c >> 8 of the vertical blend alone, straight from the two rows.
QV_AVX2 void BilinearRowDirectAvx2(TPixel32* Dst, const TPixel32* Src0, const TPixel32* Src1, uint32_t Wy,
                                   int32_t Count, __m256i Opacity) {
    const __m256i WeightY = _mm256_set1_epi16(static_cast<int16_t>(Wy));
    const __m256i Zero = _mm256_setzero_si256();
    if (Wy == 0) {
        for (int32_t X = 0; X + 8 <= Count; X += 8) {
            PrefetchAhead(Src0 + X);
            PrefetchAhead(Dst + X);
            const __m256i V = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(Src0 + X));
            const __m256i D = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(Dst + X));
            const __m256i Low = BlendOver(_mm256_unpacklo_epi8(V, Zero), _mm256_unpacklo_epi8(D, Zero), Opacity);
            const __m256i High = BlendOver(_mm256_unpackhi_epi8(V, Zero), _mm256_unpackhi_epi8(D, Zero), Opacity);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(Dst + X), _mm256_packus_epi16(Low, High));
        }
        return;
    }
    for (int32_t X = 0; X + 8 <= Count; X += 8) {
        PrefetchAhead(Src0 + X);
        PrefetchAhead(Src1 + X);
        PrefetchAhead(Dst + X);
        const __m256i A = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(Src0 + X));
        const __m256i B = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(Src1 + X));
        const __m256i D = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(Dst + X));
        const __m256i Low = BlendOver(Vertical(_mm256_unpacklo_epi8(A, Zero), _mm256_unpacklo_epi8(B, Zero), WeightY),
                                      _mm256_unpacklo_epi8(D, Zero), Opacity);
        const __m256i High = BlendOver(Vertical(_mm256_unpackhi_epi8(A, Zero), _mm256_unpackhi_epi8(B, Zero), WeightY),
                                       _mm256_unpackhi_epi8(D, Zero), Opacity);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(Dst + X), _mm256_packus_epi16(Low, High));
    }
}

} // namespace

QV_AVX2 void BilinearRowAvx2(TPixel32* Dst, const TPixel32* Row0, const TPixel32* Row1, uint32_t Wy,
                             const TBilinearPlan& Plan) {
    const int32_t Span = Plan.Last - Plan.First + 1;
    const TPixel32* Src0 = Row0 + Plan.First;
    const TPixel32* Src1 = Row1 + Plan.First;
    const __m256i Opacity = _mm256_set1_epi16(Plan.Opacity);
    const int32_t Vectored = Plan.Count & ~7;

    if (Plan.Direct) {
        BilinearRowDirectAvx2(Dst, Src0, Src1, Wy, Plan.Count, Opacity);
    } else {
        // Columns hold c - 32768 (stored as c ^ 0x8000) ready for the signed multiply-add.
        uint16_t* Columns = Plan.Columns;
        const __m256i WeightY = _mm256_set1_epi16(static_cast<int16_t>(Wy));
        const __m256i Bias = _mm256_set1_epi16(static_cast<int16_t>(0x8000));
        int32_t K = 0;
        for (; K + 4 <= Span; K += 4) {
            PrefetchAhead(Src0 + K);
            PrefetchAhead(Src1 + K);
            const __m256i A = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(Src0 + K)));
            const __m256i B = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(Src1 + K)));
            const __m256i C =
                _mm256_add_epi16(_mm256_slli_epi16(A, 8), _mm256_mullo_epi16(_mm256_sub_epi16(B, A), WeightY));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(Columns + 4 * K), _mm256_xor_si256(C, Bias));
        }
        for (; K < Span; ++K)
            for (int Shift = 0, C = 0; C < 4; ++C, Shift += 8) {
                const uint32_t P0 = Src0[K] >> Shift & 0xFF, P1 = Src1[K] >> Shift & 0xFF;
                Columns[4 * K + C] = static_cast<uint16_t>((P0 * (256 - Wy) + P1 * Wy) ^ 0x8000);
            }
        // The spare column pairs the last one with itself; its weight is always 0.
        for (int C = 0; C < 4; ++C) Columns[4 * Span + C] = Columns[4 * (Span - 1) + C];

        const __m256i Interleave = _mm256_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15, 0, 1, 8, 9,
                                                    2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15);
        // Enlarging reuses each column pair for several destination pixels, so
        // the pairs are interleaved once per row; reducing interleaves per tap.
        if (Plan.Prepaired) {
            int16_t* Out = Plan.Pairs;
            for (K = 0; K + 2 <= Span; K += 2) {
                const __m256i C = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(Columns + 4 * (K + 1)),
                                                      reinterpret_cast<const __m128i*>(Columns + 4 * K));
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(Out + 8 * K), _mm256_shuffle_epi8(C, Interleave));
            }
            for (; K < Span; ++K) {
                const __m128i C = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Columns + 4 * K));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(Out + 8 * K),
                                 _mm_shuffle_epi8(C, _mm256_castsi256_si128(Interleave)));
            }
        }

        const __m256i Zero = _mm256_setzero_si256();
        const __m256i Recentre = _mm256_set1_epi8(static_cast<char>(0x80));
        // Pixel X + J goes to the low lane and X + J + 4 to the high lane, so
        // the two packs below leave the eight pixels in order; the values
        // less 128 fit signed bytes, and flipping the top bit adds 128 back.
        for (int32_t X = 0; X < Vectored; X += 8) {
            PrefetchAhead(Dst + X);
            const __m256i Weights = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(Plan.WeightPair + X));
            const __m256i Packed =
                _mm256_packs_epi16(_mm256_packs_epi32(BilinearTap(Plan, X, 0, Weights, Interleave),
                                                      BilinearTap(Plan, X, 1, Weights, Interleave)),
                                   _mm256_packs_epi32(BilinearTap(Plan, X, 2, Weights, Interleave),
                                                      BilinearTap(Plan, X, 3, Weights, Interleave)));
            const __m256i V = _mm256_xor_si256(Packed, Recentre);
            const __m256i D = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(Dst + X));
            const __m256i Low = BlendOver(_mm256_unpacklo_epi8(V, Zero), _mm256_unpacklo_epi8(D, Zero), Opacity);
            const __m256i High = BlendOver(_mm256_unpackhi_epi8(V, Zero), _mm256_unpackhi_epi8(D, Zero), Opacity);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(Dst + X), _mm256_packus_epi16(Low, High));
        }
    }
    for (int32_t X = Vectored; X < Plan.Count; ++X) {
        const int32_t I = Plan.Index[X] + Plan.First;
        const uint32_t Wx = Plan.Weight[X];
        const int32_t J = Wx ? I + 1 : I;
        Dst[X] = BilinearPixel(Dst[X], Row0[I], Row0[J], Row1[I], Row1[J], Wx, Wy, Plan.Opacity);
    }
}

namespace {

// Two pixels' column sums (16-bit channels) at columns I and J.
QV_AVX2 inline __m128i LoadSums(const uint16_t* Sums, int32_t I, int32_t J) {
    const __m128d Low = _mm_castsi128_pd(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(Sums + 4 * I)));
    return _mm_castpd_si128(_mm_loadh_pd(Low, reinterpret_cast<const double*>(Sums + 4 * J)));
}

// The averages of pixels X, X + 1 (low lane) and X + 4, X + 5 (high lane),
// matching the lanes of a byte unpack of eight destination pixels.
QV_AVX2 inline __m256i BoxAverages(const TBoxPlan& Plan, int32_t X) {
    const int32_t* I0 = Plan.Index0;
    const int32_t* I1 = Plan.Index1;
    const __m256i First = _mm256_set_m128i(LoadSums(Plan.Sums, I0[X + 4], I0[X + 5]), LoadSums(Plan.Sums, I0[X], I0[X + 1]));
    const __m256i Second =
        _mm256_set_m128i(LoadSums(Plan.Sums, I1[X + 4], I1[X + 5]), LoadSums(Plan.Sums, I1[X], I1[X + 1]));
    return _mm256_srli_epi16(_mm256_add_epi16(First, Second), 2);
}

} // namespace

// The two sample rows are summed once per source column; each destination
// pixel then adds the sums at its two columns: the same four-sample total.
QV_AVX2 void BoxRowAvx2(TPixel32* Dst, const TPixel32* Row0, const TPixel32* Row1, const TBoxPlan& Plan) {
    const int32_t Span = Plan.Last - Plan.First + 1;
    const TPixel32* Src0 = Row0 + Plan.First;
    const TPixel32* Src1 = Row1 + Plan.First;
    uint16_t* Sums = Plan.Sums;
    int32_t K = 0;
    for (; K + 4 <= Span; K += 4) {
        const __m256i A = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(Src0 + K)));
        const __m256i B = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(Src1 + K)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(Sums + 4 * K), _mm256_add_epi16(A, B));
    }
    for (; K < Span; ++K)
        for (int Shift = 0, C = 0; C < 4; ++C, Shift += 8)
            Sums[4 * K + C] = static_cast<uint16_t>((Src0[K] >> Shift & 0xFF) + (Src1[K] >> Shift & 0xFF));

    const __m256i Zero = _mm256_setzero_si256();
    int32_t X = 0;
    for (; X + 8 <= Plan.Count; X += 8) {
        const __m256i D = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(Dst + X));
        const __m256i Low = BoxOver(BoxAverages(Plan, X), _mm256_unpacklo_epi8(D, Zero));
        const __m256i High = BoxOver(BoxAverages(Plan, X + 2), _mm256_unpackhi_epi8(D, Zero));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(Dst + X), _mm256_packus_epi16(Low, High));
    }
    for (; X < Plan.Count; ++X) {
        const int32_t I0 = Plan.Index0[X] + Plan.First, I1 = Plan.Index1[X] + Plan.First;
        Dst[X] = BoxPixel(Dst[X], Row0[I0], Row0[I1], Row1[I0], Row1[I1]);
    }
}

#else

void BilinearRowAvx2(TPixel32* Dst, const TPixel32* Row0, const TPixel32* Row1, uint32_t Wy,
                     const TBilinearPlan& Plan) {
    BilinearRowScalar(Dst, Row0, Row1, Wy, Plan);
}

void BoxRowAvx2(TPixel32* Dst, const TPixel32* Row0, const TPixel32* Row1, const TBoxPlan& Plan) {
    BoxRowScalar(Dst, Row0, Row1, Plan);
}

#endif

} // namespace qv
