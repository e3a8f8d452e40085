#pragma once
// Choice of the vector instruction set used by the pixel loops. Every level
// computes identical values; the choice only changes speed.

#include <cstdint>

namespace qv {

enum class TSimdLevel : uint8_t { Scalar, AVX2 };

/// The best level this processor supports.
TSimdLevel SupportedSimdLevel();

/// The level the pixel loops use now (the supported one unless changed).
TSimdLevel ActiveSimdLevel();

/// Selects the level the pixel loops use, limited to what the processor
/// supports; lets tests and benchmarks compare the paths.
void SetSimdLevel(TSimdLevel Level);

} // namespace qv
