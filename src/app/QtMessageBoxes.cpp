#include "app/QtMessageBoxes.h"

#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>

namespace varnley {

namespace {

// Texts join their lines with CR LF; a label would draw the CR as a stray glyph.
QString Lines(const std::string& text) {
  return QString::fromStdString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

void Dress(QMessageBox& box, BoxKind kind) {
  box.setWindowTitle(QString::fromLatin1(BoxCaption(kind)));
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
  if (QScreen* screen = QGuiApplication::primaryScreen())
    box.move(screen->availableGeometry().center() - box.rect().center());
}

}  // namespace

QtMessageBoxes::~QtMessageBoxes() {
  for (auto& [kind, notice] : notices_) delete notice.box.data();
}

BoxButton QtMessageBoxes::show(BoxKind kind, const std::string& text) {
  QMessageBox box;
  Dress(box, kind);
  box.setText(Lines(text));
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
    notice.box = new QMessageBox;
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
    box.setText(notice.lines.join(QLatin1Char('\n')));
  } else {
    const auto hidden = notice.lines.size() - kNoticeLines;
    box.setText(QStringLiteral("(%1 earlier under Show Details)\n").arg(hidden) +
                notice.lines.mid(hidden).join(QLatin1Char('\n')));
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
