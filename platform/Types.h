#pragma once
// Small value types shared by every layer: rectangles and points.

#include <algorithm>
#include <cstdint>

namespace qv {

struct TPoint {
    int32_t X = 0;
    int32_t Y = 0;
    friend bool operator==(const TPoint&, const TPoint&) = default;
};

/// A rectangle with Right and Bottom exclusive.
struct TRect {
    int32_t Left = 0;
    int32_t Top = 0;
    int32_t Right = 0;
    int32_t Bottom = 0;

    int32_t Width() const { return Right - Left; }
    int32_t Height() const { return Bottom - Top; }
    bool IsEmpty() const { return Right <= Left || Bottom <= Top; }
    friend bool operator==(const TRect&, const TRect&) = default;
};

inline TRect Rect(int32_t Left, int32_t Top, int32_t Right, int32_t Bottom) {
    return TRect{Left, Top, Right, Bottom};
}

inline TPoint Point(int32_t X, int32_t Y) { return TPoint{X, Y}; }

/// Intersection of A and B; returns false (and an all-zero rectangle) when it is empty.
inline bool IntersectRect(TRect& Result, const TRect& A, const TRect& B) {
    Result = TRect{std::max(A.Left, B.Left), std::max(A.Top, B.Top), std::min(A.Right, B.Right),
                   std::min(A.Bottom, B.Bottom)};
    if (Result.IsEmpty()) {
        Result = TRect{};
        return false;
    }
    return true;
}

inline TRect OffsetRect(const TRect& R, int32_t DX, int32_t DY) {
    return TRect{R.Left + DX, R.Top + DY, R.Right + DX, R.Bottom + DY};
}

} // namespace qv
