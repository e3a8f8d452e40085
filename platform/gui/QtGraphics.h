#pragma once
// Conversions between the picture framework and Qt: colours, bitmaps, and
// the desktop theme's colours installed as the system colours.

#include <QColor>
#include <QImage>
#include <QPalette>

#include "platform/Colors.h"
#include "platform/Graphics.h"

namespace qv {

/// The RGB value of a platform colour (system colours resolved) as a QColor.
QColor ToQColor(TColor Color);
/// A QColor as a platform RGB colour.
TColor FromQColor(const QColor& Color);

/// A copy of a bitmap as a QImage: 32-bit bitmaps keep their alpha
/// (ARGB32), every other format is converted to opaque RGB32 first.
QImage BitmapToQImage(const TBitmap& Bitmap);

/// Installs the palette's colours as the system colours (window, button face,
/// grey text, highlight and the rest), so that system colour references
/// resolve to the desktop theme.
void InstallSystemColors(const QPalette& Palette);

} // namespace qv
