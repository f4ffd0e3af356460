// Pictures of the console's language module: icons (RT_ICON) and bitmaps (RT_BITMAP) held
// as PNG data.
#pragma once

#include <QPixmap>

#include <windows.h>

namespace nb::console {

// The picture `id` of `type` in `module`; a null pixmap when the module has none.
QPixmap ModuleImage(HMODULE module, UINT id, LPCWSTR type);

}  // namespace nb::console
