// The one seam every message box of the program goes through, so tests can read a box's
// caption, text and buttons instead of blocking on a modal dialog.
#pragma once

#include <string>

namespace varnley {

enum class BoxKind { Information, Confirm, Warning, Error };
enum class BoxButton { Ok, Yes, No };

// Captions follow the kind: "Information", "Confirm", "Warning", "Error".
inline const char* BoxCaption(BoxKind kind) {
  switch (kind) {
    case BoxKind::Information:
      return "Information";
    case BoxKind::Confirm:
      return "Confirm";
    case BoxKind::Warning:
      return "Warning";
    case BoxKind::Error:
      return "Error";
  }
  return "";
}

class MessageBoxes {
 public:
  virtual ~MessageBoxes() = default;
  // Shows a modal box centred on the screen. Confirm boxes offer "&Yes" and "&No" (Yes the
  // default); the others one "OK". Returns the pressed button.
  virtual BoxButton show(BoxKind kind, const std::string& text) = 0;
  // Shows a box (one "OK") without waiting for anyone: the caller goes on at once. At most one
  // such box per kind is open; a text for a kind whose box is still open is added to that box
  // as a further line, so nothing shown is lost and boxes never pile up.
  virtual void notify(BoxKind kind, const std::string& text) = 0;
};

}  // namespace varnley
