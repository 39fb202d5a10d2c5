// The signals the windowless run and the window obey: requests are never lost to one another,
// however many of one kind arrive before the loop reads them.
#include <gtest/gtest.h>
#include <signal.h>

#include "platform/TerminationSignals.h"

namespace varnley {
namespace {

using namespace std::chrono_literals;

class TerminationSignals : public ::testing::Test {
 protected:
  void SetUp() override {
    fd = InstallTerminationSignalPipe();
    ASSERT_GE(fd, 0);
    ReadTerminationSignalPipe(fd);  // whatever an earlier test left
  }
  int fd = -1;
};

TEST_F(TerminationSignals, AnEndRequestSurvivesAFloodOfReloads) {
  // Far more than the pipe holds, so its later writes are dropped.
  for (int i = 0; i < 200000; ++i) ::raise(SIGHUP);
  ::raise(SIGTERM);
  ASSERT_TRUE(WaitForTerminationSignal(fd, 1s));
  const PendingSignals pending = ReadTerminationSignalPipe(fd);
  EXPECT_TRUE(pending.stop);
  EXPECT_TRUE(pending.reload);

  // Each request is taken once, and the pipe is empty again.
  EXPECT_FALSE(WaitForTerminationSignal(fd, 0ms));
  const PendingSignals after = ReadTerminationSignalPipe(fd);
  EXPECT_FALSE(after.stop);
  EXPECT_FALSE(after.reload);
}

TEST_F(TerminationSignals, EachKindIsToldApart) {
  struct Case {
    int signo;
    bool stop, reload;
  };
  for (const Case c :
       {Case{SIGHUP, false, true}, Case{SIGINT, true, false}, Case{SIGTERM, true, false}}) {
    SCOPED_TRACE(c.signo);
    ::raise(c.signo);
    ASSERT_TRUE(WaitForTerminationSignal(fd, 1s));
    const PendingSignals pending = ReadTerminationSignalPipe(fd);
    EXPECT_EQ(pending.stop, c.stop);
    EXPECT_EQ(pending.reload, c.reload);
  }
  ::raise(SIGHUP);
  EXPECT_TRUE(DrainTerminationSignalPipe(fd));
  EXPECT_FALSE(DrainTerminationSignalPipe(fd));
}

}  // namespace
}  // namespace varnley
