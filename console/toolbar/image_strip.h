// Button images from a bitmap strip: cut into images of a given width, the colour of the
// strip's first pixel made transparent.
#pragma once

#include <QImage>

#include <vector>

#include <windows.h>

namespace nb::console {

// The images of `strip`, each `imageWidth` wide and as high as the strip; count = strip
// width / image width (a narrower remainder is dropped). Every pixel of the first pixel's
// colour becomes transparent. Empty for a null strip or a width below 1.
std::vector<QImage> SplitStrip(const QImage& strip, int imageWidth);

// A bitmap resource (RT_BITMAP, any image format Qt reads) of `module`; null when missing or
// unreadable.
QImage LoadBitmapResource(HMODULE module, UINT id);

}  // namespace nb::console
