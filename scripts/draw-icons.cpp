// Draws the toolbar fallbacks and the application icon into src/app/resources/icons/.
// Run once when a picture changes:
//   g++ -std=c++20 -fPIC scripts/draw-icons.cpp $(pkg-config --cflags --libs Qt6Gui) -o /tmp/di
//   QT_QPA_PLATFORM=offscreen /tmp/di src/app/resources/icons
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <functional>

namespace {

const QColor kInk(0x30, 0x3a, 0x46);

QImage canvas(int size) {
  QImage img(size, size, QImage::Format_ARGB32_Premultiplied);
  img.fill(Qt::transparent);
  return img;
}

void save(const QString& dir, const QString& name, int size,
          const std::function<void(QPainter&)>& draw) {
  QImage img = canvas(size);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 24.0, size / 24.0);
  draw(p);
  p.end();
  img.save(dir + QLatin1Char('/') + name + QStringLiteral(".png"));
}

void monitorScreen(QPainter& p) {
  p.setPen(QPen(kInk, 1.2));
  p.setBrush(QColor(0xe8, 0xf0, 0xf8));
  p.drawRoundedRect(QRectF(2.5, 3.5, 19, 13), 1.5, 1.5);
  p.setBrush(kInk);
  p.drawRect(QRectF(10, 16.5, 4, 2.5));
  p.drawRect(QRectF(7, 19, 10, 1.5));
}

void badge(QPainter& p, const QColor& fill, const std::function<void(QPainter&)>& mark) {
  p.setPen(QPen(Qt::white, 1.2));
  p.setBrush(fill);
  p.drawEllipse(QRectF(12.5, 10.5, 11, 11));
  p.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::RoundCap));
  mark(p);
}

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
  const QColor green(0x2e, 0x9d, 0x4b), red(0xc8, 0x3a, 0x32), blue(0x2f, 0x6f, 0xc0),
      amber(0xe0, 0x9a, 0x1c);

  save(dir, QStringLiteral("0-add"), 24, [&](QPainter& p) {
    monitorScreen(p);
    badge(p, green, [](QPainter& q) {
      q.drawLine(QPointF(18, 13), QPointF(18, 19));
      q.drawLine(QPointF(15, 16), QPointF(21, 16));
    });
  });
  save(dir, QStringLiteral("1-edit"), 24, [&](QPainter& p) {
    monitorScreen(p);
    p.setPen(QPen(kInk, 1));
    p.setBrush(amber);
    QPainterPath pen;
    pen.moveTo(13, 21);
    pen.lineTo(14, 17);
    pen.lineTo(21, 10);
    pen.lineTo(23, 12);
    pen.lineTo(16, 19);
    pen.closeSubpath();
    p.drawPath(pen);
  });
  save(dir, QStringLiteral("2-remove"), 24, [&](QPainter& p) {
    monitorScreen(p);
    badge(p, red, [](QPainter& q) { q.drawLine(QPointF(15, 16), QPointF(21, 16)); });
  });
  save(dir, QStringLiteral("3-settings"), 24, [&](QPainter& p) {
    p.setPen(QPen(kInk, 1.2));
    p.setBrush(QColor(0xf4, 0xf4, 0xf0));
    p.drawRoundedRect(QRectF(2.5, 5.5, 19, 14), 1.5, 1.5);
    p.drawLine(QPointF(3, 6.5), QPointF(12, 13));
    p.drawLine(QPointF(21, 6.5), QPointF(12, 13));
    p.setBrush(amber);
    p.setPen(QPen(kInk, 1));
    QPainterPath bell;
    bell.moveTo(15, 22);
    bell.lineTo(23, 22);
    bell.quadTo(21, 20, 21, 17);
    bell.quadTo(21, 13, 19, 13);
    bell.quadTo(17, 13, 17, 17);
    bell.quadTo(17, 20, 15, 22);
    p.drawPath(bell);
  });
  save(dir, QStringLiteral("4-mail"), 24, [&](QPainter& p) {
    p.setPen(QPen(kInk, 1.2));
    p.setBrush(QColor(0xf4, 0xf4, 0xf0));
    p.drawRect(QRectF(2.5, 5.5, 19, 13));
    p.drawLine(QPointF(3, 6), QPointF(12, 13));
    p.drawLine(QPointF(21, 6), QPointF(12, 13));
  });
  save(dir, QStringLiteral("5-start"), 24, [&](QPainter& p) {
    p.setPen(QPen(green.darker(130), 1.2));
    p.setBrush(green);
    p.drawEllipse(QRectF(2, 2, 20, 20));
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawPolygon(QPolygonF({QPointF(9.5, 7), QPointF(17, 12), QPointF(9.5, 17)}));
  });
  save(dir, QStringLiteral("6-stop"), 24, [&](QPainter& p) {
    p.setPen(QPen(red.darker(130), 1.2));
    p.setBrush(red);
    p.drawEllipse(QRectF(2, 2, 20, 20));
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawRect(QRectF(8, 8, 8, 8));
  });
  save(dir, QStringLiteral("7-refresh"), 24, [&](QPainter& p) {
    p.setPen(QPen(blue, 2.2, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(4, 4, 16, 16), 30 * 16, 280 * 16);
    p.setPen(Qt::NoPen);
    p.setBrush(blue);
    p.drawPolygon(QPolygonF({QPointF(15, 3), QPointF(21, 6), QPointF(16, 10)}));
  });
  save(dir, QStringLiteral("8-about"), 24, [&](QPainter& p) {
    p.setPen(QPen(blue.darker(130), 1.2));
    p.setBrush(blue);
    p.drawEllipse(QRectF(2, 2, 20, 20));
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(10.7, 5.5, 2.6, 2.6));
    p.drawRect(QRectF(10.8, 10, 2.4, 8));
  });
  save(dir, QStringLiteral("9-exit"), 24, [&](QPainter& p) {
    p.setPen(QPen(kInk, 1.2));
    p.setBrush(QColor(0xd9, 0xc2, 0x9c));
    p.drawRect(QRectF(4.5, 2.5, 11, 19));
    p.setPen(QPen(red, 2.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(11, 12), QPointF(21, 12));
    p.drawLine(QPointF(17.5, 8.5), QPointF(21, 12));
    p.drawLine(QPointF(17.5, 15.5), QPointF(21, 12));
  });
  save(dir, QStringLiteral("10-warning"), 24, [&](QPainter& p) {
    p.setPen(QPen(amber.darker(140), 1.2));
    p.setBrush(amber);
    p.drawPolygon(QPolygonF({QPointF(12, 2.5), QPointF(22, 20.5), QPointF(2, 20.5)}));
    p.setPen(QPen(Qt::white, 2.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(12, 8.5), QPointF(12, 14));
    p.drawPoint(QPointF(12, 17.5));
  });
  // The application icon: a port socket watched by a status light. The tray's state variants
  // light it up large: green with a tick while monitoring, red with a "!" when a port is down.
  auto appIcon = [&](QPainter& p) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x24, 0x4f, 0x8f));
    p.drawRoundedRect(QRectF(1, 1, 22, 22), 4.5, 4.5);
    p.setBrush(QColor(0xf2, 0xf5, 0xfa));
    QPainterPath socket;
    socket.moveTo(5, 8);
    socket.lineTo(15, 8);
    socket.lineTo(15, 17);
    socket.lineTo(12.5, 17);
    socket.lineTo(12.5, 19);
    socket.lineTo(7.5, 19);
    socket.lineTo(7.5, 17);
    socket.lineTo(5, 17);
    socket.closeSubpath();
    p.drawPath(socket);
    p.setBrush(QColor(0x24, 0x4f, 0x8f));
    for (int i = 0; i < 4; ++i) p.drawRect(QRectF(6.3 + i * 2.2, 9.5, 1.2, 2.5));
  };
  auto bigLight = [](QPainter& p, const QColor& fill) {
    p.setBrush(fill);
    p.setPen(QPen(Qt::white, 1.2));
    p.drawEllipse(QRectF(12.6, 0.6, 10.8, 10.8));
    p.setPen(QPen(Qt::white, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  };
  save(dir, QStringLiteral("varnley"), 128, [&](QPainter& p) {
    appIcon(p);
    p.setBrush(green);
    p.setPen(QPen(Qt::white, 0.8));
    p.drawEllipse(QRectF(16, 3.5, 5, 5));
  });
  save(dir, QStringLiteral("varnley-monitoring"), 128, [&](QPainter& p) {
    appIcon(p);
    bigLight(p, green);
    p.setBrush(Qt::NoBrush);
    p.drawPolyline(QPolygonF({QPointF(15.2, 6.2), QPointF(17.3, 8.3), QPointF(20.8, 3.9)}));
  });
  save(dir, QStringLiteral("varnley-down"), 128, [&](QPainter& p) {
    appIcon(p);
    bigLight(p, red);
    p.drawLine(QPointF(18, 3), QPointF(18, 6.4));
    p.drawPoint(QPointF(18, 8.9));
  });
  return 0;
}
