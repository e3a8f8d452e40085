// The bundled layered document: the generator still builds what samples/
// holds, and the viewer's path (load, flatten without background) shows it.

#include <gtest/gtest.h>

#include "SampleDocument.h"
#include "TestSupport.h"
#include "document/MQDoc.h"
#include "platform/Streams.h"

using namespace qv;

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
    qvtest::ExpectSameDocument(Generated, Reloaded);

    TPictureDoc Bundled;
    Bundled.LoadFromFile(qvtest::SamplesDir() + "/layers.mqd");
    qvtest::ExpectSameDocument(Generated, Bundled);
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
