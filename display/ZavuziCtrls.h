#pragma once
// The image view control and its base class, as Qt widgets. The view keeps
// its own 32-bit copy of the picture and paints it through PaintImageView.

#include <functional>
#include <memory>

#include <QWidget>

#include "display/ImageViewPaint.h"
#include "platform/Colors.h"
#include "platform/Graphics.h"
#include "platform/Types.h"

namespace qv {

/// A notification carrying its sender.
using TNotifyEvent = std::function<void(QObject* Sender)>;

/// A custom control that reports the mouse entering and leaving it.
class TExCustomControl : public QWidget {
    Q_OBJECT
public:
    explicit TExCustomControl(QWidget* Parent = nullptr);

    /// True between a mouse-enter and the next mouse-leave notification.
    bool MouseInControl() const { return FMouseInControl; }

    TNotifyEvent OnMouseEnter;
    TNotifyEvent OnMouseLeave;

protected:
    /// Sets the in-control flag, fires OnMouseEnter and repaints.
    virtual void MouseEnter();
    /// Clears the in-control flag, fires OnMouseLeave and repaints.
    virtual void MouseLeave();

    void enterEvent(QEnterEvent* Event) override;
    void leaveEvent(QEvent* Event) override;

private:
    bool FMouseInControl = false;
};

/// Shows one picture centred at a zoom of 25..500 percent; the left button
/// drags an enlarged picture, the wheel zooms, the middle button resets to 100.
/// Positions and the pan offset are in device pixels, so at 100 % one picture
/// pixel is one screen pixel on any screen.
class TImageView : public TExCustomControl {
    Q_OBJECT
public:
    explicit TImageView(QWidget* Parent = nullptr);
    ~TImageView() override;

    /// The picture on show, 32-bit once set; empty when there is none.
    const TBitmap& Bitmap() const { return *FBitmap; }
    /// Shows a copy of Value brought to 32 bits (none or an empty bitmap clears
    /// the view) and recentres it; the scale is kept.
    void SetBitmap(const TBitmap* Value);
    /// Like SetBitmap, but takes Value's pixels over instead of copying them
    /// (Value is left empty), so a large picture is not held twice.
    void TakeBitmap(TBitmap& Value);

    int32_t Scale() const { return FScale; }
    /// Clamps Value to 25..500, fires OnScaleChange and repaints; a request equal
    /// to the current scale does nothing.
    void SetScale(int32_t Value);

    TImageViewMode Mode() const { return FMode; }
    /// Stores a different resampling mode and repaints.
    void SetMode(TImageViewMode Value);

    /// When true the mouse wheel changes Scale by a tenth of its delta.
    bool MouseScale() const { return FMouseScale; }
    void SetMouseScale(bool Value) { FMouseScale = Value; }

    /// The background colour (a platform colour; system colours allowed).
    TColor Color() const { return FColor; }
    void SetColor(TColor Value);

    /// The pan offset of the picture centre from the view centre, as left by the last paint.
    TPoint Offset() const { return FOffset; }

    /// Fired after every accepted change of Scale.
    TNotifyEvent OnScaleChange;

protected:
    void MouseEnter() override;
    void paintEvent(QPaintEvent* Event) override;
    void mousePressEvent(QMouseEvent* Event) override;
    void mouseMoveEvent(QMouseEvent* Event) override;
    void mouseReleaseEvent(QMouseEvent* Event) override;
    void wheelEvent(QWheelEvent* Event) override;

private:
    TPoint DevicePosition(const QMouseEvent& Event) const;

    std::unique_ptr<TBitmap> FBitmap;
    int32_t FScale = 0;
    TImageViewMode FMode = ivAuto;
    bool FMouseScale = false;
    TColor FColor = clWindow;
    TPoint FOffset;
    TPoint FLastMouse;
};

} // namespace qv
