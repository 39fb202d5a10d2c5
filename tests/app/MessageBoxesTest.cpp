// The notices of the message-box seam: shown without waiting, one per kind, later texts added
// to the open one.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDateTime>
#include <QFontMetrics>
#include <QLabel>
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
  void SetUp() override {
    // 14:02:07, then a second later at each line.
    boxes.setClock(
        [this] { return QDateTime(QDate(2026, 12, 9), QTime(14, 2, 7)).addSecs(ticks++); });
  }
  static bool Overlap(const QMessageBox* a, const QMessageBox* b) {
    return a->frameGeometry().intersects(b->frameGeometry());
  }
  static std::string EntryList(int ports) {
    std::string text = "\"";
    for (int port = 1; port <= ports; ++port)
      text += "127.0.0.1:" + std::to_string(1000 + port) + (port < ports ? "," : "");
    return text + "\" is DOWN.";
  }
  int ticks = 0;
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
  // Once a box holds more than one line, each carries the time it came.
  EXPECT_EQ(down->text(), QStringLiteral("14:02:07 \"127.0.0.1:80\" is DOWN.\n"
                                         "14:02:09 \"127.0.0.1:443\" is DOWN."));
  EXPECT_EQ(up->windowTitle(), QStringLiteral("Information"));
  EXPECT_EQ(up->text(), QStringLiteral("\"127.0.0.1:80\" is UP."));
  EXPECT_FALSE(Overlap(up, down)) << "one box must not hide the other";

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
  const QTime last = QTime(14, 2, 7).addSecs(total - 1);
  EXPECT_EQ(shown.back(), last.toString(QStringLiteral("HH:mm:ss ")) +
                              QStringLiteral("\"127.0.0.1:%1\" is DOWN.").arg(total));
  const QStringList all = box->detailedText().split(QLatin1Char('\n'));
  ASSERT_EQ(all.size(), total);
  EXPECT_EQ(all.front(), QStringLiteral("14:02:07 \"127.0.0.1:1\" is DOWN."));
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

TEST_F(Notices, AFlappingPortsRepeatedLinesToldApartByTheirTimes) {
  for (int i = 0; i < 3; ++i) {
    boxes.notify(BoxKind::Warning, "\"127.0.0.1:81\" is DOWN.");
    ticks += 60;
  }
  EXPECT_EQ(boxes.openNotice(BoxKind::Warning)->text(),
            QStringLiteral("14:02:07 \"127.0.0.1:81\" is DOWN.\n"
                           "14:03:08 \"127.0.0.1:81\" is DOWN.\n"
                           "14:04:09 \"127.0.0.1:81\" is DOWN."));
  // A text of several lines (alerts merged while the window was behind) came at one time.
  boxes.notify(BoxKind::Information, "\"127.0.0.1:81\" is UP.\r\n\"127.0.0.1:82\" is UP.");
  EXPECT_EQ(boxes.openNotice(BoxKind::Information)->text(),
            QStringLiteral("14:05:10 \"127.0.0.1:81\" is UP.\n14:05:10 \"127.0.0.1:82\" is UP."));
}

TEST_F(Notices, AnOpenDownBoxNeverHidesTheUpBoxAfterIt) {
  struct Case {
    const char* name;
    int downLines;   // DOWN texts before the UP one
    int entryPorts;  // ports in each DOWN text
    int laterLines;  // DOWN texts after the UP one, growing the box under it
  };
  for (const Case& c : {Case{"one line each", 1, 1, 0}, Case{"a tall DOWN box", 25, 1, 0},
                        Case{"a wide DOWN box", 1, 120, 0}, Case{"DOWN grows after", 1, 1, 30},
                        Case{"wide, and growing after", 1, 40, 1}}) {
    SCOPED_TRACE(c.name);
    for (int i = 0; i < c.downLines; ++i) boxes.notify(BoxKind::Warning, EntryList(c.entryPorts));
    boxes.notify(BoxKind::Information, "\"127.0.0.1:1001\" is UP.");
    for (int i = 0; i < c.laterLines; ++i) boxes.notify(BoxKind::Warning, EntryList(c.entryPorts));
    QMessageBox* down = boxes.openNotice(BoxKind::Warning);
    QMessageBox* up = boxes.openNotice(BoxKind::Information);
    ASSERT_TRUE(down && up);
    EXPECT_FALSE(Overlap(down, up))
        << "DOWN " << down->frameGeometry().x() << "," << down->frameGeometry().width() << " UP "
        << up->frameGeometry().x() << "," << up->frameGeometry().width();
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_TRUE(screen.contains(up->frameGeometry()))
        << "UP " << up->frameGeometry().x() << "," << up->frameGeometry().y() << " "
        << up->frameGeometry().width() << "x" << up->frameGeometry().height() << " DOWN "
        << down->frameGeometry().x() << "," << down->frameGeometry().y() << " "
        << down->frameGeometry().width() << "x" << down->frameGeometry().height();
    down->close();
    up->close();
    ASSERT_TRUE(test::ProcessUntil([] { return visibleBoxes() == 0; }));
  }
}

TEST_F(Notices, ABoxStaysWithinHalfTheScreensWidth) {
  const int half = QGuiApplication::primaryScreen()->availableGeometry().width() / 2;
  for (int ports : {40, 120, 1000}) {
    SCOPED_TRACE(ports);
    boxes.notify(BoxKind::Warning, EntryList(ports));
    QMessageBox* box = boxes.openNotice(BoxKind::Warning);
    ASSERT_NE(box, nullptr);
    QApplication::processEvents();
    EXPECT_LE(box->frameGeometry().width(), half);
    EXPECT_GT(box->frameGeometry().width(), half / 2) << "narrowed no more than it must be";
    // Stamped lines have blanks: a box that breaks lines again there reads as a ragged list.
    boxes.notify(BoxKind::Warning, EntryList(ports));
    const auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
    ASSERT_NE(label, nullptr);
    EXPECT_FALSE(label->wordWrap()) << "lines break only where the text has them";
    EXPECT_LE(box->frameGeometry().width(), half);
    box->close();
    ASSERT_TRUE(test::ProcessUntil([&] { return boxes.openNotice(BoxKind::Warning) == nullptr; }));
  }
}

TEST(PlaceBeside, TakesTheFirstFreePlaceAndCascadesWhenThereIsNone) {
  const QRect screen(0, 0, 1280, 800);
  const QSize size(400, 200);
  const QRect centred(440, 300, 400, 200);
  struct Case {
    const char* name;
    std::vector<QRect> others;
    QPoint expected;
  } cases[] = {
      {"nothing open", {}, {440, 300}},
      {"one elsewhere", {QRect(0, 0, 100, 100)}, {440, 300}},
      {"one in the middle", {centred}, {848, 300}},
      {"no room on the right", {QRect(300, 300, 700, 200)}, {440, 508}},
      {"none beside", {QRect(100, 250, 1100, 300)}, {440, 558}},
      {"the screen full", {QRect(0, 0, 1280, 800)}, {32, 32}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const QPoint placed = PlaceBeside(screen, size, c.others);
    const QRect frame(placed, size);
    EXPECT_EQ(placed, c.expected);
    EXPECT_TRUE(screen.contains(frame));
    if (std::string(c.name) != "the screen full") {
      for (const QRect& other : c.others) EXPECT_FALSE(frame.intersects(other));
    }
  }
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
