#include "Badge.h"

#include <QFont>
#include <QPainter>
#include <QPainterPath>
#include <QPen>

namespace kestrond {

QPixmap badgePixmap(const QString& title, int size, qreal ratio, StatusMark mark) {
  QPixmap pixmap(QSize(size, size) * ratio);
  pixmap.setDevicePixelRatio(ratio);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  // A dark rounded square with a light rim reads on dark and light panels.
  QRectF frame(0.5, 0.5, size - 1.0, size - 1.0);
  qreal radius = size * 0.2;
  painter.setPen(QPen(QColor(0xf2, 0xf4, 0xf7), qMax(1.0, size / 16.0)));
  painter.setBrush(QColor(0x1d, 0x4e, 0x89));
  painter.drawRoundedRect(frame.adjusted(0.5, 0.5, -0.5, -0.5), radius, radius);
  // The letter is drawn as strokes, not from a font: no font has to be
  // loaded just to show the icon, and it looks the same everywhere.
  if (title == QStringLiteral("K")) {
    QPen pen(Qt::white, size * 0.13, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
    painter.setPen(pen);
    painter.drawLine(QPointF(size * 0.35, size * 0.24), QPointF(size * 0.35, size * 0.76));
    painter.drawLine(QPointF(size * 0.71, size * 0.24), QPointF(size * 0.38, size * 0.54));
    painter.drawLine(QPointF(size * 0.47, size * 0.46), QPointF(size * 0.73, size * 0.76));
  } else {
    QFont font;
    font.setBold(true);
    font.setPixelSize(qMax(8, static_cast<int>(size * 0.68)));
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(QRectF(0, 0, size, size), Qt::AlignCenter, title);
  }
  // The mark sits on the bottom right corner, over the badge's rim, with a
  // dark outline so that it reads on light panels and a light one inside on
  // dark panels: a filled green dot while a server runs, a hollow amber ring
  // while one starts or stops. They differ in form, not only in colour.
  if (mark != StatusMark::None) {
    qreal diameter = size * 0.46;
    QRectF spot(size - diameter - 0.5, size - diameter - 0.5, diameter, diameter);
    qreal outline = qMax(1.0, size / 16.0);
    painter.setPen(QPen(QColor(0x10, 0x18, 0x20), outline));
    if (mark == StatusMark::Running) {
      painter.setBrush(QColor(0x2e, 0xcc, 0x40));
      painter.drawEllipse(spot);
    } else {
      painter.setBrush(QColor(0x10, 0x18, 0x20));
      painter.drawEllipse(spot);
      qreal ring = diameter * 0.22;
      painter.setPen(QPen(QColor(0xff, 0xb0, 0x20), ring));
      painter.setBrush(Qt::NoBrush);
      qreal inset = outline / 2 + ring / 2;
      painter.drawEllipse(spot.adjusted(inset, inset, -inset, -inset));
    }
  }
  return pixmap;
}

}  // namespace kestrond
