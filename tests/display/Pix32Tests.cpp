#include "display/Pix32.h"

#include <gtest/gtest.h>

#include <cstring>

#include "DisplayTestSupport.h"

using namespace qv;

namespace {

std::unique_ptr<TBitmap> MakeBitmap(int Width, int Height, TPixelFormat Format) {
    auto Bitmap = std::make_unique<TBitmap>();
    Bitmap->SetPixelFormat(Format);
    Bitmap->SetSize(Width, Height);
    return Bitmap;
}

TPixel32* PixelsOf(TBitmap& Bitmap, int Row) { return reinterpret_cast<TPixel32*>(Bitmap.ScanLine(Row)); }

} // namespace

TEST(Pix32, PixelLayoutIsBlueGreenRedAlphaInMemory) {
    const TPixel32 P = MakePixel(0x11, 0x22, 0x33, 0x44);
    uint8_t Bytes[4];
    std::memcpy(Bytes, &P, 4);
    EXPECT_EQ(Bytes[0], 0x33);
    EXPECT_EQ(Bytes[1], 0x22);
    EXPECT_EQ(Bytes[2], 0x11);
    EXPECT_EQ(Bytes[3], 0x44);
    EXPECT_EQ(PixelRed(P), 0x11);
    EXPECT_EQ(PixelAlpha(P), 0x44);
}

TEST(Pix32, ColorToPixelSwapsRedAndBlueAndIsOpaque) {
    EXPECT_EQ(ColorToPixel(clRed), 0xFFFF0000u);
    EXPECT_EQ(ColorToPixel(clBlue), 0xFF0000FFu);
    EXPECT_EQ(ColorToPixel(RGB(1, 2, 3)), 0xFF010203u);
    // A system colour is resolved first.
    const TColor Window = ColorToRGB(clWindow);
    EXPECT_EQ(ColorToPixel(clWindow), MakePixel(GetRValue(Window), GetGValue(Window), GetBValue(Window), 255));
}

TEST(Pix32, New32BitBitmapHasTheFormatAndSize) {
    auto Bitmap = New32BitBitmap(7, 3);
    EXPECT_EQ(Bitmap->PixelFormat(), pf32bit);
    EXPECT_EQ(Bitmap->Width(), 7);
    EXPECT_EQ(Bitmap->Height(), 3);
    EXPECT_EQ(BitmapBounds(*Bitmap), Rect(0, 0, 7, 3));
}

TEST(Pix32, SurfaceOverBottomUpBitmapHasNegativeStrideAndTopRowFirst) {
    auto Bitmap = New32BitBitmap(5, 4);
    const TSurface S = SurfaceFromBitmap(*Bitmap);
    EXPECT_EQ(S.Width, 5);
    EXPECT_EQ(S.Height, 4);
    EXPECT_LT(S.Stride, 0);
    EXPECT_EQ(S.Stride, Bitmap->ScanLine(1) - Bitmap->ScanLine(0));
    for (int Y = 0; Y < 4; ++Y) EXPECT_EQ(SurfaceScanline(S, Y), PixelsOf(*Bitmap, Y));
}

TEST(Pix32, SurfaceOverRectangleStartsAtItsTopLeftPixel) {
    auto Bitmap = New32BitBitmap(6, 5);
    const TSurface S = SurfaceFromBitmapRect(*Bitmap, Rect(2, 1, 5, 4));
    EXPECT_EQ(S.Width, 3);
    EXPECT_EQ(S.Height, 3);
    EXPECT_EQ(S.Bits, PixelsOf(*Bitmap, 1) + 2);
    EXPECT_EQ(SurfaceScanline(S, 2), PixelsOf(*Bitmap, 3) + 2);
}

TEST(Pix32, SurfaceOfOneRowHighBitmapHasStrideZero) {
    auto Bitmap = New32BitBitmap(4, 1);
    const TSurface S = SurfaceFromBitmap(*Bitmap);
    EXPECT_EQ(S.Stride, 0);
    EXPECT_EQ(S.Bits, PixelsOf(*Bitmap, 0));
    // One row of a taller bitmap likewise never needs the stride.
    auto Tall = New32BitBitmap(4, 3);
    EXPECT_EQ(SurfaceFromBitmapRect(*Tall, Rect(0, 2, 4, 3)).Stride, 0);
}

TEST(Pix32, SurfaceFromBitmapRefusesOtherFormatsAndBadRectangles) {
    for (TPixelFormat Format : {pf1bit, pf8bit, pf16bit, pf24bit}) {
        auto Bitmap = MakeBitmap(4, 4, Format);
        EXPECT_QV_ASSERTION(SurfaceFromBitmap(*Bitmap), "invalid bitmap for Surface");
    }
    auto Empty = New32BitBitmap(4, 0);
    EXPECT_QV_ASSERTION(SurfaceFromBitmap(*Empty), "invalid bitmap for Surface");
    auto Bitmap = New32BitBitmap(4, 4);
    EXPECT_QV_ASSERTION(SurfaceFromBitmapRect(*Bitmap, Rect(-1, 0, 2, 2)), "Assertion failure");
    EXPECT_QV_ASSERTION(SurfaceFromBitmapRect(*Bitmap, Rect(0, 0, 5, 2)), "Assertion failure");
    EXPECT_QV_ASSERTION(SurfaceFromBitmapRect(*Bitmap, Rect(0, 0, 2, 5)), "Assertion failure");
    EXPECT_QV_ASSERTION(SurfaceFromBitmapRect(*Bitmap, Rect(2, 0, 2, 2)), "Assertion failure");
    EXPECT_QV_ASSERTION(SurfaceFromBitmapRect(*Bitmap, Rect(0, 3, 2, 3)), "Assertion failure");
}

TEST(Pix32, ScanlineOutsideTheSurfaceIsRefused) {
    qvtest::TTestSurface T(3, 2);
    EXPECT_QV_ASSERTION(SurfaceScanline(T, 2), "scanline index out of range");
    EXPECT_QV_ASSERTION(SurfaceScanline(T, -1), "scanline index out of range");
    EXPECT_EQ(SurfaceScanline(T, 1), T.Surface().Bits + 3);
}

TEST(Pix32, SubSurfaceSharesPixelsAndStride) {
    qvtest::TTestSurface T(8, 6, 3, true);
    const TSurface S = SubSurface(T, Rect(2, 1, 7, 5));
    EXPECT_EQ(S.Width, 5);
    EXPECT_EQ(S.Height, 4);
    EXPECT_EQ(S.Stride, T.Surface().Stride);
    EXPECT_EQ(S.Bits, &T.At(2, 1));
    EXPECT_EQ(SurfaceScanline(S, 3), &T.At(2, 4));
    EXPECT_EQ(SurfaceBounds(S), Rect(0, 0, 5, 4));
}

TEST(Pix32, SubSurfaceChecksItsRectangle) {
    qvtest::TTestSurface T(4, 4);
    EXPECT_QV_ASSERTION(SubSurface(T, Rect(-1, 0, 2, 2)), "Assertion failure");
    EXPECT_QV_ASSERTION(SubSurface(T, Rect(0, 0, 5, 2)), "Assertion failure");
    EXPECT_QV_ASSERTION(SubSurface(T, Rect(0, 0, 2, 5)), "Assertion failure");
    EXPECT_QV_ASSERTION(SubSurface(T, Rect(3, 0, 1, 2)), "Assertion failure");
    // Empty rectangles with the top row inside are fine; the top row must exist.
    EXPECT_EQ(SubSurface(T, Rect(1, 2, 1, 4)).Width, 0);
    EXPECT_EQ(SubSurface(T, Rect(1, 3, 3, 3)).Height, 0);
    EXPECT_QV_ASSERTION(SubSurface(T, Rect(0, 4, 2, 4)), "scanline index out of range");
}

TEST(Pix32, AllocSurfaceGivesContiguousTopDownRows) {
    TSurface S;
    TPixel32* Bits = AllocSurface(5, 3, S);
    EXPECT_EQ(Bits, S.Bits);
    EXPECT_EQ(S.Width, 5);
    EXPECT_EQ(S.Height, 3);
    EXPECT_EQ(S.Stride, 20);
    EXPECT_FALSE(SurfaceIsEmpty(S));
    for (int Y = 0; Y < 3; ++Y)
        for (int X = 0; X < 5; ++X) SurfaceScanline(S, Y)[X] = static_cast<TPixel32>(Y * 5 + X);
    for (int I = 0; I < 15; ++I) EXPECT_EQ(S.Bits[I], static_cast<TPixel32>(I));
    FreeSurface(S);
    EXPECT_TRUE(SurfaceIsEmpty(S));
    EXPECT_EQ(S.Width, 0);
    EXPECT_EQ(S.Height, 0);
    EXPECT_EQ(S.Stride, 0);
    FreeSurface(S);
    EXPECT_TRUE(SurfaceIsEmpty(S));
}

TEST(Pix32, AllocSurfaceRefusesEmptyAndOversizedBlocksLeavingTheRecord) {
    TSurface S;
    EXPECT_QV_ASSERTION(AllocSurface(0, 3, S), "Assertion failure");
    EXPECT_QV_ASSERTION(AllocSurface(3, -1, S), "Assertion failure");
    EXPECT_THROW(AllocSurface(1 << 20, 1 << 20, S), EOutOfMemory);
    EXPECT_TRUE(SurfaceIsEmpty(S));
    EXPECT_EQ(S.Width, 0);
}

TEST(Pix32, OwnedSurfaceFreesAndMoves) {
    TOwnedSurface A(4, 2);
    EXPECT_EQ(A.Surface().Width, 4);
    TPixel32* Bits = A.Surface().Bits;
    TOwnedSurface B(std::move(A));
    EXPECT_EQ(B.Surface().Bits, Bits);
    EXPECT_TRUE(SurfaceIsEmpty(A.Surface()));
    TOwnedSurface C(1, 1);
    C = std::move(B);
    EXPECT_EQ(C.Surface().Bits, Bits);
}

TEST(Pix32, SurfaceIsOpaqueFindsAnyTranslucentPixel) {
    qvtest::TTestSurface T(3, 3, 1, true);
    for (int Y = 0; Y < 3; ++Y)
        for (int X = 0; X < 3; ++X) T.At(X, Y) = 0xFF000000u | static_cast<TPixel32>(X * Y);
    EXPECT_TRUE(SurfaceIsOpaque(T));
    T.At(2, 2) = 0xFE123456u;
    EXPECT_FALSE(SurfaceIsOpaque(T));
    // Padding between rows is not part of the surface.
    qvtest::TTestSurface Padded(2, 2, 2);
    for (int Y = 0; Y < 2; ++Y)
        for (int X = 0; X < 2; ++X) Padded.At(X, Y) = 0xFFFFFFFFu;
    EXPECT_TRUE(SurfaceIsOpaque(Padded));
    EXPECT_TRUE(SurfaceIsOpaque(TSurface{5, 0, 20, nullptr}));
}

TEST(Pix32, SetBitmapAlphaWritesOnlyAlpha) {
    auto Bitmap = New32BitBitmap(3, 2);
    for (int Y = 0; Y < 2; ++Y)
        for (int X = 0; X < 3; ++X) PixelsOf(*Bitmap, Y)[X] = 0x12000000u | static_cast<TPixel32>(X * 0x10101 + Y);
    SetBitmapAlpha(*Bitmap, 0x80);
    for (int Y = 0; Y < 2; ++Y)
        for (int X = 0; X < 3; ++X)
            EXPECT_EQ(PixelsOf(*Bitmap, Y)[X], 0x80000000u | static_cast<TPixel32>(X * 0x10101 + Y));
    auto Other = MakeBitmap(2, 2, pf24bit);
    EXPECT_QV_ASSERTION(SetBitmapAlpha(*Other, 255), "Assertion failure");
}

TEST(Pix32, SetBitmapAlphaClearsExactlyTheTransparentColour) {
    auto Bitmap = New32BitBitmap(4, 1);
    TPixel32* Row = PixelsOf(*Bitmap, 0);
    Row[0] = 0x00FF0000u;  // pure red
    Row[1] = 0x000000FFu;  // pure blue
    Row[2] = 0x77FF0000u;  // red with some alpha already
    Row[3] = 0x00FF0001u;  // almost red
    Bitmap->SetTransparent(true);
    Bitmap->SetTransparentColor(clRed);
    SetBitmapAlpha(*Bitmap, 200);
    EXPECT_EQ(Row[0], 0x00FF0000u);
    EXPECT_EQ(Row[1], 0xC80000FFu);
    EXPECT_EQ(Row[2], 0x00FF0000u);
    EXPECT_EQ(Row[3], 0xC8FF0001u);
}

TEST(Pix32, Ensure32BitConvertsWithOpaqueAlphaOrKeepsA32BitBitmap) {
    auto Bitmap = MakeBitmap(2, 2, pf24bit);
    for (int Y = 0; Y < 2; ++Y) {
        uint8_t* Row = Bitmap->ScanLine(Y);
        for (int I = 0; I < 6; ++I) Row[I] = static_cast<uint8_t>(Y * 6 + I + 1);
    }
    Ensure32Bit(*Bitmap);
    ASSERT_EQ(Bitmap->PixelFormat(), pf32bit);
    EXPECT_EQ(PixelsOf(*Bitmap, 0)[0], 0xFF030201u);
    EXPECT_EQ(PixelsOf(*Bitmap, 1)[1], 0xFF0C0B0Au);

    auto Already = New32BitBitmap(1, 1);
    PixelsOf(*Already, 0)[0] = 0x12345678u;
    Ensure32Bit(*Already);
    EXPECT_EQ(PixelsOf(*Already, 0)[0], 0x12345678u);
}

TEST(Pix32, Ensure32BitMakesTheTransparentColourTransparent) {
    auto Bitmap = MakeBitmap(2, 1, pf24bit);
    uint8_t* Row = Bitmap->ScanLine(0);
    const uint8_t Bytes[6] = {0, 255, 0, 0, 0, 255};  // green, then red (blue, green, red order)
    std::memcpy(Row, Bytes, 6);
    Bitmap->SetTransparent(true);
    Bitmap->SetTransparentColor(clLime);
    Ensure32Bit(*Bitmap);
    EXPECT_EQ(PixelsOf(*Bitmap, 0)[0], 0x0000FF00u);
    EXPECT_EQ(PixelsOf(*Bitmap, 0)[1], 0xFFFF0000u);
}
