// Pictures of the language module.
#include "module_images.h"

namespace nb::console {

QPixmap ModuleImage(HMODULE module, UINT id, LPCWSTR type) {
  if (!module) return {};
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), type);
  if (!found) return {};
  HGLOBAL data = LoadResource(module, found);
  DWORD size = SizeofResource(module, found);
  QPixmap image;
  if (!data || !size || !image.loadFromData(static_cast<const uchar*>(LockResource(data)), size)) return {};
  return image;
}

}  // namespace nb::console
