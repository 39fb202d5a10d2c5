// The run's creation and shutdown steps without a window.
#include <gtest/gtest.h>

#include "model/TempDir.h"
#include "monitor/Session.h"
#include "support/WaitFor.h"

namespace varnley {
namespace {

TEST(SessionLife, CreateLoadsTheFileAndDestroySavesTheHosts) {
  test::TempDir dir;
  const std::string ini = dir.file("varnley.ini");
  test::WriteText(ini,
                  "; kept\n[config]\nmessage=1\ninterval=7\nhostcount=2\n"
                  "[host1]\nhost=127.0.0.1\nport=80,abc,443\n"
                  "[host2]\nhost=not an address\nport=22,\n");
  Session session(ini, false);
  session.settings().interval = 99;  // Create starts from the defaults, then the file
  session.Create();
  EXPECT_FALSE(session.monitor().Running());
  EXPECT_TRUE(session.settings().showMessage);
  EXPECT_EQ(session.settings().interval, 7);
  ASSERT_EQ(session.hosts().size(), 1u);
  EXPECT_EQ(*session.hosts().row(0), (MonitoredHost{"127.0.0.1", "80,443,", ""}));

  session.hosts().append({"127.0.0.2", "22,", "22,"});
  const SaveResult saved = session.Destroy();
  EXPECT_TRUE(saved.ok) << saved.error;

  Session again(ini, false);
  again.Create();
  EXPECT_EQ(again.hosts().snapshot(),
            (std::vector<MonitoredHost>{{"127.0.0.1", "80,443,", ""}, {"127.0.0.2", "22,", ""}}));
  EXPECT_NE(test::ReadText(ini).find("; kept"), std::string::npos);
}

TEST(SessionLife, StartedWithSMonitorsAtOnceAndDestroyStopsBeforeSaving) {
  test::TempDir dir;
  const std::string ini = dir.file("varnley.ini");
  test::WriteText(ini, "[config]\nhostcount=1\n[host1]\nhost=127.0.0.1\nport=80,\n");
  Session session(ini, true);
  session.monitor().SetProbe([](const std::string&, int, const StopSource&) { return false; });
  session.Create();
  EXPECT_TRUE(session.monitor().Running());
  ASSERT_TRUE(test::WaitFor([&] { return session.hosts().row(0)->deactivated == "80,"; }));
  EXPECT_TRUE(session.Destroy().ok);
  EXPECT_FALSE(session.monitor().Running());
}

TEST(SessionLife, AFailedSaveIsReportedWithThePath) {
  test::TempDir dir;
  // A folder where the file should be: nothing can be renamed over it, not even by root.
  const std::string ini = dir.file("varnley.ini");
  std::filesystem::create_directory(ini);
  Session session(ini, false);
  session.Create();
  EXPECT_TRUE(session.hosts().empty());
  session.hosts().append({"127.0.0.1", "80,", ""});
  const SaveResult saved = session.Destroy();
  EXPECT_FALSE(saved.ok);
  EXPECT_EQ(saved.error, "Unable to write to " + ini);
}

}  // namespace
}  // namespace varnley
