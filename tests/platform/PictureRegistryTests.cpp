#include <gtest/gtest.h>

#include "platform/Graphics.h"
#include "platform/JPEG.h"

using namespace qv;

namespace {
class TScratchGraphic : public TBitmap {
    QV_DECLARE_GRAPHIC_CLASS(TScratchGraphic)
};
class TScratchChild : public TScratchGraphic {
    QV_DECLARE_GRAPHIC_CLASS(TScratchChild)
};
QV_DEFINE_GRAPHIC_CLASS(TScratchGraphic, TBitmap)
QV_DEFINE_GRAPHIC_CLASS(TScratchChild, TScratchGraphic)
} // namespace

TEST(PictureRegistry, PlatformFormatsEndTheMaskInTheirOrder) {
    const std::string Mask = TPicture::GraphicFileMask(TGraphic::StaticClass());
    const std::string Tail = "*.jpg;*.jpeg;*.bmp;*.ico;*.emf;*.wmf";
    ASSERT_GE(Mask.size(), Tail.size());
    EXPECT_EQ(Mask.substr(Mask.size() - Tail.size()), Tail);
    EXPECT_EQ(TPicture::FindGraphicClass("JPG"), TJPEGImage::StaticClass());
}

TEST(PictureRegistry, UnregisteringAClassDropsItsDescendants) {
    TPicture::RegisterFileFormat("qva", "Scratch A", TScratchGraphic::StaticClass());
    TPicture::RegisterFileFormat("qvb", "Scratch B", TScratchChild::StaticClass());
    std::string Mask = TPicture::GraphicFileMask(TGraphic::StaticClass());
    EXPECT_EQ(Mask.rfind("*.qvb;*.qva;", 0), 0u) << "newest registration first";
    EXPECT_EQ(TPicture::GraphicFileMask(TScratchChild::StaticClass()), "*.qvb");

    TPicture::UnregisterGraphicClass(TScratchGraphic::StaticClass());
    Mask = TPicture::GraphicFileMask(TGraphic::StaticClass());
    EXPECT_EQ(Mask.find("qva"), std::string::npos);
    EXPECT_EQ(Mask.find("qvb"), std::string::npos);
    EXPECT_NE(Mask.find("*.bmp"), std::string::npos);
}

TEST(PictureRegistry, LoadingAnUnknownExtensionIsAClearError) {
    TPicture Picture;
    try {
        Picture.LoadFromFile("/tmp/picture.qvnone");
        FAIL() << "expected an error";
    } catch (const EInvalidGraphic& E) {
        EXPECT_EQ(E.Message(), "Unknown picture file extension (.qvnone)");
    }
    EXPECT_EQ(Picture.Graphic(), nullptr);
}

TEST(PictureRegistry, MetafilesRefuseToLoad) {
    TPicture Picture;
    EXPECT_THROW(Picture.LoadFromFile("/tmp/x.wmf"), Exception);
}
