#include <gtest/gtest.h>

#include <cstring>

#include "platform/Graphics.h"

using namespace qv;

namespace {
void SetBGR(TBitmap& B, int X, int Y, uint8_t Blue, uint8_t Green, uint8_t Red) {
    uint8_t* P = B.ScanLine(Y) + 3 * X;
    P[0] = Blue;
    P[1] = Green;
    P[2] = Red;
}
} // namespace

TEST(BitmapStorage, RowsAreBottomUpAndPadded) {
    TBitmap B;
    B.SetPixelFormat(pf24bit);
    B.SetSize(5, 3);
    EXPECT_EQ(B.RowBytes(), 16);
    EXPECT_EQ(B.ScanLine(1) - B.ScanLine(0), -16);
    EXPECT_THROW(B.ScanLine(3), EInvalidGraphic);
    EXPECT_THROW(B.ScanLine(-1), EInvalidGraphic);
}

TEST(BitmapStorage, SizeLimitIsEnforcedWhereTheSizeIsSet) {
    TBitmap B;
    B.SetPixelFormat(pf8bit);
    EXPECT_THROW(B.SetSize(TBitmap::MaxSide + 1, 1), EInvalidGraphic);
    EXPECT_THROW(B.SetSize(1 << 15, 1 << 14), EInvalidGraphic); // 2^29 pixels
    EXPECT_THROW(B.SetWidth(-1), EInvalidGraphic);
    EXPECT_TRUE(B.Empty());
}

TEST(BitmapStorage, ResizeKeepsOverlappingRows) {
    TBitmap B;
    B.SetPixelFormat(pf24bit);
    B.SetSize(2, 2);
    SetBGR(B, 0, 0, 1, 2, 3);
    SetBGR(B, 1, 1, 4, 5, 6);
    B.SetSize(3, 3);
    EXPECT_EQ(B.PixelBGRA(0, 0), 0xFF030201u);
    EXPECT_EQ(B.PixelBGRA(1, 1), 0xFF060504u);
    EXPECT_EQ(B.PixelBGRA(2, 2), 0xFF000000u);
    B.SetHeight(1);
    EXPECT_EQ(B.PixelBGRA(0, 0), 0xFF030201u);
}

TEST(BitmapStorage, PixelFormatConversionIsExact) {
    TBitmap B;
    B.SetPixelFormat(pf8bit);
    B.SetPalette(std::vector<TRGBQuad>{{10, 20, 30, 0}, {200, 100, 50, 0}});
    B.SetSize(2, 1);
    B.ScanLine(0)[0] = 1;
    B.ScanLine(0)[1] = 7; // beyond the palette: black, never a wild read
    B.SetPixelFormat(pf24bit);
    EXPECT_EQ(B.ScanLine(0)[0], 200);
    EXPECT_EQ(B.ScanLine(0)[2], 50);
    EXPECT_EQ(B.ScanLine(0)[3], 0);
    B.SetPixelFormat(pf32bit);
    uint32_t P;
    std::memcpy(&P, B.ScanLine(0), 4);
    EXPECT_EQ(P, 0x003264C8u) << "conversion to 32 bits leaves alpha clear";

    // 5-6-5 extremes expand to the full range.
    TBitmap C;
    C.SetPixelFormat(pf16bit);
    C.SetSize(1, 1);
    C.ScanLine(0)[0] = 0xFF;
    C.ScanLine(0)[1] = 0xFF;
    C.SetPixelFormat(pf24bit);
    EXPECT_EQ(C.PixelBGRA(0, 0), 0xFFFFFFFFu);

    // Back to an indexed format picks the nearest palette colour.
    TBitmap D;
    D.SetPixelFormat(pf24bit);
    D.SetSize(1, 1);
    SetBGR(D, 0, 0, 250, 250, 250);
    D.SetPixelFormat(pf1bit);
    EXPECT_EQ(D.ScanLine(0)[0] & 0x80, 0x80);
}

TEST(BitmapStorage, AssignCopiesEverythingAndNullEmpties) {
    TBitmap A;
    A.SetPixelFormat(pf4bit);
    A.SetSize(3, 2);
    A.SetTransparent(true);
    A.SetTransparentColor(clRed);
    A.ScanLine(1)[0] = 0x9F;
    TBitmap B;
    B.Assign(&A);
    EXPECT_EQ(B.PixelFormat(), pf4bit);
    EXPECT_EQ(B.Width(), 3);
    EXPECT_EQ(B.ScanLine(1)[0], 0x9F);
    EXPECT_TRUE(B.Transparent());
    EXPECT_EQ(B.TransparentColor(), clRed);
    EXPECT_EQ(B.Palette().size(), 16u);
    B.Assign(nullptr);
    EXPECT_TRUE(B.Empty());
}
