#include "display/PixSimd.h"

#include <atomic>

namespace qv {

namespace {

TSimdLevel DetectSimdLevel() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return TSimdLevel::AVX2;
#endif
    return TSimdLevel::Scalar;
}

std::atomic<TSimdLevel>& ActiveLevel() {
    static std::atomic<TSimdLevel> Level{SupportedSimdLevel()};
    return Level;
}

} // namespace

TSimdLevel SupportedSimdLevel() {
    static const TSimdLevel Level = DetectSimdLevel();
    return Level;
}

TSimdLevel ActiveSimdLevel() { return ActiveLevel().load(std::memory_order_relaxed); }

void SetSimdLevel(TSimdLevel Level) {
    ActiveLevel().store(Level <= SupportedSimdLevel() ? Level : SupportedSimdLevel(), std::memory_order_relaxed);
}

} // namespace qv
