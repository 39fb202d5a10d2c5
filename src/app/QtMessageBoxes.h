// The message-box seam drawn with QMessageBox.
#pragma once

#include <QPointer>
#include <QStringList>
#include <map>

#include "platform/MessageBoxes.h"

class QMessageBox;

namespace varnley {

class QtMessageBoxes : public MessageBoxes {
 public:
  // A notice shows at most this many lines; all of them are under "Show Details...".
  static constexpr int kNoticeLines = 20;

  QtMessageBoxes() = default;
  ~QtMessageBoxes() override;
  QtMessageBoxes(const QtMessageBoxes&) = delete;
  QtMessageBoxes& operator=(const QtMessageBoxes&) = delete;

  BoxButton show(BoxKind kind, const std::string& text) override;
  void notify(BoxKind kind, const std::string& text) override;

  // The open notice of that kind, or nullptr.
  QMessageBox* openNotice(BoxKind kind) const;

 private:
  struct Notice {
    QPointer<QMessageBox> box;
    QStringList lines;
  };
  std::map<BoxKind, Notice> notices_;
};

}  // namespace varnley
