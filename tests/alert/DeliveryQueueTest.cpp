// The queue in front of a channel: the retry timing, what is given up on, the merge of texts
// that wait, and the worker that drives it; with a clock of the test's own.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "alert/ChannelWorker.h"
#include "alert/DeliveryQueue.h"
#include "alert/MailStatus.h"
#include "platform/StopSource.h"
#include "support/WaitFor.h"

namespace varnley {
namespace {

using namespace std::chrono_literals;

const WallTime kStart = WallTime(std::chrono::hours(24 * 20000));

// "t<n>", built so that g++ 12 sees no overlap where there is none.
std::string Numbered(int n) { return std::string("t") += std::to_string(n); }

Alert TextAlert(std::string text, WallTime when = kStart) {
  Alert alert;
  alert.text = std::move(text);
  alert.time = when;
  return alert;
}

TEST(DeliveryQueue, AFailureThatMayPassIsTriedOnTheScheduleForAnHourThenGivenUp) {
  DeliveryQueue queue;
  queue.Add(TextAlert("\"127.0.0.1:81\" is DOWN."));
  std::vector<std::chrono::seconds> tries;
  WallTime now = kStart;
  for (;;) {
    ASSERT_TRUE(queue.Take(now));
    tries.push_back(std::chrono::duration_cast<std::chrono::seconds>(now - kStart));
    const DeliveryQueue::Result result = queue.Finish(DeliveryOutcome::Retry("503"), now);
    if (!result.retryAt) {
      ASSERT_EQ(result.expired.size(), 1u);
      EXPECT_EQ(result.expired[0].text, "\"127.0.0.1:81\" is DOWN.");
      break;
    }
    EXPECT_FALSE(queue.Take(*result.retryAt - 1s)) << "tried before its time";
    now = *result.retryAt;
  }
  const std::vector<std::chrono::seconds> expected{0s,    30s,   90s,   210s,  510s,
                                                   1110s, 1710s, 2310s, 2910s, 3510s};
  EXPECT_EQ(tries, expected);
  EXPECT_TRUE(queue.Empty());
}

TEST(DeliveryQueue, RetryAfterReplacesTheStepAndCountsAgainstTheHour) {
  struct Case {
    std::chrono::seconds retryAfter;
    bool triedAgain;
  };
  for (const Case& c : {Case{120s, true}, Case{3599s, true}, Case{3601s, false}}) {
    SCOPED_TRACE(c.retryAfter.count());
    DeliveryQueue queue;
    queue.Add(TextAlert("a"));
    ASSERT_TRUE(queue.Take(kStart));
    DeliveryOutcome busy = DeliveryOutcome::Retry("429");
    busy.retryAfter = c.retryAfter;
    const DeliveryQueue::Result result = queue.Finish(busy, kStart);
    EXPECT_EQ(result.retryAt.has_value(), c.triedAgain);
    if (c.triedAgain) {
      EXPECT_EQ(*result.retryAt, kStart + c.retryAfter);
    } else {
      EXPECT_EQ(result.expired.size(), 1u);
    }
  }
}

TEST(DeliveryQueue, ALastingRefusalIsNotTriedAgainAndTheNextAlertIsFree) {
  DeliveryQueue queue;
  queue.Add(TextAlert("a"));
  ASSERT_TRUE(queue.Take(kStart));
  const auto result = queue.Finish(DeliveryOutcome::Refused("HTTP 400"), kStart);
  EXPECT_FALSE(result.retryAt);
  ASSERT_EQ(result.expired.size(), 1u);
  EXPECT_TRUE(queue.Empty());
  queue.Add(TextAlert("b"));
  const auto next = queue.Take(kStart + 1s);
  ASSERT_TRUE(next);
  EXPECT_EQ(next->text, "b");
}

TEST(DeliveryQueue, TextsQueuedBehindAFailingTryGoOutTogetherInOrder) {
  DeliveryQueue queue;
  queue.Add(TextAlert("one"));
  ASSERT_TRUE(queue.Take(kStart));
  queue.Add(TextAlert("two"));  // while the try is under way
  const auto result = queue.Finish(DeliveryOutcome::Retry("timeout"), kStart);
  queue.Add(TextAlert("three"));
  EXPECT_FALSE(queue.Take(kStart + 10s)) << "a later text overtook the one waiting";
  const auto batch = queue.Take(*result.retryAt);
  ASSERT_TRUE(batch);
  EXPECT_EQ(batch->text, "one\ntwo\nthree");
  EXPECT_EQ(queue.Finish(DeliveryOutcome::Sent(), *result.retryAt).text, "one\ntwo\nthree");
  EXPECT_TRUE(queue.Empty());
}

TEST(DeliveryQueue, TenThousandAlertsBehindADeadChannelStayBoundedAndAllArrive) {
  DeliveryQueue queue;
  queue.Add(TextAlert("t0"));
  ASSERT_TRUE(queue.Take(kStart));
  const auto failed = queue.Finish(DeliveryOutcome::Retry("refused"), kStart);
  for (int i = 1; i < 10000; ++i) queue.Add(TextAlert(Numbered(i)));
  EXPECT_LE(queue.Size(), DeliveryQueue::kLimit + 1);
  const auto batch = queue.Take(*failed.retryAt);
  ASSERT_TRUE(batch);
  std::istringstream lines(batch->text);
  std::string line;
  int n = 0;
  while (std::getline(lines, line)) ASSERT_EQ(line, Numbered(n++));
  EXPECT_EQ(n, 10000);
}

TEST(DeliveryQueue, AnAlertKeptAcrossARestartIsDeliveredWithinItsHourOrNamedAsExpired) {
  DeliveryQueue queue;
  std::vector<PendingAlert> kept{{TextAlert("old", kStart), kStart},
                                 {TextAlert("young", kStart + 50min), std::nullopt}};
  const std::vector<Alert> expired = queue.Restore(kept, kStart + 61min);
  ASSERT_EQ(expired.size(), 1u);
  EXPECT_EQ(expired[0].text, "old");
  const auto batch = queue.Take(kStart + 61min);
  ASSERT_TRUE(batch);
  EXPECT_EQ(batch->text, "young");
  EXPECT_EQ(batch->time, kStart + 50min) << "keeps its original time";
}

// A channel that answers from a script and records what it was given.
class ScriptedChannel : public AlertChannel {
 public:
  explicit ScriptedChannel(std::deque<DeliveryOutcome> outcomes) : outcomes_(std::move(outcomes)) {}
  std::string Name() const override { return "webhook1"; }
  DeliveryOutcome Deliver(const Alert& alert, StopSource& stop) override {
    std::unique_lock lock(mutex_);
    texts_.push_back(alert.text);
    if (outcomes_.empty()) {
      // Hang like a receiver that never answers, until the stop.
      lock.unlock();
      stop.sleepFor(60s);
      return DeliveryOutcome::Cancelled();
    }
    DeliveryOutcome next = outcomes_.front();
    outcomes_.pop_front();
    return next;
  }
  std::vector<std::string> texts() {
    std::lock_guard lock(mutex_);
    return texts_;
  }

 private:
  std::mutex mutex_;
  std::deque<DeliveryOutcome> outcomes_;
  std::vector<std::string> texts_;
};

ChannelOptions Fast(Outbox* outbox = nullptr) {
  ChannelOptions options;
  options.schedule = {{20ms, 20ms}, 20ms, 10s};
  options.outbox = outbox;
  return options;
}

TEST(ChannelWorker, RetriesUntilSentThenReportsEachOutcome) {
  auto channel = std::make_unique<ScriptedChannel>(
      std::deque<DeliveryOutcome>{DeliveryOutcome::Retry("HTTP 503"),
                                  DeliveryOutcome::Retry("HTTP 503"), DeliveryOutcome::Sent()});
  ScriptedChannel& seen = *channel;
  std::ostringstream errors;
  MailStatus status(errors, "webhook1");
  ChannelWorker worker(std::move(channel), &status, Fast());
  worker.Send(TextAlert("\"127.0.0.1:81\" is DOWN."));
  ASSERT_TRUE(test::WaitFor([&] { return status.Count().sent == 1; }));
  EXPECT_EQ(seen.texts().size(), 3u);
  EXPECT_EQ(status.Count().failed, 2u);
  EXPECT_NE(errors.str().find("Varnley: webhook1 failed: HTTP 503, retry at "), std::string::npos)
      << errors.str();
}

TEST(ChannelWorker, StopDuringAHangingTryReturnsWithinASecondAndKeepsTheAlert) {
  MemoryOutbox outbox;
  {
    auto channel = std::make_unique<ScriptedChannel>(std::deque<DeliveryOutcome>{});
    ScriptedChannel& seen = *channel;
    MailStatus status;
    ChannelWorker worker(std::move(channel), &status, Fast(&outbox));
    worker.Send(TextAlert("kept"));
    ASSERT_TRUE(test::WaitFor([&] { return seen.texts().size() == 1; }));
    const auto start = std::chrono::steady_clock::now();
    worker.requestStop();
    worker.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(status.Count().failed, 0u) << "a try cut short by Stop is no failure";
  }
  // The next start finds it in the outbox and sends it.
  auto channel =
      std::make_unique<ScriptedChannel>(std::deque<DeliveryOutcome>{DeliveryOutcome::Sent()});
  ScriptedChannel& seen = *channel;
  MailStatus status;
  ChannelWorker worker(std::move(channel), &status, Fast(&outbox));
  ASSERT_TRUE(test::WaitFor([&] { return status.Count().sent == 1; }));
  EXPECT_EQ(seen.texts(), std::vector<std::string>{"kept"});
}

}  // namespace
}  // namespace varnley
