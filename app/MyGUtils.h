#pragma once
// The viewer's small utility module: load timing, loading a picture file into
// a bitmap through the picture registry, opening a URL, the colour, rectangle
// and gradient routines, and the painter of the owner-drawn menu items.

#include <cstdint>
#include <string>
#include <vector>

#include "app/ImageList.h"
#include "platform/Colors.h"
#include "platform/Graphics.h"
#include "platform/Types.h"
#include "platform/gui/Canvas.h"

namespace qv {

/// The system's millisecond tick count.
uint32_t TickCount();

/// Loads FileName through a TPicture (reader chosen by extension) into Bitmap;
/// bitmap and JPEG pictures hand their pixels over, other graphics are copied
/// with Assign. Errors propagate to the caller.
void LoadPictureToBitmap(TBitmap& Bitmap, const std::string& FileName);

// ---- Colours ---------------------------------------------------------------

/// The menu palette's fixed colours.
constexpr TColor MenuPaperColor = clWhite;
constexpr TColor MenuAccentColor = 0xFF9966;

/// Resolves Color to RGB and adds Amount to red, green and blue, each clamped to 0..255.
TColor AdjustColor(TColor Color, int Amount);
/// AdjustColor by +128.
TColor LightColor(TColor Color);
/// AdjustColor by -64.
TColor ShadowColor(TColor Color);
/// AdjustColor by -128.
TColor DarkColor(TColor Color);
/// Resolves both colours; each channel is the truncated mean of the two.
TColor AverageColor(TColor A, TColor B);

/// R with Left and Top moved out by DX and DY and Right and Bottom likewise
/// (negative values shrink it).
TRect GrowRect(const TRect& R, int DX, int DY);

// ---- Gradients -------------------------------------------------------------

/// One vertex of a gradient: a position and colour channels scaled to 16 bits
/// (the 8-bit value shifted left by 8).
struct TTriVertex {
    int32_t X = 0;
    int32_t Y = 0;
    uint16_t Red = 0;
    uint16_t Green = 0;
    uint16_t Blue = 0;
    uint16_t Alpha = 0;
};

/// Indices of two vertices spanning a rectangle (upper left, lower right).
struct TGradientRect {
    uint32_t UpperLeft = 0;
    uint32_t LowerRight = 0;
};

/// Indices of the three corners of a triangle.
struct TGradientTriangle {
    uint32_t Vertex1 = 0;
    uint32_t Vertex2 = 0;
    uint32_t Vertex3 = 0;
};

/// The vertex of colour C at (X, Y), each channel shifted left by 8, alpha 0.
TTriVertex MakeVertex(int32_t X, int32_t Y, TColor C);

/// Fills the rectangles with a colour running from the upper-left vertex to the
/// lower-right one, horizontally (Vertical false) or vertically, into a 32-bit
/// bitmap whose pixel (0, 0) stands at Origin. Pixels outside the bitmap and
/// rectangles that name missing vertices are skipped; filled pixels get alpha
/// 255, the rest are left alone.
void GradientFillRects(TBitmap& Target, const TPoint& Origin, const std::vector<TTriVertex>& Vertices,
                       const std::vector<TGradientRect>& Rects, bool Vertical);
/// Fills the triangles with colours interpolated between their corners. A pixel
/// belongs to a triangle when its centre lies inside; a centre exactly on an
/// edge shared by two triangles is filled once.
void GradientFillTriangles(TBitmap& Target, const TPoint& Origin, const std::vector<TTriVertex>& Vertices,
                           const std::vector<TGradientTriangle>& Triangles);

/// Fills R on Canvas as two triangles, (top-left, top-right, bottom-left) and
/// (bottom-left, top-right, bottom-right), with one colour per corner.
void GradientQuad(TCanvas& Canvas, const TRect& R, TColor TopLeft, TColor TopRight, TColor BottomLeft,
                  TColor BottomRight);

/// The four gradient kinds of FillGradient.
enum class TGradientKind : uint8_t {
    Horizontal = 0,        ///< A at the left, B at the right
    Vertical = 1,          ///< A at the top, B at the bottom
    DiagonalDown = 2,      ///< A at the top left, B at the bottom right
    DiagonalUp = 3         ///< A at the top right, B at the bottom left
};

/// Fills R with a gradient from A to B; the diagonal kinds give the two other
/// corners the average of A and B.
void FillGradient(TCanvas& Canvas, const TRect& R, TColor A, TColor B, TGradientKind Kind);

// ---- Owner-drawn menus -----------------------------------------------------

/// What the menu painter needs to know of one menu item.
struct TMenuItemInfo {
    std::string Caption;             ///< "-" for a separator
    std::string ShortCutText;        ///< the shortcut as the desktop writes it, empty when none
    std::string Hint;                ///< drawn in the middle of a separator
    int ImageIndex = -1;             ///< glyph in Images, -1 for none
    const TImageList* Images = nullptr;
    bool IsMenuBarItem = false;      ///< a top-level item of the menu bar
};

/// The owner-draw state flags the painter uses.
struct TOwnerDrawState {
    bool Selected = false;
    bool Grayed = false;
    bool Disabled = false;
    bool Checked = false;
};

/// Proposes the size of a menu item: a menu-bar item is its caption's width + 8
/// wide (Height untouched); a drop-down item is 20 high and its caption's plus
/// its shortcut's width + 48 wide.
void MeasureMenuItem(const TMenuItemInfo& Item, TCanvas& Canvas, int& Width, int& Height);

/// Draws a menu item into R: accent strip, gradient background or highlight,
/// check mark or glyph, caption and right-aligned shortcut; separators draw
/// two engraved bars around their hint.
void DrawMenuItem(const TMenuItemInfo& Item, TCanvas& Canvas, const TRect& R, const TOwnerDrawState& State);

} // namespace qv
