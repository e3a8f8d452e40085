#pragma once
// The viewer's nine 16 x 16 command glyphs, our own pixel artwork.

#include <memory>

#include "app/ImageList.h"

namespace qv {

/// Glyph indices of the viewer's image list.
enum TGlyphIndex : int {
    giPrevious = 0,
    giNext = 1,
    giFirst = 2,
    giLast = 3,
    giActualSize = 4,
    giZoomIn = 5,
    giZoomOut = 6,
    giHideBrowser = 7,
    giWeb = 8,
    GlyphCount = 9
};

/// The image list with the nine glyphs in index order.
std::unique_ptr<TImageList> CreateViewerGlyphs();

} // namespace qv
