#include "display/ImageViewPaint.h"

#include <gtest/gtest.h>

using namespace qv;

namespace {

/// A 24-bit picture of one colour.
std::unique_ptr<TBitmap> SolidPicture(int W, int H, TPixel32 Colour, TPixelFormat Format = pf24bit) {
    auto B = New32BitBitmap(W, H);
    for (int Y = 0; Y < H; ++Y)
        for (int X = 0; X < W; ++X) reinterpret_cast<TPixel32*>(B->ScanLine(Y))[X] = Colour;
    if (Format != pf32bit) B->SetPixelFormat(Format);
    return B;
}

/// The bounding box of the pixels that differ from Background.
TRect PaintedBounds(const TSurface& S, TPixel32 Background) {
    TRect R{S.Width, S.Height, 0, 0};
    for (int Y = 0; Y < S.Height; ++Y)
        for (int X = 0; X < S.Width; ++X)
            if (SurfaceScanline(S, Y)[X] != Background) {
                R.Left = std::min(R.Left, X);
                R.Top = std::min(R.Top, Y);
                R.Right = std::max(R.Right, X + 1);
                R.Bottom = std::max(R.Bottom, Y + 1);
            }
    return R;
}

constexpr TPixel32 White = MakePixel(255, 255, 255, 255);
constexpr TPixel32 Black = MakePixel(0, 0, 0, 255);

} // namespace

TEST(ImageViewPaint, CentresAPictureThatFitsAndForgetsItsOffset) {
    TOwnedSurface View(400, 300);
    auto Picture = SolidPicture(200, 100, Black);
    TPoint Offset{37, -12};
    PaintImageView(View, *Picture, 100, ivAuto, clWhite, Offset);
    EXPECT_EQ(PaintedBounds(View, White), Rect(100, 100, 300, 200));
    EXPECT_EQ(Offset, Point(0, 0));
    EXPECT_EQ(Picture->PixelFormat(), pf32bit);  // brought to 32 bits for painting
}

TEST(ImageViewPaint, PanLimitsBringTheEdgeExactlyToTheViewEdge) {
    // 200 x 100 at 500 % is 1000 x 500 in a 400 x 300 view: 300 and 100 pixels of play.
    EXPECT_EQ(ClampViewOffset(Point(5000, -5000), 1000, 500, 400, 300), Point(300, -100));
    EXPECT_EQ(ClampViewOffset(Point(-301, 99), 1000, 500, 400, 300), Point(-300, 99));
    EXPECT_EQ(ClampViewOffset(Point(50, 50), 400, 300, 400, 300), Point(0, 0));  // exactly fits
    // Odd excess: both limits truncate toward zero.
    EXPECT_EQ(ClampViewOffset(Point(-9, 9), 405, 300, 400, 300), Point(-2, 0));

    TOwnedSurface View(400, 300);
    auto Picture = SolidPicture(200, 100, Black);
    TPoint Offset{10000, 10000};
    PaintImageView(View, *Picture, 500, ivSubsample, clWhite, Offset);
    EXPECT_EQ(Offset, Point(300, 100));
    EXPECT_EQ(ImageViewDestRect(200, 100, 500, Offset, 400, 300), Rect(0, 0, 1000, 500));
}

TEST(ImageViewPaint, ModeChoosesTheResamplingRoutine) {
    EXPECT_FALSE(ImageViewUsesBilinear(ivSubsample, 500));
    EXPECT_TRUE(ImageViewUsesBilinear(ivLinear, 25));
    EXPECT_FALSE(ImageViewUsesBilinear(ivAuto, 100));
    EXPECT_TRUE(ImageViewUsesBilinear(ivAuto, 101));

    // Seen in the pixels: bilinear blends an opaque white source to 253 over
    // black, the box routine copies it exactly.
    auto Picture = SolidPicture(10, 10, White);
    for (const auto& [Mode, Scale, Expected] :
         {std::tuple{ivAuto, 100, 255}, std::tuple{ivAuto, 101, 253}, std::tuple{ivLinear, 100, 253},
          std::tuple{ivSubsample, 300, 255}}) {
        TOwnedSurface View(40, 40);
        TPoint Offset;
        PaintImageView(View, *Picture, Scale, Mode, clBlack, Offset);
        EXPECT_EQ(PixelRed(SurfaceScanline(View, 20)[20]), Expected) << int(Mode) << " " << Scale;
    }
}

TEST(ImageViewPaint, AlphaDecidesWhatShowsOfA32BitPicture) {
    TOwnedSurface View(20, 20);
    auto Clear = SolidPicture(10, 10, MakePixel(255, 0, 0, 0), pf32bit);
    TPoint Offset;
    PaintImageView(View, *Clear, 100, ivAuto, RGB(0, 128, 0), Offset);
    EXPECT_EQ(PaintedBounds(View, MakePixel(0, 128, 0, 255)), Rect(20, 20, 0, 0));  // nothing but background
    EXPECT_EQ(SurfaceScanline(View, 10)[10], MakePixel(0, 128, 0, 255));
}

TEST(ImageViewPaint, EmptyPictureLeavesTheBackground) {
    TOwnedSurface View(7, 5);
    TBitmap Empty;
    TPoint Offset{3, 3};
    PaintImageView(View, Empty, 250, ivAuto, RGB(1, 2, 3), Offset);
    EXPECT_EQ(PaintedBounds(View, MakePixel(1, 2, 3, 255)), Rect(7, 5, 0, 0));
}

TEST(ImageViewPaint, FrameCoversTheDevicePixelsAtFractionalRatios) {
    // A view at logical x = 7, 101 wide, on a 1.5 screen covers device pixels
    // 11 .. 161: 151 of them, one fewer than 101 x 1.5 rounded.
    const TDeviceSpan X = DeviceSpan(7, 101, 1.5);
    EXPECT_EQ(X.First, 11);
    EXPECT_EQ(X.Count, 151);
    const TDeviceSpan Y = DeviceSpan(3, 40, 1.5);
    EXPECT_EQ(Y.First, 5);
    EXPECT_EQ(Y.Count, 60);
    EXPECT_EQ(DeviceSpan(10, 20, 2.0).Count, 40);

    for (const double Ratio : {1.0, 1.25, 1.5, 2.0}) {
        const TDeviceSpan W = DeviceSpan(7, 101, Ratio);
        const TDeviceSpan H = DeviceSpan(3, 40, Ratio);
        TOwnedSurface View(W.Count, H.Count);
        TBitmap Empty;
        TPoint Offset{};
        PaintFramedImageView(View.Surface(), Empty, 100, ivAuto, RGB(128, 128, 128), Offset);
        const TSurface& S = View.Surface();
        const TPixel32 Dark = MakePixel(0, 0, 0, 255);
        const TPixel32 Light = MakePixel(255, 255, 255, 255);
        EXPECT_EQ(SurfaceScanline(S, 0)[0], Dark) << Ratio;
        EXPECT_EQ(SurfaceScanline(S, H.Count - 1)[W.Count / 2], Light) << Ratio << ": bottom edge";
        EXPECT_EQ(SurfaceScanline(S, H.Count / 2)[W.Count - 1], Light) << Ratio << ": right edge";
        EXPECT_EQ(SurfaceScanline(S, 1)[1], MakePixel(128, 128, 128, 255)) << Ratio;
    }
}
