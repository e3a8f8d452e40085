#pragma once
// The program icon, drawn in code: a framed landscape picture on a blue tile.

#include <QIcon>
#include <QImage>

namespace qv {

/// The program icon at Size x Size pixels.
QImage ProgramIconImage(int Size);
/// The program icon in the usual sizes from 16 to 256 pixels.
QIcon ProgramIcon();

} // namespace qv
