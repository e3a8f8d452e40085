#pragma once
// Row loops of the stretch renderer, one scalar and one AVX2 form of each;
// both compute identical values. Internal to the renderer.

#include <cstdint>

#include "display/Pix32.h"

namespace qv {

/// Per-call set-up of a bilinear stretch shared by all rows. Index holds
/// absolute source columns for the scalar rows and columns relative to First
/// for the vector rows, which also use WeightPair, Columns and Pairs.
struct TBilinearPlan {
    const int32_t* Index;
    const uint32_t* Weight;
    const uint32_t* WeightPair;
    int32_t Count;
    int32_t First;
    int32_t Last;
    uint8_t Opacity;
    uint16_t* Columns;
    int16_t* Pairs;
    bool Direct;     ///< no horizontal weights and source columns First, First + 1, ... in order
    bool Prepaired;  ///< column pairs interleaved once per row (enlarging)
};

/// One destination row of the bilinear blend from source rows Row0 and Row1 (weight Wy of Row1).
void BilinearRowScalar(TPixel32* Dst, const TPixel32* Row0, const TPixel32* Row1, uint32_t Wy,
                       const TBilinearPlan& Plan);
void BilinearRowAvx2(TPixel32* Dst, const TPixel32* Row0, const TPixel32* Row1, uint32_t Wy,
                     const TBilinearPlan& Plan);

/// Per-call set-up of a box stretch: the two sample columns per destination
/// column, absolute for the scalar rows and relative to First for the vector
/// rows, which keep the two rows' sums of columns First..Last in Sums.
struct TBoxPlan {
    const int32_t* Index0;
    const int32_t* Index1;
    int32_t Count;
    int32_t First;
    int32_t Last;
    uint16_t* Sums;
};

/// One destination row of the box blend from the two sample rows.
void BoxRowScalar(TPixel32* Dst, const TPixel32* Row0, const TPixel32* Row1, const TBoxPlan& Plan);
void BoxRowAvx2(TPixel32* Dst, const TPixel32* Row0, const TPixel32* Row1, const TBoxPlan& Plan);

} // namespace qv
