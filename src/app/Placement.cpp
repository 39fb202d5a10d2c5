#include "app/Placement.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace varnley {

void CentreOnScreen(QWidget& window) {
  QScreen* screen = window.screen();
  if (!screen) screen = QGuiApplication::primaryScreen();
  if (!screen) return;
  QRect placed(QPoint(0, 0), window.size());
  placed.moveCenter(screen->availableGeometry().center());
  // The same request on every showing: desktops that hang the frame above the given point do
  // so alike each time.
  window.setGeometry(placed);
}

}  // namespace varnley
