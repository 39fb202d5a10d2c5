// The notices of the message-box seam: shown without waiting, one per kind, later texts added
// to the open one.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetrics>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTest>

#include "WidgetSupport.h"
#include "app/QtMessageBoxes.h"

namespace varnley {
namespace {

class Notices : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { test::EnsureApplication(); }
  static int visibleBoxes() {
    int n = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
      if (qobject_cast<QMessageBox*>(w) && w->isVisible()) ++n;
    return n;
  }
  QtMessageBoxes boxes;
};

TEST_F(Notices, OneBoxPerKindCollectsEveryTextUntilItIsClosed) {
  boxes.notify(BoxKind::Warning, "\"127.0.0.1:80\" is DOWN.");
  boxes.notify(BoxKind::Information, "\"127.0.0.1:80\" is UP.");
  boxes.notify(BoxKind::Warning, "\"127.0.0.1:443\" is DOWN.");
  QMessageBox* down = boxes.openNotice(BoxKind::Warning);
  QMessageBox* up = boxes.openNotice(BoxKind::Information);
  ASSERT_TRUE(down && up);
  EXPECT_EQ(visibleBoxes(), 2);
  EXPECT_FALSE(down->isModal());
  EXPECT_EQ(down->windowTitle(), QStringLiteral("Warning"));
  EXPECT_EQ(down->text(), QStringLiteral("\"127.0.0.1:80\" is DOWN.\n\"127.0.0.1:443\" is DOWN."));
  EXPECT_EQ(up->windowTitle(), QStringLiteral("Information"));
  EXPECT_EQ(up->text(), QStringLiteral("\"127.0.0.1:80\" is UP."));
  // Boxes of one line are equally tall: centred alike, one would cover the other.
  EXPECT_GE(up->y() - down->y(), 16) << "one box must not hide the other";

  // The user's OK closes it; the next text opens a fresh box with that text alone.
  QTest::mouseClick(down->buttons().front(), Qt::LeftButton);
  EXPECT_TRUE(test::ProcessUntil([&] { return boxes.openNotice(BoxKind::Warning) == nullptr; }));
  boxes.notify(BoxKind::Warning, "\"127.0.0.1:22\" is DOWN.");
  ASSERT_NE(boxes.openNotice(BoxKind::Warning), nullptr);
  EXPECT_EQ(boxes.openNotice(BoxKind::Warning)->text(),
            QStringLiteral("\"127.0.0.1:22\" is DOWN."));
  EXPECT_EQ(visibleBoxes(), 2);
}

TEST_F(Notices, ABoxLeftOpenForLongKeepsEveryLineUnderTheDetails) {
  const int total = QtMessageBoxes::kNoticeLines + 30;
  for (int i = 0; i < total; ++i)
    boxes.notify(BoxKind::Warning, "\"127.0.0.1:" + std::to_string(i + 1) + "\" is DOWN.");
  QMessageBox* box = boxes.openNotice(BoxKind::Warning);
  ASSERT_NE(box, nullptr);
  const QStringList shown = box->text().split(QLatin1Char('\n'));
  EXPECT_EQ(shown.size(), QtMessageBoxes::kNoticeLines + 1);
  EXPECT_EQ(shown.back(), QStringLiteral("\"127.0.0.1:%1\" is DOWN.").arg(total));
  const QStringList all = box->detailedText().split(QLatin1Char('\n'));
  ASSERT_EQ(all.size(), total);
  EXPECT_EQ(all.front(), QStringLiteral("\"127.0.0.1:1\" is DOWN."));
  EXPECT_EQ(visibleBoxes(), 1);
}

TEST_F(Notices, ALongEntryListWrapsAtItsCommasWithinTheScreen) {
  QStringList entries;
  for (int port = 1001; port <= 1020; ++port) entries << QStringLiteral("127.0.0.3:%1").arg(port);
  const QString quoted =
      QLatin1Char('"') + entries.join(QLatin1Char(',')) + QStringLiteral("\" is DOWN.");
  const std::string text = quoted.toStdString();
  QWidget owner;
  boxes.setOwner(&owner);
  boxes.notify(BoxKind::Warning, text);
  QMessageBox* box = boxes.openNotice(BoxKind::Warning);
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->parentWidget(), &owner);
  EXPECT_FALSE(box->windowIcon().isNull());

  const QStringList lines = box->text().split(QLatin1Char('\n'));
  EXPECT_GT(lines.size(), 1);
  // Broken only after commas, so joined again they are the text as sent.
  EXPECT_EQ(lines.join(QString()), QString::fromStdString(text));
  for (const QString& line : lines.mid(0, lines.size() - 1))
    EXPECT_TRUE(line.endsWith(QLatin1Char(','))) << line.toStdString();
  for (const QString& line : lines)
    EXPECT_LE(box->fontMetrics().horizontalAdvance(line), QtMessageBoxes::textWidthLimit());
  box->adjustSize();
  EXPECT_LE(box->width(), QGuiApplication::primaryScreen()->availableGeometry().width());
}

TEST(WrapAtCommas, KeepsShortLinesAndAnEntryTooLongToBreak) {
  const QFontMetrics metrics(QApplication::font());
  const int width = metrics.horizontalAdvance(QStringLiteral("10.0.0.5:80,10.0.0.5:443,"));
  EXPECT_EQ(WrapAtCommas(QStringLiteral("a,b\nc"), metrics, width), QStringLiteral("a,b\nc"));
  EXPECT_EQ(WrapAtCommas(QStringLiteral("10.0.0.5:80,10.0.0.5:443,10.0.0.5:8080 is DOWN."), metrics,
                         width),
            QStringLiteral("10.0.0.5:80,10.0.0.5:443,\n10.0.0.5:8080 is DOWN."));
  const QString unbroken = QStringLiteral("no-comma-in-this-rather-long-line-at-all");
  EXPECT_EQ(WrapAtCommas(unbroken, metrics, 10), unbroken);
  EXPECT_EQ(WrapAtCommas(QStringLiteral("aaaa,bbbb"), metrics, 1), QStringLiteral("aaaa,\nbbbb"));
}

}  // namespace
}  // namespace varnley
