#include "Parlet/desktop/widgets/Symbols.h"

#include <cmath>

#include <QPainter>
#include <QPainterPath>

namespace parlet::widgets {
namespace {

// Shapes are drawn on a 24 × 24 grid, scaled into the box.
void pencil(QPainter& p) {
  QPainterPath body;
  body.moveTo(16.5, 3.5);
  body.lineTo(20.5, 7.5);
  body.lineTo(9, 19);
  body.lineTo(3.5, 20.5);
  body.lineTo(5, 15);
  body.closeSubpath();
  p.drawPath(body);
  p.drawLine(QPointF(14, 6), QPointF(18, 10));
}

void circle(QPainter& p) { p.drawEllipse(QPointF(12, 12), 9, 9); }

void arrowDownCircle(QPainter& p) {
  circle(p);
  p.drawLine(QPointF(12, 7), QPointF(12, 16.5));
  p.drawPolyline(QPolygonF({QPointF(8, 12.5), QPointF(12, 16.5), QPointF(16, 12.5)}));
}

void mic(QPainter& p, const QColor& color) {
  p.save();
  p.setBrush(color);
  p.drawRoundedRect(QRectF(9, 3, 6, 11), 3, 3);
  p.restore();
  p.drawArc(QRectF(6, 6, 12, 11), 180 * 16, 180 * 16);
  p.drawLine(QPointF(12, 17), QPointF(12, 21));
  p.drawLine(QPointF(9, 21), QPointF(15, 21));
}

void ellipsisCircle(QPainter& p, const QColor& color) {
  circle(p);
  p.save();
  p.setPen(Qt::NoPen);
  p.setBrush(color);
  for (double x : {8.0, 12.0, 16.0}) p.drawEllipse(QPointF(x, 12), 1.4, 1.4);
  p.restore();
}

void warningTriangle(QPainter& p, const QColor& color) {
  QPainterPath triangle;
  triangle.moveTo(12, 3);
  triangle.lineTo(21.5, 20);
  triangle.lineTo(2.5, 20);
  triangle.closeSubpath();
  p.save();
  p.setBrush(color);
  p.drawPath(triangle);
  QPen cut(Qt::white, 2, Qt::SolidLine, Qt::RoundCap);
  p.setPen(cut);
  p.drawLine(QPointF(12, 9), QPointF(12, 14));
  p.drawPoint(QPointF(12, 17));
  p.restore();
}

void exclamationCircle(QPainter& p) {
  circle(p);
  p.drawLine(QPointF(12, 7), QPointF(12, 13));
  p.drawPoint(QPointF(12, 16.5));
}

void lock(QPainter& p, const QColor& color) {
  p.save();
  p.setBrush(color);
  p.drawRoundedRect(QRectF(5, 11, 14, 10), 2, 2);
  p.restore();
  p.drawArc(QRectF(8, 4, 8, 12), 0, 180 * 16);
  p.drawLine(QPointF(8, 10), QPointF(8, 11));
  p.drawLine(QPointF(16, 10), QPointF(16, 11));
}

void shield(QPainter& p) {
  QPainterPath path;
  path.moveTo(12, 2.5);
  path.lineTo(20, 5.5);
  path.cubicTo(20, 13, 17, 18.5, 12, 21.5);
  path.cubicTo(7, 18.5, 4, 13, 4, 5.5);
  path.closeSubpath();
  p.drawPath(path);
  p.drawRoundedRect(QRectF(9, 11, 6, 5), 1, 1);
  p.drawArc(QRectF(10, 8, 4, 6), 0, 180 * 16);
}

void checkmark(QPainter& p) { p.drawPolyline(QPolygonF({QPointF(6, 12.5), QPointF(10, 16.5), QPointF(18, 7.5)})); }

void seal(QPainter& p, const QColor& color) {
  QPainterPath star;
  for (int i = 0; i < 24; ++i) {
    const double angle = i * M_PI / 12;
    const double r = i % 2 ? 8.2 : 10;
    const QPointF point(12 + r * std::cos(angle), 12 + r * std::sin(angle));
    i ? star.lineTo(point) : star.moveTo(point);
  }
  star.closeSubpath();
  p.save();
  p.setBrush(color);
  p.drawPath(star);
  p.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  checkmark(p);
  p.restore();
}

void arrowUp(QPainter& p) {
  p.drawLine(QPointF(12, 20), QPointF(12, 4));
  p.drawPolyline(QPolygonF({QPointF(5.5, 10.5), QPointF(12, 4), QPointF(18.5, 10.5)}));
}

void tray(QPainter& p) {
  QPainterPath path;
  path.moveTo(3, 13);
  path.lineTo(6, 5);
  path.lineTo(18, 5);
  path.lineTo(21, 13);
  path.lineTo(21, 19);
  path.lineTo(3, 19);
  path.closeSubpath();
  p.drawPath(path);
  p.drawPolyline(QPolygonF({QPointF(3, 13), QPointF(8, 13), QPointF(9.5, 15.5), QPointF(14.5, 15.5), QPointF(16, 13),
                            QPointF(21, 13)}));
}

void magnifier(QPainter& p) {
  p.drawEllipse(QPointF(10, 10), 6, 6);
  p.drawLine(QPointF(14.5, 14.5), QPointF(20, 20));
}

void trash(QPainter& p) {
  p.drawLine(QPointF(4, 6), QPointF(20, 6));
  p.drawPolyline(QPolygonF({QPointF(9, 6), QPointF(9, 3.5), QPointF(15, 3.5), QPointF(15, 6)}));
  p.drawPolyline(QPolygonF({QPointF(6, 6), QPointF(7, 20.5), QPointF(17, 20.5), QPointF(18, 6)}));
  p.drawLine(QPointF(10, 10), QPointF(10, 17));
  p.drawLine(QPointF(14, 10), QPointF(14, 17));
}

void documents(QPainter& p) {
  p.drawRoundedRect(QRectF(8, 7, 11, 14), 1.5, 1.5);
  p.drawPolyline(QPolygonF({QPointF(5, 17), QPointF(5, 3), QPointF(15, 3)}));
}

void xmarkCircle(QPainter& p, const QColor& color) {
  p.save();
  p.setBrush(color);
  circle(p);
  p.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(9, 9), QPointF(15, 15));
  p.drawLine(QPointF(15, 9), QPointF(9, 15));
  p.restore();
}

void filledCircle(QPainter& p, const QColor& color) {
  p.save();
  p.setBrush(color);
  circle(p);
  p.restore();
}

void checkmarkCircle(QPainter& p, const QColor& color) {
  p.save();
  p.setBrush(color);
  circle(p);
  p.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  checkmark(p);
  p.restore();
}

}  // namespace

void drawSymbol(QPainter& painter, const QString& name, const QRectF& box, const QColor& color) {
  const double side = std::min(box.width(), box.height());
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  painter.translate(box.center().x() - side / 2, box.center().y() - side / 2);
  painter.scale(side / 24, side / 24);
  painter.setPen(QPen(color, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  painter.setBrush(Qt::NoBrush);
  if (name == "pencil.tip") pencil(painter);
  else if (name == "arrow.down.circle") arrowDownCircle(painter);
  else if (name == "mic.fill") mic(painter, color);
  else if (name == "ellipsis.circle") ellipsisCircle(painter, color);
  else if (name == "exclamationmark.triangle.fill") warningTriangle(painter, color);
  else if (name == "exclamationmark.circle") exclamationCircle(painter);
  else if (name == "lock.fill") lock(painter, color);
  else if (name == "lock.shield") shield(painter);
  else if (name == "checkmark.seal") seal(painter, color);
  else if (name == "checkmark") checkmark(painter);
  else if (name == "arrow.up") arrowUp(painter);
  else if (name == "tray") tray(painter);
  else if (name == "magnifyingglass") magnifier(painter);
  else if (name == "trash") trash(painter);
  else if (name == "doc.on.doc") documents(painter);
  else if (name == "xmark.circle.fill") xmarkCircle(painter, color);
  else if (name == "circle") circle(painter);
  else if (name == "circle.fill") filledCircle(painter, color);
  else if (name == "checkmark.circle.fill") checkmarkCircle(painter, color);
  painter.restore();
}

QPixmap symbolPixmap(const QString& name, int size, const QColor& color, qreal devicePixelRatio) {
  QPixmap pixmap(QSize(size, size) * devicePixelRatio);
  pixmap.setDevicePixelRatio(devicePixelRatio);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  drawSymbol(painter, name, QRectF(0, 0, size, size), color);
  return pixmap;
}

QIcon statusIcon(StatusIcon icon, double alpha) {
  QString name;
  QColor color(Qt::white);  // tray areas are dark on most desktops
  switch (icon) {
    case StatusIcon::idle: name = "pencil.tip"; break;
    case StatusIcon::preparing: name = "arrow.down.circle"; break;
    case StatusIcon::recording: name = "mic.fill"; break;
    case StatusIcon::processing: name = "ellipsis.circle"; break;
    case StatusIcon::needsAccessibility:
      name = "exclamationmark.triangle.fill";
      color = QColor(0xF5, 0xA6, 0x23);
      break;
  }
  color.setAlphaF(static_cast<float>(alpha));
  QIcon result;
  for (int size : {16, 22, 24, 32, 48, 64}) result.addPixmap(symbolPixmap(name, size, color));
  return result;
}

QIcon applicationIcon() {
  QIcon result;
  for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 24.0, size / 24.0);
    // The icon file's 24 × 24 grid: the tile, then the pencil at 70 % in its middle.
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x2b, 0x2f, 0x3a));
    painter.drawRoundedRect(QRectF(0.5, 0.5, 23, 23), 5, 5);
    painter.translate(3.6, 3.6);
    painter.scale(0.7, 0.7);
    painter.setPen(QPen(Qt::white, 2.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    pencil(painter);
    painter.end();
    result.addPixmap(pixmap);
  }
  return result;
}

}  // namespace parlet::widgets
