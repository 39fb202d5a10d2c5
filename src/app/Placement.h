// Where top-level windows of the program appear on the desktop.
#pragma once

class QWidget;

namespace varnley {

// Moves a window that is about to show to the middle of its screen's free area. Called before
// the window maps: moving it while it maps makes some platforms add the frame's offset again
// on every showing, so a reused dialog would creep down the screen.
void CentreOnScreen(QWidget& window);

}  // namespace varnley
