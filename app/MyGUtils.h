#pragma once
// The viewer's small utility module: load timing, loading a picture file
// into a bitmap through the picture registry, and opening a URL.

#include <cstdint>
#include <string>

#include "platform/Graphics.h"

namespace qv {

/// The system's millisecond tick count.
uint32_t TickCount();

/// Loads FileName through a TPicture (reader chosen by extension) and copies
/// the graphic into Bitmap with Assign; errors propagate to the caller.
void LoadPictureToBitmap(TBitmap& Bitmap, const std::string& FileName);

/// Opens a target (a URL or a file) with the desktop's opener; the result is ignored.
void ShellOpen(const std::string& Target);

} // namespace qv
