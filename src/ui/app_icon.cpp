// AppIcon: a round badge with a plug-like "O".
#include "app_icon.h"

#include <QPainter>
#include <QPixmap>

namespace orvelle::ui {

QIcon AppIcon() {
  constexpr int kSize = 64;
  QPixmap pixmap(kSize, kSize);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setBrush(QColor(0x1f, 0x5f, 0x8b));
  painter.setPen(Qt::NoPen);
  painter.drawEllipse(2, 2, kSize - 4, kSize - 4);
  painter.setPen(QPen(Qt::white, 7));
  painter.setBrush(Qt::NoBrush);
  painter.drawEllipse(17, 17, kSize - 34, kSize - 34);
  painter.drawLine(kSize / 2, 6, kSize / 2, 17);
  painter.end();
  return QIcon(pixmap);
}

}  // namespace orvelle::ui
