#include "imaging/ImageColorSimd.h"

#include <atomic>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QV_HAVE_SSSE3_PATH 1
#endif

namespace qv::colorsimd {

namespace {

std::atomic<uint8_t> LevelCap{static_cast<uint8_t>(TSimdLevel::AVX2)};

void Swap3Scalar(const uint8_t* S, uint8_t* T, uint32_t Count) {
    for (uint32_t I = 0; I < Count; ++I, S += 3, T += 3) {
        const uint8_t R = S[0], G = S[1], B = S[2];
        T[0] = B;
        T[1] = G;
        T[2] = R;
    }
}

void Swap4Scalar(const uint8_t* S, uint8_t* T, uint32_t Count) {
    for (uint32_t I = 0; I < Count; ++I, S += 4, T += 4) {
        const uint8_t R = S[0], G = S[1], B = S[2], A = S[3];
        T[0] = B;
        T[1] = G;
        T[2] = R;
        T[3] = A;
    }
}

template <bool BigEndian>
void Narrow16Scalar(const uint8_t* S, uint8_t* T, size_t Samples) {
    for (size_t I = 0; I < Samples; ++I, S += 2) {
        const unsigned V = BigEndian ? (S[0] << 8) | S[1] : S[0] | (S[1] << 8);
        T[I] = static_cast<uint8_t>(V / 257);
    }
}

void Interleave3Scalar(const uint8_t* P0, const uint8_t* P1, const uint8_t* P2, uint8_t* T, uint32_t Count) {
    for (uint32_t I = 0; I < Count; ++I, T += 3) {
        T[0] = P0[I];
        T[1] = P1[I];
        T[2] = P2[I];
    }
}

void Interleave4Scalar(const uint8_t* P0, const uint8_t* P1, const uint8_t* P2, const uint8_t* P3, uint8_t* T,
                       uint32_t Count) {
    for (uint32_t I = 0; I < Count; ++I, T += 4) {
        T[0] = P0[I];
        T[1] = P1[I];
        T[2] = P2[I];
        T[3] = P3[I];
    }
}

bool Apart(const uint8_t* S, const uint8_t* T, size_t Bytes) { return S + Bytes <= T || T + Bytes <= S; }

#if defined(QV_HAVE_SSSE3_PATH)
/// Shuffle masks that reverse the three bytes of every pixel in a block of 16
/// pixels held in three registers: Masks[Out][In] picks the bytes of output
/// register Out that come from input register In (0x80 selects zero).
struct TSwap3Masks {
    alignas(16) uint8_t Masks[3][3][16];
    constexpr TSwap3Masks() : Masks{} {
        for (int Out = 0; Out < 3; ++Out)
            for (int I = 0; I < 16; ++I) {
                const int O = Out * 16 + I;
                const int Source = (O / 3) * 3 + 2 - O % 3;
                for (int In = 0; In < 3; ++In)
                    Masks[Out][In][I] = Source / 16 == In ? static_cast<uint8_t>(Source % 16) : 0x80;
            }
    }
};
constexpr TSwap3Masks Swap3Table;

// The 16-byte blocks are loaded before they are stored, so source and target may be the same row.
__attribute__((target("ssse3"))) void Swap3SSSE3(const uint8_t* S, uint8_t* T, uint32_t Count) {
    auto Mask = [](int Out, int In) {
        return _mm_load_si128(reinterpret_cast<const __m128i*>(Swap3Table.Masks[Out][In]));
    };
    const __m128i M00 = Mask(0, 0), M01 = Mask(0, 1), M10 = Mask(1, 0), M11 = Mask(1, 1), M12 = Mask(1, 2),
                  M21 = Mask(2, 1), M22 = Mask(2, 2);
    uint32_t I = 0;
    for (; I + 16 <= Count; I += 16, S += 48, T += 48) {
        const __m128i A = _mm_loadu_si128(reinterpret_cast<const __m128i*>(S));
        const __m128i B = _mm_loadu_si128(reinterpret_cast<const __m128i*>(S + 16));
        const __m128i C = _mm_loadu_si128(reinterpret_cast<const __m128i*>(S + 32));
        const __m128i O0 = _mm_or_si128(_mm_shuffle_epi8(A, M00), _mm_shuffle_epi8(B, M01));
        const __m128i O1 = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(A, M10), _mm_shuffle_epi8(B, M11)),
                                        _mm_shuffle_epi8(C, M12));
        const __m128i O2 = _mm_or_si128(_mm_shuffle_epi8(B, M21), _mm_shuffle_epi8(C, M22));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(T), O0);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(T + 16), O1);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(T + 32), O2);
    }
    Swap3Scalar(S, T, Count - I);
}

__attribute__((target("ssse3"))) void Swap4SSSE3(const uint8_t* S, uint8_t* T, uint32_t Count) {
    const __m128i Shuffle = _mm_setr_epi8(2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15);
    uint32_t I = 0;
    for (; I + 8 <= Count; I += 8, S += 32, T += 32) {
        const __m128i A = _mm_loadu_si128(reinterpret_cast<const __m128i*>(S));
        const __m128i B = _mm_loadu_si128(reinterpret_cast<const __m128i*>(S + 16));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(T), _mm_shuffle_epi8(A, Shuffle));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(T + 16), _mm_shuffle_epi8(B, Shuffle));
    }
    Swap4Scalar(S, T, Count - I);
}

/// Masks for the three 32-byte output blocks of a 96-byte step. Each 16-byte
/// lane starts at an offset whose phase modulo 3 decides the pattern; its bytes
/// come from a load two bytes before the lane (X) or two bytes after it (Y).
struct TSwap3BlockMasks {
    alignas(32) uint8_t X[3][32];
    alignas(32) uint8_t Y[3][32];
    constexpr TSwap3BlockMasks() : X{}, Y{} {
        for (int Block = 0; Block < 3; ++Block)
            for (int I = 0; I < 32; ++I) {
                const int Phase = (2 * Block + I / 16) % 3;
                const int O = Phase + I % 16;
                const int Rel = (O / 3) * 3 + 2 - O % 3 - Phase; // -2 .. 17 from the lane start
                X[Block][I] = Rel <= 13 ? static_cast<uint8_t>(Rel + 2) : 0x80;
                Y[Block][I] = Rel <= 13 ? 0x80 : static_cast<uint8_t>(Rel - 2);
            }
    }
};
constexpr TSwap3BlockMasks Swap3Blocks;

__attribute__((target("avx2"))) inline __m256i Load32(const uint8_t* P) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(P));
}

__attribute__((target("avx2"))) inline void Store32(uint8_t* P, __m256i V) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(P), V);
}

/// Needs rows that do not overlap: each block reads two bytes beyond what it writes.
__attribute__((target("avx2"))) void Swap3AVX2(const uint8_t* S, uint8_t* T, uint32_t Count) {
    // A 32-byte store that straddles two cache lines costs about twice one that does not,
    // so a lead of 1..32 pixels brings the stores onto 32-byte boundaries. The lead is at
    // least one pixel so that the load two bytes early stays inside the row.
    uint32_t Head = 1;
    while ((reinterpret_cast<uintptr_t>(T) + Head * 3) % 32 != 0) ++Head;
    if (Head > Count) Head = Count;
    Swap3SSSE3(S, T, Head);
    // The last block reads up to 98 bytes past its first pixel, hence one pixel to spare.
    const uint32_t Blocks = Count - Head >= 33 ? (Count - Head - 1) / 32 : 0;
    const __m256i X0 = Load32(Swap3Blocks.X[0]), Y0 = Load32(Swap3Blocks.Y[0]);
    const __m256i X1 = Load32(Swap3Blocks.X[1]), Y1 = Load32(Swap3Blocks.Y[1]);
    const __m256i X2 = Load32(Swap3Blocks.X[2]), Y2 = Load32(Swap3Blocks.Y[2]);
    const uint8_t* Src = S + size_t{Head} * 3;
    uint8_t* Dst = T + size_t{Head} * 3;
    // Pointer steps instead of index arithmetic: the loop is bound by instruction count.
    for (const uint8_t* const End = Src + size_t{Blocks} * 96; Src != End; Src += 96, Dst += 96) {
        const __m256i A0 = Load32(Src - 2), B0 = Load32(Src + 2);
        const __m256i A1 = Load32(Src + 30), B1 = Load32(Src + 34);
        const __m256i A2 = Load32(Src + 62), B2 = Load32(Src + 66);
        Store32(Dst, _mm256_or_si256(_mm256_shuffle_epi8(A0, X0), _mm256_shuffle_epi8(B0, Y0)));
        Store32(Dst + 32, _mm256_or_si256(_mm256_shuffle_epi8(A1, X1), _mm256_shuffle_epi8(B1, Y1)));
        Store32(Dst + 64, _mm256_or_si256(_mm256_shuffle_epi8(A2, X2), _mm256_shuffle_epi8(B2, Y2)));
    }
    Swap3SSSE3(Src, Dst, Count - Head - Blocks * 32);
}

/// AlignStores (for rows that do not overlap) leads with up to 7 pixels so that the
/// stores fall on 32-byte boundaries; without it the blocks run from the first pixel.
__attribute__((target("avx2"))) void Swap4AVX2(const uint8_t* S, uint8_t* T, uint32_t Count, bool AlignStores) {
    const auto Address = reinterpret_cast<uintptr_t>(T);
    uint32_t Head = AlignStores && Address % 4 == 0 ? static_cast<uint32_t>((32 - Address % 32) % 32 / 4) : 0;
    if (Head > Count) Head = Count;
    Swap4Scalar(S, T, Head);
    S += size_t{Head} * 4;
    T += size_t{Head} * 4;
    const __m256i Shuffle = _mm256_setr_epi8(2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15, 2, 1, 0, 3, 6, 5,
                                             4, 7, 10, 9, 8, 11, 14, 13, 12, 15);
    uint32_t I = Head;
    for (; I + 16 <= Count; I += 16, S += 64, T += 64) {
        const __m256i A = Load32(S);
        const __m256i B = Load32(S + 32);
        Store32(T, _mm256_shuffle_epi8(A, Shuffle));
        Store32(T + 32, _mm256_shuffle_epi8(B, Shuffle));
    }
    Swap4SSSE3(S, T, Count - I);
}

/// v * 0xFF01 >> 24 equals v div 257 for every 16-bit v.
template <bool BigEndian>
__attribute__((target("ssse3"))) inline __m128i Narrow8x16(const uint8_t* P) {
    __m128i V = _mm_loadu_si128(reinterpret_cast<const __m128i*>(P));
    if constexpr (BigEndian) V = _mm_shuffle_epi8(V, _mm_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14));
    return _mm_srli_epi16(_mm_mulhi_epu16(V, _mm_set1_epi16(static_cast<short>(0xFF01))), 8);
}

template <bool BigEndian>
__attribute__((target("avx2"))) inline __m256i Narrow16x16(const uint8_t* P) {
    __m256i V = Load32(P);
    if constexpr (BigEndian)
        V = _mm256_shuffle_epi8(V, _mm256_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14, 1, 0, 3, 2,
                                                    5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14));
    return _mm256_srli_epi16(_mm256_mulhi_epu16(V, _mm256_set1_epi16(static_cast<short>(0xFF01))), 8);
}

template <bool BigEndian>
__attribute__((target("ssse3"))) void Narrow16SSSE3(const uint8_t* S, uint8_t* T, size_t Samples) {
    size_t I = 0;
    for (; I + 16 <= Samples; I += 16, S += 32, T += 16)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(T),
                         _mm_packus_epi16(Narrow8x16<BigEndian>(S), Narrow8x16<BigEndian>(S + 16)));
    Narrow16Scalar<BigEndian>(S, T, Samples - I);
}

/// Shuffle masks that interleave 16 samples of three planes into 48 bytes held in three
/// registers: Masks[Out][Plane] picks the bytes of output register Out taken from that plane.
struct TInterleave3Masks {
    alignas(16) uint8_t Masks[3][3][16];
    constexpr TInterleave3Masks() : Masks{} {
        for (int Out = 0; Out < 3; ++Out)
            for (int I = 0; I < 16; ++I) {
                const int O = Out * 16 + I;
                for (int Plane = 0; Plane < 3; ++Plane)
                    Masks[Out][Plane][I] = O % 3 == Plane ? static_cast<uint8_t>(O / 3) : 0x80;
            }
    }
};
constexpr TInterleave3Masks Interleave3Table;

__attribute__((target("ssse3"))) void Interleave3SSSE3(const uint8_t* P0, const uint8_t* P1, const uint8_t* P2,
                                                       uint8_t* T, uint32_t Count) {
    __m128i M[3][3];
    for (int Out = 0; Out < 3; ++Out)
        for (int Plane = 0; Plane < 3; ++Plane)
            M[Out][Plane] = _mm_load_si128(reinterpret_cast<const __m128i*>(Interleave3Table.Masks[Out][Plane]));
    uint32_t I = 0;
    for (; I + 16 <= Count; I += 16, T += 48) {
        const __m128i A = _mm_loadu_si128(reinterpret_cast<const __m128i*>(P0 + I));
        const __m128i B = _mm_loadu_si128(reinterpret_cast<const __m128i*>(P1 + I));
        const __m128i C = _mm_loadu_si128(reinterpret_cast<const __m128i*>(P2 + I));
        for (int Out = 0; Out < 3; ++Out) {
            const __m128i V = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(A, M[Out][0]), _mm_shuffle_epi8(B, M[Out][1])),
                                           _mm_shuffle_epi8(C, M[Out][2]));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(T + 16 * Out), V);
        }
    }
    Interleave3Scalar(P0 + I, P1 + I, P2 + I, T, Count - I);
}

__attribute__((target("ssse3"))) void Interleave4SSSE3(const uint8_t* P0, const uint8_t* P1, const uint8_t* P2,
                                                       const uint8_t* P3, uint8_t* T, uint32_t Count) {
    uint32_t I = 0;
    for (; I + 16 <= Count; I += 16, T += 64) {
        const __m128i A = _mm_loadu_si128(reinterpret_cast<const __m128i*>(P0 + I));
        const __m128i B = _mm_loadu_si128(reinterpret_cast<const __m128i*>(P1 + I));
        const __m128i C = _mm_loadu_si128(reinterpret_cast<const __m128i*>(P2 + I));
        const __m128i D = _mm_loadu_si128(reinterpret_cast<const __m128i*>(P3 + I));
        const __m128i ABLow = _mm_unpacklo_epi8(A, B), ABHigh = _mm_unpackhi_epi8(A, B);
        const __m128i CDLow = _mm_unpacklo_epi8(C, D), CDHigh = _mm_unpackhi_epi8(C, D);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(T), _mm_unpacklo_epi16(ABLow, CDLow));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(T + 16), _mm_unpackhi_epi16(ABLow, CDLow));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(T + 32), _mm_unpacklo_epi16(ABHigh, CDHigh));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(T + 48), _mm_unpackhi_epi16(ABHigh, CDHigh));
    }
    Interleave4Scalar(P0 + I, P1 + I, P2 + I, P3 + I, T, Count - I);
}

template <bool BigEndian>
__attribute__((target("avx2"))) void Narrow16AVX2(const uint8_t* S, uint8_t* T, size_t Samples) {
    size_t I = 0;
    for (; I + 32 <= Samples; I += 32, S += 64, T += 32) {
        // packus works per 128-bit lane; the permute puts the four quarters back in order.
        const __m256i Packed = _mm256_packus_epi16(Narrow16x16<BigEndian>(S), Narrow16x16<BigEndian>(S + 32));
        Store32(T, _mm256_permute4x64_epi64(Packed, 0xD8));
    }
    Narrow16SSSE3<BigEndian>(S, T, Samples - I);
}
#endif

} // namespace

TSimdLevel SupportedLevel() {
#if defined(QV_HAVE_SSSE3_PATH)
    static const TSimdLevel Result = __builtin_cpu_supports("avx2")    ? TSimdLevel::AVX2
                                     : __builtin_cpu_supports("ssse3") ? TSimdLevel::SSSE3
                                                                       : TSimdLevel::Scalar;
    return Result;
#else
    return TSimdLevel::Scalar;
#endif
}

TSimdLevel ActiveLevel() {
    const auto Cap = static_cast<TSimdLevel>(LevelCap.load(std::memory_order_relaxed));
    const TSimdLevel Supported = SupportedLevel();
    return Cap < Supported ? Cap : Supported;
}

void SetLevelCap(TSimdLevel Cap) { LevelCap.store(static_cast<uint8_t>(Cap), std::memory_order_relaxed); }

void Swap3(const uint8_t* S, uint8_t* T, uint32_t Count) {
#if defined(QV_HAVE_SSSE3_PATH)
    const TSimdLevel Level = ActiveLevel();
    // The wide path reads ahead of what it writes, so it needs rows that do not overlap.
    if (Level == TSimdLevel::AVX2 && Count > 0 && Apart(S, T, size_t{Count} * 3)) {
        Swap3AVX2(S, T, Count);
        return;
    }
    if (Level >= TSimdLevel::SSSE3) {
        Swap3SSSE3(S, T, Count);
        return;
    }
#endif
    Swap3Scalar(S, T, Count);
}

void Swap4(const uint8_t* S, uint8_t* T, uint32_t Count) {
#if defined(QV_HAVE_SSSE3_PATH)
    const TSimdLevel Level = ActiveLevel();
    if (Level == TSimdLevel::AVX2) {
        Swap4AVX2(S, T, Count, S == T || Apart(S, T, size_t{Count} * 4));
        return;
    }
    if (Level == TSimdLevel::SSSE3) {
        Swap4SSSE3(S, T, Count);
        return;
    }
#endif
    Swap4Scalar(S, T, Count);
}

void Narrow16(const uint8_t* S, uint8_t* T, size_t Samples, bool BigEndian) {
#if defined(QV_HAVE_SSSE3_PATH)
    const TSimdLevel Level = ActiveLevel();
    if (Level == TSimdLevel::AVX2) {
        BigEndian ? Narrow16AVX2<true>(S, T, Samples) : Narrow16AVX2<false>(S, T, Samples);
        return;
    }
    if (Level == TSimdLevel::SSSE3) {
        BigEndian ? Narrow16SSSE3<true>(S, T, Samples) : Narrow16SSSE3<false>(S, T, Samples);
        return;
    }
#endif
    BigEndian ? Narrow16Scalar<true>(S, T, Samples) : Narrow16Scalar<false>(S, T, Samples);
}

void Interleave3(const uint8_t* P0, const uint8_t* P1, const uint8_t* P2, uint8_t* T, uint32_t Count) {
#if defined(QV_HAVE_SSSE3_PATH)
    if (ActiveLevel() >= TSimdLevel::SSSE3) {
        Interleave3SSSE3(P0, P1, P2, T, Count);
        return;
    }
#endif
    Interleave3Scalar(P0, P1, P2, T, Count);
}

void Interleave4(const uint8_t* P0, const uint8_t* P1, const uint8_t* P2, const uint8_t* P3, uint8_t* T,
                 uint32_t Count) {
#if defined(QV_HAVE_SSSE3_PATH)
    if (ActiveLevel() >= TSimdLevel::SSSE3) {
        Interleave4SSSE3(P0, P1, P2, P3, T, Count);
        return;
    }
#endif
    Interleave4Scalar(P0, P1, P2, P3, T, Count);
}

} // namespace qv::colorsimd
