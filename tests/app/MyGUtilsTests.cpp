#include "app/MyGUtils.h"

#include <gtest/gtest.h>

#include "RecordingCanvas.h"
#include "app/Glyphs.h"
#include "display/Pix32.h"

using namespace qv;
using qvtest::TCanvasOp;
using qvtest::TRecordingCanvas;
using TKind = TCanvasOp::TKind;

namespace {

std::unique_ptr<TBitmap> ClearBitmap(int W, int H) {
    auto B = New32BitBitmap(W, H);
    for (int Y = 0; Y < H; ++Y)
        for (int X = 0; X < W; ++X) reinterpret_cast<TPixel32*>(B->ScanLine(Y))[X] = 0;
    return B;
}

TPixel32 PixelOf(TColor C) { return ColorToPixel(C); }

/// An image list of one solid red glyph, so the enabled and disabled looks are told apart.
TImageList RedGlyphList() {
    TImageList List(16, 16);
    auto Glyph = New32BitBitmap(16, 16);
    for (int Y = 0; Y < 16; ++Y)
        for (int X = 0; X < 16; ++X) reinterpret_cast<TPixel32*>(Glyph->ScanLine(Y))[X] = MakePixel(255, 0, 0, 255);
    List.Add(*Glyph);
    return List;
}

} // namespace

TEST(ColorRoutines, AdjustClampsEachChannelAndResolvesSystemColours) {
    EXPECT_EQ(AdjustColor(clWhite, -128), RGB(127, 127, 127));
    EXPECT_EQ(AdjustColor(clBlack, 128), RGB(128, 128, 128));
    EXPECT_EQ(AdjustColor(RGB(10, 200, 250), 20), RGB(30, 220, 255));
    EXPECT_EQ(AdjustColor(RGB(10, 200, 250), -20), RGB(0, 180, 230));
    // A system colour works on its RGB value and yields a plain RGB value.
    SetSysColor(COLOR_WINDOW, RGB(200, 100, 50));
    EXPECT_EQ(AdjustColor(clWindow, -128), RGB(72, 0, 0));
    SetSysColor(COLOR_WINDOW, RGB(255, 255, 255));
    EXPECT_EQ(LightColor(RGB(100, 150, 200)), RGB(228, 255, 255));
    EXPECT_EQ(ShadowColor(RGB(100, 150, 200)), RGB(36, 86, 136));
    EXPECT_EQ(DarkColor(RGB(100, 150, 200)), RGB(0, 22, 72));
}

TEST(ColorRoutines, AverageTruncatesPerChannel) {
    EXPECT_EQ(AverageColor(RGB(255, 0, 0), RGB(0, 0, 255)), RGB(127, 0, 127));
    EXPECT_EQ(AverageColor(clWhite, clWindow), RGB(255, 255, 255));
    EXPECT_EQ(GrowRect(Rect(10, 20, 30, 40), -1, 2), Rect(11, 18, 29, 42));
}

TEST(Gradients, RectanglesRunFromFirstToSecondColourAlongTheirAxis) {
    auto B = ClearBitmap(4, 3);
    const std::vector<TTriVertex> V{MakeVertex(0, 0, clBlack), MakeVertex(4, 3, clWhite)};
    GradientFillRects(*B, Point(0, 0), V, {{0, 1}}, false);
    for (int X = 0; X < 4; ++X) {
        const uint8_t Expected = static_cast<uint8_t>((0xFF00 * X / 4) >> 8);  // 0, 63, 127, 191
        EXPECT_EQ(B->PixelBGRA(X, 2), MakePixel(Expected, Expected, Expected, 255)) << X;
    }
    GradientFillRects(*B, Point(0, 0), V, {{0, 1}}, true);
    EXPECT_EQ(B->PixelBGRA(3, 0), MakePixel(0, 0, 0, 255));
    EXPECT_EQ(B->PixelBGRA(3, 2), MakePixel(170, 170, 170, 255));
    // Missing vertices and rectangles off the bitmap are skipped, not followed.
    GradientFillRects(*B, Point(0, 0), V, {{0, 7}}, false);
    GradientFillRects(*B, Point(100, 100), V, {{0, 1}}, false);
}

TEST(Gradients, TwoTrianglesOfAQuadCoverEveryPixelExactlyOnce) {
    for (const TRect R : {Rect(0, 0, 20, 20), Rect(0, 0, 7, 5), Rect(0, 0, 3, 11), Rect(0, 0, 1, 1)}) {
        const std::vector<TTriVertex> V{MakeVertex(R.Left, R.Top, clRed), MakeVertex(R.Right, R.Top, clLime),
                                        MakeVertex(R.Left, R.Bottom, clBlue), MakeVertex(R.Right, R.Bottom, clWhite)};
        auto First = ClearBitmap(R.Width(), R.Height());
        auto Second = ClearBitmap(R.Width(), R.Height());
        GradientFillTriangles(*First, Point(0, 0), V, {{0, 1, 2}});
        GradientFillTriangles(*Second, Point(0, 0), V, {{2, 1, 3}});
        for (int Y = 0; Y < R.Height(); ++Y)
            for (int X = 0; X < R.Width(); ++X) {
                const bool InFirst = PixelAlpha(First->PixelBGRA(X, Y)) == 255;
                const bool InSecond = PixelAlpha(Second->PixelBGRA(X, Y)) == 255;
                EXPECT_NE(InFirst, InSecond) << R.Width() << "x" << R.Height() << " at " << X << "," << Y;
            }
    }
}

TEST(Gradients, TriangleColoursFollowTheCornersAndClipToTheBitmap) {
    const std::vector<TTriVertex> V{MakeVertex(0, 0, clRed), MakeVertex(64, 0, clRed), MakeVertex(0, 64, clBlue)};
    auto B = ClearBitmap(64, 64);
    GradientFillTriangles(*B, Point(0, 0), V, {{0, 1, 2}});
    const TPixel32 NearRed = B->PixelBGRA(0, 0);
    EXPECT_GE(PixelRed(NearRed), 250);
    EXPECT_LE(PixelBlue(NearRed), 5);
    const TPixel32 NearBlue = B->PixelBGRA(0, 62);
    EXPECT_GE(PixelBlue(NearBlue), 240);
    EXPECT_EQ(PixelAlpha(B->PixelBGRA(63, 63)), 0);  // outside the triangle
    // A triangle reaching far outside a small bitmap fills only what lies on it.
    auto Small = ClearBitmap(8, 8);
    GradientFillTriangles(*Small, Point(-1000000, -5), {MakeVertex(-2000000, -2000000, clRed),
                                                        MakeVertex(2000000, -2000000, clRed),
                                                        MakeVertex(0, 2000000, clRed)},
                          {{0, 1, 2}});
    EXPECT_EQ(Small->PixelBGRA(7, 7), PixelOf(clRed));
}

TEST(Gradients, FillGradientKindsPlaceTheirColours) {
    TRecordingCanvas Canvas;
    const TRect R = Rect(10, 20, 60, 40);
    const TColor A = RGB(200, 0, 0), B = RGB(0, 0, 100);
    FillGradient(Canvas, R, A, B, TGradientKind::Horizontal);
    FillGradient(Canvas, R, A, B, TGradientKind::Vertical);
    FillGradient(Canvas, R, A, B, TGradientKind::DiagonalDown);
    FillGradient(Canvas, R, A, B, TGradientKind::DiagonalUp);
    FillGradient(Canvas, Rect(5, 5, 5, 9), A, B, TGradientKind::Horizontal);  // empty: nothing
    ASSERT_EQ(Canvas.Ops.size(), 4u);
    for (const TCanvasOp& Op : Canvas.Ops) EXPECT_EQ(Op.R, R);
    EXPECT_EQ(Canvas.Ops[0].FirstPixel, PixelOf(A));
    EXPECT_EQ(Canvas.Ops[1].FirstPixel, PixelOf(A));
    EXPECT_EQ(Canvas.Ops[2].FirstPixel, PixelOf(A));
    // Kind 3 puts A at the top right; the top-left corner holds the average.
    EXPECT_EQ(Canvas.Ops[3].FirstPixel, PixelOf(AverageColor(A, B)));
    // The solid strip of the menus: both colours the same everywhere.
    TRecordingCanvas Strip;
    FillGradient(Strip, Rect(0, 0, 4, 20), MenuAccentColor, MenuAccentColor, TGradientKind::Horizontal);
    EXPECT_EQ(Strip.Ops[0].FirstPixel, MakePixel(102, 153, 255, 255));
    EXPECT_EQ(Strip.Ops[0].LastPixel, MakePixel(102, 153, 255, 255));
}

TEST(MenuPainter, MeasuresDropDownAndMenuBarItems) {
    TRecordingCanvas Canvas;
    int W = 0, H = 7;
    MeasureMenuItem(TMenuItemInfo{"Zoom In", "", "", -1, nullptr, false}, Canvas, W, H);
    EXPECT_EQ(W, 7 * 6 + 48);
    EXPECT_EQ(H, 20);
    MeasureMenuItem(TMenuItemInfo{"Previous", "PgUp", "", 0, nullptr, false}, Canvas, W, H);
    EXPECT_EQ(W, 8 * 6 + 4 * 6 + 48);
    MeasureMenuItem(TMenuItemInfo{"-", "", "Zoom", -1, nullptr, false}, Canvas, W, H);
    EXPECT_EQ(W, 6 + 48);
    EXPECT_EQ(H, 20);
    H = 19;
    MeasureMenuItem(TMenuItemInfo{"Browse", "", "", -1, nullptr, true}, Canvas, W, H);
    EXPECT_EQ(W, 6 * 6 + 8);
    EXPECT_EQ(H, 19);  // the system's proposal stands
}

TEST(MenuPainter, DropDownItemLayoutOnTwentyPixels) {
    const TImageList List = RedGlyphList();
    const TRect R = Rect(10, 40, 210, 60);
    TRecordingCanvas Canvas;
    DrawMenuItem(TMenuItemInfo{"Previous", "PgUp", "", 0, &List, false}, Canvas, R, TOwnerDrawState{});
    const auto Draws = Canvas.OfKind(TKind::Draw);
    ASSERT_EQ(Draws.size(), 3u);  // accent strip, background, glyph
    EXPECT_EQ(Draws[0].R, Rect(10, 40, 14, 60));
    EXPECT_EQ(Draws[0].FirstPixel, PixelOf(MenuAccentColor));
    EXPECT_EQ(Draws[1].R, Rect(14, 40, 210, 60));
    EXPECT_EQ(Draws[1].FirstPixel, PixelOf(MenuPaperColor));
    EXPECT_EQ(Draws[2].R, Rect(18, 42, 34, 58));
    EXPECT_EQ(Draws[2].FirstPixel, MakePixel(255, 0, 0, 255));
    const auto Texts = Canvas.OfKind(TKind::Text);
    ASSERT_EQ(Texts.size(), 2u);
    EXPECT_EQ(Texts[0].Text, "Previous");
    EXPECT_EQ(Texts[0].R, Rect(50, 43, 195, 57));  // caption from x0 + 40, 15 short of the right edge
    EXPECT_EQ(Texts[0].Align, TTextAlign::Left);
    EXPECT_TRUE(Texts[0].ClearBrush);
    EXPECT_EQ(Texts[0].FontColor, clBlack);
    EXPECT_EQ(Texts[1].Text, "PgUp");
    EXPECT_EQ(Texts[1].R, Texts[0].R);
    EXPECT_EQ(Texts[1].Align, TTextAlign::Right);
    EXPECT_TRUE(Canvas.OfKind(TKind::Frame).empty());

    // Without a glyph, and when checked (the mark replaces the glyph), the caption starts at x0 + 20.
    TRecordingCanvas Plain;
    DrawMenuItem(TMenuItemInfo{"150%", "", "", -1, &List, false}, Plain, R, TOwnerDrawState{});
    EXPECT_EQ(Plain.OfKind(TKind::Text).at(0).R.Left, 30);
    EXPECT_EQ(Plain.OfKind(TKind::Text).size(), 1u);
    TRecordingCanvas Checked;
    TOwnerDrawState CheckedState;
    CheckedState.Checked = true;
    DrawMenuItem(TMenuItemInfo{"HideBrowser", "", "", 0, &List, false}, Checked, R, CheckedState);
    EXPECT_EQ(Checked.OfKind(TKind::Text).at(0).R.Left, 30);
    EXPECT_EQ(Checked.OfKind(TKind::Ellipse).at(0).R, Rect(19, 47, 25, 53));
    EXPECT_EQ(Checked.OfKind(TKind::Ellipse).at(0).BrushColor, clBlack);
    EXPECT_EQ(Checked.OfKind(TKind::Draw).size(), 2u);  // no glyph
}

TEST(MenuPainter, SelectionHighlightsOnlyEnabledItems) {
    const TImageList List = RedGlyphList();
    const TRect R = Rect(0, 0, 120, 20);
    TOwnerDrawState Selected;
    Selected.Selected = true;
    TRecordingCanvas Canvas;
    DrawMenuItem(TMenuItemInfo{"Next", "", "", 0, &List, false}, Canvas, R, Selected);
    const auto Frames = Canvas.OfKind(TKind::Frame);
    ASSERT_EQ(Frames.size(), 1u);
    EXPECT_EQ(Frames[0].R, Rect(4, 0, 120, 20));
    EXPECT_EQ(Frames[0].BrushColor, MenuAccentColor);
    const auto Draws = Canvas.OfKind(TKind::Draw);
    EXPECT_EQ(Draws[1].R, Rect(5, 1, 119, 19));
    EXPECT_EQ(Draws[1].FirstPixel, PixelOf(MenuPaperColor));
    EXPECT_EQ(Canvas.OfKind(TKind::Text).at(0).FontColor, clBlack);

    // Disabled (or greyed) and selected: the plain paper-to-face gradient, grey text, grey glyph.
    for (const bool Greyed : {false, true}) {
        TOwnerDrawState Off = Selected;
        (Greyed ? Off.Grayed : Off.Disabled) = true;
        TRecordingCanvas Dim;
        DrawMenuItem(TMenuItemInfo{"Next", "", "", 0, &List, false}, Dim, R, Off);
        EXPECT_TRUE(Dim.OfKind(TKind::Frame).empty());
        const auto DimDraws = Dim.OfKind(TKind::Draw);
        ASSERT_EQ(DimDraws.size(), 3u);
        EXPECT_EQ(DimDraws[1].R, Rect(4, 0, 120, 20));
        EXPECT_EQ(DimDraws[1].FirstPixel, PixelOf(MenuPaperColor));
        EXPECT_EQ(DimDraws[2].FirstPixel, List.DisabledImage(0).PixelBGRA(0, 0));
        EXPECT_NE(DimDraws[2].FirstPixel, List.Image(0).PixelBGRA(0, 0));
        EXPECT_EQ(Dim.OfKind(TKind::Text).at(0).FontColor, ColorToRGB(clGrayText));
    }
}

TEST(MenuPainter, SeparatorsDrawEngravedBarsAroundTheirHint) {
    const TRect R = Rect(0, 0, 104, 20);  // 100 wide after the accent strip
    TRecordingCanvas Bare;
    DrawMenuItem(TMenuItemInfo{"-", "", "", -1, nullptr, false}, Bare, R, TOwnerDrawState{});
    EXPECT_TRUE(Bare.OfKind(TKind::Text).empty());
    auto Draws = Bare.OfKind(TKind::Draw);
    ASSERT_EQ(Draws.size(), 4u);  // strip, background, two bars
    EXPECT_EQ(Draws[2].R, Rect(4, 9, 50, 12));
    EXPECT_EQ(Draws[3].R, Rect(58, 9, 104, 12));
    EXPECT_EQ(Draws[3].R.Left - Draws[2].R.Right, 8);
    // The left bar's bottom-right corner runs into the shadow colour.
    EXPECT_EQ(Draws[2].FirstPixel, PixelOf(MenuPaperColor));

    TRecordingCanvas Titled;
    DrawMenuItem(TMenuItemInfo{"-", "", "Zoom", -1, nullptr, false}, Titled, R, TOwnerDrawState{});
    const auto Texts = Titled.OfKind(TKind::Text);
    ASSERT_EQ(Texts.size(), 1u);
    EXPECT_EQ(Texts[0].Text, "Zoom");
    EXPECT_EQ(Texts[0].R, Rect(42, 4, 66, 16));
    Draws = Titled.OfKind(TKind::Draw);
    EXPECT_EQ(Draws[2].R, Rect(4, 9, 38, 12));
    EXPECT_EQ(Draws[3].R, Rect(70, 9, 104, 12));
}

TEST(MenuPainter, MenuBarItemsFrameAndShrinkWithoutStrip) {
    const TRect R = Rect(0, 0, 60, 20);
    TRecordingCanvas Canvas;
    DrawMenuItem(TMenuItemInfo{"Zoom", "", "", -1, nullptr, true}, Canvas, R, TOwnerDrawState{});
    const auto Frames = Canvas.OfKind(TKind::Frame);
    ASSERT_EQ(Frames.size(), 1u);
    EXPECT_EQ(Frames[0].R, Rect(1, 0, 59, 20));
    EXPECT_EQ(Frames[0].BrushColor, ShadowColor(clBtnFace));
    const auto Draws = Canvas.OfKind(TKind::Draw);
    ASSERT_EQ(Draws.size(), 1u);
    EXPECT_EQ(Draws[0].R, Rect(2, 1, 58, 19));
    EXPECT_EQ(Canvas.OfKind(TKind::Text).at(0).R, Rect(6, 3, 58, 17));
}

TEST(Glyphs, NineSixteenPixelGlyphsWithMirroredArrows) {
    const auto List = CreateViewerGlyphs();
    ASSERT_EQ(List->Count(), GlyphCount);
    for (int I = 0; I < List->Count(); ++I) {
        const TBitmap& G = List->Image(I);
        ASSERT_EQ(G.Width(), 16);
        ASSERT_EQ(G.Height(), 16);
        int Opaque = 0;
        for (int Y = 0; Y < 16; ++Y)
            for (int X = 0; X < 16; ++X) Opaque += PixelAlpha(G.PixelBGRA(X, Y)) == 255;
        EXPECT_GT(Opaque, 20) << I;
    }
    for (int Y = 0; Y < 16; ++Y)
        for (int X = 0; X < 16; ++X) {
            EXPECT_EQ(List->Image(giNext).PixelBGRA(X, Y), List->Image(giPrevious).PixelBGRA(15 - X, Y));
            EXPECT_EQ(List->Image(giLast).PixelBGRA(X, Y), List->Image(giFirst).PixelBGRA(15 - X, Y));
        }
    EXPECT_THROW(List->Image(GlyphCount), EListError);
    TImageList Small(16, 16);
    EXPECT_THROW(Small.Add(*New32BitBitmap(8, 8)), EInvalidGraphic);
}
