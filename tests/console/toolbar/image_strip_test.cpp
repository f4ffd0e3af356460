// Bitmap strips: cutting, masking with the first pixel's colour, and reading them from a
// resource module.
#include <QColor>
#include <QImage>

#include <gtest/gtest.h>

#include "image_strip.h"
#include "toolbar_fixture.h"

namespace nb::console::testing {
namespace {

QImage Strip(int width, int height, QColor mask, QColor fill) {
  QImage image(width, height, QImage::Format_RGB32);
  image.fill(fill);
  image.setPixelColor(0, 0, mask);
  return image;
}

TEST(ImageStrip, CountIsTheStripWidthOverTheImageWidth) {
  struct Case {
    int stripWidth, imageWidth;
    size_t count;
  };
  const Case cases[] = {{48, 16, 3}, {50, 16, 3}, {15, 16, 0}, {16, 16, 1}, {48, 0, 0}, {48, -16, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stripWidth * 100 + c.imageWidth);
    std::vector<QImage> images = SplitStrip(Strip(c.stripWidth, 16, Qt::magenta, Qt::red), c.imageWidth);
    ASSERT_EQ(images.size(), c.count);
    for (const QImage& image : images) EXPECT_EQ(image.size(), QSize(c.imageWidth, 16));
  }
  EXPECT_TRUE(SplitStrip(QImage(), 16).empty());
}

TEST(ImageStrip, TheFirstPixelsColourIsTransparentEverywhere) {
  QImage strip = Strip(32, 8, Qt::magenta, Qt::blue);
  strip.setPixelColor(20, 5, Qt::magenta);  // the mask colour inside the second image
  std::vector<QImage> images = SplitStrip(strip, 16);
  ASSERT_EQ(images.size(), 2u);
  EXPECT_EQ(images[0].pixelColor(0, 0).alpha(), 0);
  EXPECT_EQ(images[0].pixelColor(1, 0), QColor(Qt::blue));
  EXPECT_EQ(images[1].pixelColor(4, 5).alpha(), 0);
  EXPECT_EQ(images[1].pixelColor(0, 0), QColor(Qt::blue));
}

TEST(ImageStrip, BitmapsFromAResourceModule) {
  HMODULE module = LoadLibraryW(UnixName(TEST_MODULE_DIR "/TBTEST.EN").c_str());
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(LoadBitmapResource(module, 145).size(), QSize(69, 16));
  EXPECT_EQ(LoadBitmapResource(module, 147).size(), QSize(96, 24));
  EXPECT_TRUE(LoadBitmapResource(module, 999).isNull());
  EXPECT_TRUE(LoadBitmapResource(module, 0).isNull());
  EXPECT_TRUE(LoadBitmapResource(nullptr, 145).isNull());
  FreeLibrary(module);
}

}  // namespace
}  // namespace nb::console::testing
