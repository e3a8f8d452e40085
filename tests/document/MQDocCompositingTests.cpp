// Compositing a document's layers into one picture: geometry of the layers
// against the document, visibility, every blend mode, and Flatten's failures.

#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "display/Pix32.h"
#include "display/PixEffect.h"
#include "display/PixRender.h"
#include "document/MQDoc.h"
#include "platform/Exceptions.h"
#include "platform/System.h"

using namespace qv;

namespace {

// Pixels of varied colour and alpha, so that a shifted or mirrored copy differs.
TPixel32 Pattern(int X, int Y, int Seed) {
    const auto V = [&](int K) { return static_cast<uint8_t>((X * 37 + Y * 91 + Seed * 53 + K * 29) * (K + 3)); };
    return MakePixel(V(1), V(2), V(3), V(4));
}

TPictureLayer& AddPatternLayer(TPictureDoc& Doc, int W, int H, int Left, int Top, int Seed) {
    TPictureLayer& L = Doc.LayerAt(Doc.AddLayer(Doc.LayerCount()));
    AllocSurface(W, H, L.Surface);
    for (int Y = 0; Y < H; ++Y)
        for (int X = 0; X < W; ++X) SurfaceScanline(L.Surface, Y)[X] = Pattern(X, Y, Seed);
    L.Left = Left;
    L.Top = Top;
    return L;
}

// The document composited pixel by pixel: each covered document pixel gets the
// blend of what lies below with the layer's pixel, its alpha scaled by the opacity.
std::vector<TPixel32> Reference(const TPictureDoc& Doc, TPixel32 Fill) {
    const int W = Doc.DocWidth(), H = Doc.DocHeight();
    std::vector<TPixel32> Out(static_cast<size_t>(W) * H, Fill);
    for (int I = 0; I < Doc.LayerCount(); ++I) {
        const TPictureLayer& L = Doc.LayerAt(I);
        if (!L.Visible || SurfaceIsEmpty(L.Surface)) continue;
        for (int Y = 0; Y < H; ++Y)
            for (int X = 0; X < W; ++X) {
                const int64_t LX = int64_t{X} - L.Left, LY = int64_t{Y} - L.Top;
                if (LX < 0 || LY < 0 || LX >= L.Surface.Width || LY >= L.Surface.Height) continue;
                TPixel32 S = SurfaceScanline(L.Surface, static_cast<int>(LY))[LX];
                if (L.Opacity != 255) {
                    const uint32_t K = L.Opacity < 128 ? L.Opacity : L.Opacity + 1u;
                    S = (S & 0x00FFFFFF) | ((PixelAlpha(S) * K) >> 8) << 24;
                }
                TPixel32& D = Out[static_cast<size_t>(Y) * W + X];
                D = BlendPixel(D, S, L.BlendMode);
            }
    }
    return Out;
}

std::vector<TPixel32> Flattened(const TPictureDoc& Doc, bool UseBackground) {
    TBitmap Bitmap;
    Doc.Flatten(Bitmap, UseBackground);
    EXPECT_EQ(Bitmap.PixelFormat(), pf32bit);
    EXPECT_EQ(Bitmap.Width(), Doc.DocWidth());
    EXPECT_EQ(Bitmap.Height(), Doc.DocHeight());
    std::vector<TPixel32> Out;
    for (int Y = 0; Y < Bitmap.Height(); ++Y)
        for (int X = 0; X < Bitmap.Width(); ++X) Out.push_back(Bitmap.PixelBGRA(X, Y));
    return Out;
}

const TPixel32 TransparentWhite = MakePixel(255, 255, 255, 0);

} // namespace

TEST(MQDocFlatten, DocumentWithoutLayersIsTheFill) {
    TPictureDoc Doc;
    Doc.SetDocSize(3, 2);
    EXPECT_EQ(Flattened(Doc, false), std::vector<TPixel32>(6, TransparentWhite));
    // The default paper colour, clNone, has all three colour bytes at 255.
    EXPECT_EQ(Flattened(Doc, true), std::vector<TPixel32>(6, MakePixel(255, 255, 255, 255)));
    Doc.SetBackgroundColor(RGB(10, 20, 30));
    EXPECT_EQ(Flattened(Doc, true), std::vector<TPixel32>(6, MakePixel(10, 20, 30, 255)));
}

TEST(MQDocFlatten, LayersPartlyOutsideDrawOnlyTheirInside) {
    TPictureDoc Doc;
    Doc.SetDocSize(7, 5);
    AddPatternLayer(Doc, 7, 5, 0, 0, 1);
    AddPatternLayer(Doc, 4, 3, -1, 3, 2);   // hangs out left and below
    AddPatternLayer(Doc, 10, 2, 4, -1, 3);  // hangs out above and right
    AddPatternLayer(Doc, 9, 7, -1, -1, 4).Opacity = 90; // larger than the document on every side
    const auto Result = Flattened(Doc, false);
    EXPECT_EQ(Result, Reference(Doc, TransparentWhite));

    // Doc pixel (0, 3) is layer 1's pixel (1, 0) over layer 0; row 0 is the top row.
    TPictureDoc Two;
    Two.SetDocSize(7, 5);
    AddPatternLayer(Two, 4, 3, -1, 3, 2).Surface.Bits[1] = MakePixel(1, 2, 3, 255);
    EXPECT_EQ(Flattened(Two, false)[3 * 7 + 0], MakePixel(1, 2, 3, 255));
}

TEST(MQDocFlatten, OutsideEmptyAndHiddenLayersDrawNothing) {
    TPictureDoc Doc;
    Doc.SetDocSize(6, 4);
    AddPatternLayer(Doc, 6, 4, 0, 0, 1);
    const auto Base = Flattened(Doc, true);

    AddPatternLayer(Doc, 3, 3, 6, 0, 2);            // right of the document
    AddPatternLayer(Doc, 3, 3, -3, -3, 3);          // touches the top-left corner only
    AddPatternLayer(Doc, 2, 2, INT_MAX - 1, INT_MAX - 1, 4); // its far edge is beyond the 32-bit range
    AddPatternLayer(Doc, 2, 2, INT_MIN, 0, 5);
    TPictureLayer& Empty = Doc.LayerAt(Doc.AddLayer(Doc.LayerCount()));
    Empty.Surface.Width = 0; // as a file stores a layer without pixels
    Empty.Surface.Height = 4;
    TPictureLayer& Hidden = AddPatternLayer(Doc, 6, 4, 0, 0, 6);
    Hidden.Visible = false;
    Hidden.BlendMode = static_cast<uint8_t>(TBlendMode::Dissolve);
    for (int I = 0; I < 24; ++I) Hidden.Surface.Bits[I] = MakePixel(0, 0, 0, 128);

    TBitmap Bitmap;
    Doc.Flatten(Bitmap, true);
    const TSurface Target = SurfaceFromBitmap(Bitmap);
    for (int I = 1; I < Doc.LayerCount() - 1; ++I)
        EXPECT_FALSE(TPictureDoc::DrawLayer(Doc.LayerAt(I), Target, Rect(0, 0, 6, 4))) << "layer " << I;

    const uint32_t Seed = RandSeed;
    EXPECT_EQ(Flattened(Doc, true), Base);
    EXPECT_EQ(RandSeed, Seed); // the hidden dissolve layer drew no random numbers
    Hidden.Visible = true;
    EXPECT_NE(Flattened(Doc, true), Base);
    EXPECT_NE(RandSeed, Seed);
}

TEST(MQDocFlatten, EveryBlendModeThroughDrawLayer) {
    for (int Mode : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 255}) {
        for (int Opacity : {255, 128, 127, 0}) {
            TPictureDoc Doc;
            Doc.SetDocSize(9, 6);
            AddPatternLayer(Doc, 9, 6, 0, 0, 1);             // translucent base over transparent white
            AddPatternLayer(Doc, 5, 4, 2, 1, 7).BlendMode = 0; // opaque patch below the blended layer
            for (int I = 0; I < 20; ++I) Doc.LayerAt(1).Surface.Bits[I] |= 0xFF000000u;
            TPictureLayer& Top = AddPatternLayer(Doc, 6, 5, -2, 2, 3);
            Top.BlendMode = static_cast<uint8_t>(Mode);
            Top.Opacity = static_cast<uint8_t>(Opacity);
            // Dissolve draws one random number per translucent pixel in row
            // order; the same seed must give the same pixels.
            RandSeed = 12345;
            const auto Result = Flattened(Doc, false);
            RandSeed = 12345;
            EXPECT_EQ(Result, Reference(Doc, TransparentWhite)) << "mode " << Mode << " opacity " << Opacity;
        }
    }
}

TEST(MQDocFlatten, DrawLayersClampsItsRangeAndClip) {
    TPictureDoc Doc;
    Doc.SetDocSize(4, 4);
    AddPatternLayer(Doc, 4, 4, 0, 0, 1);
    AddPatternLayer(Doc, 4, 4, 0, 0, 2);
    TBitmap Bitmap;
    Doc.Flatten(Bitmap, false);
    const TSurface Target = SurfaceFromBitmap(Bitmap);
    const auto Read = [&] {
        std::vector<TPixel32> Out;
        for (int Y = 0; Y < 4; ++Y)
            for (int X = 0; X < 4; ++X) Out.push_back(Bitmap.PixelBGRA(X, Y));
        return Out;
    };
    const auto All = Read();

    FillSurfaceRect(Target, Rect(0, 0, 4, 4), 0);
    Doc.DrawLayers(Target, 1, Rect(0, 0, 4, 4), 0); // last below first
    EXPECT_EQ(Read(), std::vector<TPixel32>(16, 0));
    Doc.DrawAllLayers(Target, -5, 99);
    EXPECT_EQ(Read(), Reference(Doc, 0));

    FillSurfaceRect(Target, Rect(0, 0, 4, 4), TransparentWhite);
    Doc.DrawLayers(Target, 0, Rect(1, 1, 3, 2), 5);
    const auto Clipped = Read();
    for (int Y = 0; Y < 4; ++Y)
        for (int X = 0; X < 4; ++X) {
            const bool Inside = X >= 1 && X < 3 && Y == 1;
            EXPECT_EQ(Clipped[Y * 4 + X], Inside ? All[Y * 4 + X] : TransparentWhite) << X << "," << Y;
        }
}

TEST(MQDocFlatten, SideOfZeroOrLessFailsAndLeavesTheBitmapEmpty) {
    for (const auto& [W, H] : std::vector<std::pair<int, int>>{{5, 0}, {0, 5}, {0, 0}, {-3, 5}, {5, -3}}) {
        TPictureDoc Doc;
        Doc.SetDocSize(W, H);
        AddPatternLayer(Doc, 2, 2, 0, 0, 1);
        TBitmap Bitmap;
        Bitmap.SetPixelFormat(pf24bit);
        Bitmap.SetSize(3, 3);
        try {
            Doc.Flatten(Bitmap, false);
            ADD_FAILURE() << W << " x " << H << " flattened";
        } catch (const EAssertionFailed& Error) {
            EXPECT_EQ(Error.Text(), "invalid bitmap for Surface");
        }
        EXPECT_TRUE(Bitmap.Empty());
    }
}
