#include "imaging/formats/Registration.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "imaging/ImageLib.h"
#include "imaging/formats/Autodesk.h"
#include "imaging/formats/CUT.h"
#include "imaging/formats/EPS.h"
#include "imaging/formats/GIF.h"
#include "imaging/formats/PCD.h"
#include "imaging/formats/PCX.h"
#include "imaging/formats/PNG.h"
#include "imaging/formats/PPM.h"
#include "imaging/formats/PSD.h"
#include "imaging/formats/PSP.h"
#include "imaging/formats/RLA.h"
#include "imaging/formats/SGI.h"
#include "imaging/formats/TIFF.h"
#include "imaging/formats/Targa.h"
#include "platform/Exceptions.h"
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

namespace {

struct TExpectedRow {
    const char* Extension;
    const char* RegisteredAs;
    uint8_t Kinds;
    TGraphicClass (*GraphicClass)();
};

// Kinds as bits: Raster 8, + MultiImage 12, + Layered 10, + Animation 13, + Vector 24.
const TExpectedRow ExpectedRows[] = {
    {"jfif", "JFIF images", 8, &TJPEGImage::StaticClass},
    {"jpe", "JPE images", 8, &TJPEGImage::StaticClass},
    {"rle", "Run length encoded Windows bitmaps", 8, &TBitmap::StaticClass},
    {"dib", "Device independant Windows bitmaps", 8, &TBitmap::StaticClass},
    {"win", "Truevision images", 8, &TTargaGraphic::StaticClass},
    {"vst", "Truevision images", 8, &TTargaGraphic::StaticClass},
    {"vda", "Truevision images", 8, &TTargaGraphic::StaticClass},
    {"tga", "Truevision images", 8, &TTargaGraphic::StaticClass},
    {"icb", "Truevision images", 8, &TTargaGraphic::StaticClass},
    {"tiff", "Macintosh TIFF images", 12, &TTIFFGraphic::StaticClass},
    {"tif", "PC TIF images", 12, &TTIFFGraphic::StaticClass},
    {"fax", "GFI fax images", 12, &TTIFFGraphic::StaticClass},
    {"eps", "Encapsulated Postscript images", 8, &TEPSGraphic::StaticClass},
    {"pcx", "ZSoft Paintbrush images", 8, &TPCXGraphic::StaticClass},
    {"pcc", "ZSoft Paintbrush images", 8, &TPCXGraphic::StaticClass},
    {"scr", "Word 5.x screen capture images", 8, &TPCXGraphic::StaticClass},
    {"rpf", "Alias/Wavefront images", 8, &TRLAGraphic::StaticClass},
    {"rla", "Alias/Wavefront images", 8, &TRLAGraphic::StaticClass},
    {"sgi", "SGI true color images", 8, &TSGIGraphic::StaticClass},
    {"rgba", "SGI true color images with alpha", 8, &TSGIGraphic::StaticClass},
    {"rgb", "SGI true color images", 8, &TSGIGraphic::StaticClass},
    {"bw", "SGI black/white images", 8, &TSGIGraphic::StaticClass},
    {"psd", "Photoshop images", 10, &TPSDGraphic::StaticClass},
    {"pdd", "Photoshop images", 10, &TPSDGraphic::StaticClass},
    {"ppm", "Portable pixel map images", 8, &TPPMGraphic::StaticClass},
    {"pgm", "Portable gray map images", 8, &TPPMGraphic::StaticClass},
    {"pbm", "Portable bitmap images", 8, &TPPMGraphic::StaticClass},
    {"cel", "Autodesk images", 8, &TAutodeskGraphic::StaticClass},
    {"pic", "Autodesk images", 8, &TAutodeskGraphic::StaticClass},
    {"pcd", "Kodak Photo-CD images", 8, &TPCDGraphic::StaticClass},
    {"gif", "CompuServe images", 13, &TGIFGraphic::StaticClass},
    {"cut", "Dr. Halo images", 8, &TCUTGraphic::StaticClass},
    {"psp", "Paintshop Pro images", 24, &TPSPGraphic::StaticClass},
    {"png", "Portable network graphic images", 8, &TPNGGraphic::StaticClass},
};

} // namespace

TEST(StartupRegistration, EveryRowAtItsPlaceWithItsKindsAndClass) {
    InitializeImageLib();
    const TFileFormatList& List = FileFormatList();

    EXPECT_EQ(TPicture::GraphicFileMask(TGraphic::StaticClass()),
              "*.png;*.psp;*.cut;*.gif;*.pcd;*.pic;*.cel;*.pbm;*.pgm;*.ppm;*.pdd;*.psd;*.bw;*.rgb;*.rgba;*.sgi;"
              "*.rla;*.rpf;*.scr;*.pcc;*.pcx;*.eps;*.fax;*.tif;*.tiff;*.icb;*.tga;*.vda;*.vst;*.win;*.dib;*.rle;"
              "*.jpe;*.jfif;*.jpg;*.jpeg;*.bmp;*.ico;*.emf;*.wmf");
    ASSERT_EQ(List.ExtensionCount(), 34);
    EXPECT_EQ(List.ClassCount(), 16);
    for (int I = 0; I < 34; ++I) {
        const TExpectedRow& Row = ExpectedRows[I];
        const auto& Entry = List.ExtensionEntry(I);
        SCOPED_TRACE(Row.Extension);
        EXPECT_EQ(Entry.Extension, Row.Extension);
        EXPECT_EQ(Entry.FormatTypes.Bits(), Row.Kinds);
        ASSERT_NE(Entry.ClassEntry, nullptr);
        EXPECT_EQ(Entry.ClassEntry->GraphicClass, Row.GraphicClass());
        EXPECT_EQ(PlatformDescription(Row.Extension), Row.RegisteredAs);
        EXPECT_EQ(TPicture::FindGraphicClass(Row.Extension), Row.GraphicClass());
    }
    const int Targa = List.FindGraphicClass(TTargaGraphic::StaticClass());
    ASSERT_GE(Targa, 0);
    EXPECT_EQ(List.ClassEntry(Targa).Count, 5);
    EXPECT_EQ(List.ClassEntry(Targa).Description, "Truevision images");
    // The class description given once holds for the rows after it.
    EXPECT_EQ(List.ClassEntry(List.FindGraphicClass(TSGIGraphic::StaticClass())).Description, "SGI images");
    EXPECT_EQ(List.ClassEntry(List.FindGraphicClass(TPPMGraphic::StaticClass())).Description, "Portable map images");
}

TEST(StartupRegistrationDeathTest, ShutdownLeavesOnlyTheRegistryReleasedClassesAndNamesMissingOnes) {
    // Unregistering a class drops it from the process-wide platform registry, so this runs in a child.
    auto ReadersOnly = [](TFileFormatList& L, TGraphicClass Skip) {
        for (const TExpectedRow& Row : ExpectedRows) {
            const TGraphicClass Class = Row.GraphicClass();
            if (Class == TJPEGImage::StaticClass() || Class == TBitmap::StaticClass() || Class == Skip) continue;
            L.RegisterFileFormat(std::string(Row.Extension) + "x", "C", "", TFormatKinds::FromBits(Row.Kinds),
                                 false, Class);
        }
    };
    EXPECT_EXIT(
        {
            TFileFormatList Whole;
            ReadersOnly(Whole, nullptr);
            const bool AllThere = Whole.ClassCount() == 14;
            UnregisterShutdownFormats(Whole); // must not raise
            // Only the class the registry's own release drops is left.
            const bool EpsLeft = Whole.ClassCount() == 1 && Whole.ExtensionCount() == 1 &&
                                 Whole.ClassEntry(0).GraphicClass == TEPSGraphic::StaticClass();
            TFileFormatList Gapped;
            ReadersOnly(Gapped, TGIFGraphic::StaticClass());
            std::string Message;
            try {
                UnregisterShutdownFormats(Gapped);
            } catch (const Exception& E) {
                Message = E.what();
            }
            const bool Named = Message.find("TGIFGraphic") != std::string::npos;
            const bool OthersGone = Gapped.ClassCount() == 1; // the rest were unregistered all the same
            std::fprintf(stderr, "%d %d %d %d %s\n", AllThere, EpsLeft, Named, OthersGone, Message.c_str());
            std::exit(AllThere && EpsLeft && Named && OthersGone ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}
