// The wide row kernels of the 8-bit RGB family against a per-pixel reference,
// at every dispatch level the processor offers, over row lengths that leave
// every kind of remainder and row starts at every alignment.

#include "imaging/ImageColor.h"
#include "imaging/ImageColorSimd.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

using namespace qv;
using colorsimd::TSimdLevel;

namespace {

using Bytes = std::vector<uint8_t>;
using TCS = TColorScheme;

/// Caps the dispatch level for one scope and lifts the cap afterwards.
class TLevelScope {
public:
    explicit TLevelScope(TSimdLevel Level) { colorsimd::SetLevelCap(Level); }
    ~TLevelScope() { colorsimd::SetLevelCap(TSimdLevel::AVX2); }
    TLevelScope(const TLevelScope&) = delete;
    TLevelScope& operator=(const TLevelScope&) = delete;
};

std::vector<TSimdLevel> Levels() {
    std::vector<TSimdLevel> Result{TSimdLevel::Scalar};
    if (colorsimd::SupportedLevel() >= TSimdLevel::SSSE3) Result.push_back(TSimdLevel::SSSE3);
    if (colorsimd::SupportedLevel() >= TSimdLevel::AVX2) Result.push_back(TSimdLevel::AVX2);
    return Result;
}

const char* Name(TSimdLevel Level) {
    switch (Level) {
    case TSimdLevel::Scalar: return "scalar";
    case TSimdLevel::SSSE3: return "ssse3";
    default: return "avx2";
    }
}

Bytes RandomBytes(std::mt19937& Random, size_t Count) {
    Bytes Result(Count);
    for (auto& B : Result) B = static_cast<uint8_t>(Random());
    return Result;
}

struct TCase {
    TCS Source;
    TCS Target;
    uint8_t SourceBits;
    bool BigEndian;
};

int Samples(TCS Scheme) { return Scheme == TCS::RGBA || Scheme == TCS::BGRA ? 4 : 3; }
bool RedFirst(TCS Scheme) { return Scheme == TCS::RGB || Scheme == TCS::RGBA; }

/// What the conversion must give, written per pixel from the definitions:
/// 16-bit samples become v * 255 / 65535, the colour order follows the schemes.
Bytes Reference(const TCase& C, const uint8_t* Source, uint32_t Count) {
    const int N = Samples(C.Source);
    const bool Reverse = RedFirst(C.Source) != RedFirst(C.Target);
    Bytes Out(size_t{Count} * N);
    for (uint32_t I = 0; I < Count; ++I)
        for (int K = 0; K < N; ++K) {
            const int From = Reverse && K != 1 && K != 3 ? 2 - K : K;
            uint32_t V;
            if (C.SourceBits == 8) {
                V = Source[size_t{I} * N + From];
            } else {
                const uint8_t* P = Source + (size_t{I} * N + From) * 2;
                V = (C.BigEndian ? (P[0] << 8) | P[1] : P[0] | (P[1] << 8)) * 255u / 65535u;
            }
            Out[size_t{I} * N + K] = static_cast<uint8_t>(V);
        }
    return Out;
}

/// Converts a row placed SourceShift bytes into an exactly sized buffer (so a
/// sanitizer sees any read past its end) into a target with guard bytes around it.
void CheckRow(const TCase& C, std::mt19937& Random, uint32_t Count, size_t SourceShift, size_t TargetShift,
              const std::string& Where) {
    const size_t RowBytes = size_t{Count} * Samples(C.Source) * (C.SourceBits / 8);
    const Bytes Source = RandomBytes(Random, SourceShift + RowBytes);
    const Bytes Expected = Reference(C, Source.data() + SourceShift, Count);
    constexpr size_t Guard = 40;
    for (TSimdLevel Level : Levels()) {
        TLevelScope Scope(Level);
        TColorManager Cm;
        Cm.SetSourceColorScheme(C.Source);
        Cm.SetTargetColorScheme(C.Target);
        Cm.SetSourceBitsPerSample(C.SourceBits);
        if (C.BigEndian) Cm.SourceOptions.Include(TConversionOption::ByteSwap);
        Bytes Target(TargetShift + Expected.size() + Guard, 0xA5);
        Cm.ConvertLine({Source.data() + SourceShift}, Target.data() + TargetShift, Count, 0xFF);
        const Bytes Row(Target.begin() + static_cast<ptrdiff_t>(TargetShift),
                        Target.begin() + static_cast<ptrdiff_t>(TargetShift + Expected.size()));
        ASSERT_EQ(Row, Expected) << Where << " level " << Name(Level);
        for (size_t I = 0; I < TargetShift; ++I) ASSERT_EQ(Target[I], 0xA5) << Where << " byte before the row";
        for (size_t I = TargetShift + Expected.size(); I < Target.size(); ++I)
            ASSERT_EQ(Target[I], 0xA5) << Where << " byte after the row";
    }
}

const TCase Cases[] = {
    {TCS::RGB, TCS::BGR, 8, false},    {TCS::BGR, TCS::RGB, 8, false},   {TCS::RGBA, TCS::BGRA, 8, false},
    {TCS::BGRA, TCS::RGBA, 8, false},  {TCS::RGB, TCS::RGB, 8, false},   {TCS::RGB, TCS::BGR, 16, false},
    {TCS::RGB, TCS::BGR, 16, true},    {TCS::RGBA, TCS::BGRA, 16, false}, {TCS::RGBA, TCS::BGRA, 16, true},
    {TCS::BGR, TCS::BGR, 16, false},   {TCS::BGRA, TCS::BGRA, 16, true},
};

std::string Describe(const TCase& C, uint32_t Count, size_t SourceShift, size_t TargetShift) {
    return "case " + std::to_string(static_cast<int>(C.Source)) + "->" + std::to_string(static_cast<int>(C.Target)) +
           " bits " + std::to_string(C.SourceBits) + (C.BigEndian ? " swapped" : "") + " count " +
           std::to_string(Count) + " shifts " + std::to_string(SourceShift) + "/" + std::to_string(TargetShift);
}

} // namespace

TEST(ColorSimd, ShortRowsOfEveryLengthMatchTheReference) {
    std::mt19937 Random(7);
    for (const TCase& C : Cases)
        for (uint32_t Count = 1; Count <= 67; ++Count) {
            const size_t SourceShift = Random() % 32;
            const size_t TargetShift = Random() % 32;
            CheckRow(C, Random, Count, SourceShift, TargetShift, Describe(C, Count, SourceShift, TargetShift));
        }
}

TEST(ColorSimd, LongRowsAtEveryTargetAlignment) {
    // The wide kernels lead with a few pixels to align their stores; every start modulo 32 is one such lead.
    std::mt19937 Random(11);
    for (const TCase& C : Cases)
        for (size_t TargetShift = 0; TargetShift < 32; ++TargetShift) {
            const size_t SourceShift = Random() % 32;
            CheckRow(C, Random, 4099, SourceShift, TargetShift, Describe(C, 4099, SourceShift, TargetShift));
        }
}

TEST(ColorSimd, OrderSwapInPlace) {
    std::mt19937 Random(3);
    for (TCS Source : {TCS::RGB, TCS::RGBA})
        for (uint32_t Count : {1u, 15u, 16u, 17u, 33u, 66u, 67u, 1000u, 4099u}) {
            const TCS Target = Source == TCS::RGB ? TCS::BGR : TCS::BGRA;
            const Bytes Original = RandomBytes(Random, size_t{Count} * Samples(Source));
            const Bytes Expected = Reference({Source, Target, 8, false}, Original.data(), Count);
            for (TSimdLevel Level : Levels()) {
                TLevelScope Scope(Level);
                TColorManager Cm;
                Cm.SetSourceColorScheme(Source);
                Cm.SetTargetColorScheme(Target);
                Bytes Row = Original;
                Cm.ConvertLine({Row.data()}, Row.data(), Count, 0xFF);
                ASSERT_EQ(Row, Expected) << "count " << Count << " level " << Name(Level);
            }
        }
}

TEST(ColorSimd, NarrowingIsExactForEverySixteenBitValue) {
    Bytes Little(65536 * 2), Big(65536 * 2);
    for (uint32_t V = 0; V < 65536; ++V) {
        Little[2 * V] = Big[2 * V + 1] = static_cast<uint8_t>(V);
        Little[2 * V + 1] = Big[2 * V] = static_cast<uint8_t>(V >> 8);
    }
    for (TSimdLevel Level : Levels()) {
        TLevelScope Scope(Level);
        Bytes FromLittle(65536), FromBig(65536);
        colorsimd::Narrow16(Little.data(), FromLittle.data(), 65536, false);
        colorsimd::Narrow16(Big.data(), FromBig.data(), 65536, true);
        for (uint32_t V = 0; V < 65536; ++V) {
            ASSERT_EQ(FromLittle[V], V * 255 / 65535) << "value " << V << " level " << Name(Level);
            ASSERT_EQ(FromBig[V], V * 255 / 65535) << "value " << V << " level " << Name(Level);
        }
    }
}

TEST(ColorSimd, LevelCapNeverExceedsTheProcessor) {
    TLevelScope Scope(TSimdLevel::Scalar);
    EXPECT_EQ(colorsimd::ActiveLevel(), TSimdLevel::Scalar);
    colorsimd::SetLevelCap(TSimdLevel::AVX2);
    EXPECT_EQ(colorsimd::ActiveLevel(), colorsimd::SupportedLevel());
}

TEST(ColorSimd, PlanarRowsInterleaveInEitherOrder) {
    // Each plane sits in a buffer of exactly its size, so a sanitizer sees any read past a plane's end.
    std::mt19937 Random(5);
    for (TCS Source : {TCS::RGB, TCS::RGBA})
        for (TCS Target : {TCS::BGR, TCS::RGB, TCS::BGRA, TCS::RGBA}) {
            if (Samples(Source) != Samples(Target)) continue;
            const int N = Samples(Source);
            for (uint32_t Count : {1u, 15u, 16u, 17u, 31u, 32u, 33u, 67u, 4099u}) {
                std::vector<Bytes> Planes;
                for (int K = 0; K < N; ++K) Planes.push_back(RandomBytes(Random, Count));
                Bytes Interleaved(size_t{Count} * N);
                for (uint32_t I = 0; I < Count; ++I)
                    for (int K = 0; K < N; ++K) Interleaved[size_t{I} * N + K] = Planes[K][I];
                const Bytes Expected = Reference({Source, Target, 8, false}, Interleaved.data(), Count);
                for (TSimdLevel Level : Levels()) {
                    TLevelScope Scope(Level);
                    TColorManager Cm;
                    Cm.SetSourceColorScheme(Source);
                    Cm.SetTargetColorScheme(Target);
                    Bytes Row(Expected.size());
                    std::vector<std::span<const uint8_t>> Sources(Planes.begin(), Planes.end());
                    Cm.ConvertLineChecked(Sources, Row, Count, 0xFF);
                    ASSERT_EQ(Row, Expected) << "count " << Count << " level " << Name(Level) << " planes " << N
                                             << " target " << static_cast<int>(Target);
                }
            }
        }
}
