#include "app/ImageList.h"

#include "display/Pix32.h"
#include "platform/System.h"

namespace qv {

namespace {

// Greys the glyph and lifts it towards white, keeping its mask, so a disabled
// command still shows its shape but clearly reads as unavailable.
std::unique_ptr<TBitmap> MakeDisabledLook(const TBitmap& Source) {
    auto Result = std::make_unique<TBitmap>();
    Result->Assign(&Source);
    for (int Y = 0; Y < Result->Height(); ++Y) {
        auto* Row = reinterpret_cast<TPixel32*>(Result->ScanLine(Y));
        for (int X = 0; X < Result->Width(); ++X) {
            const TPixel32 P = Row[X];
            const int Luma = (PixelRed(P) * 77 + PixelGreen(P) * 150 + PixelBlue(P) * 29) >> 8;
            const auto Grey = static_cast<uint8_t>(128 + Luma / 2);
            Row[X] = MakePixel(Grey, Grey, Grey, PixelAlpha(P));
        }
    }
    return Result;
}

} // namespace

TImageList::TImageList(int Width, int Height) : FWidth(Width), FHeight(Height) {}

int TImageList::Add(const TBitmap& Image) {
    if (Image.Width() != FWidth || Image.Height() != FHeight)
        throw EInvalidGraphic(Format("Image list glyphs must be %dx%d pixels", FWidth, FHeight));
    auto Copy = std::make_unique<TBitmap>();
    Copy->Assign(&Image);
    Ensure32Bit(*Copy);
    FDisabled.push_back(MakeDisabledLook(*Copy));
    FImages.push_back(std::move(Copy));
    return Count() - 1;
}

const TBitmap& TImageList::Image(int Index) const {
    if (Index < 0 || Index >= Count()) throw EListError(Index);
    return *FImages[static_cast<size_t>(Index)];
}

const TBitmap& TImageList::DisabledImage(int Index) const {
    if (Index < 0 || Index >= Count()) throw EListError(Index);
    return *FDisabled[static_cast<size_t>(Index)];
}

void TImageList::Draw(TCanvas& Canvas, int X, int Y, int Index, bool Enabled) const {
    Canvas.Draw(X, Y, Enabled ? Image(Index) : DisabledImage(Index));
}

} // namespace qv
