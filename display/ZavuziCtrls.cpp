#include "display/ZavuziCtrls.h"

#include <QEnterEvent>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace qv {

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
    // Work in device pixels: the frame is one screen pixel and 100 % is one
    // picture pixel per screen pixel. At fractional ratios the view's edges fall
    // where the window's device grid rounds them, so the area is taken from there.
    const QPoint Origin = mapTo(window(), QPoint(0, 0));
    const TDeviceSpan X = DeviceSpan(Origin.x(), width(), Ratio);
    const TDeviceSpan Y = DeviceSpan(Origin.y(), height(), Ratio);
    if (X.Count <= 0 || Y.Count <= 0) return;
    Painter.setWorldTransform(QTransform::fromScale(1 / Ratio, 1 / Ratio));

    // QImage's 32-bit layout is our pixel layout (blue, green, red, alpha in
    // memory), so the view is painted straight into the off-screen image.
    QImage OffScreen(X.Count, Y.Count, QImage::Format_RGB32);
    if (OffScreen.isNull()) return;
    TSurface Dest;
    Dest.Width = OffScreen.width();
    Dest.Height = OffScreen.height();
    Dest.Stride = static_cast<int32_t>(OffScreen.bytesPerLine());
    Dest.Bits = reinterpret_cast<TPixel32*>(OffScreen.bits());
    PaintFramedImageView(Dest, *FBitmap, FScale, FMode, FColor, FOffset);
    // Device position First, relative to where this widget's origin lands on the device.
    Painter.drawImage(QPointF(X.First - Origin.x() * Ratio, Y.First - Origin.y() * Ratio), OffScreen);
}

void TImageView::TakeBitmap(TBitmap& Value) {
    TakeAs32Bit(*FBitmap, Value);
    FOffset = TPoint{};
    update();
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
