#pragma once
// A proxy style that measures and draws the items of our menus with the menu
// painter (MeasureMenuItem, DrawMenuItem) instead of the desktop's look.

#include <QProxyStyle>

#include "app/ImageList.h"

namespace qv {

/// Set on a QMenu (as a true bool property) to have its items owner-drawn.
constexpr const char* OwnerDrawProperty = "qvOwnerDraw";
/// The QAction property holding the item's glyph index in the image list.
constexpr const char* ImageIndexProperty = "qvImageIndex";

class TMenuStyle : public QProxyStyle {
    Q_OBJECT
public:
    /// Draws glyphs from Images (not owned; it must outlive the style).
    explicit TMenuStyle(const TImageList* Images);

    QSize sizeFromContents(ContentsType Type, const QStyleOption* Option, const QSize& ContentsSize,
                           const QWidget* Widget) const override;
    void drawControl(ControlElement Element, const QStyleOption* Option, QPainter* Painter,
                     const QWidget* Widget) const override;
    int pixelMetric(PixelMetric Metric, const QStyleOption* Option, const QWidget* Widget) const override;

private:
    const TImageList* FImages;
};

} // namespace qv
