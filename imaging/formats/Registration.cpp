#include "imaging/formats/Registration.h"

#include <string>

#include "imaging/ImageLib.h"
#include "imaging/ImageStrings.h"
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
#include "platform/Graphics.h"
#include "platform/Icon.h"
#include "platform/JPEG.h"

namespace qv {

namespace {

struct TRegistrationRow {
    const char* Extension;
    const char* Common;     // class description; "" keeps the one given before
    const char* Individual; // "" falls back to the class description
    TFormatKinds Kinds;
    TGraphicClass (*GraphicClass)();
};

constexpr TFormatKinds R{TFormatKind::Raster};
constexpr TFormatKinds RM{TFormatKind::Raster, TFormatKind::MultiImage};
constexpr TFormatKinds RL{TFormatKind::Raster, TFormatKind::Layered};
constexpr TFormatKinds RMA{TFormatKind::Raster, TFormatKind::MultiImage, TFormatKind::Animation};
constexpr TFormatKinds RV{TFormatKind::Raster, TFormatKind::Vector};

// The order is the order of the platform's file mask (newest first), which the
// viewer's file list is built from. Each reader adds its rows where its comment stands.
const TRegistrationRow StartupTable[] = {
    {"jfif", gesJPGImages, gesJFIFImages, R, &TJPEGImage::StaticClass},
    {"jpe", "", gesJPEImages, R, &TJPEGImage::StaticClass},
    {"rle", gesBitmaps, gesRLEBitmaps, R, &TBitmap::StaticClass},
    {"dib", "", gesDIBs, R, &TBitmap::StaticClass},
    // Targa: win, vst, vda, tga, icb
    {"win", gesTruevision, "", R, &TTargaGraphic::StaticClass},
    {"vst", "", "", R, &TTargaGraphic::StaticClass},
    {"vda", "", "", R, &TTargaGraphic::StaticClass},
    {"tga", "", "", R, &TTargaGraphic::StaticClass},
    {"icb", "", "", R, &TTargaGraphic::StaticClass},
    // TIFF: tiff, tif, fax
    {"tiff", gesTIFF, gesMacTIFF, RM, &TTIFFGraphic::StaticClass},
    {"tif", "", gesPCTIF, RM, &TTIFFGraphic::StaticClass},
    {"fax", "", gesGFIFax, RM, &TTIFFGraphic::StaticClass},
    // EPS: eps
    {"eps", gesEPS, "", R, &TEPSGraphic::StaticClass},
    // PCX: pcx, pcc, scr
    {"pcx", gesPCX, "", R, &TPCXGraphic::StaticClass},
    {"pcc", "", "", R, &TPCXGraphic::StaticClass},
    {"scr", "", gesScreenCapture, R, &TPCXGraphic::StaticClass},
    // RLA: rpf, rla
    {"rpf", gesAliasWaveFront, "", R, &TRLAGraphic::StaticClass},
    {"rla", "", "", R, &TRLAGraphic::StaticClass},
    // SGI: sgi, rgba, rgb, bw
    {"sgi", gesSGI, gesSGITrueColor, R, &TSGIGraphic::StaticClass},
    {"rgba", "", gesSGITrueColorAlpha, R, &TSGIGraphic::StaticClass},
    {"rgb", "", gesSGITrueColor, R, &TSGIGraphic::StaticClass},
    {"bw", "", gesSGIMono, R, &TSGIGraphic::StaticClass},
    // Photoshop: psd, pdd
    {"psd", gesPhotoshop, "", RL, &TPSDGraphic::StaticClass},
    {"pdd", "", "", RL, &TPSDGraphic::StaticClass},
    // Portable maps: ppm, pgm, pbm
    {"ppm", gesPortable, gesPortablePixel, R, &TPPMGraphic::StaticClass},
    {"pgm", "", gesPortableGray, R, &TPPMGraphic::StaticClass},
    {"pbm", "", gesPortableMono, R, &TPPMGraphic::StaticClass},
    // Autodesk: cel, pic
    {"cel", gesAutodesk, "", R, &TAutodeskGraphic::StaticClass},
    {"pic", gesAutodesk, "", R, &TAutodeskGraphic::StaticClass},
    // Photo-CD: pcd
    {"pcd", gesKodakPhotoCD, "", R, &TPCDGraphic::StaticClass},
    // GIF: gif
    {"gif", gesCompuserve, "", RMA, &TGIFGraphic::StaticClass},
    // Dr. Halo: cut
    {"cut", gesHalo, "", R, &TCUTGraphic::StaticClass},
    // Paintshop Pro: psp
    {"psp", gesPaintShopPro, "", RV, &TPSPGraphic::StaticClass},
    // PNG: png
    {"png", gesPortableNetworkGraphic, "", R, &TPNGGraphic::StaticClass},
};

struct TShutdownStep {
    const char* Extension; // "" unregisters every extension of the class
    TGraphicClass (*GraphicClass)();
};

// Reader classes go first by class, in this order: Paintshop Pro, Photoshop, Targa, TIFF, SGI,
// PCX, Autodesk, Photo-CD, portable maps, Dr. Halo, GIF, RLA. Then the bitmap extensions, then
// PNG by class; EPS and the JPEG class are released by the registry itself.
const TShutdownStep ShutdownSteps[] = {
    // Paintshop Pro
    {"", &TPSPGraphic::StaticClass},
    // Photoshop
    {"", &TPSDGraphic::StaticClass},
    // Targa
    {"", &TTargaGraphic::StaticClass},
    // TIFF
    {"", &TTIFFGraphic::StaticClass},
    // SGI
    {"", &TSGIGraphic::StaticClass},
    // PCX
    {"", &TPCXGraphic::StaticClass},
    // Autodesk
    {"", &TAutodeskGraphic::StaticClass},
    // Photo-CD
    {"", &TPCDGraphic::StaticClass},
    // Portable maps
    {"", &TPPMGraphic::StaticClass},
    // Dr. Halo
    {"", &TCUTGraphic::StaticClass},
    // GIF
    {"", &TGIFGraphic::StaticClass},
    // RLA
    {"", &TRLAGraphic::StaticClass},
    {"rle", &TBitmap::StaticClass},
    {"dib", &TBitmap::StaticClass},
    // PNG
    {"", &TPNGGraphic::StaticClass},
};

} // namespace

void RegisterStartupFormats(TFileFormatList& List) {
    for (const TRegistrationRow& Row : StartupTable)
        List.RegisterFileFormat(Row.Extension, Row.Common, Row.Individual, Row.Kinds, false, Row.GraphicClass());
    // PNG: icon entries stored as PNG decode through the PNG reader.
    TIcon::SetPngDecoder(&DecodePNGIconEntry);
}

void UnregisterShutdownFormats(TFileFormatList& List) {
    std::string Missing;
    for (const TShutdownStep& Step : ShutdownSteps) {
        const TGraphicClass Class = Step.GraphicClass();
        if (List.FindGraphicClass(Class) < 0) {
            // A single extension already gone has nothing to drop; a whole class missing means
            // the start-up table and the shut-down order disagree.
            if (*Step.Extension == '\0') Missing += std::string(Missing.empty() ? "" : ", ") + Class->Name;
            continue;
        }
        List.UnregisterFileFormat(Step.Extension, Class);
    }
    // PNG: without the reader, PNG icon entries are refused again.
    TIcon::SetPngDecoder(nullptr);
    if (!Missing.empty()) throw Exception("Shut-down found classes that were never registered: " + Missing + ".");
}

} // namespace qv
