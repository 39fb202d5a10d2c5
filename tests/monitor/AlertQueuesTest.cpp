#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "monitor/AlertQueues.h"

namespace varnley {
namespace {

using Entries = std::vector<std::string>;

TEST(AlertQueues, DownAndUpTakeNoDuplicateWhateverItsCase) {
  AlertQueues q;
  for (auto add : {&AlertQueues::AddDownEntry, &AlertQueues::AddUpEntry}) {
    EXPECT_TRUE((q.*add)("10.0.0.1:80"));
    EXPECT_TRUE((q.*add)("10.0.0.1:80"));  // not busy, just already there
    EXPECT_TRUE((q.*add)("host:AbC"));
    EXPECT_TRUE((q.*add)("HOST:abc"));
    EXPECT_TRUE((q.*add)("10.0.0.1:443"));
  }
  const Entries expected = {"10.0.0.1:80", "host:AbC", "10.0.0.1:443"};
  EXPECT_EQ(q.downEntries(), expected);
  EXPECT_EQ(q.upEntries(), expected);
  EXPECT_TRUE(q.emailEntries().empty());
}

TEST(AlertQueues, DrainEmptiesAndForgetsSoTheTextCanComeAgain) {
  AlertQueues q;
  q.AddDownEntry("10.0.0.1:80");
  q.AddDownEntry("10.0.0.1:443");
  Entries out = {"stale"};
  ASSERT_TRUE(q.DrainDown(out));
  EXPECT_EQ(out, (Entries{"10.0.0.1:80", "10.0.0.1:443"}));
  EXPECT_TRUE(q.downEntries().empty());
  q.AddDownEntry("10.0.0.1:80");
  EXPECT_EQ(q.downEntries(), (Entries{"10.0.0.1:80"}));

  EXPECT_TRUE(q.ClearDownQueue());
  q.AddDownEntry("10.0.0.1:80");  // cleared texts are forgotten too
  EXPECT_EQ(q.downEntries(), (Entries{"10.0.0.1:80"}));

  q.AddUpEntry("10.0.0.2:22");
  ASSERT_TRUE(q.DrainUp(out));
  EXPECT_EQ(out, (Entries{"10.0.0.2:22"}));
  ASSERT_TRUE(q.DrainUp(out));
  EXPECT_TRUE(out.empty());
}

TEST(AlertQueues, EmailQueueKeepsDuplicatesInOrder) {
  AlertQueues q;
  std::string taken;
  EXPECT_FALSE(q.TakeEmailEntry(taken));
  q.AddEmailEntry("\"a\" is DOWN.");
  q.AddEmailEntry("\"a\" is DOWN.");
  q.AddEmailEntry("\"a\" is UP.");
  EXPECT_EQ(q.emailEntries().size(), 3u);
  ASSERT_TRUE(q.TakeEmailEntry(taken));
  EXPECT_EQ(taken, "\"a\" is DOWN.");
  ASSERT_TRUE(q.ClearEmailQueue());
  EXPECT_FALSE(q.TakeEmailEntry(taken));
}

TEST(AlertQueues, AFullEmailQueueMergesTextsIntoItsLastEntryInOrder) {
  AlertQueues q;
  const std::size_t limit = AlertQueues::kEmailQueueLimit;
  auto text = [](std::size_t i) { return std::string("t") += std::to_string(i); };
  for (std::size_t i = 0; i < limit + 5; ++i) q.AddEmailEntry(text(i));
  const auto entries = q.emailEntries();
  ASSERT_EQ(entries.size(), limit);
  EXPECT_EQ(entries[limit - 2], text(limit - 2));
  std::string merged = text(limit - 1);
  for (std::size_t i = limit; i < limit + 5; ++i) (merged += '\n') += text(i);
  EXPECT_EQ(entries.back(), merged);

  // Once the sender has taken one, the next text has a place of its own again.
  std::string taken;
  ASSERT_TRUE(q.TakeEmailEntry(taken));
  q.AddEmailEntry("fresh");
  EXPECT_EQ(q.emailEntries().back(), "fresh");
}

// Producers retry a busy add as a caller that must not lose its text would; the drainer
// runs meanwhile. Every text must come out exactly once.
TEST(AlertQueues, ConcurrentAddsAndDrainsLoseAndDoubleNothing) {
  AlertQueues q;
  constexpr int kProducers = 4, kEach = 2000;
  std::atomic<int> running{kProducers};
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kEach; ++i) {
        const std::string text = "127.0.0." + std::to_string(p) + ":" + std::to_string(i);
        while (!q.AddDownEntry(text)) std::this_thread::yield();
      }
      --running;
    });
  }
  std::multiset<std::string> seen;
  Entries batch;
  for (bool last = false; !last;) {
    last = running.load() == 0;
    if (q.DrainDown(batch)) seen.insert(batch.begin(), batch.end());
  }
  for (auto& t : producers) t.join();
  if (q.DrainDown(batch)) seen.insert(batch.begin(), batch.end());
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kProducers * kEach));
  EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()).size(), seen.size());
}

// The dispatch hands its texts over once, without retrying: a flag held by the sender's
// takes is waited for, so every text arrives exactly once and in each producer's order.
TEST(AlertQueues, EmailAddsWaitForTheFlagAndLoseNothingWhileTheSenderTakes) {
  AlertQueues q;
  constexpr int kProducers = 3, kEach = 3000;
  std::atomic<int> running{kProducers};
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kEach; ++i)
        ASSERT_TRUE(q.AddEmailEntry(std::to_string(p) + ":" + std::to_string(i)));
      --running;
    });
  }
  std::vector<std::string> taken;
  for (bool last = false; !last;) {
    last = running.load() == 0;
    q.TakeEmailEntries(taken);
  }
  for (auto& t : producers) t.join();
  q.TakeEmailEntries(taken);
  std::vector<int> next(kProducers, 0);
  std::size_t lines = 0;
  for (const std::string& entry : taken) {
    std::size_t start = 0;
    while (start <= entry.size()) {
      const std::size_t end = std::min(entry.find('\n', start), entry.size());
      const std::string line = entry.substr(start, end - start);
      const int p = std::stoi(line.substr(0, line.find(':')));
      EXPECT_EQ(std::stoi(line.substr(line.find(':') + 1)), next[p]++);
      ++lines;
      start = end + 1;
    }
  }
  EXPECT_EQ(lines, static_cast<std::size_t>(kProducers * kEach));
}

}  // namespace
}  // namespace varnley
