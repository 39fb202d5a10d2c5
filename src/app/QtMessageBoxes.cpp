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

// The box's text with its long lines broken where they may be.
QString Wrapped(const QMessageBox& box, const QString& text) {
  return WrapAtCommas(text, box.fontMetrics(), QtMessageBoxes::textWidthLimit());
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
  box.setText(Wrapped(box, Lines(text)));
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

void QtMessageBoxes::notify(BoxKind kind, const std::string& text) {
  Notice& notice = notices_[kind];
  if (!notice.box || !notice.box->isVisible()) {
    delete notice.box.data();
    notice.lines.clear();
    notice.box = new QMessageBox(owner_);
    notice.box->setAttribute(Qt::WA_DeleteOnClose);
    notice.box->setWindowModality(Qt::NonModal);
    Dress(*notice.box, kind);
    notice.box->setDefaultButton(
        notice.box->addButton(QStringLiteral("OK"), QMessageBox::AcceptRole));
  }
  notice.lines.append(Lines(text));
  QMessageBox& box = *notice.box;
  // A box left alone for hours must still fit on the screen: the latest lines show, every
  // line stays under the details.
  if (notice.lines.size() <= kNoticeLines) {
    box.setText(Wrapped(box, notice.lines.join(QLatin1Char('\n'))));
  } else {
    const auto hidden = notice.lines.size() - kNoticeLines;
    box.setText(QStringLiteral("(%1 earlier under Show Details)\n").arg(hidden) +
                Wrapped(box, notice.lines.mid(hidden).join(QLatin1Char('\n'))));
    box.setDetailedText(notice.lines.join(QLatin1Char('\n')));
  }
  if (!box.isVisible()) {
    Centre(box);
    // A notice opened while another is up sits below and to the right of it, so both show.
    int others = 0;
    for (const auto& [otherKind, other] : notices_)
      if (otherKind != kind && other.box && other.box->isVisible()) ++others;
    box.move(box.pos() + QPoint(32, 32) * others);
    box.show();
  }
  box.raise();
}

QMessageBox* QtMessageBoxes::openNotice(BoxKind kind) const {
  const auto it = notices_.find(kind);
  if (it == notices_.end() || !it->second.box || !it->second.box->isVisible()) return nullptr;
  return it->second.box.data();
}

}  // namespace varnley
