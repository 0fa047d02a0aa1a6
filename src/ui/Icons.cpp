// Pictures drawn with QPainter at the sizes a desktop asks for.
#include "ui/Icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

constexpr int kIconSizes[] = {16, 22, 24, 32, 48, 64};

QPixmap DrawGlobe(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal pen = qMax(1.0, size / 16.0);
  const QRectF ball(pen, pen, size - 2 * pen, size - 2 * pen);
  QRadialGradient fill(ball.center() - QPointF(size / 6.0, size / 6.0), size * 0.7);
  fill.setColorAt(0, QColor(0x7f, 0xc8, 0xff));
  fill.setColorAt(1, QColor(0x1c, 0x5f, 0xb0));
  p.setBrush(fill);
  p.setPen(QPen(QColor(0x10, 0x3a, 0x6e), pen));
  p.drawEllipse(ball);
  // Meridian and parallels.
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(QColor(255, 255, 255, 200), pen * 0.8));
  p.drawEllipse(
      QRectF(ball.center().x() - ball.width() / 4, ball.top(), ball.width() / 2, ball.height()));
  p.drawLine(QPointF(ball.center().x(), ball.top()), QPointF(ball.center().x(), ball.bottom()));
  p.drawLine(QPointF(ball.left(), ball.center().y()), QPointF(ball.right(), ball.center().y()));
  const qreal dy = ball.height() * 0.25;
  const qreal inset = ball.width() * 0.07;
  p.drawLine(QPointF(ball.left() + inset, ball.center().y() - dy),
             QPointF(ball.right() - inset, ball.center().y() - dy));
  p.drawLine(QPointF(ball.left() + inset, ball.center().y() + dy),
             QPointF(ball.right() - inset, ball.center().y() + dy));
  return pixmap;
}

QPixmap DrawInfo(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal pen = qMax(1.0, size / 16.0);
  p.setBrush(QColor(0x2a, 0x76, 0xd2));
  p.setPen(QPen(QColor(0x18, 0x4f, 0x96), pen));
  p.drawEllipse(QRectF(pen, pen, size - 2 * pen, size - 2 * pen));
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  const qreal w = size * 0.14;
  p.drawEllipse(QRectF(size / 2.0 - w / 1.6, size * 0.2, w * 1.25, w * 1.25));
  p.drawRoundedRect(QRectF(size / 2.0 - w / 2, size * 0.42, w, size * 0.38), w / 3, w / 3);
  return pixmap;
}

}  // namespace

// Not cached in statics: pixmaps must not outlive the application object.
QIcon BrevoxaIcon() {
  QIcon icon;
  for (int size : kIconSizes) icon.addPixmap(DrawGlobe(size));
  return icon;
}

QIcon AboutIcon() {
  QIcon drawn;
  for (int size : kIconSizes) drawn.addPixmap(DrawInfo(size));
  return QIcon::fromTheme("help-about", drawn);
}
