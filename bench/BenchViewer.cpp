// The viewer's per-paint work: one image view repaint at the zoom levels that
// pick each resampling routine, and the gradients of one menu item.

#include <benchmark/benchmark.h>

#include "app/MyGUtils.h"
#include "display/ImageViewPaint.h"

using namespace qv;

namespace {

/// A canvas that takes the drawing and throws it away, so only the painter's own work is timed.
class TNullCanvas : public TCanvas {
public:
    void SetBrushColor(TColor) override {}
    void SetBrushStyle(TBrushStyle) override {}
    void SetPenColor(TColor) override {}
    void SetFontColor(TColor) override {}
    int TextWidth(const std::string& Text) override { return 6 * static_cast<int>(Text.size()); }
    int TextHeight(const std::string&) override { return 13; }
    void FillRect(const TRect&) override {}
    void FrameRect(const TRect&) override {}
    void Ellipse(const TRect&) override {}
    void DrawText(const TRect&, const std::string&, TTextAlign) override {}
    void Draw(int, int, const TBitmap& Bitmap) override { benchmark::DoNotOptimize(Bitmap.ScanLine(0)); }
};

std::unique_ptr<TBitmap> Picture(int W, int H) {
    auto B = New32BitBitmap(W, H);
    for (int Y = 0; Y < H; ++Y) {
        auto* Row = reinterpret_cast<TPixel32*>(B->ScanLine(Y));
        for (int X = 0; X < W; ++X)
            Row[X] = MakePixel(static_cast<uint8_t>(X), static_cast<uint8_t>(Y), static_cast<uint8_t>(X + Y), 255);
    }
    return B;
}

// A full-HD view showing a 1024 x 768 picture; the argument is the scale.
void BM_PaintImageView(benchmark::State& State) {
    auto Source = Picture(1024, 768);
    TOwnedSurface View(1918, 1078);
    const auto Scale = static_cast<int32_t>(State.range(0));
    for (auto _ : State) {
        TPoint Offset;
        PaintImageView(View, *Source, Scale, ivAuto, clWhite, Offset);
        benchmark::ClobberMemory();
    }
    State.SetItemsProcessed(State.iterations() * int64_t{1918} * 1078);
}
BENCHMARK(BM_PaintImageView)->Arg(25)->Arg(100)->Arg(250)->Arg(500)->Unit(benchmark::kMillisecond);

void BM_DrawMenuItem(benchmark::State& State) {
    TNullCanvas Canvas;
    TOwnerDrawState Selected;
    Selected.Selected = State.range(0) != 0;
    const TMenuItemInfo Item{"Linear Zoom In", "PgDown", "", -1, nullptr, false};
    for (auto _ : State) DrawMenuItem(Item, Canvas, Rect(0, 0, 180, 20), Selected);
}
BENCHMARK(BM_DrawMenuItem)->Arg(0)->Arg(1);

} // namespace

BENCHMARK_MAIN();
