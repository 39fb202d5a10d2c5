// The message-box seam drawn with QMessageBox.
#pragma once

#include <QDateTime>
#include <QList>
#include <QPointer>
#include <QRect>
#include <QStringList>
#include <functional>
#include <map>
#include <vector>

#include "platform/MessageBoxes.h"

class QFontMetrics;
class QMessageBox;
class QWidget;

namespace varnley {

// Breaks each line of `text` after commas so that no line is wider than `width` pixels where
// a comma allows it: an alert's list of "host:port" entries has no blank to wrap at.
QString WrapAtCommas(const QString& text, const QFontMetrics& metrics, int width);

// Where a window of `size` goes on `screen` so that it covers none of `others`: centred when
// that is free, else beside them (right, left, below, above), else cascaded from the last one.
QPoint PlaceBeside(const QRect& screen, const QSize& size, const std::vector<QRect>& others);

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
  // How wide a whole box may grow: half the screen at most, so that a second box fits beside
  // it.
  static int boxWidthLimit();
  // The clock that stamps the lines of a notice (tests set their own).
  void setClock(std::function<QDateTime()> clock) { clock_ = std::move(clock); }

 private:
  struct Notice {
    QPointer<QMessageBox> box;
    QStringList lines;
    QList<QDateTime> times;  // when each line came
  };
  // The notice's lines as the box shows them: with their times once there is more than one.
  static QStringList Stamped(const Notice& notice);
  // The open notices' frames other than this one's.
  std::vector<QRect> otherNotices(const QMessageBox* box) const;

  std::map<BoxKind, Notice> notices_;
  std::function<QDateTime()> clock_ = [] { return QDateTime::currentDateTime(); };
  QPointer<QWidget> owner_;
};

}  // namespace varnley
