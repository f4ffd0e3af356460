// Bitmap strips from resource modules, cut into masked button images.
#include "image_strip.h"

namespace nb::console {

std::vector<QImage> SplitStrip(const QImage& strip, int imageWidth) {
  std::vector<QImage> images;
  if (strip.isNull() || imageWidth < 1) return images;
  QImage argb = strip.convertToFormat(QImage::Format_ARGB32);
  const QRgb mask = argb.pixel(0, 0);
  int count = argb.width() / imageWidth;
  for (int i = 0; i < count; ++i) {
    QImage image = argb.copy(i * imageWidth, 0, imageWidth, argb.height());
    for (int y = 0; y < image.height(); ++y) {
      auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
      for (int x = 0; x < image.width(); ++x) {
        if (line[x] == mask) line[x] = qRgba(0, 0, 0, 0);
      }
    }
    images.push_back(std::move(image));
  }
  return images;
}

QImage LoadBitmapResource(HMODULE module, UINT id) {
  if (!module || id == 0) return {};
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), RT_BITMAP);
  if (!found) return {};
  HGLOBAL data = LoadResource(module, found);
  DWORD size = SizeofResource(module, found);
  const void* bytes = data ? LockResource(data) : nullptr;
  if (!bytes || size == 0 || size > static_cast<DWORD>(INT32_MAX)) return {};
  QImage image;
  if (!image.loadFromData(static_cast<const uchar*>(bytes), static_cast<int>(size))) return {};
  return image;
}

}  // namespace nb::console
