#include "imaging/formats/Registration.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "imaging/ImageLib.h"
#include "platform/JPEG.h"

using namespace qv;

namespace {

std::string PlatformDescription(const std::string& Extension) {
    for (const auto& E : TPicture::RegisteredFormats())
        if (E.Extension == Extension) return E.Description;
    return "<none>";
}

bool EndsWith(const std::string& S, const std::string& Tail) {
    return S.size() >= Tail.size() && S.compare(S.size() - Tail.size(), Tail.size(), Tail) == 0;
}

} // namespace

TEST(StartupRegistration, PlatformMaskAndDescriptions) {
    InitializeImageLib();
    InitializeImageLib(); // a second start registers nothing twice
    const TFileFormatList& List = FileFormatList();

    EXPECT_TRUE(EndsWith(TPicture::GraphicFileMask(TGraphic::StaticClass()),
                         "*.dib;*.rle;*.jpe;*.jfif;*.jpg;*.jpeg;*.bmp;*.ico;*.emf;*.wmf"))
        << TPicture::GraphicFileMask(TGraphic::StaticClass());
    EXPECT_EQ(PlatformDescription("jfif"), "JFIF images");
    EXPECT_EQ(PlatformDescription("jpe"), "JPE images");
    EXPECT_EQ(PlatformDescription("rle"), "Run length encoded Windows bitmaps");
    EXPECT_EQ(PlatformDescription("dib"), "Device independant Windows bitmaps");

    const int Bitmaps = List.FindGraphicClass(TBitmap::StaticClass());
    ASSERT_GE(Bitmaps, 0);
    EXPECT_EQ(List.ClassEntry(Bitmaps).Count, 2);
    EXPECT_EQ(List.ClassEntry(Bitmaps).Description, "Windows bitmaps");
    const int Jpeg = List.FindGraphicClass(TJPEGImage::StaticClass());
    ASSERT_GE(Jpeg, 0);
    EXPECT_EQ(List.ClassEntry(Jpeg).Description, "JPG images");
    EXPECT_EQ(List.ExtensionEntry(List.FindExtension("JPE")).ClassEntry, &List.ClassEntry(Jpeg));
    EXPECT_EQ(TPicture::FindGraphicClass("DIB"), TBitmap::StaticClass());
}

TEST(StartupRegistrationDeathTest, ShutdownUnregistersInOrder) {
    // Shut-down removes the bitmap class from the process-wide platform registry, so it runs in a child.
    EXPECT_EXIT(
        {
            InitializeImageLib();
            TFileFormatList& List = FileFormatList();
            List.UnregisterFileFormat("rle", TBitmap::StaticClass());
            const bool BitmapKept = TPicture::FindGraphicClass("bmp") == TBitmap::StaticClass();
            List.UnregisterFileFormat("dib", TBitmap::StaticClass());
            const bool BitmapGone = TPicture::FindGraphicClass("bmp") == nullptr;
            FinalizeImageLib();
            const bool JpegGone = TPicture::FindGraphicClass("jpg") == nullptr;
            const bool Rest = TPicture::GraphicFileMask(TGraphic::StaticClass()) == "*.ico;*.emf;*.wmf";
            std::exit(BitmapKept && BitmapGone && JpegGone && Rest ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}
