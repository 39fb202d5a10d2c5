// The host editor: one host's address, octet by octet, and its list of ports.
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
  // Shows a row: its octets in decimal, its ports one per line.
  void fill(const MonitoredHost& host);

  std::string host() const;   // the four edits joined with "."
  std::string ports() const;  // the list's lines, each followed by ","

  void setVisible(bool visible) override;

 protected:
  // Keeps the edits to digits, moves on at ".", pastes whole addresses, adds a port on Enter.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // Dotted text is an address: a whole one fills the four edits at once, any other is
  // dropped. False for text without a dot, which pastes as usual.
  bool pasteAddress(const QString& text);
  void AddButtonClick();
  void DeleteButtonClick();
  void OKBtnClick();

  QGroupBox* HostGroupBox;
  QLineEdit* HostEdit[4];
  QGroupBox* PortGroupBox;
  QLineEdit* PortEdit;
  QPushButton* AddButton;
  QPushButton* DeleteButton;
  QListWidget* PortListBox;
  QPushButton* OKBtn;
  QPushButton* CancelBtn;
};

}  // namespace varnley
