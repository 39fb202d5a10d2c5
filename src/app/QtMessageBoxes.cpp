#include "app/QtMessageBoxes.h"

#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <algorithm>

#include "app/Icons.h"
#include "app/Placement.h"

namespace varnley {

namespace {

// Texts join their lines with CR LF; a label would draw the CR as a stray glyph.
QString Lines(const std::string& text) {
  return QString::fromStdString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

void Dress(QMessageBox& box, BoxKind kind) {
  box.setWindowTitle(QString::fromLatin1(BoxCaption(kind)));
  box.setWindowIcon(ApplicationIcon());
  box.setTextFormat(Qt::PlainText);
  switch (kind) {
    case BoxKind::Information:
      box.setIcon(QMessageBox::Information);
      break;
    case BoxKind::Confirm:
      box.setIcon(QMessageBox::Question);
      break;
    case BoxKind::Warning:
      box.setIcon(QMessageBox::Warning);
      break;
    case BoxKind::Error:
      box.setIcon(QMessageBox::Critical);
      break;
  }
}

void Centre(QMessageBox& box) {
  box.adjustSize();
  CentreOnScreen(box);
}

QRect Available(const QWidget& window) {
  const QScreen* screen = window.screen() ? window.screen() : QGuiApplication::primaryScreen();
  return screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
}

// Sets the text with its long lines broken where they may be, narrow enough that the whole
// box (icon, margins and all) stays within its width limit: the box sizes itself from the
// widest line, so the room its icon and margins take comes off the text's width.
constexpr int kNarrowest = 80;  // a text limit below this helps nobody read the box

void SetWrappedText(QMessageBox& box, const QString& head, const QString& text) {
  const int boxLimit = QtMessageBoxes::boxWidthLimit();
  int limit = QtMessageBoxes::textWidthLimit();
  for (int attempt = 0; attempt < 3; ++attempt) {
    const QString shown = head + WrapAtCommas(text, box.fontMetrics(), limit);
    box.setText(shown);
    box.adjustSize();
    // A shown box has sized itself (its frame included); one still hidden says what it asks.
    const int width = box.isVisible() ? box.frameGeometry().width() : box.sizeHint().width();
    if (width <= boxLimit || limit <= kNarrowest) return;
    int widest = 0;
    for (const QString& line : shown.split(QLatin1Char('\n')))
      widest = std::max(widest, box.fontMetrics().horizontalAdvance(line));
    // What the icon, margins and frame take beside the text comes off the text's room.
    limit = std::clamp(boxLimit - (width - widest), kNarrowest, limit - 1);
  }
}

}  // namespace

QString WrapAtCommas(const QString& text, const QFontMetrics& metrics, int width) {
  QStringList out;
  for (const QString& line : text.split(QLatin1Char('\n'))) {
    if (metrics.horizontalAdvance(line) <= width) {
      out << line;
      continue;
    }
    QString current;
    qsizetype start = 0;
    while (start < line.size()) {
      const qsizetype comma = line.indexOf(QLatin1Char(','), start);
      const qsizetype end = comma < 0 ? line.size() : comma + 1;
      const QString piece = line.mid(start, end - start);
      if (!current.isEmpty() && metrics.horizontalAdvance(current + piece) > width) {
        out << current;
        current.clear();
      }
      current += piece;
      start = end;
    }
    out << current;
  }
  return out.join(QLatin1Char('\n'));
}

QPoint PlaceBeside(const QRect& screen, const QSize& size, const std::vector<QRect>& others) {
  QRect centred(QPoint(0, 0), size);
  centred.moveCenter(screen.center());
  auto isFree = [&](const QRect& r) {
    for (const QRect& other : others)
      if (r.intersects(other)) return false;
    return true;
  };
  if (isFree(centred)) return centred.topLeft();
  QRect taken;
  for (const QRect& other : others) taken |= other;
  constexpr int kGap = 8;
  const QRect candidates[] = {
      centred.translated(taken.right() + 1 + kGap - centred.left(), 0),
      centred.translated(taken.left() - kGap - centred.right() - 1, 0),
      centred.translated(0, taken.bottom() + 1 + kGap - centred.top()),
      centred.translated(0, taken.top() - kGap - centred.bottom() - 1),
  };
  for (const QRect& r : candidates)
    if (screen.contains(r) && isFree(r)) return r.topLeft();
  // No free room: below and to the right of the last one, so its title bar still shows.
  QPoint cascade = others.back().topLeft() + QPoint(32, 32);
  cascade.setX(std::clamp(cascade.x(), screen.left(),
                          std::max(screen.left(), screen.right() - size.width())));
  cascade.setY(std::clamp(cascade.y(), screen.top(),
                          std::max(screen.top(), screen.bottom() - size.height())));
  return cascade;
}

int QtMessageBoxes::boxWidthLimit() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  // A message box wider than this breaks its lines again at their blanks (the time after a
  // notice's stamp, the " is DOWN." at the end), so the text is kept within it instead.
  constexpr int kUnwrappedBox = 500;
  return std::min((screen ? screen->availableGeometry().width() : 1024) / 2, kUnwrappedBox);
}

int QtMessageBoxes::textWidthLimit() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  const int available = screen ? screen->availableGeometry().width() : 1024;
  // Half the screen leaves room for the box's icon and margins, and for a second box beside it.
  return std::clamp(available / 2, 240, 800);
}

QtMessageBoxes::~QtMessageBoxes() {
  for (auto& [kind, notice] : notices_) delete notice.box.data();
}

BoxButton QtMessageBoxes::show(BoxKind kind, const std::string& text) {
  QMessageBox box(owner_);
  Dress(box, kind);
  SetWrappedText(box, {}, Lines(text));
  QPushButton* yes = nullptr;
  if (kind == BoxKind::Confirm) {
    yes = box.addButton(QStringLiteral("&Yes"), QMessageBox::YesRole);
    box.addButton(QStringLiteral("&No"), QMessageBox::NoRole);
    box.setDefaultButton(yes);
  } else {
    box.setDefaultButton(box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole));
  }
  box.setWindowModality(Qt::ApplicationModal);
  Centre(box);
  box.exec();
  if (kind == BoxKind::Confirm) return box.clickedButton() == yes ? BoxButton::Yes : BoxButton::No;
  return BoxButton::Ok;
}

QStringList QtMessageBoxes::Stamped(const Notice& notice) {
  if (notice.lines.size() < 2) return notice.lines;
  QStringList out;
  for (qsizetype i = 0; i < notice.lines.size(); ++i)
    out << notice.times[i].toString(QStringLiteral("HH:mm:ss ")) + notice.lines[i];
  return out;
}

std::vector<QRect> QtMessageBoxes::otherNotices(const QMessageBox* box) const {
  std::vector<QRect> others;
  for (const auto& [kind, notice] : notices_)
    if (notice.box && notice.box != box && notice.box->isVisible())
      others.push_back(notice.box->frameGeometry());
  return others;
}

void QtMessageBoxes::notify(BoxKind kind, const std::string& text) {
  Notice& notice = notices_[kind];
  if (!notice.box || !notice.box->isVisible()) {
    delete notice.box.data();
    notice.lines.clear();
    notice.times.clear();
    notice.box = new QMessageBox(owner_);
    notice.box->setAttribute(Qt::WA_DeleteOnClose);
    notice.box->setWindowModality(Qt::NonModal);
    Dress(*notice.box, kind);
    notice.box->setDefaultButton(
        notice.box->addButton(QStringLiteral("OK"), QMessageBox::AcceptRole));
  }
  // Each line its own, so a flapping port's repeated lines each show when they came.
  const QDateTime now = clock_();
  for (const QString& line : Lines(text).split(QLatin1Char('\n'))) {
    notice.lines.append(line);
    notice.times.append(now);
  }
  const QStringList lines = Stamped(notice);
  QMessageBox& box = *notice.box;
  // A box left alone for hours must still fit on the screen: the latest lines show, every
  // line stays under the details.
  QString head;
  QString body = lines.join(QLatin1Char('\n'));
  if (lines.size() > kNoticeLines) {
    const auto hidden = lines.size() - kNoticeLines;
    head = QStringLiteral("(%1 earlier under Show Details)\n").arg(hidden);
    box.setDetailedText(body);
    body = lines.mid(hidden).join(QLatin1Char('\n'));
  }
  SetWrappedText(box, head, body);
  if (!box.isVisible()) {
    Centre(box);
    box.show();
    // Shown, the box sizes itself by its own rules, which may come out wider than it asked.
    if (box.frameGeometry().width() > boxWidthLimit()) SetWrappedText(box, head, body);
  }
  // Placed from the size it shows at (its frame included), whenever it is new or has grown
  // over another notice or the screen's edge: neither notice may hide the other.
  const std::vector<QRect> others = otherNotices(&box);
  const QRect frame = box.frameGeometry();
  const QRect screen = Available(box);
  bool clash = !screen.contains(frame);
  for (const QRect& other : others) clash = clash || frame.intersects(other);
  if (clash) box.move(PlaceBeside(screen, frame.size(), others));
  box.raise();
}

QMessageBox* QtMessageBoxes::openNotice(BoxKind kind) const {
  const auto it = notices_.find(kind);
  if (it == notices_.end() || !it->second.box || !it->second.box->isVisible()) return nullptr;
  return it->second.box.data();
}

}  // namespace varnley
