#include "platform/StopSource.h"

#include <gtest/gtest.h>

#include <thread>

namespace varnley {
namespace {

using namespace std::chrono_literals;

TEST(StopSource, StopCutsALongSleepShort) {
  StopSource stop;
  EXPECT_TRUE(stop.sleepFor(1ms));
  const auto start = std::chrono::steady_clock::now();
  std::thread t([&] { stop.requestStop(); });
  EXPECT_FALSE(stop.sleepFor(1h));
  t.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_TRUE(stop.stopRequested());
  EXPECT_FALSE(stop.sleepFor(1h));  // a later sleep returns at once
}

}  // namespace
}  // namespace varnley
