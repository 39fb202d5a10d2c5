// Where top-level windows of the program appear on the desktop.
#pragma once

class QWidget;

namespace varnley {

// Moves a window to the middle of its screen's free area. Meant for a window about to show: a
// window moved while it maps lands a frame's height lower on some desktops, now and then, so
// a reused dialog opened lower on later showings.
void CentreOnScreen(QWidget& window);

}  // namespace varnley
