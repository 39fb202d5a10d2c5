// The message-box seam drawn with QMessageBox.
#pragma once

#include <QPointer>
#include <QStringList>
#include <map>

#include "platform/MessageBoxes.h"

class QFontMetrics;
class QMessageBox;
class QWidget;

namespace varnley {

// Breaks each line of `text` after commas so that no line is wider than `width` pixels where
// a comma allows it: an alert's list of "host:port" entries has no blank to wrap at.
QString WrapAtCommas(const QString& text, const QFontMetrics& metrics, int width);

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

  // The window the boxes belong to (they stay with it in the desktop's window list).
  void setOwner(QWidget* owner) { owner_ = owner; }
  // How wide a box's text may grow on the screen the boxes show on.
  static int textWidthLimit();

 private:
  struct Notice {
    QPointer<QMessageBox> box;
    QStringList lines;
  };
  std::map<BoxKind, Notice> notices_;
  QPointer<QWidget> owner_;
};

}  // namespace varnley
