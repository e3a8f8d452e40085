#pragma once
// The layered document bundled as samples/layers.mqd: a small landscape of
// layers lying partly and wholly outside the document, with several
// opacities and blend modes. Integer arithmetic only, so every machine
// builds the same pixels. Also the comparison of two documents that the
// document tests share.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "display/Pix32.h"
#include "display/PixEffect.h"
#include "document/MQDoc.h"

namespace qvtest {

inline uint8_t SampleLerp(int A, int B, int T, int Range) { return static_cast<uint8_t>(A + (B - A) * T / Range); }

inline qv::TPictureLayer& AddSampleLayer(qv::TPictureDoc& Doc, const char* Name, int W, int H, int Left, int Top,
                                         uint8_t Opacity, qv::TBlendMode Mode) {
    qv::TPictureLayer& L = Doc.LayerAt(Doc.AddLayer(Doc.LayerCount()));
    L.Name = Name;
    L.Left = Left;
    L.Top = Top;
    L.Opacity = Opacity;
    L.BlendMode = static_cast<uint8_t>(Mode);
    if (W > 0 && H > 0) qv::AllocSurface(W, H, L.Surface);
    return L;
}

// Alpha of a disc of radius R centred in a Size x Size square, soft over its outer eighth.
inline uint8_t SampleDiscAlpha(int X, int Y, int Size, int R) {
    const int DX = 2 * X + 1 - Size, DY = 2 * Y + 1 - Size; // doubled distances to the centre
    const int D2 = DX * DX + DY * DY, Outer = 4 * R * R, Inner = 4 * (R - R / 8) * (R - R / 8);
    if (D2 >= Outer) return 0;
    if (D2 <= Inner) return 255;
    return static_cast<uint8_t>(255 * (Outer - D2) / (Outer - Inner));
}

inline void BuildSampleDocument(qv::TPictureDoc& Doc) {
    using qv::MakePixel;
    using qv::SurfaceScanline;
    using qv::TBlendMode;
    Doc.Clear();
    Doc.SetDocSize(480, 320);
    Doc.SetBackgroundColor(qv::RGB(240, 236, 228));

    // Sky: opaque vertical gradient over the whole document.
    auto& Sky = AddSampleLayer(Doc, "Sky", 480, 320, 0, 0, 255, TBlendMode::Normal);
    for (int Y = 0; Y < 320; ++Y)
        for (int X = 0; X < 480; ++X)
            SurfaceScanline(Sky.Surface, Y)[X] =
                MakePixel(SampleLerp(40, 250, Y, 320), SampleLerp(90, 190, Y, 320), SampleLerp(200, 150, Y, 320), 255);

    // Sun: a soft disc hanging over the top-right corner, screened onto the sky.
    auto& Sun = AddSampleLayer(Doc, "Sun", 160, 160, 370, -50, 255, TBlendMode::Screen);
    Sun.preserveAlpha = true;
    for (int Y = 0; Y < 160; ++Y)
        for (int X = 0; X < 160; ++X)
            SurfaceScanline(Sun.Surface, Y)[X] = MakePixel(255, 220, SampleLerp(40, 120, Y, 160), SampleDiscAlpha(X, Y, 160, 78));

    // Hills: wider than the document and reaching below it; a wavy top edge.
    auto& Hills = AddSampleLayer(Doc, "Hills", 560, 140, -40, 200, 255, TBlendMode::Normal);
    Hills.locked = true;
    for (int X = 0; X < 560; ++X) {
        const int Phase = X % 160, Wave = Phase < 80 ? Phase : 160 - Phase; // triangle wave 0..80
        const int Crest = 60 - Wave * Wave / 110;                            // rounded crests
        for (int Y = 0; Y < 140; ++Y) {
            const int Depth = Y - Crest;
            const uint8_t Alpha = Depth < 0 ? 0 : Depth < 3 ? static_cast<uint8_t>(85 * (Depth + 1)) : 255;
            SurfaceScanline(Hills.Surface, Y)[X] =
                MakePixel(SampleLerp(70, 20, Y, 140), SampleLerp(150, 80, Y, 140), SampleLerp(60, 30, Y, 140), Alpha);
        }
    }

    // Haze: a white band fading in and out, soft light at reduced opacity.
    auto& Haze = AddSampleLayer(Doc, "Haze", 480, 120, 0, 150, 160, TBlendMode::SoftLight);
    for (int Y = 0; Y < 120; ++Y)
        for (int X = 0; X < 480; ++X)
            SurfaceScanline(Haze.Surface, Y)[X] = MakePixel(255, 255, 255, static_cast<uint8_t>(Y < 60 ? Y * 4 : (119 - Y) * 4));

    // Shadow: a dark ellipse multiplied into the hills, reaching below the document.
    auto& Shadow = AddSampleLayer(Doc, "Shadow", 220, 100, 130, 262, 180, TBlendMode::Multiply);
    for (int Y = 0; Y < 100; ++Y)
        for (int X = 0; X < 220; ++X) {
            const int DX = 2 * X + 1 - 220, DY = (2 * Y + 1 - 100) * 220 / 100;
            const int D2 = DX * DX + DY * DY;
            const uint8_t Alpha = D2 >= 220 * 220 ? 0 : static_cast<uint8_t>(255 - 255 * D2 / (220 * 220));
            SurfaceScanline(Shadow.Surface, Y)[X] = MakePixel(30, 40, 90, Alpha);
        }

    // Glow: a pale disc lightening the sky.
    auto& Glow = AddSampleLayer(Doc, "Glow", 120, 120, 40, 30, 200, TBlendMode::Lighten);
    for (int Y = 0; Y < 120; ++Y)
        for (int X = 0; X < 120; ++X) SurfaceScanline(Glow.Surface, Y)[X] = MakePixel(255, 250, 235, SampleDiscAlpha(X, Y, 120, 58));

    // Stamp: a checker inverting what lies below, cut by the bottom-right corner.
    auto& Stamp = AddSampleLayer(Doc, "Stamp", 96, 64, 420, 280, 128, TBlendMode::Invert);
    for (int Y = 0; Y < 64; ++Y)
        for (int X = 0; X < 96; ++X)
            SurfaceScanline(Stamp.Surface, Y)[X] = MakePixel(0, 0, 0, ((X / 16 + Y / 16) % 2) ? 255 : 0);

    // Colour wash: tints the left third, drawn at half opacity.
    auto& Wash = AddSampleLayer(Doc, "Warm wash", 160, 320, 0, 0, 128, TBlendMode::Color);
    for (int Y = 0; Y < 320; ++Y)
        for (int X = 0; X < 160; ++X) SurfaceScanline(Wash.Surface, Y)[X] = MakePixel(230, 120, 40, SampleLerp(255, 0, X, 160));

    // Notes: a layer without pixels; Far away: a layer entirely outside the document.
    AddSampleLayer(Doc, "Notes", 0, 0, 0, 0, 255, TBlendMode::Normal);
    auto& Far = AddSampleLayer(Doc, "Far away", 40, 40, 500, 340, 255, TBlendMode::Dissolve);
    for (int Y = 0; Y < 40; ++Y)
        for (int X = 0; X < 40; ++X) SurfaceScanline(Far.Surface, Y)[X] = MakePixel(255, 0, 0, 128);
}

// Every stored field and every pixel of two documents agree.
inline void ExpectSameDocument(const qv::TPictureDoc& A, const qv::TPictureDoc& B) {
    EXPECT_EQ(A.DocWidth(), B.DocWidth());
    EXPECT_EQ(A.DocHeight(), B.DocHeight());
    EXPECT_EQ(A.BackgroundColor(), B.BackgroundColor());
    ASSERT_EQ(A.LayerCount(), B.LayerCount());
    for (int I = 0; I < A.LayerCount(); ++I) {
        const qv::TPictureLayer& X = A.LayerAt(I);
        const qv::TPictureLayer& Y = B.LayerAt(I);
        EXPECT_EQ(X.Name, Y.Name);
        EXPECT_EQ(X.Left, Y.Left);
        EXPECT_EQ(X.Top, Y.Top);
        EXPECT_EQ(X.Opacity, Y.Opacity);
        EXPECT_EQ(X.BlendMode, Y.BlendMode);
        EXPECT_EQ(X.preserveAlpha, Y.preserveAlpha);
        EXPECT_EQ(X.locked, Y.locked);
        ASSERT_EQ(X.Surface.Width, Y.Surface.Width) << X.Name;
        ASSERT_EQ(X.Surface.Height, Y.Surface.Height) << X.Name;
        ASSERT_EQ(qv::SurfaceIsEmpty(X.Surface), qv::SurfaceIsEmpty(Y.Surface)) << X.Name;
        for (int Row = 0; !qv::SurfaceIsEmpty(X.Surface) && Row < X.Surface.Height; ++Row)
            ASSERT_EQ(std::memcmp(qv::SurfaceScanline(X.Surface, Row), qv::SurfaceScanline(Y.Surface, Row), X.Surface.Width * 4u), 0)
                << X.Name << " row " << Row;
    }
}

} // namespace qvtest
