#include "platform/Colors.h"

#include <array>
#include <cstddef>

namespace qv {

namespace {
// A light desktop theme; the GUI replaces these with the running theme's values.
std::array<TColor, COLOR_ENDCOLORS + 1>& SysColors() {
    static std::array<TColor, COLOR_ENDCOLORS + 1> Colors = {
        RGB(0xC8, 0xC8, 0xC8), // scroll bar
        RGB(0x00, 0x00, 0x00), // desktop
        RGB(0x99, 0xB4, 0xD1), // active caption
        RGB(0xBF, 0xCD, 0xDB), // inactive caption
        RGB(0xF0, 0xF0, 0xF0), // menu
        RGB(0xFF, 0xFF, 0xFF), // window
        RGB(0x64, 0x64, 0x64), // window frame
        RGB(0x00, 0x00, 0x00), // menu text
        RGB(0x00, 0x00, 0x00), // window text
        RGB(0x00, 0x00, 0x00), // caption text
        RGB(0xB4, 0xB4, 0xB4), // active border
        RGB(0xF4, 0xF7, 0xFC), // inactive border
        RGB(0xAB, 0xAB, 0xAB), // application workspace
        RGB(0x00, 0x78, 0xD7), // highlight
        RGB(0xFF, 0xFF, 0xFF), // highlight text
        RGB(0xF0, 0xF0, 0xF0), // button face
        RGB(0xA0, 0xA0, 0xA0), // button shadow
        RGB(0x6D, 0x6D, 0x6D), // grey text
        RGB(0x00, 0x00, 0x00), // button text
        RGB(0x00, 0x00, 0x00), // inactive caption text
        RGB(0xFF, 0xFF, 0xFF), // button highlight
        RGB(0x69, 0x69, 0x69), // 3D dark shadow
        RGB(0xE3, 0xE3, 0xE3), // 3D light
        RGB(0x00, 0x00, 0x00), // tooltip text
        RGB(0xFF, 0xFF, 0xE1), // tooltip background
        RGB(0x00, 0x00, 0x00), // (unused)
        RGB(0x00, 0x66, 0xCC), // hot-tracked item
        RGB(0xB9, 0xD1, 0xEA), // gradient active caption
        RGB(0xD7, 0xE4, 0xF2), // gradient inactive caption
        RGB(0x33, 0x99, 0xFF), // menu highlight
        RGB(0xF0, 0xF0, 0xF0), // menu bar
        RGB(0x00, 0x00, 0x00)};
    return Colors;
}
} // namespace

TColor GetSysColor(int32_t Index) {
    if (Index < 0 || Index > COLOR_ENDCOLORS) return 0;
    return SysColors()[static_cast<std::size_t>(Index)];
}

void SetSysColor(int32_t Index, TColor Value) {
    if (Index < 0 || Index > COLOR_ENDCOLORS) return;
    SysColors()[static_cast<std::size_t>(Index)] = Value & 0xFFFFFF;
}

TColor ColorToRGB(TColor Color) {
    if (Color < 0) return GetSysColor(Color & 0xFF);
    return Color;
}

} // namespace qv
