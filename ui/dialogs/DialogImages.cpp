#include "ui/dialogs/DialogImages.h"

#include <QBitmap>
#include <QFont>
#include <QPainter>

// The resources are compiled into a static library; their registration must be
// referenced to be linked in.
static void InitResources() {
  static const bool done = [] {
    Q_INIT_RESOURCE(resources);
    return true;
  }();
  (void)done;
}

QIcon UserImage(int index) {
  InitResources();
  static const QPixmap strip = [] {
    QPixmap pixmap(QStringLiteral(":/USER.png"));
    if (!pixmap.isNull()) pixmap.setMask(pixmap.createMaskFromColor(QColor(255, 0, 255)));
    return pixmap;
  }();
  if (strip.isNull() || index < 0 || (index + 1) * 16 > strip.width()) return {};
  return QIcon(strip.copy(index * 16, 0, 16, 16));
}

QPixmap AboutLogo() {
  InitResources();
  QPixmap logo(220, 60);
  logo.fill(Qt::white);
  QPainter p(&logo);
  p.setRenderHint(QPainter::Antialiasing);
  const QPixmap icon(QStringLiteral(":/ONLINE.png"));
  if (!icon.isNull()) p.drawPixmap(QRect(8, 8, 44, 44), icon);
  QFont f(QStringLiteral("Tahoma"));
  f.setPixelSize(34);
  f.setBold(true);
  p.setFont(f);
  p.setPen(QColor(60, 110, 190));
  p.drawText(QRect(60, 0, 160, 60), Qt::AlignVCenter | Qt::AlignLeft, QStringLiteral("Kestro"));
  return logo;
}

QPixmap ErrorPicture() {
  QPixmap picture(32, 32);
  picture.fill(Qt::transparent);
  QPainter p(&picture);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(150, 20, 20), 1.5));
  p.setBrush(QColor(215, 35, 35));
  p.drawEllipse(QRectF(1.5, 1.5, 29, 29));
  p.setPen(QPen(Qt::white, 4, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(10, 10), QPointF(22, 22));
  p.drawLine(QPointF(22, 10), QPointF(10, 22));
  return picture;
}
