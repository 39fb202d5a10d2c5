#include "app/THostPortDlg.h"

#include <QClipboard>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QToolTip>
#include <QVBoxLayout>
#include <algorithm>

#include "app/DialogButtons.h"
#include "app/Placement.h"
#include "model/AddressCheck.h"
#include "model/HostInput.h"
#include "model/MonitoredHost.h"
#include "model/PortList.h"
#include "platform/Text.h"

namespace varnley {

namespace {

QString q(const std::string& s) { return QString::fromStdString(s); }

std::vector<std::string> listLines(const QListWidget* list) {
  std::vector<std::string> lines;
  for (int i = 0; i < list->count(); ++i) lines.push_back(list->item(i)->text().toStdString());
  return lines;
}

}  // namespace

THostPortDlg::THostPortDlg(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("HostPortDlg"));
  setWindowTitle(QStringLiteral("Host Ports"));
  setModal(true);

  // Pasted text bypasses the key filter; the validator keeps it to digits as well.
  auto* digits =
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), this);

  HostGroupBox = new QGroupBox(QStringLiteral("Host IP Address:"), this);
  HostGroupBox->setObjectName(QStringLiteral("HostGroupBox"));
  auto* hostColumn = new QVBoxLayout(HostGroupBox);
  auto* hostRow = new QHBoxLayout;
  hostColumn->addLayout(hostRow);
  for (int i = 0; i < 4; ++i) {
    if (i > 0) hostRow->addWidget(new QLabel(QStringLiteral("."), HostGroupBox));
    HostEdit[i] = new QLineEdit(HostGroupBox);
    HostEdit[i]->setObjectName(QStringLiteral("HostEdit%1").arg(i + 1));
    HostEdit[i]->setMaxLength(3);
    HostEdit[i]->setValidator(digits);
    HostEdit[i]->installEventFilter(this);
    hostRow->addWidget(HostEdit[i]);
  }
  auto* nameRow = new QHBoxLayout;
  hostColumn->addLayout(nameRow);
  nameRow->addWidget(new QLabel(QStringLiteral("Name or IPv6:"), HostGroupBox));
  HostNameEdit = new QLineEdit(HostGroupBox);
  HostNameEdit->setObjectName(QStringLiteral("HostNameEdit"));
  // A name is at most 253 characters; an IPv6 address in brackets far less.
  HostNameEdit->setMaxLength(256);
  nameRow->addWidget(HostNameEdit, 1);

  PortGroupBox = new QGroupBox(QStringLiteral("Port List"), this);
  PortGroupBox->setObjectName(QStringLiteral("PortGroupBox"));
  PortEdit = new QLineEdit(PortGroupBox);
  PortEdit->setObjectName(QStringLiteral("PortEdit"));
  PortEdit->setMaxLength(6);
  PortEdit->setValidator(digits);
  PortEdit->installEventFilter(this);
  AddButton = new QPushButton(QStringLiteral("Add"), PortGroupBox);
  AddButton->setObjectName(QStringLiteral("AddButton"));
  AddButton->setAutoDefault(false);
  DeleteButton = new QPushButton(QStringLiteral("Delete"), PortGroupBox);
  DeleteButton->setObjectName(QStringLiteral("DeleteButton"));
  DeleteButton->setAutoDefault(false);
  PortListBox = new QListWidget(PortGroupBox);
  PortListBox->setObjectName(QStringLiteral("PortListBox"));
  auto* portGrid = new QGridLayout(PortGroupBox);
  portGrid->addWidget(PortEdit, 0, 0);
  portGrid->addWidget(AddButton, 0, 1);
  portGrid->addWidget(PortListBox, 1, 0);
  portGrid->addWidget(DeleteButton, 1, 1, Qt::AlignTop);

  QHBoxLayout* buttons = OkCancelRow(*this, OKBtn, CancelBtn);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(HostGroupBox);
  layout->addWidget(PortGroupBox, 1);
  layout->addLayout(buttons);
  setFixedSize(304, 272);

  QWidget* order[] = {HostEdit[0], HostEdit[1], HostEdit[2],  HostEdit[3], HostNameEdit, PortEdit,
                      AddButton,   PortListBox, DeleteButton, OKBtn,       CancelBtn};
  for (std::size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);

  connect(HostNameEdit, &QLineEdit::textChanged, this, &THostPortDlg::HostNameEditChange);
  connect(AddButton, &QPushButton::clicked, this, &THostPortDlg::AddButtonClick);
  connect(DeleteButton, &QPushButton::clicked, this, &THostPortDlg::DeleteButtonClick);
  connect(OKBtn, &QPushButton::clicked, this, &THostPortDlg::OKBtnClick);
}

void THostPortDlg::clearFields() {
  HostNameEdit->clear();
  HostNameEdit->setToolTip(QString());
  for (auto* edit : HostEdit) edit->clear();
  PortEdit->clear();
  PortListBox->clear();
  HostEdit[0]->setFocus();
}

void THostPortDlg::fill(const MonitoredHost& row) {
  HostNameEdit->setToolTip(QString());
  if (IsValidIP(row.host)) {
    HostNameEdit->clear();
    const auto octets = SplitHost(row.host);
    for (int i = 0; i < 4; ++i) HostEdit[i]->setText(q(octets[static_cast<std::size_t>(i)]));
  } else {
    HostNameEdit->setText(q(row.host));
  }
  PortEdit->clear();
  PortListBox->clear();
  for (const auto& port : SplitPorts(row.ports)) PortListBox->addItem(q(port));
  (HostNameEdit->text().isEmpty() ? HostEdit[0] : HostNameEdit)->setFocus();
}

std::string THostPortDlg::host() const {
  const std::string name = Trim(HostNameEdit->text().toStdString());
  if (!name.empty()) {
    const auto canonical = CanonicalHostOf(name);
    return canonical ? canonical->text : name;
  }
  return JoinHost({HostEdit[0]->text().toStdString(), HostEdit[1]->text().toStdString(),
                   HostEdit[2]->text().toStdString(), HostEdit[3]->text().toStdString()});
}

std::string THostPortDlg::ports() const { return JoinPortList(listLines(PortListBox)); }

bool THostPortDlg::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::KeyPress) return QDialog::eventFilter(watched, event);
  auto* key = static_cast<QKeyEvent*>(event);
  const int octet = static_cast<int>(std::find(std::begin(HostEdit), std::end(HostEdit), watched) -
                                     std::begin(HostEdit));
  if (key->matches(QKeySequence::Paste) && octet < 4) {
    // A whole dotted address lands in all four edits, a name or IPv6 address in the name
    // edit; anything else pastes as usual.
    const QString pasted = QGuiApplication::clipboard()->text();
    if (pasteName(pasted) || pasteAddress(pasted)) return true;
  }
  if (watched == PortEdit && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)) {
    // A typed port is what the user means to keep: Enter adds it rather than closing.
    AddButtonClick();
    return true;
  }
  const QString text = key->text();
  // Shortcuts (Ctrl+A/C/V/X/Z) and keys without a printable character (Escape, arrows,
  // Delete, Backspace, Enter, Tab) edit, move or close as they always do.
  if (text.isEmpty() || !text.front().isPrint() || (key->modifiers() & Qt::ControlModifier))
    return QDialog::eventFilter(watched, event);
  const QChar c = text.front();
  if (c == u'.' && octet < 3) {
    HostEdit[octet + 1]->setFocus(Qt::TabFocusReason);
    HostEdit[octet + 1]->selectAll();
    return true;
  }
  if (c < u'0' || c > u'9') return true;
  return QDialog::eventFilter(watched, event);
}

bool THostPortDlg::pasteAddress(const QString& text) {
  if (!text.contains(QLatin1Char('.'))) return false;
  // Dotted text that is no address pastes nothing rather than its first digits.
  const QStringList parts = text.trimmed().split(QLatin1Char('.'));
  if (parts.size() != 4) return true;
  for (const QString& part : parts) {
    if (part.isEmpty() || part.size() > 3) return true;
    for (const QChar c : part)
      if (c < u'0' || c > u'9') return true;
  }
  for (int i = 0; i < 4; ++i) HostEdit[i]->setText(parts[i]);
  PortEdit->setFocus(Qt::TabFocusReason);
  return true;
}

void THostPortDlg::showRefusal(QLineEdit* edit, const std::string& reason) {
  edit->selectAll();
  edit->setToolTip(q(reason));
  if (isVisible())
    QToolTip::showText(edit->mapToGlobal(QPoint(0, edit->height())), q(reason), edit);
}

bool THostPortDlg::pasteName(const QString& text) {
  const std::string trimmed = Trim(text.toStdString());
  const auto host = CanonicalHostOf(trimmed);
  if (!host || host->kind == HostKind::IPv4) return false;
  HostNameEdit->setText(q(trimmed));
  HostNameEdit->setFocus(Qt::TabFocusReason);
  return true;
}

void THostPortDlg::HostNameEditChange(const QString& text) {
  const bool name = !text.trimmed().isEmpty();
  for (auto* edit : HostEdit) {
    if (name) edit->clear();
    edit->setEnabled(!name);
  }
}

void THostPortDlg::AddButtonClick() {
  const std::string trimmed = Trim(PortEdit->text().toStdString());
  PortEdit->setText(q(trimmed));
  // The next port is typed straight away, whichever way this one was added.
  PortEdit->setFocus(Qt::OtherFocusReason);
  if (const auto refusal = PortRefusal(trimmed, listLines(PortListBox))) {
    showRefusal(PortEdit, *refusal);
    return;
  }
  PortEdit->setToolTip(QString());
  QToolTip::hideText();
  PortListBox->addItem(q(PortText(trimmed)));
  PortEdit->clear();
}

void THostPortDlg::DeleteButtonClick() {
  if (PortListBox->count() == 0) return;
  const int row = PortListBox->currentRow();
  if (row < 0 || !PortListBox->item(row)->isSelected()) return;
  delete PortListBox->takeItem(row);
}

void THostPortDlg::OKBtnClick() {
  const std::string name = Trim(HostNameEdit->text().toStdString());
  if (!name.empty()) {
    std::string reason;
    if (!CanonicalHostOf(name, &reason)) {
      // The dialog stays open on what needs fixing.
      HostNameEdit->setFocus();
      showRefusal(HostNameEdit, reason);
      return;
    }
    HostNameEdit->setToolTip(QString());
    accept();
    return;
  }
  for (auto* edit : HostEdit) edit->setText(q(Trim(edit->text().toStdString())));
  for (auto* edit : HostEdit) {
    if (edit->text().isEmpty()) {
      edit->setFocus();
      return;
    }
  }
  accept();
}

void THostPortDlg::setVisible(bool visible) {
  // Centred on the desktop rather than over the main window, which may be hidden in the tray;
  // placed before it maps, since a move while it maps lands a frame's height lower on some
  // desktops.
  if (visible && !isVisible()) CentreOnScreen(*this);
  QDialog::setVisible(visible);
}

}  // namespace varnley
