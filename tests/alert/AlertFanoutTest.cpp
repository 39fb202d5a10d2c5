// The fan-out of each dispatch: what every sink and webhook gets, the incident that pairs an
// outage's alerts, and the reminders while a port stays down, on a clock of the test's own.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "alert/AlertFanout.h"
#include "monitor/AlertQueues.h"
#include "support/HttpReceiver.h"
#include "support/WaitFor.h"

namespace varnley {
namespace {

using namespace std::chrono_literals;

// 2026-12-09 03:35:00 UTC; the tests run in UTC so the clock texts are known.
const WallTime kDown = WallTime(std::chrono::seconds(1796787300));

class Fanout : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }
  WallTime now = kDown;
  AlertSettings settings;
  std::vector<Alert> heard;

  std::unique_ptr<AlertFanout> make() {
    FanoutOptions options;
    options.source = "vm";
    options.clock = [this] { return now; };
    auto fanout = std::make_unique<AlertFanout>(settings, options);
    fanout->AddSink([this](const Alert& alert) { heard.push_back(alert); });
    return fanout;
  }
};

TEST_F(Fanout, DownRemindersAndUpShareOneIncidentAndTheirStart) {
  settings.remind = 5;
  auto fanout = make();
  fanout->Dispatch("\"127.0.0.1:81,127.0.0.1:82\" is DOWN.", "");
  for (const std::chrono::seconds step : {240s, 59s, 1s, 300s}) {
    now += step;
    fanout->Tick();
  }
  now += 1min;
  fanout->Dispatch("", "\"127.0.0.1:81,127.0.0.1:82\" is UP.");
  now += 10min;
  fanout->Tick();

  ASSERT_EQ(heard.size(), 4u);
  const std::vector<AlertEvent> events{AlertEvent::down, AlertEvent::reminder, AlertEvent::reminder,
                                       AlertEvent::up};
  for (std::size_t i = 0; i < heard.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(heard[i].event, events[i]);
    EXPECT_EQ(heard[i].incident, heard[0].incident);
    EXPECT_EQ(heard[i].since, kDown);
  }
  EXPECT_FALSE(heard[0].incident.empty());
  EXPECT_EQ(heard[1].text, "\"127.0.0.1:81,127.0.0.1:82\" is still DOWN (since 03:35).");
  EXPECT_EQ(heard[1].time, kDown + 5min);
  EXPECT_EQ(heard[2].time, kDown + 10min);
  EXPECT_EQ(heard[3].entries,
            (std::vector<AlertEntry>{{"127.0.0.1", 81, ""}, {"127.0.0.1", 82, ""}}));
}

TEST_F(Fanout, AReminderForAnOutageOfAnotherDayCarriesTheDate) {
  settings.remind = 30;
  now = kDown + 20h + 23min;  // 23:58
  auto fanout = make();
  fanout->Dispatch("\"127.0.0.1:81\" is DOWN.", "");
  now += 30min;
  fanout->Tick();
  ASSERT_EQ(heard.size(), 2u);
  EXPECT_EQ(heard[1].text, "\"127.0.0.1:81\" is still DOWN (since 2026-12-09 23:58).");
}

TEST_F(Fanout, EachOutageRemindsOnItsOwnAndNoneWithoutTheSetting) {
  settings.remind = 0;
  auto fanout = make();
  fanout->Dispatch("\"127.0.0.1:81\" is DOWN.", "");
  now += 2h;
  fanout->Tick();
  EXPECT_EQ(heard.size(), 1u) << "remind=0 sends no reminder";

  settings.remind = 10;
  fanout->Tick();  // the long-down port reminds once, not once per missed period
  now += 5min;
  fanout->Dispatch("\"127.0.0.1:82\" is DOWN.", "\"127.0.0.1:81\" is UP.");
  now += 10min;
  fanout->Tick();
  ASSERT_EQ(heard.size(), 5u);
  EXPECT_EQ(heard[1].text, "\"127.0.0.1:81\" is still DOWN (since 03:35).");
  EXPECT_EQ(heard[3].event, AlertEvent::up);
  EXPECT_EQ(heard[3].incident, heard[0].incident);
  EXPECT_NE(heard[2].incident, heard[0].incident) << "a new outage has a new id";
  EXPECT_EQ(heard[4].text, "\"127.0.0.1:82\" is still DOWN (since 05:40).");
}

TEST_F(Fanout, RemindersReachTheMailQueueOnlyWhenMailIsOn) {
  settings.remind = 1;
  AlertQueues queues;
  auto fanout = make();
  fanout->AddSink(MailReminderSink(queues, settings));
  fanout->Dispatch("\"127.0.0.1:81\" is DOWN.", "");
  now += 1min;
  fanout->Tick();
  EXPECT_TRUE(queues.emailEntries().empty());
  settings.sendEmail = true;
  now += 1min;
  fanout->Tick();
  EXPECT_EQ(queues.emailEntries(),
            std::vector<std::string>{"\"127.0.0.1:81\" is still DOWN (since 03:35)."});
}

TEST_F(Fanout, EveryWebhookWithAUrlGetsEachAlert) {
  testing::HttpReceiver json, ntfy;
  settings.webhooks[0].url = json.url("/a");
  settings.webhooks[2].url = ntfy.url("/b");
  settings.webhooks[2].format = "ntfy";
  auto fanout = make();
  EXPECT_TRUE(fanout->webhookActive(1));
  EXPECT_FALSE(fanout->webhookActive(2));
  fanout->SetReasonLookup(
      [] { return AlertFanout::Reasons{{"127.0.0.1:81", "Connection refused."}}; });
  fanout->Dispatch("\"127.0.0.1:81\" is DOWN.", "");
  ASSERT_TRUE(json.waitFor(1));
  ASSERT_TRUE(ntfy.waitFor(1));
  fanout->Dispatch("", "\"127.0.0.1:81\" is UP.");
  ASSERT_TRUE(json.waitFor(2));
  ASSERT_TRUE(ntfy.waitFor(2));
  ASSERT_TRUE(test::WaitFor([&] { return fanout->webhookStatus(1).Count().sent == 2; }));
  const std::string id = heard[0].incident;
  EXPECT_NE(json.requests()[0].body.find("\"entries\":[{\"host\":\"127.0.0.1\",\"port\":81,"
                                         "\"reason\":\"Connection refused.\"}]"),
            std::string::npos)
      << json.requests()[0].body;
  EXPECT_NE(json.requests()[1].body.find("\"incident\":\"" + id + "\""), std::string::npos);
  EXPECT_EQ(ntfy.requests()[1].body, "\"127.0.0.1:81\" is UP.");
  EXPECT_EQ(ntfy.requests()[1].headers["tags"], "white_check_mark");
}

}  // namespace
}  // namespace varnley
