// The history file's outbox as the channels use it: each channel's undelivered alerts kept
// through a real file that is closed and opened again (as a program that ended and started),
// marked with their time when they go out late; what expired across the restart named and
// logged; a file that cannot be written keeping the lists in memory and saying so once.
#include <gtest/gtest.h>

#include <deque>
#include <regex>
#include <sstream>

#include "alert/ChannelWorker.h"
#include "alert/MailStatus.h"
#include "history/HistoryFixture.h"
#include "history/Sqlite.h"
#include "platform/StopSource.h"
#include "service/HistoryOutbox.h"

namespace varnley {
namespace {

using namespace std::chrono_literals;
using test::HistoryFixture;
using test::kEpoch;

WallTime At(HistoryTime ms) { return WallTime(std::chrono::milliseconds(ms)); }

std::int64_t Count(const std::string& path, const std::string& sql) {
  SqliteDb db;
  if (!db.open(path, true)) return -1;
  return db.scalar(sql, -1);
}

void Exec(const std::string& path, const std::string& sql) {
  SqliteDb db;
  ASSERT_TRUE(db.open(path, false));
  ASSERT_TRUE(db.exec(sql)) << db.error();
}

Alert Down(std::vector<int> ports, HistoryTime raised, std::string incident = "") {
  Alert alert;
  for (int port : ports) {
    Alert one;
    one.text = "\"127.0.0.1:" + std::to_string(port) + "\" is DOWN.";
    one.entries = {{"127.0.0.1", port, "refused"}};
    alert.text.empty() ? void(alert = one) : MergeInto(alert, one);
  }
  alert.time = At(raised);
  alert.incident = std::move(incident);
  if (!alert.incident.empty()) alert.since = At(raised - 5000);
  return alert;
}

// Each line carries one mark, then the alert's own text.
const std::regex kMarkedLine(R"(\[raised \d\d:\d\d:\d\d\] "127\.0\.0\.1:\d+" is DOWN\.)");

void ExpectMarkedOnce(const std::string& text, std::size_t lines) {
  std::istringstream in(text);
  std::size_t seen = 0;
  for (std::string line; std::getline(in, line); ++seen)
    EXPECT_TRUE(std::regex_match(line, kMarkedLine)) << line;
  EXPECT_EQ(seen, lines) << text;
}

TEST(HistoryOutbox, KeepsEachChannelsAlertsAcrossAnEndAndAStart) {
  const struct {
    const char* name;
    bool olderFile;  // written by a version without the outbox
  } cases[] = {{"a current file", false}, {"a file from before the outbox", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HistoryFixture f;
    if (c.olderFile) {
      ASSERT_TRUE(f.open());
      Exec(f.path, "DROP TABLE outbox; DROP TABLE deliveries;");
    }
    const Alert mail = Down({81}, kEpoch + 1000);
    const Alert merged = Down({82, 83}, kEpoch + 2000, "6a1b-1");
    const Alert later = Down({84}, kEpoch + 3000, "6a1b-2");
    {
      auto writer = f.open();
      ASSERT_TRUE(writer) << f.reason;
      HistoryOutbox outbox([] { return At(kEpoch + 10'000); });
      outbox.Attach(*writer);
      outbox.Keep("mail", {{mail, std::nullopt}});
      outbox.Keep("webhook1", {{merged, At(kEpoch + 2500)}, {later, std::nullopt}});
      outbox.Keep("webhook2", {{later, std::nullopt}});
      outbox.Keep("webhook2", {});  // delivered meanwhile
      outbox.Detach();
    }  // the program ended: only the file remembers

    auto writer = f.open();
    ASSERT_TRUE(writer) << f.reason;
    HistoryOutbox outbox([] { return At(kEpoch + 20'000); });
    outbox.Attach(*writer);
    const std::vector<PendingAlert> mails = outbox.Restore("mail");
    ASSERT_EQ(mails.size(), 1u);
    ExpectMarkedOnce(mails[0].alert.text, 1);
    EXPECT_EQ(mails[0].alert.time, mail.time);
    EXPECT_FALSE(mails[0].firstTry);

    const std::vector<PendingAlert> hooks = outbox.Restore("webhook1");
    ASSERT_EQ(hooks.size(), 2u);
    ExpectMarkedOnce(hooks[0].alert.text, 2);
    for (const auto& [got, want] : {std::pair{hooks[0].alert, merged}, {hooks[1].alert, later}}) {
      EXPECT_EQ(got.event, want.event);
      EXPECT_EQ(got.entries, want.entries);
      EXPECT_EQ(got.time, want.time);
      EXPECT_EQ(got.incident, want.incident);
      EXPECT_EQ(got.since, want.since);
    }
    EXPECT_EQ(hooks[0].firstTry, At(kEpoch + 2500));
    EXPECT_TRUE(outbox.Restore("webhook2").empty());
    EXPECT_TRUE(outbox.Restore("webhook3").empty());

    // Kept again as restored and carried over one more restart: still one mark a line.
    outbox.Keep("webhook1", hooks);
    outbox.Detach();
    writer.reset();
    writer = f.open();
    HistoryOutbox third([] { return At(kEpoch + 30'000); });
    third.Attach(*writer);
    const std::vector<PendingAlert> again = third.Restore("webhook1");
    ASSERT_EQ(again.size(), 2u);
    ExpectMarkedOnce(again[0].alert.text, 2);
    ExpectMarkedOnce(again[1].alert.text, 1);
  }
}

// Answers each try with the next scripted outcome and records what it was given.
class ScriptedChannel : public AlertChannel {
 public:
  explicit ScriptedChannel(std::deque<DeliveryOutcome> outcomes) : outcomes_(std::move(outcomes)) {}
  std::string Name() const override { return "webhook1"; }
  DeliveryOutcome Deliver(const Alert& alert, StopSource&) override {
    texts.push_back(alert.text);
    DeliveryOutcome next = outcomes_.front();
    outcomes_.pop_front();
    return next;
  }
  std::vector<std::string> texts;

 private:
  std::deque<DeliveryOutcome> outcomes_;
};

TEST(HistoryOutbox, WhatExpiredAcrossTheRestartIsNamedAndLoggedAndTheRestGoesOut) {
  HistoryFixture f;
  const HistoryTime now = kEpoch + 3 * kHourMs;
  {
    auto writer = f.open();
    ASSERT_TRUE(writer) << f.reason;
    HistoryOutbox outbox;
    outbox.Attach(*writer);
    // First tried two hours ago, and one raised ten minutes ago.
    outbox.Keep("webhook1", {{Down({81}, now - 2 * kHourMs), At(now - 2 * kHourMs)},
                             {Down({82}, now - 10 * kMinuteMs), std::nullopt}});
    outbox.Detach();
  }
  f.clock = now;
  auto writer = f.open();
  ASSERT_TRUE(writer) << f.reason;
  HistoryOutbox outbox([&] { return At(now); });
  outbox.Attach(*writer);
  auto channel = std::make_unique<ScriptedChannel>(std::deque<DeliveryOutcome>{
      DeliveryOutcome::Sent(), DeliveryOutcome::Refused("HTTP 400")});
  ScriptedChannel& seen = *channel;
  std::ostringstream errors;
  MailStatus status(errors, "webhook1");
  ChannelOptions options;
  options.outbox = &outbox;
  options.clock = [&] { return At(now); };
  ChannelWorker worker(std::move(channel), &status, options, ChannelWorker::NoThread{});

  EXPECT_TRUE(std::regex_search(
      errors.str(),
      std::regex(R"(webhook1 failed: expired, not delivered within an hour \(raised at \d\d:\d\d\); )"
                 R"(not delivered: \[raised [0-9:]+\] "127\.0\.0\.1:81" is DOWN\.)")))
      << errors.str();
  ASSERT_TRUE(worker.runPass());
  ASSERT_EQ(seen.texts.size(), 1u);
  ExpectMarkedOnce(seen.texts[0], 1);
  EXPECT_NE(seen.texts[0].find("127.0.0.1:82"), std::string::npos);

  // A refusal in this run is the log's too.
  worker.Send(Down({83}, now));
  EXPECT_FALSE(worker.runPass());
  writer->Flush();
  EXPECT_EQ(Count(f.path, "SELECT count(*) FROM outbox"), 0);
  EXPECT_EQ(Count(f.path,
                  "SELECT count(*) FROM deliveries WHERE channel = 'webhook1' AND event = 'down' "
                  "AND outcome = 'expired' AND text LIKE '%127.0.0.1:81%' AND raised = " +
                      std::to_string(now - 2 * kHourMs)),
            1);
  EXPECT_EQ(Count(f.path,
                  "SELECT count(*) FROM deliveries WHERE outcome = 'refused' AND reason = 'HTTP 400' "
                  "AND text = '\"127.0.0.1:83\" is DOWN.'"),
            1);
  outbox.Detach();
}

TEST(HistoryOutbox, AFileThatCannotBeWrittenKeepsTheListsInMemoryAndSaysSoOnce) {
  HistoryFixture f;
  auto writer = f.open();
  ASSERT_TRUE(writer) << f.reason;
  writer->Flush();
  writer->SetPageLimit(Count(f.path, "PRAGMA page_count"));
  HistoryOutbox outbox;
  outbox.Attach(*writer);
  // Texts long enough that the rows need pages the limit does not allow.
  std::vector<PendingAlert> waiting;
  for (int i = 0; i < 200; ++i) {
    Alert alert = Down({1000 + i}, kEpoch);
    alert.text += std::string(2000, 'x');
    waiting.push_back({alert, std::nullopt});
  }
  for (int round = 0; round < 3; ++round) {
    outbox.Keep("webhook1", waiting);
    writer->Flush();
  }
  EXPECT_TRUE(writer->health().paused);
  std::size_t said = 0;
  for (const std::string& line : f.said.lines)
    said += line.find("undelivered alerts are kept in memory only") != std::string::npos;
  EXPECT_EQ(said, 1u);
  EXPECT_EQ(outbox.Restore("webhook1").size(), 200u) << "memory still has them";
  outbox.Keep("webhook1", waiting);

  // Room again: the latest list reaches the file.
  writer->SetPageLimit(0);
  writer->Flush();
  EXPECT_FALSE(writer->health().paused);
  EXPECT_EQ(Count(f.path, "SELECT count(*) FROM outbox WHERE channel = 'webhook1'"), 200);
  outbox.Detach();
}

}  // namespace
}  // namespace varnley
