#include <gtest/gtest.h>

#include <QClipboard>
#include <QGuiApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include "WidgetSupport.h"
#include "app/THostPortDlg.h"
#include "model/HostTable.h"
#include "model/MonitoredHost.h"

namespace varnley {
namespace {

class HostPortDlgTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { test::EnsureApplication(); }

  QLineEdit* edit(const char* name) { return dlg.findChild<QLineEdit*>(QLatin1String(name)); }
  QPushButton* button(const char* name) { return dlg.findChild<QPushButton*>(QLatin1String(name)); }
  QListWidget* list() { return dlg.findChild<QListWidget*>(QStringLiteral("PortListBox")); }
  QStringList lines() {
    QStringList out;
    for (int i = 0; i < list()->count(); ++i) out << list()->item(i)->text();
    return out;
  }
  void addPort(const QString& text) {
    edit("PortEdit")->setText(text);
    QTest::mouseClick(button("AddButton"), Qt::LeftButton);
  }

  // Shown and active, so keys reach the focused edit as they would for a user.
  void showActive() {
    dlg.clearFields();
    dlg.show();
    dlg.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
  }
  // Each key goes where the focus is at that moment, as typing does.
  static void type(const QString& keys) {
    for (const QChar c : keys) QTest::keyClicks(QApplication::focusWidget(), QString(c));
  }
  void paste(QLineEdit* into, const QString& text) {
    QGuiApplication::clipboard()->setText(text);
    into->setFocus();
    QTest::keySequence(into, QKeySequence::Paste);
  }

  THostPortDlg dlg;
};

TEST_F(HostPortDlgTest, ADotMovesToTheNextOctetAndPastedAddressesFillAllFour) {
  showActive();
  edit("HostEdit1")->setFocus();
  type(QStringLiteral("127.0.0.4"));
  EXPECT_EQ(dlg.host(), "127.0.0.4");
  EXPECT_EQ(dlg.focusWidget(), edit("HostEdit4"));
  // A dot in the last octet, or in the port edit, goes nowhere.
  type(QStringLiteral("."));
  EXPECT_EQ(edit("HostEdit4")->text(), QStringLiteral("4"));
  // Typing over an octet reached by "." replaces it.
  edit("HostEdit1")->setFocus();
  type(QStringLiteral(".10"));
  EXPECT_EQ(dlg.host(), "127.10.0.4");

  paste(edit("HostEdit3"), QStringLiteral(" 10.0.12.250\n"));
  EXPECT_EQ(dlg.host(), "10.0.12.250");
  EXPECT_EQ(dlg.focusWidget(), edit("PortEdit"));
  // Dotted text that is no address changes nothing.
  for (const char* notAnAddress : {"10.0.0", "10.0.0.1.2", "10.0.x.1", "1000.0.0.1", "10..0.1"}) {
    edit("HostEdit1")->setCursorPosition(1);
    paste(edit("HostEdit1"), QLatin1String(notAnAddress));
    EXPECT_EQ(dlg.host(), "10.0.12.250") << notAnAddress;
  }
  // A number alone pastes as usual.
  edit("HostEdit2")->clear();
  paste(edit("HostEdit2"), QStringLiteral("42"));
  EXPECT_EQ(dlg.host(), "10.42.12.250");
}

TEST_F(HostPortDlgTest, EditingShortcutsWorkAndEscapeCancelsFromAnyEdit) {
  showActive();
  QLineEdit* first = edit("HostEdit1");
  first->setText(QStringLiteral("192"));
  first->setFocus();
  QTest::keyClick(first, Qt::Key_A, Qt::ControlModifier);
  EXPECT_EQ(first->selectedText(), QStringLiteral("192"));
  QTest::keyClick(first, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("192"));
  QTest::keyClick(edit("PortEdit"), Qt::Key_V, Qt::ControlModifier);
  EXPECT_EQ(edit("PortEdit")->text(), QStringLiteral("192"));

  for (const char* name : {"HostEdit3", "PortEdit"}) {
    showActive();
    edit(name)->setFocus();
    QTest::keyClick(edit(name), Qt::Key_Escape);
    EXPECT_FALSE(dlg.isVisible()) << name;
    EXPECT_EQ(dlg.result(), QDialog::Rejected) << name;
  }
}

TEST_F(HostPortDlgTest, EnterInThePortEditAddsThePortAndKeepsTheDialogOpen) {
  showActive();
  QLineEdit* port = edit("PortEdit");
  port->setFocus();
  QTest::keyClicks(port, QStringLiteral("080"));
  QTest::keyClick(port, Qt::Key_Return);
  QTest::keyClicks(port, QStringLiteral("443"));
  QTest::keyClick(port, Qt::Key_Enter);
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_EQ(dlg.ports(), "80,443,") << "stored without the leading zero";

  // Refused: the text stays, selected for retyping, and the edit says why.
  QTest::keyClicks(port, QStringLiteral("0080"));
  QTest::keyClick(port, Qt::Key_Return);
  EXPECT_EQ(dlg.ports(), "80,443,");
  EXPECT_EQ(port->selectedText(), QStringLiteral("0080"));
  EXPECT_EQ(port->toolTip(), QStringLiteral("Port 80 is listed already."));
  QTest::keyClicks(port, QStringLiteral("70000"));
  QTest::keyClick(port, Qt::Key_Return);
  EXPECT_EQ(port->toolTip(), QStringLiteral("A port is a number from 1 to 65535."));

  // After a click on Add the next port is typed straight into the edit.
  port->setText(QStringLiteral("22"));
  QTest::mouseClick(button("AddButton"), Qt::LeftButton);
  EXPECT_EQ(dlg.focusWidget(), port);
  EXPECT_EQ(port->toolTip(), QString());
  QTest::keyClicks(port, QStringLiteral("25"));
  QTest::keyClick(port, Qt::Key_Return);
  EXPECT_EQ(dlg.ports(), "80,443,22,25,");
}

TEST_F(HostPortDlgTest, EveryShowingOpensAtTheSamePlace) {
  showActive();
  const QPoint first = dlg.pos();
  for (int i = 0; i < 3; ++i) {
    dlg.reject();
    showActive();
    EXPECT_EQ(dlg.pos(), first) << "showing " << i + 2;
  }
}

TEST_F(HostPortDlgTest, KeyFilterLetsOnlyDigitsThrough) {
  dlg.show();
  QLineEdit* port = edit("PortEdit");
  port->setFocus();
  QTest::keyClicks(port, QStringLiteral("8a0 -8.0x"));
  EXPECT_EQ(port->text(), QStringLiteral("8080"));
  QTest::keyClick(port, Qt::Key_Backspace);
  EXPECT_EQ(port->text(), QStringLiteral("808"));
  // Keys without a character still edit.
  QTest::keyClick(port, Qt::Key_Home);
  QTest::keyClick(port, Qt::Key_Delete);
  EXPECT_EQ(port->text(), QStringLiteral("08"));

  QTest::keyClicks(edit("HostEdit1"), QStringLiteral("1x2345"));
  EXPECT_EQ(edit("HostEdit1")->text(), QStringLiteral("123"));
  QTest::keyClicks(port, QStringLiteral("12345678"));
  EXPECT_EQ(port->text().size(), 6);
}

TEST_F(HostPortDlgTest, AddRefusesZeroDuplicatesAndPortsAbove65535) {
  dlg.clearFields();
  addPort(QStringLiteral("80"));
  addPort(QStringLiteral(" 443 "));
  EXPECT_EQ(edit("PortEdit")->text(), QString());
  for (const char* refused : {"0", "80", "65536", "999999", ""}) {
    addPort(QLatin1String(refused));
    // A refused port stays in the edit for the user to correct.
    EXPECT_EQ(edit("PortEdit")->text(), QLatin1String(refused));
  }
  addPort(QStringLiteral("65535"));
  EXPECT_EQ(lines(),
            (QStringList{QStringLiteral("80"), QStringLiteral("443"), QStringLiteral("65535")}));
  EXPECT_EQ(dlg.ports(), "80,443,65535,");
}

TEST_F(HostPortDlgTest, AddRefusesAPortThatWouldNotFitInTheFile) {
  std::string ports;
  for (int port = 10000; port < 10341; ++port) ports += std::to_string(port) + ",";  // 2046
  dlg.fill({"10.0.0.5", ports, ""});
  addPort(QStringLiteral("7"));
  EXPECT_EQ(edit("PortEdit")->text(), QStringLiteral("7"));
  EXPECT_EQ(dlg.ports(), ports);
  // Deleting one makes room again.
  list()->setCurrentRow(0);
  QTest::mouseClick(button("DeleteButton"), Qt::LeftButton);
  addPort(QStringLiteral("7"));
  EXPECT_EQ(dlg.ports().size(), 2042u);
}

TEST_F(HostPortDlgTest, DeleteRemovesOnlyTheSelectedLine) {
  dlg.fill({"10.0.0.5", "21,80,443,", ""});
  QTest::mouseClick(button("DeleteButton"), Qt::LeftButton);
  EXPECT_EQ(list()->count(), 3);
  list()->setCurrentRow(1);
  QTest::mouseClick(button("DeleteButton"), Qt::LeftButton);
  EXPECT_EQ(dlg.ports(), "21,443,");
}

TEST_F(HostPortDlgTest, FillShowsOctetsInDecimal) {
  dlg.fill({"010.000.1.20", "22,", "22,"});
  EXPECT_EQ(dlg.host(), "10.0.1.20");
  EXPECT_EQ(dlg.ports(), "22,");
  EXPECT_EQ(edit("PortEdit")->text(), QString());
}

TEST_F(HostPortDlgTest, OkStaysOpenOnTheFirstEmptyOctet) {
  dlg.clearFields();
  dlg.show();
  dlg.activateWindow();
  edit("HostEdit1")->setText(QStringLiteral("10"));
  edit("HostEdit2")->setText(QStringLiteral("0"));
  edit("HostEdit4")->setText(QStringLiteral("5"));
  QTest::mouseClick(button("OKBtn"), Qt::LeftButton);
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_EQ(dlg.result(), QDialog::Rejected);
  EXPECT_EQ(dlg.focusWidget(), edit("HostEdit3"));

  edit("HostEdit3")->setText(QStringLiteral("0"));
  QTest::mouseClick(button("OKBtn"), Qt::LeftButton);
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_EQ(dlg.result(), QDialog::Accepted);
  EXPECT_EQ(dlg.host(), "10.0.0.5");
}

TEST_F(HostPortDlgTest, ANameOrIPv6AddressTakesThePlaceOfTheOctets) {
  showActive();
  QLineEdit* name = edit("HostNameEdit");
  ASSERT_NE(name, nullptr);
  edit("HostEdit1")->setText(QStringLiteral("10"));
  name->setFocus();
  type(QStringLiteral("DB.Example.com."));
  EXPECT_EQ(dlg.host(), "db.example.com");
  for (const char* octet : {"HostEdit1", "HostEdit2", "HostEdit3", "HostEdit4"}) {
    EXPECT_TRUE(edit(octet)->text().isEmpty()) << octet;
    EXPECT_FALSE(edit(octet)->isEnabled()) << octet;
  }
  name->clear();
  EXPECT_TRUE(edit("HostEdit1")->isEnabled());

  // Pasted into an octet, a name or an IPv6 address moves to the name edit.
  paste(edit("HostEdit2"), QStringLiteral(" [::0001]\n"));
  EXPECT_EQ(name->text(), QStringLiteral("[::0001]"));
  EXPECT_EQ(dlg.host(), "::1");
  EXPECT_EQ(dlg.focusWidget(), name);
  name->clear();
  paste(edit("HostEdit1"), QStringLiteral("cloud-1.example.net"));
  EXPECT_EQ(dlg.host(), "cloud-1.example.net");
  name->clear();
  // A dotted quad still fills the octets, and a number alone still pastes as a number.
  paste(edit("HostEdit1"), QStringLiteral("10.0.0.5"));
  EXPECT_EQ(dlg.host(), "10.0.0.5");
  EXPECT_TRUE(name->text().isEmpty());
}

TEST_F(HostPortDlgTest, OkRefusesABadNameWithItsReason) {
  showActive();
  edit("HostNameEdit")->setText(QStringLiteral("db.example.com:5432"));
  QTest::mouseClick(button("OKBtn"), Qt::LeftButton);
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_EQ(dlg.focusWidget(), edit("HostNameEdit"));
  EXPECT_TRUE(edit("HostNameEdit")->toolTip().contains(QStringLiteral("port")));
  edit("HostNameEdit")->setText(QStringLiteral("db.example.com"));
  QTest::mouseClick(button("OKBtn"), Qt::LeftButton);
  EXPECT_EQ(dlg.result(), QDialog::Accepted);
  EXPECT_EQ(dlg.host(), "db.example.com");
}

TEST_F(HostPortDlgTest, FillPutsEachHostWhereItIsEdited) {
  dlg.fill({"2001:db8::10", "443,", ""});
  EXPECT_EQ(edit("HostNameEdit")->text(), QStringLiteral("2001:db8::10"));
  EXPECT_FALSE(edit("HostEdit1")->isEnabled());
  EXPECT_EQ(dlg.host(), "2001:db8::10");
  dlg.fill({"010.0.1.20", "80,", ""});
  EXPECT_TRUE(edit("HostNameEdit")->text().isEmpty());
  EXPECT_TRUE(edit("HostEdit1")->isEnabled());
  EXPECT_EQ(dlg.host(), "10.0.1.20");
}

TEST_F(HostPortDlgTest, AddHostFindsTheRowOfTheSameStoredForm) {
  HostTable table;
  table.append({"::1", "80,", ""});
  table.append({"db.example.com", "5432,", ""});
  dlg.clearFields();
  edit("HostNameEdit")->setText(QStringLiteral("::0001"));
  EXPECT_EQ(table.find(dlg.host()), 0u);
  edit("HostNameEdit")->setText(QStringLiteral("DB.EXAMPLE.COM"));
  EXPECT_EQ(table.find(dlg.host()), 1u);
  edit("HostNameEdit")->setText(QStringLiteral("::2"));
  EXPECT_EQ(table.find(dlg.host()), std::nullopt);
}

}  // namespace
}  // namespace varnley
