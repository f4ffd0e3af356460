// Draws the console's pictures (toolbar strips, list icons, program icon) into PNG files
// in the folder given on the command line. The committed PNGs are this program's output:
//   nbadmin_draw_images resources/NBAdmin/images
#include <QColor>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QString>

#include <cmath>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

// The toolbar masks with the colour of a strip's first pixel: that pixel and every
// uncovered one carry this key colour.
const QColor kKey(255, 0, 255);

// Every picture is drawn on a 24-unit square and scaled to the size asked.
using Picture = std::function<void(QPainter&)>;

const QColor kOutline(40, 48, 64);
const QColor kGold(232, 178, 40);
const QColor kFolder(242, 200, 92);
const QColor kBlue(52, 110, 200);
const QColor kGreen(48, 160, 72);
const QColor kRed(200, 50, 50);
const QColor kSteel(112, 128, 144);

QPen Pen(const QColor& colour, double width = 1.5) {
  return QPen(colour, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

void Padlock(QPainter& p, double x, double y, double w, bool open) {
  double h = w * 0.8;
  p.setBrush(Qt::NoBrush);
  p.setPen(Pen(kOutline, w * 0.16));
  double arcW = w * 0.64, arcX = x + (w - arcW) / 2 + (open ? w * 0.3 : 0);
  QPainterPath shackle;
  shackle.moveTo(arcX, y + h * 0.55 + (open ? -h * 0.25 : 0));
  shackle.lineTo(arcX, y + h * 0.35);
  shackle.arcTo(arcX, y, arcW, h * 0.7, 180, -180);
  shackle.lineTo(arcX + arcW, y + h * 0.55);
  p.drawPath(shackle);
  p.setPen(Pen(kOutline, 1.2));
  p.setBrush(kGold);
  p.drawRoundedRect(QRectF(x, y + h * 0.55, w, h * 0.75), 1.5, 1.5);
  p.setBrush(kOutline);
  p.drawEllipse(QPointF(x + w / 2, y + h * 0.9), w * 0.08, w * 0.08);
}

void Folder(QPainter& p, const QRectF& r, const QColor& fill = kFolder) {
  QPainterPath path;
  path.moveTo(r.left(), r.bottom());
  path.lineTo(r.left(), r.top());
  path.lineTo(r.left() + r.width() * 0.38, r.top());
  path.lineTo(r.left() + r.width() * 0.48, r.top() + r.height() * 0.18);
  path.lineTo(r.right(), r.top() + r.height() * 0.18);
  path.lineTo(r.right(), r.bottom());
  path.closeSubpath();
  p.setPen(Pen(kOutline, 1.2));
  p.setBrush(fill);
  p.drawPath(path);
}

void Key(QPainter& p) {
  p.setPen(Pen(kOutline, 1.4));
  p.setBrush(kGold);
  p.drawEllipse(QPointF(7, 12), 5, 5);
  p.setBrush(Qt::white);
  p.drawEllipse(QPointF(6, 12), 1.6, 1.6);
  p.setPen(Pen(kOutline, 2.6));
  p.drawLine(QPointF(12, 12), QPointF(22, 12));
  p.drawLine(QPointF(19, 12), QPointF(19, 16));
  p.drawLine(QPointF(22, 12), QPointF(22, 15.5));
  p.setPen(Pen(kGold, 1.2));
  p.drawLine(QPointF(12.5, 12), QPointF(21.5, 12));
}

void Refresh(QPainter& p) {
  p.setBrush(Qt::NoBrush);
  p.setPen(Pen(kGreen, 3));
  p.drawArc(QRectF(4, 4, 16, 16), 60 * 16, 260 * 16);
  p.setPen(Pen(kGreen, 1));
  p.setBrush(kGreen);
  p.drawPolygon(QPolygonF({QPointF(13, 1.5), QPointF(20.5, 5), QPointF(13.5, 9.5)}));
}

void Lock(QPainter& p) { Padlock(p, 4, 2, 16, false); }
void Unlock(QPainter& p) { Padlock(p, 2, 2, 16, true); }

void Properties(QPainter& p) {
  p.setPen(Pen(kOutline, 1.2));
  p.setBrush(Qt::white);
  p.drawRect(QRectF(4, 2, 16, 20));
  p.setPen(Pen(kBlue, 1.6));
  for (double y : {7.0, 11.0, 15.0}) p.drawLine(QPointF(7.5, y), QPointF(16.5, y));
  p.drawLine(QPointF(7.5, 19), QPointF(12.5, 19));
}

void Resume(QPainter& p) {
  p.setPen(Pen(kOutline, 1.2));
  p.setBrush(kGreen);
  p.drawPolygon(QPolygonF({QPointF(6, 3), QPointF(20, 12), QPointF(6, 21)}));
}

void Pause(QPainter& p) {
  p.setPen(Pen(kOutline, 1.2));
  p.setBrush(kBlue);
  p.drawRect(QRectF(5, 4, 5, 16));
  p.drawRect(QRectF(14, 4, 5, 16));
}

void Hidden(QPainter& p) {
  Folder(p, QRectF(2, 4, 20, 16), QColor(kFolder.red(), kFolder.green(), kFolder.blue(), 255));
  p.setBrush(Qt::white);
  p.setPen(Pen(kOutline, 1.2));
  p.drawEllipse(QRectF(6, 10, 12, 7));
  p.setBrush(kOutline);
  p.drawEllipse(QPointF(12, 13.5), 2, 2);
  p.setPen(Pen(kRed, 2.2));
  p.drawLine(QPointF(5, 20), QPointF(19, 8));
}

void ReadOnly(QPainter& p) {
  Folder(p, QRectF(2, 4, 20, 16));
  // A pencil, struck through: the folder can be read but not written.
  p.setPen(Pen(kOutline, 1));
  p.setBrush(kBlue);
  p.drawPolygon(QPolygonF({QPointF(8, 18), QPointF(17, 9), QPointF(19, 11), QPointF(10, 20), QPointF(7, 21)}));
  p.setPen(Pen(kRed, 2.2));
  p.drawLine(QPointF(6, 10), QPointF(20, 20));
}

void View(QPainter& p) {
  p.setPen(Pen(kOutline, 1.2));
  p.setBrush(kBlue);
  for (double x : {3.0, 13.0})
    for (double y : {3.0, 13.0}) p.drawRect(QRectF(x, y, 8, 8));
}

void Default(QPainter& p) {
  // A gear: the default settings.
  p.setPen(Pen(kOutline, 1.2));
  p.setBrush(kSteel);
  QPainterPath gear;
  const int teeth = 8;
  for (int i = 0; i < teeth * 2; ++i) {
    double angle = i * 3.14159265358979 / teeth;
    double radius = (i % 2 == 0) ? 10.5 : 7.5;
    QPointF point(12 + radius * std::cos(angle), 12 + radius * std::sin(angle));
    if (i == 0) gear.moveTo(point); else gear.lineTo(point);
  }
  gear.closeSubpath();
  p.drawPath(gear);
  p.setBrush(Qt::white);
  p.drawEllipse(QPointF(12, 12), 3, 3);
}

void Administrator(QPainter& p) {
  p.setPen(Pen(kOutline, 1.2));
  p.setBrush(kBlue);
  QPainterPath body;
  body.moveTo(3, 22);
  body.cubicTo(3, 14, 21, 14, 21, 22);
  body.closeSubpath();
  p.drawPath(body);
  p.setBrush(QColor(250, 214, 180));
  p.drawEllipse(QPointF(12, 9), 4.5, 4.5);
  p.setBrush(kGold);
  p.drawPolygon(QPolygonF({QPointF(7.5, 4.5), QPointF(9.5, 1.5), QPointF(12, 3.5), QPointF(14.5, 1.5),
                           QPointF(16.5, 4.5)}));
}

// The toolbar's images in the order of its buttons.
const std::vector<Picture> kButtons = {Key,    Refresh, Lock,     Unlock, Properties, Resume,
                                       Pause,  Hidden,  ReadOnly, View,   Default,    Administrator};

// Draws `picture` at `size` with smooth edges, then flattens it on the key colour: a pixel
// at least half covered takes the drawing's colour (opaque), any other the key.
QImage Render(const Picture& picture, int size, bool disabled) {
  QImage drawn(size, size, QImage::Format_ARGB32);
  drawn.fill(Qt::transparent);
  {
    QPainter painter(&drawn);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 24.0, size / 24.0);
    picture(painter);
  }
  QImage flat(size, size, QImage::Format_RGB888);
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      QColor colour = drawn.pixelColor(x, y);
      if (colour.alpha() < 128) {
        flat.setPixelColor(x, y, kKey);
        continue;
      }
      colour.setAlpha(255);
      if (disabled) {
        int grey = 128 + qGray(colour.rgb()) / 3;
        colour = QColor(grey, grey, grey);
      }
      flat.setPixelColor(x, y, colour);
    }
  }
  return flat;
}

QImage Strip(int size, bool disabled) {
  QImage strip(size * static_cast<int>(kButtons.size()), size, QImage::Format_RGB888);
  strip.fill(kKey);
  QPainter painter(&strip);
  for (size_t i = 0; i < kButtons.size(); ++i) painter.drawImage(static_cast<int>(i) * size, 0, Render(kButtons[i], size, disabled));
  return strip;
}

// An icon with a transparent background (icons carry their own alpha).
QImage Icon(const Picture& picture, int size) {
  QImage image(size, size, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.scale(size / 24.0, size / 24.0);
  picture(painter);
  return image;
}

void LockedFolder(QPainter& p) {
  Folder(p, QRectF(1, 3, 20, 16));
  Padlock(p, 12, 10, 11, false);
}

void LockedDrive(QPainter& p) {
  p.setPen(Pen(kOutline, 1.2));
  p.setBrush(QColor(200, 206, 214));
  p.drawRoundedRect(QRectF(1, 8, 20, 10), 2, 2);
  p.setBrush(kGreen);
  p.drawEllipse(QPointF(5, 13), 1.3, 1.3);
  Padlock(p, 12, 10, 11, false);
}

void Program(QPainter& p) {
  // A shield holding a padlock.
  QPainterPath shield;
  shield.moveTo(12, 1);
  shield.lineTo(22, 4);
  shield.cubicTo(22, 14, 18, 19, 12, 23);
  shield.cubicTo(6, 19, 2, 14, 2, 4);
  shield.closeSubpath();
  p.setPen(Pen(kOutline, 1.2));
  p.setBrush(kBlue);
  p.drawPath(shield);
  Padlock(p, 7, 6, 10, false);
}

bool Save(const QImage& image, const QString& folder, const char* name) {
  QString path = folder + "/" + name;
  if (image.save(path, "PNG")) return true;
  std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication application(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  QString folder = QString::fromLocal8Bit(argv[1]);
  bool ok = Save(Strip(16, false), folder, "toolbar16.png") && Save(Strip(16, true), folder, "toolbar16_disabled.png") &&
            Save(Strip(24, false), folder, "toolbar24.png") && Save(Strip(24, true), folder, "toolbar24_disabled.png") &&
            Save(Icon(LockedFolder, 32), folder, "locked_folder.png") &&
            Save(Icon(LockedDrive, 32), folder, "locked_drive.png") && Save(Icon(Program, 64), folder, "program.png");
  return ok ? 0 : 1;
}
