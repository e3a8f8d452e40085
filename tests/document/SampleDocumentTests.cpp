// The bundled layered document: the generator still builds what samples/
// holds, and the viewer's path (load, flatten without background) shows it.

#include <gtest/gtest.h>

#include <cstring>

#include "SampleDocument.h"
#include "TestSupport.h"
#include "document/MQDoc.h"
#include "platform/Streams.h"

using namespace qv;

namespace {

void ExpectSameDocument(const TPictureDoc& A, const TPictureDoc& B) {
    EXPECT_EQ(A.DocWidth(), B.DocWidth());
    EXPECT_EQ(A.DocHeight(), B.DocHeight());
    EXPECT_EQ(A.BackgroundColor(), B.BackgroundColor());
    ASSERT_EQ(A.LayerCount(), B.LayerCount());
    for (int I = 0; I < A.LayerCount(); ++I) {
        const TPictureLayer& X = A.LayerAt(I);
        const TPictureLayer& Y = B.LayerAt(I);
        EXPECT_EQ(X.Name, Y.Name);
        EXPECT_EQ(X.Left, Y.Left);
        EXPECT_EQ(X.Top, Y.Top);
        EXPECT_EQ(X.Opacity, Y.Opacity);
        EXPECT_EQ(X.BlendMode, Y.BlendMode);
        EXPECT_EQ(X.preserveAlpha, Y.preserveAlpha);
        EXPECT_EQ(X.locked, Y.locked);
        ASSERT_EQ(X.Surface.Width, Y.Surface.Width) << X.Name;
        ASSERT_EQ(X.Surface.Height, Y.Surface.Height) << X.Name;
        ASSERT_EQ(SurfaceIsEmpty(X.Surface), SurfaceIsEmpty(Y.Surface)) << X.Name;
        for (int Row = 0; !SurfaceIsEmpty(X.Surface) && Row < X.Surface.Height; ++Row)
            ASSERT_EQ(std::memcmp(SurfaceScanline(X.Surface, Row), SurfaceScanline(Y.Surface, Row), X.Surface.Width * 4u), 0)
                << X.Name << " row " << Row;
    }
}

} // namespace

TEST(SampleDocument, GeneratorRebuildsTheBundledFile) {
    TPictureDoc Generated;
    qvtest::BuildSampleDocument(Generated);
    const std::string Path = qvtest::TempDir() + "/layers.mqd";
    {
        TFileStream File(Path, TFileMode::Create);
        Generated.SaveToStream(File);
    }
    TPictureDoc Reloaded;
    Reloaded.LoadFromFile(Path);
    ExpectSameDocument(Generated, Reloaded);

    TPictureDoc Bundled;
    Bundled.LoadFromFile(qvtest::SamplesDir() + "/layers.mqd");
    ExpectSameDocument(Generated, Bundled);
}

TEST(SampleDocument, ShowsAsTheViewerShowsIt) {
    TBitmap Shown;
    LoadDocumentToBitmap(Shown, qvtest::SamplesDir() + "/layers.mqd");
    ASSERT_EQ(Shown.Width(), 480);
    ASSERT_EQ(Shown.Height(), 320);
    // The sky covers the whole document, so nothing stays transparent.
    for (int Y = 0; Y < 320; Y += 7)
        for (int X = 0; X < 480; X += 5) ASSERT_EQ(PixelAlpha(Shown.PixelBGRA(X, Y)), 255) << X << "," << Y;
    // The hills' body lies over the sky at the bottom-left, below the colour wash.
    const TPixel32 Hill = Shown.PixelBGRA(200, 300);
    EXPECT_GT(PixelGreen(Hill), PixelBlue(Hill));
    // The stamp's opaque squares invert half of what lies below them.
    EXPECT_NE(Shown.PixelBGRA(421, 281), Shown.PixelBGRA(437, 281));
}
