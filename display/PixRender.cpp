#include "display/PixRender.h"

#include <algorithm>
#include <vector>

#include "display/PixRenderRows.h"
#include "display/PixSimd.h"
#include "platform/Exceptions.h"

namespace qv {

namespace {

constexpr int64_t FixedOne = 65536;

// Step between the end points of a span of Extent destination pixels over
// SourceSize source pixels: the first pixel samples 0, the last SourceSize - 1
// exactly or just short of it.
int64_t StretchStep(int64_t SourceSize, int64_t Extent) {
    if (Extent == 1 || Extent == -1) return 0;
    return (SourceSize - 1) * FixedOne / (Extent > 0 ? Extent - 1 : Extent + 1);
}

// Scratch tables reused from call to call, so painting does not allocate per frame.
struct TScratch {
    std::vector<int32_t> Index0;
    std::vector<int32_t> Index1;
    std::vector<uint32_t> Weight;
    std::vector<uint32_t> WeightPair;
    std::vector<uint16_t> Columns;
    std::vector<int16_t> Pairs;
};

TScratch& Scratch() {
    thread_local TScratch Instance;
    return Instance;
}

TPixel32* Row(const TSurface& Surface, int64_t Y) { return SurfaceScanline(Surface, static_cast<int32_t>(Y)); }

} // namespace

bool ComputeStretchClip(const TSurface& Dest, const TSurface& Source, const TRect& R, TStretchClip& Clip) {
    int64_t L = R.Left, T = R.Top, Rt = R.Right, B = R.Bottom;
    if (T == B || L == Rt) return false;
    // An empty source has nothing to sample.
    if (Source.Width <= 0 || Source.Height <= 0 || SurfaceIsEmpty(Source)) return false;
    TStretchClip C;
    C.YStep = StretchStep(Source.Height, B - T);
    C.XStep = StretchStep(Source.Width, Rt - L);
    if (B < T) {
        C.YStart = (Source.Height - 1) * FixedOne;
        std::swap(T, B);
    }
    if (Rt < L) {
        C.XStart = (Source.Width - 1) * FixedOne;
        std::swap(L, Rt);
    }
    // Visibility is decided before the start is advanced, so the advance never
    // runs past the source for rectangles that lie entirely outside.
    const int64_t YFirst = std::max<int64_t>(T, 0);
    const int64_t YEnd = std::min<int64_t>(B, Dest.Height);
    if (YEnd - YFirst <= 0) return false;
    const int64_t XFirst = std::max<int64_t>(L, 0);
    const int64_t XEnd = std::min<int64_t>(Rt, Dest.Width);
    if (XEnd - XFirst <= 0) return false;
    if (T < 0) C.YStart += C.YStep * -T;
    if (L < 0) C.XStart += C.XStep * -L;
    C.YFirst = static_cast<int32_t>(YFirst);
    C.YEnd = static_cast<int32_t>(YEnd);
    C.XFirst = static_cast<int32_t>(XFirst);
    C.XEnd = static_cast<int32_t>(XEnd);
    Clip = C;
    return true;
}

void StretchBlendBilinear(const TSurface& Dest, const TSurface& Source, const TRect& R, uint8_t Opacity) {
    TStretchClip Clip;
    if (!ComputeStretchClip(Dest, Source, R, Clip) || Opacity == 0) return;
    const int32_t Count = Clip.XEnd - Clip.XFirst;
    TScratch& S = Scratch();
    S.Index0.resize(Count);
    S.Weight.resize(Count);
    // Column taps once per call: the left source column and its 8-bit weight.
    // A zero weight never reads the right neighbour, which keeps the last
    // column's taps inside the source.
    int32_t First = Source.Width - 1, Last = 0;
    for (int32_t K = 0; K < Count; ++K) {
        const int64_t Fx = Clip.XStart + Clip.XStep * K;
        int32_t I = static_cast<int32_t>(Fx >> 16);
        uint32_t Wx = static_cast<uint32_t>(Fx & 0xFFFF) >> 8;
        if (I >= Source.Width - 1) {
            I = Source.Width - 1;
            Wx = 0;
        }
        S.Index0[K] = I;
        S.Weight[K] = Wx;
        First = std::min(First, I);
        Last = std::max(Last, Wx ? I + 1 : I);
    }
    const bool Vector = ActiveSimdLevel() == TSimdLevel::AVX2;
    TBilinearPlan Plan{S.Index0.data(), S.Weight.data(), nullptr, Count, First, Last, Opacity, nullptr, nullptr,
                       false, false};
    if (Vector) {
        // Taps relative to First, weight pairs for the multiply-add, and room
        // for one vertically blended row with a spare column at the end.
        const int32_t Span = Last - First + 1;
        S.WeightPair.resize(static_cast<size_t>(Count));
        for (int32_t K = 0; K < Count; ++K) {
            S.Index0[K] -= First;
            S.WeightPair[K] = (256 - S.Weight[K]) | S.Weight[K] << 16;
        }
        Plan.Direct = true;
        for (int32_t K = 0; K < Count && Plan.Direct; ++K) Plan.Direct = S.Index0[K] == K && S.Weight[K] == 0;
        Plan.Prepaired = Span <= Count;
        S.Columns.resize(static_cast<size_t>(Span + 1) * 4);
        S.Pairs.resize(static_cast<size_t>(Span + 1) * 8);
        Plan.WeightPair = S.WeightPair.data();
        Plan.Columns = S.Columns.data();
        Plan.Pairs = S.Pairs.data();
    }
    for (int32_t Y = Clip.YFirst; Y < Clip.YEnd; ++Y) {
        const int64_t Fy = Clip.YStart + Clip.YStep * (Y - Clip.YFirst);
        int64_t R0 = Fy >> 16;
        uint32_t Wy = static_cast<uint32_t>(Fy & 0xFFFF) >> 8;
        if (R0 >= Source.Height - 1) {
            R0 = Source.Height - 1;
            Wy = 0;
        }
        const TPixel32* Row0 = Row(Source, R0);
        const TPixel32* Row1 = Wy ? Row(Source, R0 + 1) : Row0;
        TPixel32* Dst = Row(Dest, Y) + Clip.XFirst;
        if (Vector)
            BilinearRowAvx2(Dst, Row0, Row1, Wy, Plan);
        else
            BilinearRowScalar(Dst, Row0, Row1, Wy, Plan);
    }
}

void StretchBlendBox(const TSurface& Dest, const TSurface& Source, const TRect& R) {
    TStretchClip Clip;
    if (!ComputeStretchClip(Dest, Source, R, Clip)) return;
    const int32_t Count = Clip.XEnd - Clip.XFirst;
    TScratch& S = Scratch();
    S.Index0.resize(Count);
    S.Index1.resize(Count);
    // The second sample lies half a step further on; mirrored drawing steps
    // backwards, and a second sample before the first column is clamped to it.
    const int64_t HalfX = Clip.XStep / 2, HalfY = Clip.YStep / 2;
    for (int32_t K = 0; K < Count; ++K) {
        const int64_t Fx = Clip.XStart + Clip.XStep * K;
        S.Index0[K] = static_cast<int32_t>(std::min<int64_t>(Fx >> 16, Source.Width - 1));
        S.Index1[K] = static_cast<int32_t>(std::clamp<int64_t>((Fx + HalfX) >> 16, 0, Source.Width - 1));
    }
    const bool Vector = ActiveSimdLevel() == TSimdLevel::AVX2;
    TBoxPlan Plan{S.Index0.data(), S.Index1.data(), Count, 0, 0, nullptr};
    if (Vector) {
        // The vector rows sum the two sample rows once per column, from the
        // first to the last column any tap reads, and index relative to it.
        const auto [Min0, Max0] = std::minmax_element(S.Index0.begin(), S.Index0.end());
        const auto [Min1, Max1] = std::minmax_element(S.Index1.begin(), S.Index1.end());
        Plan.First = std::min(*Min0, *Min1);
        Plan.Last = std::max(*Max0, *Max1);
        for (int32_t K = 0; K < Count; ++K) {
            S.Index0[K] -= Plan.First;
            S.Index1[K] -= Plan.First;
        }
        S.Columns.resize(static_cast<size_t>(Plan.Last - Plan.First + 1) * 4);
        Plan.Sums = S.Columns.data();
    }
    for (int32_t Y = Clip.YFirst; Y < Clip.YEnd; ++Y) {
        const int64_t Fy = Clip.YStart + Clip.YStep * (Y - Clip.YFirst);
        const TPixel32* Row0 = Row(Source, std::min<int64_t>(Fy >> 16, Source.Height - 1));
        const TPixel32* Row1 = Row(Source, std::clamp<int64_t>((Fy + HalfY) >> 16, 0, Source.Height - 1));
        TPixel32* Dst = Row(Dest, Y) + Clip.XFirst;
        if (Vector)
            BoxRowAvx2(Dst, Row0, Row1, Plan);
        else
            BoxRowScalar(Dst, Row0, Row1, Plan);
    }
}

void StretchCopyNearest(const TSurface& Dest, const TSurface& Source, const TRect& R) {
    TStretchClip Clip;
    if (!ComputeStretchClip(Dest, Source, R, Clip)) return;
    const int32_t Count = Clip.XEnd - Clip.XFirst;
    TScratch& S = Scratch();
    S.Index0.resize(Count);
    for (int32_t K = 0; K < Count; ++K)
        S.Index0[K] = static_cast<int32_t>(std::min<int64_t>((Clip.XStart + Clip.XStep * K) >> 16, Source.Width - 1));
    for (int32_t Y = Clip.YFirst; Y < Clip.YEnd; ++Y) {
        const int64_t Fy = Clip.YStart + Clip.YStep * (Y - Clip.YFirst);
        const TPixel32* Src = Row(Source, std::min<int64_t>(Fy >> 16, Source.Height - 1));
        TPixel32* Dst = Row(Dest, Y) + Clip.XFirst;
        for (int32_t K = 0; K < Count; ++K) Dst[K] = Src[S.Index0[K]];
    }
}

void FillSurfaceRect(const TSurface& Surface, const TRect& R, TPixel32 Pixel) {
    QV_ASSERT(R.Left >= 0 && R.Top >= 0 && R.Right <= Surface.Width && R.Bottom <= Surface.Height,
              "Assertion failure");
    if (R.Right <= R.Left) return;
    for (int32_t Y = R.Top; Y < R.Bottom; ++Y) std::fill_n(SurfaceScanline(Surface, Y) + R.Left, R.Right - R.Left, Pixel);
}

} // namespace qv
