#include "app/QtMessageBoxes.h"

#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>

namespace varnley {

BoxButton QtMessageBoxes::show(BoxKind kind, const std::string& text) {
  QMessageBox box;
  box.setWindowTitle(QString::fromLatin1(BoxCaption(kind)));
  // Texts join their lines with CR LF; a label would draw the CR as a stray glyph.
  box.setText(QString::fromStdString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
  box.setTextFormat(Qt::PlainText);
  switch (kind) {
    case BoxKind::Information: box.setIcon(QMessageBox::Information); break;
    case BoxKind::Confirm: box.setIcon(QMessageBox::Question); break;
    case BoxKind::Warning: box.setIcon(QMessageBox::Warning); break;
    case BoxKind::Error: box.setIcon(QMessageBox::Critical); break;
  }
  QPushButton* yes = nullptr;
  if (kind == BoxKind::Confirm) {
    yes = box.addButton(QStringLiteral("&Yes"), QMessageBox::YesRole);
    box.addButton(QStringLiteral("&No"), QMessageBox::NoRole);
    box.setDefaultButton(yes);
  } else {
    box.setDefaultButton(box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole));
  }
  box.setWindowModality(Qt::ApplicationModal);
  box.adjustSize();
  if (QScreen* screen = QGuiApplication::primaryScreen())
    box.move(screen->availableGeometry().center() - box.rect().center());
  box.exec();
  if (kind == BoxKind::Confirm) return box.clickedButton() == yes ? BoxButton::Yes : BoxButton::No;
  return BoxButton::Ok;
}

}  // namespace varnley
