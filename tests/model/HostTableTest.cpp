#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <unordered_map>

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

TEST(HostTable, FindComparesStoredForms) {
  HostTable table;
  table.append({"::1", "80,", ""});
  table.append({"db.example.com", "5432,", ""});
  table.append({"127.0.0.1", "80,", ""});
  EXPECT_EQ(table.find("::0001"), 0u);
  EXPECT_EQ(table.find("[0:0::1]"), 0u);
  EXPECT_EQ(table.find("DB.Example.com."), 1u);
  EXPECT_EQ(table.find("127.0.0.1"), 2u);
  // A name and an address it may resolve to are different hosts.
  EXPECT_EQ(table.find("localhost"), std::nullopt);
  EXPECT_EQ(table.find("::2"), std::nullopt);
}

TEST(HostTable, PortStatesGiveTheDownReasons) {
  HostTable table;
  table.append({"2001:db8::10", "443,80,22,", "443,80,"});
  table.append({"db.example.com", "5432,", "5432,"});
  EXPECT_EQ(table.downReasons(1), "db.example.com:5432");  // no probe has said why yet
  EXPECT_TRUE(table.setPortState(0, "2001:db8::10", {"443", "timed out", "2001:db8::10"}));
  EXPECT_TRUE(table.setPortState(0, "2001:db8::10", {"80", "refused", "2001:db8::10"}));
  // The later probe's state wins, and an up port has no reason.
  EXPECT_TRUE(table.setPortState(0, "2001:db8::10", {"443", "refused", "2001:db8::10"}));
  EXPECT_TRUE(table.setPortState(0, "2001:db8::10", {"22", "", "2001:db8::10"}));
  EXPECT_EQ(table.portStates(0).size(), 3u);
  EXPECT_EQ(table.downReasons(0), "[2001:db8::10]:443: refused\n[2001:db8::10]:80: refused");
  EXPECT_EQ(table.downReasonsByPort(),
            (std::unordered_map<std::string, std::string>{{"[2001:db8::10]:443", "refused"},
                                                          {"[2001:db8::10]:80", "refused"}}));
  // A row edited while its probe ran keeps nothing of the old host.
  EXPECT_FALSE(table.setPortState(1, "db.example.org", {"5432", "no such name", ""}));
  EXPECT_TRUE(table.setPortState(1, "db.example.com", {"5432", "no such name", ""}));
  EXPECT_EQ(table.downReasons(1), "db.example.com:5432: no such name");
  // States follow their rows and go with the deactivated ports.
  table.remove(0);
  EXPECT_EQ(table.downReasons(0), "db.example.com:5432: no such name");
  EXPECT_EQ(table.downReasons(1), "");
  table.clearDeactivated();
  EXPECT_TRUE(table.portStates(0).empty());
}

}  // namespace
}  // namespace varnley
