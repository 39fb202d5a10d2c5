// The host editor: one host's IPv4 address octet by octet, or its name or IPv6 address, and
// its list of ports.
#pragma once

#include <QDialog>
#include <string>

class QGroupBox;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace varnley {

struct MonitoredHost;

class THostPortDlg : public QDialog {
  Q_OBJECT

 public:
  explicit THostPortDlg(QWidget* parent = nullptr);

  // Empty edits and list, ready for a new host.
  void clearFields();
  // Shows a row: an IPv4 host's octets in decimal, any other host in the name edit, its ports
  // one per line.
  void fill(const MonitoredHost& host);

  // The name edit's host in its stored form when it has text (as typed when it is no valid
  // host), else the four edits joined with ".".
  std::string host() const;
  std::string ports() const;  // the list's lines, each followed by ","

  void setVisible(bool visible) override;

 protected:
  // Keeps the edits to digits, moves on at ".", pastes whole addresses, adds a port on Enter.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // Dotted text is an address: a whole one fills the four edits at once, any other is
  // dropped. False for text without a dot, which pastes as usual.
  bool pasteAddress(const QString& text);
  // A name or IPv6 address pasted into an octet goes to the name edit; false for other text.
  bool pasteName(const QString& text);
  // Text in the name edit stands for the whole host: the octets are cleared and disabled.
  void HostNameEditChange(const QString& text);
  // Selects the edit's text and says why it is refused, under it and in its tooltip.
  void showRefusal(QLineEdit* edit, const std::string& reason);
  void AddButtonClick();
  void DeleteButtonClick();
  void OKBtnClick();

  QGroupBox* HostGroupBox;
  QLineEdit* HostEdit[4];
  QLineEdit* HostNameEdit;
  QGroupBox* PortGroupBox;
  QLineEdit* PortEdit;
  QPushButton* AddButton;
  QPushButton* DeleteButton;
  QListWidget* PortListBox;
  QPushButton* OKBtn;
  QPushButton* CancelBtn;
};

}  // namespace varnley
