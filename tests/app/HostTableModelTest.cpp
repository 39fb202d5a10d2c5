#include "app/HostTableModel.h"

#include <QAbstractItemModelTester>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QThread>
#include <QScrollBar>
#include <QTableView>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "WidgetSupport.h"

namespace varnley {
namespace {

std::vector<MonitoredHost> MakeRows(int count) {
  std::vector<MonitoredHost> rows;
  rows.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i)
    rows.push_back({"127.0." + std::to_string(i / 256 % 256) + "." + std::to_string(i % 256),
                    "22,80,443,", ""});
  return rows;
}

bool MatchesTable(const HostTableModel& model, const HostTable& table) {
  const auto rows = table.snapshot();
  if (model.rowCount() != static_cast<int>(rows.size())) return false;
  for (int r = 0; r < model.rowCount(); ++r) {
    const auto& row = rows[static_cast<std::size_t>(r)];
    if (model.data(model.index(r, 0)).toString().toStdString() != row.host ||
        model.data(model.index(r, 1)).toString().toStdString() != row.ports ||
        model.data(model.index(r, 2)).toString().toStdString() != row.deactivated)
      return false;
  }
  return true;
}

class HostTableModelTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { test::EnsureApplication(); }
};

TEST_F(HostTableModelTest, StaysConsistentWhileAWorkerChangesRows) {
  HostTable table;
  table.replaceAll(MakeRows(50));
  HostTableModel model(table);
  QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);

  std::atomic<bool> done{false};
  std::thread worker([&] {
    for (int i = 0; i < 2000; ++i)
      table.update(static_cast<std::size_t>(i % 40), [i](MonitoredHost& h) {
        h.deactivated = std::to_string(i) + ",";
      });
    done = true;
  });
  // Meanwhile the GUI thread adds and removes rows at the end, beyond the worker's rows.
  for (int i = 0; i < 100; ++i) {
    table.append({"127.1.0." + std::to_string(i), "7,", ""});
    QApplication::processEvents();
    table.remove(table.size() - 1);
    QApplication::processEvents();
  }
  worker.join();
  EXPECT_TRUE(test::ProcessUntil([&] { return MatchesTable(model, table); }));
  EXPECT_EQ(model.data(model.index(39, 2)).toString(), QStringLiteral("1999,"));
}

TEST_F(HostTableModelTest, WorkerNotificationsArriveOnTheGuiThread) {
  HostTable table;
  table.replaceAll(MakeRows(3));
  HostTableModel model(table);
  std::atomic<bool> offThread{false};
  QObject::connect(&model, &QAbstractItemModel::dataChanged, [&] {
    if (QThread::currentThread() != model.thread()) offThread = true;
  });
  std::thread([&] { table.update(1, [](MonitoredHost& h) { h.deactivated = "80,"; }); }).join();
  EXPECT_TRUE(test::ProcessUntil(
      [&] { return model.data(model.index(1, 2)).toString() == QStringLiteral("80,"); }));
  EXPECT_FALSE(offThread);
}

TEST_F(HostTableModelTest, AppendKeepsTheSelection) {
  HostTable table;
  table.replaceAll(MakeRows(3));
  HostTableModel model(table);
  QTableView view;
  view.setModel(&model);
  view.setSelectionBehavior(QAbstractItemView::SelectRows);
  view.selectRow(1);
  table.append({"127.0.9.9", "", ""});
  EXPECT_EQ(model.rowCount(), 4);
  EXPECT_TRUE(view.selectionModel()->isRowSelected(1, {}));
}

TEST_F(HostTableModelTest, DeactivatedPortsTooltipSaysWhyEachPortIsDown) {
  HostTable table;
  table.append({"db.test", "5432,80,", "5432,"});
  table.append({"127.0.0.1", "22,", ""});
  table.setPortState(0, "db.test", {"5432", "no such name", ""});
  table.setPortState(0, "db.test", {"80", "", "127.0.0.5"});
  HostTableModel model(table);
  const QVariant tip = model.data(model.index(0, 2), Qt::ToolTipRole);
  EXPECT_EQ(tip.toString().toStdString(), table.downReasons(0));
  EXPECT_NE(tip.toString().indexOf(QStringLiteral("no such name")), -1) << tip.toString().toStdString();
  // No reason, no tooltip; and the other columns never have one.
  EXPECT_FALSE(model.data(model.index(1, 2), Qt::ToolTipRole).isValid());
  EXPECT_FALSE(model.data(model.index(0, 0), Qt::ToolTipRole).isValid());
}

TEST_F(HostTableModelTest, HundredThousandRowsOpenAndScrollQuickly) {
  HostTable table;
  table.replaceAll(MakeRows(100000));
  QElapsedTimer clock;
  clock.start();
  HostTableModel model(table);
  QTableView view;
  view.verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  view.verticalHeader()->setDefaultSectionSize(20);
  view.setModel(&model);
  view.resize(682, 446);
  view.show();
  QApplication::processEvents();
  for (int step = 0; step < 50; ++step) {
    view.verticalScrollBar()->setValue(view.verticalScrollBar()->maximum() * step / 49);
    view.viewport()->repaint();
  }
  const qint64 ms = clock.elapsed();
  EXPECT_EQ(view.rowAt(view.viewport()->height() - 1) >= 99970, true);
  // Generous for sanitizer builds on a shared machine; a view that measured every row or a
  // model that copied the table per paint would take many seconds.
  EXPECT_LT(ms, 5000) << "open and 50 scroll steps took " << ms << " ms";
  std::printf("100000 rows: open and 50 scroll steps in %lld ms\n", static_cast<long long>(ms));
}

TEST_F(HostTableModelTest, TheDeactivatedTooltipSaysSinceWhenEachPortIsDown) {
  HostTable table;
  table.replaceAll({{"127.0.0.1", "22,80,443,", "80,443,"}, {"127.0.0.2", "22,", ""}});
  HostTableModel model(table);
  const QModelIndex down = model.index(0, 2);
  EXPECT_FALSE(model.data(down, Qt::ToolTipRole).isValid());  // nobody knows: no tooltip

  const QDateTime when = QDateTime::fromMSecsSinceEpoch(1772409600000);
  std::vector<std::string> asked;
  model.setDownSince([&](const std::string& host, int port) -> std::optional<QDateTime> {
    asked.push_back(host + ':' + std::to_string(port));
    if (port == 80) return when;
    return std::nullopt;
  });
  const QString tip = model.data(down, Qt::ToolTipRole).toString();
  EXPECT_EQ(tip, QStringLiteral("127.0.0.1:80: down since ") +
                     when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) +
                     QStringLiteral("\n127.0.0.1:443: down since (not in the history)"));
  EXPECT_EQ(asked, (std::vector<std::string>{"127.0.0.1:80", "127.0.0.1:443"}));
  // Rows with nothing down, and the other columns, have none.
  EXPECT_FALSE(model.data(model.index(1, 2), Qt::ToolTipRole).isValid());
  EXPECT_FALSE(model.data(model.index(0, 1), Qt::ToolTipRole).isValid());
}

}  // namespace
}  // namespace varnley
