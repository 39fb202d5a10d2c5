#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "model/HostTable.h"

namespace varnley {
namespace {

TEST(HostTable, CallbackNamesTheChangedRowAndRunsOutsideTheLock) {
  HostTable table;
  std::vector<std::size_t> told;
  // Reading the table from inside the callback would deadlock if it ran under the lock.
  table.setChangeCallback([&](std::size_t row) {
    told.push_back(row);
    (void)table.size();
  });
  table.append({"10.0.0.5", "80,", ""});
  table.append({"10.0.0.6", "22,", ""});
  EXPECT_TRUE(table.update(1, [](MonitoredHost& h) { h.deactivated = "22,"; }));
  EXPECT_FALSE(table.update(2, [](MonitoredHost&) {}));
  EXPECT_FALSE(table.remove(5));
  EXPECT_EQ(told, (std::vector<std::size_t>{HostTable::kAllRows, HostTable::kAllRows, 1}));
  EXPECT_EQ(table.find("10.0.0.6"), 1u);
  EXPECT_EQ(table.find("10.0.0.7"), std::nullopt);
  table.clearDeactivated();
  EXPECT_EQ(table.row(1)->deactivated, "");
}

TEST(HostTable, WorkerUpdatesWhileTheWindowReplacesRows) {
  HostTable table;
  table.replaceAll(std::vector<MonitoredHost>(8, {"10.0.0.5", "80,", ""}));
  std::atomic<bool> done{false};
  std::thread worker([&] {
    for (int i = 0; i < 2000; ++i)
      table.update(static_cast<std::size_t>(i % 8),
                   [](MonitoredHost& h) { h.deactivated += "80,"; });
    done = true;
  });
  while (!done) {
    auto rows = table.snapshot();
    table.replaceAll(std::move(rows));
    table.clearDeactivated();
  }
  worker.join();
  EXPECT_EQ(table.size(), 8u);
}

}  // namespace
}  // namespace varnley
