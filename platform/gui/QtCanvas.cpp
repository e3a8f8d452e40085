#include "platform/gui/QtCanvas.h"

#include <QFontMetrics>

#include "platform/gui/QtGraphics.h"

namespace qv {

namespace {

QRect ToQRect(const TRect& R) { return QRect(R.Left, R.Top, R.Width(), R.Height()); }

} // namespace

TQtCanvas::TQtCanvas(QPainter& Painter) : FPainter(&Painter), FFont(Painter.font()) {}

TQtCanvas::TQtCanvas(const QFont& Font) : FPainter(nullptr), FFont(Font) {}

QFontMetrics TQtCanvas::Metrics() const { return FPainter != nullptr ? FPainter->fontMetrics() : QFontMetrics(FFont); }

void TQtCanvas::SetBrushColor(TColor Color) {
    FBrushColor = ToQColor(Color);
    FBrushStyle = TBrushStyle::Solid;
}

void TQtCanvas::SetBrushStyle(TBrushStyle Style) { FBrushStyle = Style; }
void TQtCanvas::SetPenColor(TColor Color) { FPenColor = ToQColor(Color); }
void TQtCanvas::SetFontColor(TColor Color) { FFontColor = ToQColor(Color); }

int TQtCanvas::TextWidth(const std::string& Text) {
    return Metrics().horizontalAdvance(QString::fromStdString(Text));
}

int TQtCanvas::TextHeight(const std::string& Text) {
    // Like the desktop's text height: the font's line height, whatever the text.
    return Metrics().height();
}

void TQtCanvas::FillRect(const TRect& R) {
    if (FPainter == nullptr || R.IsEmpty()) return;
    FPainter->fillRect(ToQRect(R), FBrushColor);
}

void TQtCanvas::FrameRect(const TRect& R) {
    if (FPainter == nullptr || R.IsEmpty()) return;
    const QRect Q = ToQRect(R);
    FPainter->fillRect(QRect(Q.left(), Q.top(), Q.width(), 1), FBrushColor);
    FPainter->fillRect(QRect(Q.left(), Q.bottom(), Q.width(), 1), FBrushColor);
    FPainter->fillRect(QRect(Q.left(), Q.top(), 1, Q.height()), FBrushColor);
    FPainter->fillRect(QRect(Q.right(), Q.top(), 1, Q.height()), FBrushColor);
}

void TQtCanvas::Ellipse(const TRect& R) {
    if (FPainter == nullptr) return;
    FPainter->save();
    FPainter->setRenderHint(QPainter::Antialiasing);
    FPainter->setPen(FPenColor);
    if (FBrushStyle == TBrushStyle::Solid)
        FPainter->setBrush(FBrushColor);
    else
        FPainter->setBrush(Qt::NoBrush);
    // The ellipse fits inside R with its right and bottom edges exclusive.
    FPainter->drawEllipse(QRectF(R.Left + 0.5, R.Top + 0.5, R.Width() - 1.0, R.Height() - 1.0));
    FPainter->restore();
}

void TQtCanvas::DrawText(const TRect& R, const std::string& Text, TTextAlign Align) {
    if (FPainter == nullptr) return;
    const int Flags = Qt::TextShowMnemonic | Qt::TextSingleLine | Qt::AlignTop |
                      (Align == TTextAlign::Right ? Qt::AlignRight : Qt::AlignLeft);
    const QString QText = QString::fromStdString(Text);
    FPainter->save();
    FPainter->setClipRect(ToQRect(R), Qt::IntersectClip);
    // An opaque brush paints behind the text only, not the whole rectangle.
    if (FBrushStyle == TBrushStyle::Solid)
        FPainter->fillRect(Metrics().boundingRect(ToQRect(R), Flags, QText), FBrushColor);
    FPainter->setPen(FFontColor);
    FPainter->drawText(ToQRect(R), Flags, QText);
    FPainter->restore();
}

void TQtCanvas::Draw(int X, int Y, const TBitmap& Bitmap) {
    if (FPainter == nullptr || Bitmap.Empty()) return;
    FPainter->drawImage(QPoint(X, Y), BitmapToQImage(Bitmap));
}

} // namespace qv
