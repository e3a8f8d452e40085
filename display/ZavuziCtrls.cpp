#include "display/ZavuziCtrls.h"

#include <QEnterEvent>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace qv {

namespace {

QColor ToQColor(TColor Color) {
    const TColor C = ColorToRGB(Color);
    return QColor(GetRValue(C), GetGValue(C), GetBValue(C));
}

TColor AdjustedColor(TColor Color, int Amount) {
    const TColor C = ColorToRGB(Color);
    auto Channel = [Amount](int V) { return static_cast<uint8_t>(std::clamp(V + Amount, 0, 255)); };
    return RGB(Channel(GetRValue(C)), Channel(GetGValue(C)), Channel(GetBValue(C)));
}

} // namespace

// ---- TExCustomControl --------------------------------------------------------

TExCustomControl::TExCustomControl(QWidget* Parent) : QWidget(Parent) {}

void TExCustomControl::MouseEnter() {
    FMouseInControl = true;
    if (OnMouseEnter) OnMouseEnter(this);
    update();
}

void TExCustomControl::MouseLeave() {
    FMouseInControl = false;
    if (OnMouseLeave) OnMouseLeave(this);
    update();
}

void TExCustomControl::enterEvent(QEnterEvent* Event) {
    QWidget::enterEvent(Event);
    MouseEnter();
}

void TExCustomControl::leaveEvent(QEvent* Event) {
    QWidget::leaveEvent(Event);
    MouseLeave();
}

// ---- TImageView ------------------------------------------------------------

TImageView::TImageView(QWidget* Parent) : TExCustomControl(Parent), FBitmap(std::make_unique<TBitmap>()) {
    // Every paint covers every pixel, so the background is never erased first.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    // Moves without a button keep the last mouse position current for the next drag.
    setMouseTracking(true);
    setFocusPolicy(Qt::ClickFocus);
    FMode = ivAuto;
    SetScale(100);
}

TImageView::~TImageView() = default;

void TImageView::SetBitmap(const TBitmap* Value) {
    FBitmap->FreeImage();
    if (Value != nullptr && !Value->Empty()) {
        FBitmap->Assign(Value);
        Ensure32Bit(*FBitmap);
    }
    FOffset = TPoint{};
    update();
}

void TImageView::SetScale(int32_t Value) {
    if (Value == FScale) return;
    FScale = std::clamp(Value, MinViewScale, MaxViewScale);
    if (OnScaleChange) OnScaleChange(this);
    update();
}

void TImageView::SetMode(TImageViewMode Value) {
    if (Value == FMode) return;
    FMode = Value;
    update();
}

void TImageView::SetColor(TColor Value) {
    if (Value == FColor) return;
    FColor = Value;
    update();
}

void TImageView::MouseEnter() {
    TExCustomControl::MouseEnter();
    // Taking the focus on entry lets the wheel zoom without a click first.
    if (isVisible()) setFocus(Qt::MouseFocusReason);
}

void TImageView::paintEvent(QPaintEvent*) {
    QPainter Painter(this);
    const qreal Ratio = devicePixelRatioF();
    const int W = static_cast<int>(std::lround(width() * Ratio));
    const int H = static_cast<int>(std::lround(height() * Ratio));
    // Work in device pixels: the frame is one screen pixel and 100 % is one
    // picture pixel per screen pixel.
    Painter.setWorldTransform(QTransform::fromScale(1 / Ratio, 1 / Ratio));

    const QColor Dark = ToQColor(AdjustedColor(FColor, -128));
    const QColor Light = ToQColor(AdjustedColor(FColor, 128));
    Painter.fillRect(QRect(0, 0, W - 1, 1), Dark);
    Painter.fillRect(QRect(0, 0, 1, H - 1), Dark);
    Painter.fillRect(QRect(0, H - 1, W, 1), Light);
    Painter.fillRect(QRect(W - 1, 0, 1, H), Light);
    if (W <= 2 || H <= 2) return;

    // QImage's 32-bit layout is our pixel layout (blue, green, red, alpha in
    // memory), so the inner area is painted straight into the off-screen image.
    QImage OffScreen(W - 2, H - 2, QImage::Format_RGB32);
    if (OffScreen.isNull()) return;
    TSurface Dest;
    Dest.Width = OffScreen.width();
    Dest.Height = OffScreen.height();
    Dest.Stride = static_cast<int32_t>(OffScreen.bytesPerLine());
    Dest.Bits = reinterpret_cast<TPixel32*>(OffScreen.bits());
    PaintImageView(Dest, *FBitmap, FScale, FMode, FColor, FOffset);
    Painter.drawImage(QPoint(1, 1), OffScreen);
}

TPoint TImageView::DevicePosition(const QMouseEvent& Event) const {
    const qreal Ratio = devicePixelRatioF();
    const QPointF P = Event.position() * Ratio;
    return TPoint{static_cast<int32_t>(std::lround(P.x())), static_cast<int32_t>(std::lround(P.y()))};
}

void TImageView::mousePressEvent(QMouseEvent* Event) {
    QWidget::mousePressEvent(Event);
    // A drag is measured from where the button went down even when no move
    // preceded the press (touch screens, pens).
    FLastMouse = DevicePosition(*Event);
    // Qt grabs the mouse for the pressed widget until the release, so a drag
    // continues outside the view.
    Event->accept();
}

void TImageView::mouseMoveEvent(QMouseEvent* Event) {
    QWidget::mouseMoveEvent(Event);
    const TPoint P = DevicePosition(*Event);
    if (Event->buttons() & Qt::LeftButton) {
        FOffset.X += P.X - FLastMouse.X;
        FOffset.Y += P.Y - FLastMouse.Y;
        update();
    }
    FLastMouse = P;
}

void TImageView::mouseReleaseEvent(QMouseEvent* Event) {
    QWidget::mouseReleaseEvent(Event);
    if (Event->button() == Qt::MiddleButton) SetScale(100);
    Event->accept();
}

void TImageView::wheelEvent(QWheelEvent* Event) {
    if (FMouseScale) SetScale(FScale + Event->angleDelta().y() / 10);
    // Not consumed: the parent may still act on the wheel.
    Event->ignore();
}

} // namespace qv
