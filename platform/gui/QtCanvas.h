#pragma once
// TCanvas over a QPainter, for the menu painter and other window routines.

#include <QFont>
#include <QFontMetrics>
#include <QPainter>

#include "platform/gui/Canvas.h"

namespace qv {

class TQtCanvas : public TCanvas {
public:
    /// Draws with Painter, whose font is the canvas font; the painter must outlive the canvas.
    explicit TQtCanvas(QPainter& Painter);
    /// A canvas that only measures text in Font; drawing does nothing.
    explicit TQtCanvas(const QFont& Font);

    void SetBrushColor(TColor Color) override;
    void SetBrushStyle(TBrushStyle Style) override;
    void SetPenColor(TColor Color) override;
    void SetFontColor(TColor Color) override;
    int TextWidth(const std::string& Text) override;
    int TextHeight(const std::string& Text) override;
    void FillRect(const TRect& R) override;
    void FrameRect(const TRect& R) override;
    void Ellipse(const TRect& R) override;
    void DrawText(const TRect& R, const std::string& Text, TTextAlign Align) override;
    void Draw(int X, int Y, const TBitmap& Bitmap) override;

private:
    QFontMetrics Metrics() const;

    QPainter* FPainter;
    QFont FFont;
    QColor FBrushColor{Qt::white};
    QColor FPenColor{Qt::black};
    QColor FFontColor{Qt::black};
    TBrushStyle FBrushStyle = TBrushStyle::Solid;
};

} // namespace qv
