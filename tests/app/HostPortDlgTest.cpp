#include <gtest/gtest.h>

#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include "WidgetSupport.h"
#include "app/THostPortDlg.h"
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

  THostPortDlg dlg;
};

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

}  // namespace
}  // namespace varnley
