#include "platform/gui/QtGraphics.h"

#include <cstring>

namespace qv {

QColor ToQColor(TColor Color) {
    const TColor C = ColorToRGB(Color);
    return QColor(GetRValue(C), GetGValue(C), GetBValue(C));
}

TColor FromQColor(const QColor& Color) {
    return RGB(static_cast<uint8_t>(Color.red()), static_cast<uint8_t>(Color.green()),
               static_cast<uint8_t>(Color.blue()));
}

QImage BitmapToQImage(const TBitmap& Bitmap) {
    if (Bitmap.Empty()) return QImage();
    const bool HasAlpha = Bitmap.PixelFormat() == pf32bit;
    QImage Image(Bitmap.Width(), Bitmap.Height(), HasAlpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    if (Image.isNull()) return Image;
    for (int Y = 0; Y < Bitmap.Height(); ++Y) {
        auto* Row = reinterpret_cast<uint32_t*>(Image.scanLine(Y));
        if (HasAlpha) {
            // The 32-bit bitmap row is already blue, green, red, alpha: QImage's ARGB32 in memory.
            std::memcpy(Row, Bitmap.ScanLine(Y), size_t(Bitmap.Width()) * 4);
        } else {
            for (int X = 0; X < Bitmap.Width(); ++X) Row[X] = Bitmap.PixelBGRA(X, Y) | 0xFF000000u;
        }
    }
    return Image;
}

void InstallSystemColors(const QPalette& Palette) {
    auto Set = [&](int32_t Index, QPalette::ColorGroup Group, QPalette::ColorRole Role) {
        SetSysColor(Index, FromQColor(Palette.color(Group, Role)));
    };
    Set(COLOR_WINDOW, QPalette::Active, QPalette::Base);
    Set(COLOR_WINDOWTEXT, QPalette::Active, QPalette::Text);
    Set(COLOR_BTNFACE, QPalette::Active, QPalette::Button);
    Set(COLOR_BTNTEXT, QPalette::Active, QPalette::ButtonText);
    Set(COLOR_BTNSHADOW, QPalette::Active, QPalette::Mid);
    Set(COLOR_BTNHIGHLIGHT, QPalette::Active, QPalette::Light);
    Set(COLOR_3DDKSHADOW, QPalette::Active, QPalette::Shadow);
    Set(COLOR_3DLIGHT, QPalette::Active, QPalette::Midlight);
    Set(COLOR_GRAYTEXT, QPalette::Disabled, QPalette::Text);
    Set(COLOR_HIGHLIGHT, QPalette::Active, QPalette::Highlight);
    Set(COLOR_HIGHLIGHTTEXT, QPalette::Active, QPalette::HighlightedText);
    Set(COLOR_MENU, QPalette::Active, QPalette::Window);
    Set(COLOR_MENUTEXT, QPalette::Active, QPalette::WindowText);
    Set(COLOR_INFOBK, QPalette::Active, QPalette::ToolTipBase);
    Set(COLOR_INFOTEXT, QPalette::Active, QPalette::ToolTipText);
}

} // namespace qv
