// The viewer's per-paint work: one image view repaint at the zoom levels that
// pick each resampling routine, and the gradients of one menu item.

#include <benchmark/benchmark.h>
#include <jpeglib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

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

/// Writes a W x H colour JPEG of a smooth pattern with libjpeg.
void WriteJpeg(const std::string& Path, int W, int H) {
    jpeg_compress_struct Info{};
    jpeg_error_mgr Errors{};
    Info.err = jpeg_std_error(&Errors);
    jpeg_create_compress(&Info);
    FILE* File = std::fopen(Path.c_str(), "wb");
    jpeg_stdio_dest(&Info, File);
    Info.image_width = static_cast<JDIMENSION>(W);
    Info.image_height = static_cast<JDIMENSION>(H);
    Info.input_components = 3;
    Info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&Info);
    jpeg_set_quality(&Info, 80, TRUE);
    jpeg_start_compress(&Info, TRUE);
    std::vector<JSAMPLE> Row(size_t(W) * 3);
    while (Info.next_scanline < Info.image_height) {
        const int Y = static_cast<int>(Info.next_scanline);
        for (int X = 0; X < W; ++X) {
            Row[size_t(X) * 3] = static_cast<JSAMPLE>(X / 32);
            Row[size_t(X) * 3 + 1] = static_cast<JSAMPLE>(Y / 24);
            Row[size_t(X) * 3 + 2] = static_cast<JSAMPLE>((X + Y) / 56);
        }
        JSAMPROW Rows[1] = {Row.data()};
        jpeg_write_scanlines(&Info, Rows, 1);
    }
    jpeg_finish_compress(&Info);
    jpeg_destroy_compress(&Info);
    std::fclose(File);
}

/// A field of /proc/self/status in kB (VmRSS, VmHWM).
int64_t ProcStatusKB(const std::string& Field) {
    std::ifstream Status("/proc/self/status");
    std::string Line;
    while (std::getline(Status, Line))
        if (Line.compare(0, Field.size() + 1, Field + ":") == 0) return std::stoll(Line.substr(Field.size() + 1));
    return -1;
}

// The viewer's load of an 8000 x 6000 photo: the reader's picture, moved into
// the loading bitmap and on into the view's 32-bit copy. Reports the peak
// memory above the start and its ratio to picture + view copy (aim: <= 1.2).
void BM_LargeJpegLoadPeakMemory(benchmark::State& State) {
    constexpr int W = 8000, H = 6000;
    const std::string Path = (std::filesystem::temp_directory_path() / "quorvia-bench-8000x6000.jpg").string();
    if (!std::filesystem::exists(Path)) WriteJpeg(Path, W, H);
    int64_t PeakKB = 0;
    for (auto _ : State) {
        {
            // Resets the peak resident size, so VmHWM measures this load alone.
            std::ofstream("/proc/self/clear_refs") << "5";
        }
        const int64_t BaseKB = ProcStatusKB("VmRSS");
        TBitmap View;
        {
            TBitmap Loading;
            LoadPictureToBitmap(Loading, Path);
            TakeAs32Bit(View, Loading);
        }
        benchmark::DoNotOptimize(View.ScanLine(0));
        PeakKB = std::max<int64_t>(PeakKB, ProcStatusKB("VmHWM") - BaseKB);
    }
    const double PictureMB = double(W) * H * 3 / 1e6;
    const double ViewMB = double(W) * H * 4 / 1e6;
    State.counters["PeakMB"] = double(PeakKB) * 1024 / 1e6;
    State.counters["PictureMB"] = PictureMB;
    State.counters["ViewMB"] = ViewMB;
    State.counters["PeakRatio"] = double(PeakKB) * 1024 / 1e6 / (PictureMB + ViewMB);
}
BENCHMARK(BM_LargeJpegLoadPeakMemory)->Unit(benchmark::kMillisecond)->Iterations(2);

} // namespace

BENCHMARK_MAIN();
