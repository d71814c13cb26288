// Draws Kestro's image strips and icons into PNG files:
//   draw_resources OUTPUT_FOLDER
// Strips are rows of 16-by-16 images on magenta, the colour that counts as
// transparent. The PNGs in resources/ were made with this program.
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <functional>
#include <map>

namespace {

const QColor kMagenta(255, 0, 255);
using Draw = std::function<void(QPainter&)>;

void Cross(QPainter& p, QColor disc, bool round) {
  p.setPen(Qt::NoPen);
  p.setBrush(disc);
  round ? p.drawEllipse(QRectF(1.5, 1.5, 13, 13)) : p.drawRect(QRectF(2, 2, 12, 12));
  p.setPen(QPen(Qt::white, 2.2, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(5.2, 5.2), QPointF(10.8, 10.8));
  p.drawLine(QPointF(10.8, 5.2), QPointF(5.2, 10.8));
}

void Square(QPainter& p, QColor colour) {
  p.setPen(QPen(colour.darker(150), 1));
  p.setBrush(colour);
  p.drawRect(QRectF(3.5, 3.5, 9, 9));
}

void PlusMinus(QPainter& p, bool plus) {
  p.setPen(QPen(QColor(90, 90, 90), 1));
  p.setBrush(Qt::white);
  p.drawRect(QRectF(3.5, 3.5, 9, 9));
  p.setPen(QPen(Qt::black, 1.4));
  p.drawLine(QPointF(5.5, 8), QPointF(10.5, 8));
  if (plus) p.drawLine(QPointF(8, 5.5), QPointF(8, 10.5));
}

void Page(QPainter& p, double x = 3.5, double w = 9) {
  QPainterPath page;
  page.moveTo(x, 1.5);
  page.lineTo(x + w - 3, 1.5);
  page.lineTo(x + w, 4.5);
  page.lineTo(x + w, 14.5);
  page.lineTo(x, 14.5);
  page.closeSubpath();
  p.setPen(QPen(QColor(80, 80, 80), 1));
  p.setBrush(Qt::white);
  p.drawPath(page);
}

void Lines(QPainter& p, double x0, double x1) {
  p.setPen(QPen(QColor(120, 120, 160), 1));
  for (double y = 5.5; y < 13; y += 2) p.drawLine(QPointF(x0, y), QPointF(x1, y));
}

void Person(QPainter& p, QColor shirt = QColor(40, 110, 200)) {
  p.setPen(QPen(shirt.darker(160), 0.8));
  p.setBrush(QColor(245, 205, 160));
  p.drawEllipse(QRectF(3, 1.5, 6, 6));
  p.setBrush(shirt);
  p.drawChord(QRectF(1, 8, 10, 12), 0, 180 * 16);
}

void Badge(QPainter& p, QColor colour, const std::function<void(QPainter&)>& mark) {
  p.setPen(Qt::NoPen);
  p.setBrush(colour);
  p.drawEllipse(QRectF(8.5, 8.5, 7, 7));
  p.setPen(QPen(Qt::white, 1.4, Qt::SolidLine, Qt::RoundCap));
  mark(p);
}

void Arrow(QPainter& p, bool up, QColor colour = QColor(30, 130, 60)) {
  QPainterPath a;
  const double t = up ? 2 : 14, b = up ? 14 : 2, m = up ? 8 : 8;
  a.moveTo(8, t);
  a.lineTo(13.5, m);
  a.lineTo(10, m);
  a.lineTo(10, b);
  a.lineTo(6, b);
  a.lineTo(6, m);
  a.lineTo(2.5, m);
  a.closeSubpath();
  p.setPen(QPen(colour.darker(150), 0.8));
  p.setBrush(colour);
  p.drawPath(a);
}

void Eraser(QPainter& p) {
  p.setPen(QPen(QColor(120, 60, 60), 1));
  p.setBrush(QColor(235, 120, 140));
  QPolygonF body({{2, 10}, {8, 4}, {14, 10}, {10, 14}, {6, 14}});
  p.drawPolygon(body);
  p.setBrush(QColor(80, 120, 220));
  p.drawPolygon(QPolygonF({{2, 10}, {5, 7}, {10.5, 12.5}, {10, 14}, {6, 14}}));
}

void Refresh(QPainter& p) {
  Page(p);
  p.setPen(QPen(QColor(20, 140, 40), 1.6));
  p.setBrush(Qt::NoBrush);
  p.drawArc(QRectF(4.5, 5, 7, 7), 30 * 16, 270 * 16);
  p.setBrush(QColor(20, 140, 40));
  p.setPen(Qt::NoPen);
  p.drawPolygon(QPolygonF({{10, 3.5}, {13, 6.5}, {9.5, 7.5}}));
}

void Properties(QPainter& p) {
  Page(p, 2.5, 10);
  Lines(p, 4.5, 8.5);
  p.setPen(QPen(QColor(20, 150, 40), 2, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(8.5, 10.5), QPointF(10.5, 13));
  p.drawLine(QPointF(10.5, 13), QPointF(15, 6.5));
}

void Remove(QPainter& p) {
  Lines(p, 2, 10);
  p.setPen(QPen(QColor(200, 40, 40), 1.6));
  p.drawLine(QPointF(9, 8), QPointF(15, 8));
  p.setBrush(QColor(200, 40, 40));
  p.drawPolygon(QPolygonF({{15, 8}, {12, 5.5}, {12, 10.5}}));
}

// A yellow folder with its tab; up: a green arrow on it, for the way up.
void Folder(QPainter& p, bool up) {
  const QColor edge(170, 120, 20);
  p.setPen(QPen(edge, 1));
  p.setBrush(QColor(240, 190, 70));
  p.drawPath([] {
    QPainterPath tab;
    tab.moveTo(1.5, 4.5);
    tab.lineTo(1.5, 2.5);
    tab.lineTo(6, 2.5);
    tab.lineTo(7.5, 4.5);
    tab.closeSubpath();
    return tab;
  }());
  p.setBrush(QColor(252, 215, 100));
  p.drawRect(QRectF(1.5, 4.5, 13, 9.5));
  if (!up) return;
  p.setPen(QPen(QColor(20, 120, 40), 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.drawLine(QPointF(8, 12), QPointF(8, 6.5));
  p.drawPolyline(QPolygonF({{5.5, 9}, {8, 6.5}, {10.5, 9}}));
}

void Neutral(QPainter& p) {
  p.setPen(QPen(QColor(150, 150, 150), 1));
  p.setBrush(QColor(220, 220, 220));
  p.drawEllipse(QRectF(4.5, 4.5, 7, 7));
}

QImage Strip(int count, const std::map<int, Draw>& images) {
  QImage strip(16 * count, 16, QImage::Format_RGB32);
  strip.fill(kMagenta);
  for (int i = 0; i < count; ++i) {
    QImage cell(16, 16, QImage::Format_ARGB32);
    cell.fill(Qt::transparent);
    QPainter p(&cell);
    p.setRenderHint(QPainter::Antialiasing);
    const auto it = images.find(i);
    (it != images.end() ? it->second : Draw(Neutral))(p);
    p.end();
    // Hard edges: a pixel is either the picture or magenta.
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 16; ++x) {
        const QColor c = cell.pixelColor(x, y);
        if (c.alpha() >= 128) strip.setPixelColor(i * 16 + x, y, QColor(c.red(), c.green(), c.blue()));
      }
  }
  return strip;
}

QImage Icon(bool online) {
  QImage icon(32, 32, QImage::Format_ARGB32);
  icon.fill(Qt::transparent);
  QPainter p(&icon);
  p.setRenderHint(QPainter::Antialiasing);
  // an envelope with a folder tab: mail that carries folders
  const QColor body = online ? QColor(255, 248, 225) : QColor(230, 230, 230);
  const QColor edge = online ? QColor(60, 110, 190) : QColor(120, 120, 120);
  p.setPen(QPen(edge, 1.5));
  p.setBrush(online ? QColor(250, 200, 70) : QColor(190, 190, 190));
  p.drawRoundedRect(QRectF(3, 5, 12, 6), 1.5, 1.5);
  p.setBrush(body);
  p.drawRoundedRect(QRectF(2.5, 8.5, 27, 19), 2, 2);
  p.drawPolyline(QPolygonF({{2.5, 9}, {16, 19}, {29.5, 9}}));
  p.setPen(Qt::NoPen);
  p.setBrush(online ? QColor(30, 170, 60) : QColor(200, 50, 50));
  p.drawEllipse(QRectF(19, 17, 12, 12));
  p.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::RoundCap));
  if (online) {
    p.drawLine(QPointF(22, 23), QPointF(24.5, 26));
    p.drawLine(QPointF(24.5, 26), QPointF(28, 20.5));
  } else {
    p.drawLine(QPointF(22, 20), QPointF(28, 26));
    p.drawLine(QPointF(28, 20), QPointF(22, 26));
  }
  return icon;
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
  const Draw red = [](QPainter& p) { Square(p, QColor(215, 30, 30)); };
  const Draw green = [](QPainter& p) { Square(p, QColor(30, 170, 50)); };
  const Draw stopped = [](QPainter& p) { Cross(p, QColor(40, 80, 200), false); };
  const Draw error = [](QPainter& p) { Cross(p, QColor(210, 30, 30), false); };
  const Draw document = [](QPainter& p) { Page(p); Lines(p, 5, 10.5); };
  const Draw personArrow = [](QPainter& p) {
    Person(p);
    Badge(p, QColor(30, 130, 60), [](QPainter& q) { q.drawLine(QPointF(10, 12), QPointF(14, 12)); q.drawLine(QPointF(12.5, 10.5), QPointF(14, 12)); q.drawLine(QPointF(12.5, 13.5), QPointF(14, 12)); });
  };

  bool ok = Strip(35, {{8, Refresh}, {9, [](QPainter& p) { Cross(p, QColor(210, 30, 30), true); }},
                       {10, [](QPainter& p) { PlusMinus(p, false); }}, {11, [](QPainter& p) { PlusMinus(p, true); }},
                       {12, Properties}, {14, Remove}, {15, Eraser}, {16, personArrow},
                       {18, red}, {19, green}, {20, stopped}, {21, error}})
                .save(out + "/MAIN.png");
  ok &= Strip(5, {{0, [](QPainter& p) { Folder(p, false); }}, {1, [](QPainter& p) { Folder(p, true); }}, {2, document}})
            .save(out + "/TREE.png");
  ok &= Strip(4, {{0, error}, {1, red}, {2, green}, {3, stopped}}).save(out + "/STATUS.png");
  auto person = [](QColor badge, std::function<void(QPainter&)> mark) {
    return Draw([badge, mark](QPainter& p) { Person(p); Badge(p, badge, mark); });
  };
  const auto plus = [](QPainter& q) { q.drawLine(QPointF(10, 12), QPointF(14, 12)); q.drawLine(QPointF(12, 10), QPointF(12, 14)); };
  const auto minus = [](QPainter& q) { q.drawLine(QPointF(10, 12), QPointF(14, 12)); };
  const auto pencil = [](QPainter& q) { q.drawLine(QPointF(10, 14), QPointF(14, 10)); };
  const auto tick = [](QPainter& q) { q.drawLine(QPointF(10, 12), QPointF(11.5, 13.8)); q.drawLine(QPointF(11.5, 13.8), QPointF(14.2, 10.2)); };
  const auto cross = [](QPainter& q) { q.drawLine(QPointF(10.2, 10.2), QPointF(13.8, 13.8)); q.drawLine(QPointF(13.8, 10.2), QPointF(10.2, 13.8)); };
  ok &= Strip(13, {{0, person(QColor(30, 130, 60), plus)}, {1, person(QColor(200, 140, 20), pencil)},
                   {2, person(QColor(200, 40, 40), minus)}, {3, Eraser},
                   {4, [](QPainter& p) { Arrow(p, true); }}, {5, [](QPainter& p) { Arrow(p, false); }},
                   {11, person(QColor(210, 30, 30), cross)}, {12, person(QColor(30, 150, 50), tick)}})
            .save(out + "/USER.png");
  ok &= Icon(true).save(out + "/ONLINE.png");
  ok &= Icon(false).save(out + "/OFFLINE.png");
  return ok ? 0 : 1;
}
