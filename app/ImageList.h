#pragma once
// A list of equally sized glyphs (32-bit bitmaps with alpha as the mask) that
// menus and the toolbar draw by index, each also in a disabled look.

#include <memory>
#include <vector>

#include "platform/Graphics.h"
#include "platform/gui/Canvas.h"

namespace qv {

class TImageList {
public:
    /// An empty list of glyphs of Width x Height pixels.
    TImageList(int Width, int Height);

    int Width() const { return FWidth; }
    int Height() const { return FHeight; }
    int Count() const { return static_cast<int>(FImages.size()); }

    /// Appends a copy of Image brought to 32 bits; raises EInvalidGraphic when
    /// its size is not the list's. Returns the new glyph's index.
    int Add(const TBitmap& Image);
    /// The glyph at Index; raises EListError outside 0..Count-1.
    const TBitmap& Image(int Index) const;
    /// The glyph at Index in its disabled look: grey, light and embossed-flat.
    const TBitmap& DisabledImage(int Index) const;
    /// Draws glyph Index at (X, Y), in its disabled look when not Enabled.
    void Draw(TCanvas& Canvas, int X, int Y, int Index, bool Enabled) const;

private:
    int FWidth;
    int FHeight;
    std::vector<std::unique_ptr<TBitmap>> FImages;
    std::vector<std::unique_ptr<TBitmap>> FDisabled;
};

} // namespace qv
