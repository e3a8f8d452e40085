#pragma once
// Row kernels of the colour manager's 8-bit RGB family, with run-time choice
// among a scalar loop, SSSE3 and AVX2. Every level produces the same bytes.

#include <cstddef>
#include <cstdint>

namespace qv::colorsimd {

enum class TSimdLevel : uint8_t { Scalar, SSSE3, AVX2 };

/// The widest level this processor runs.
TSimdLevel SupportedLevel();
/// The level the kernels use: the supported one unless capped by SetLevelCap.
TSimdLevel ActiveLevel();
/// Caps the level for comparisons between code paths (never raises it above
/// the supported level); process-wide, not thread-safe against running kernels.
void SetLevelCap(TSimdLevel Cap);

/// Reverses the first and third byte of Count 3-byte pixels. Source and target
/// must either be the same row or not overlap.
void Swap3(const uint8_t* Source, uint8_t* Target, uint32_t Count);
/// Reverses the first and third byte of Count 4-byte pixels, keeping the fourth;
/// same overlap rule as Swap3.
void Swap4(const uint8_t* Source, uint8_t* Target, uint32_t Count);
/// Narrows Samples 16-bit samples (least significant byte first, or most
/// significant first with BigEndian) to v div 257 each. Target may equal Source
/// (it never runs ahead of the reads) but must not otherwise overlap it.
void Narrow16(const uint8_t* Source, uint8_t* Target, size_t Samples, bool BigEndian);

/// Interleaves Count samples of three planes into 3-byte pixels (P0 first, P2 last).
/// The planes must not overlap the target.
void Interleave3(const uint8_t* P0, const uint8_t* P1, const uint8_t* P2, uint8_t* Target, uint32_t Count);
/// Interleaves Count samples of four planes into 4-byte pixels; same rule as Interleave3.
void Interleave4(const uint8_t* P0, const uint8_t* P1, const uint8_t* P2, const uint8_t* P3, uint8_t* Target,
                 uint32_t Count);

} // namespace qv::colorsimd
