#pragma once
// The drawing surface the window routines paint on: text measuring and
// drawing, framed and filled rectangles, ellipses and 32-bit bitmaps.
// Deliberately free of Qt so that the menu painter can be tested headless;
// TQtCanvas implements it over a QPainter.

#include <string>

#include "platform/Colors.h"
#include "platform/Graphics.h"
#include "platform/Types.h"

namespace qv {

/// Whether filled shapes and text paint a background.
enum class TBrushStyle { Solid, Clear };

/// Horizontal placement of text inside its rectangle (always top-aligned).
enum class TTextAlign { Left, Right };

class TCanvas {
public:
    TCanvas() = default;
    virtual ~TCanvas() = default;
    TCanvas(const TCanvas&) = delete;
    TCanvas& operator=(const TCanvas&) = delete;

    /// Colour used by FillRect, FrameRect, the inside of Ellipse and solid text backgrounds.
    virtual void SetBrushColor(TColor Color) = 0;
    virtual void SetBrushStyle(TBrushStyle Style) = 0;
    /// Colour of the outline of Ellipse.
    virtual void SetPenColor(TColor Color) = 0;
    /// Colour of the text DrawText writes.
    virtual void SetFontColor(TColor Color) = 0;

    /// Width and height in pixels of Text in the canvas font.
    virtual int TextWidth(const std::string& Text) = 0;
    virtual int TextHeight(const std::string& Text) = 0;

    /// Fills R with the brush colour.
    virtual void FillRect(const TRect& R) = 0;
    /// Draws a one-pixel frame just inside R in the brush colour.
    virtual void FrameRect(const TRect& R) = 0;
    /// An ellipse inside R, filled with the brush and outlined with the pen.
    virtual void Ellipse(const TRect& R) = 0;
    /// Draws Text into R, top-aligned, single line, clipped to R; "&" marks
    /// the next character as the accelerator and is not drawn itself.
    virtual void DrawText(const TRect& R, const std::string& Text, TTextAlign Align) = 0;
    /// Draws a 32-bit bitmap with its top-left corner at (X, Y), blended by its alpha.
    virtual void Draw(int X, int Y, const TBitmap& Bitmap) = 0;
};

} // namespace qv
