// The toolbar's eleven 24 x 24 images and the application icon.
#pragma once

#include <QIcon>

namespace varnley {

inline constexpr int kImageCount = 11;

// Image `index` of the toolbar's image list: the desktop theme's icon when it has one, else
// the picture shipped with the program. An index out of range gives a null icon.
QIcon ImageListIcon(int index);

// The program's own icon (window, tray, desktop entry); never taken from the theme.
QIcon ApplicationIcon();

// What the tray icon tells at a glance: the program's icon while idle, a lit variant while
// monitoring, a red one while at least one port is down.
enum class TrayState { Idle, Monitoring, Down };
QIcon TrayStateIcon(TrayState state);

}  // namespace varnley
