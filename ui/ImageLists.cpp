#include "ui/ImageLists.h"

#include <QBitmap>
#include <QImage>

static void InitResources() {
  static const bool done = [] {
    Q_INIT_RESOURCE(resources);
    return true;
  }();
  (void)done;
}

QList<QPixmap> LoadPixmapStrip(const QString& resource) {
  InitResources();
  QList<QPixmap> images;
  QImage strip(QStringLiteral(":/%1.png").arg(resource));
  if (strip.isNull()) return images;
  strip = strip.convertToFormat(QImage::Format_ARGB32);
  const QRgb magenta = qRgb(255, 0, 255);
  for (int y = 0; y < strip.height(); ++y)
    for (int x = 0; x < strip.width(); ++x)
      if ((strip.pixel(x, y) & 0xFFFFFF) == (magenta & 0xFFFFFF)) strip.setPixel(x, y, qRgba(0, 0, 0, 0));
  for (int x = 0; x + 16 <= strip.width(); x += 16) images.append(QPixmap::fromImage(strip.copy(x, 0, 16, 16)));
  return images;
}

QList<QIcon> LoadImageStrip(const QString& resource) {
  QList<QIcon> icons;
  for (const QPixmap& p : LoadPixmapStrip(resource)) icons.append(QIcon(p));
  return icons;
}

QIcon LoadAppIcon(const QString& resource) {
  InitResources();
  return QIcon(QStringLiteral(":/%1.png").arg(resource));
}
