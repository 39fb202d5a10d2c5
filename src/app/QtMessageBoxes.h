// The message-box seam drawn with QMessageBox.
#pragma once

#include "platform/MessageBoxes.h"

namespace varnley {

class QtMessageBoxes : public MessageBoxes {
 public:
  BoxButton show(BoxKind kind, const std::string& text) override;
};

}  // namespace varnley
