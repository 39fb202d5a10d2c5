// The uptime arithmetic over a real file: time-weighted from the intervals, gaps without
// monitoring counted neither way, one outage across a restart, strips and series.
#include <gtest/gtest.h>

#include "history/HistoryFixture.h"
#include "history/HistoryQueries.h"

namespace varnley {
namespace {

using test::HistoryFixture;
using test::kEpoch;

constexpr HistoryTime kMin = kMinuteMs;
const PortKey kPort{"127.0.0.1", 80};

// One hour of port 80: UP 0-10, DOWN 10-20 (probed ten times as often, as retries do), not
// monitored 20-30, DOWN again after the restart 30-40, UP 40-60.
struct FlappingHour : HistoryFixture {
  FlappingHour() {
    auto writer = open();
    EXPECT_TRUE(writer) << reason;
    const auto probe = [&](HistoryTime from, HistoryTime to, HistoryTime every, bool up) {
      for (HistoryTime t = from; t < to; t += every) {
        at(t);
        writer->Probes({Result(80, up, 200)});
        writer->Change("127.0.0.1", 80, up);
      }
    };
    at(0);
    writer->Started();
    probe(0, 10 * kMin, 10'000, true);
    probe(10 * kMin, 20 * kMin, 1'000, false);
    at(20 * kMin);
    writer->Stopped();
    writer->Flush();
    at(30 * kMin);
    writer->Started();
    probe(30 * kMin, 40 * kMin, 10'000, false);
    probe(40 * kMin, 41 * kMin, 10'000, true);
    writer->Alert(HistoryWriter::kMail, false, {"127.0.0.1:80"}, "\"127.0.0.1:80\" is UP.");
    probe(41 * kMin, 60 * kMin, 10'000, true);
    at(60 * kMin);
    writer->Flush();
    writer->SetTick({});
    // The writer stays open: the last interval reaches the present.
    live = std::move(writer);
    Status status;
    reader = HistoryReader::Open(path, status);
    EXPECT_TRUE(reader) << status.reason;
  }
  std::unique_ptr<HistoryWriter> live;
  std::unique_ptr<HistoryReader> reader;
};

TEST(HistoryUptime, IsTimeWeightedAndLeavesGapsOut) {
  FlappingHour h;
  ASSERT_TRUE(h.reader);
  struct Case {
    HistoryTime from, to;
    HistoryTime up, down;
  };
  // The last probe was at 59:50, the session's last commit at 60:00.
  const Case cases[] = {
      {0, 60 * kMin, 30 * kMin, 20 * kMin},
      {0, 10 * kMin, 10 * kMin, 0},
      {5 * kMin, 15 * kMin, 5 * kMin, 5 * kMin},
      {20 * kMin, 30 * kMin, 0, 0},  // nothing known: neither up nor down
      {25 * kMin, 35 * kMin, 0, 5 * kMin},
  };
  for (const Case& c : cases) {
    const Uptime u = h.reader->UptimeOf(kPort, kEpoch + c.from, kEpoch + c.to);
    EXPECT_EQ(u.up, c.up) << c.from / kMin << ".." << c.to / kMin;
    EXPECT_EQ(u.down, c.down) << c.from / kMin << ".." << c.to / kMin;
  }
  const Uptime hour = h.reader->UptimeOf(kPort, kEpoch, kEpoch + 60 * kMin);
  EXPECT_DOUBLE_EQ(*hour.percent(), 60.0);
  EXPECT_NEAR(hour.coverage(), 100.0 * 50 / 60, 1e-9);
  EXPECT_FALSE(h.reader->UptimeOf(kPort, kEpoch + 20 * kMin, kEpoch + 30 * kMin).percent());
  EXPECT_FALSE(h.reader->UptimeOf({"127.0.0.1", 9}, kEpoch, kEpoch + kHourMs).percent());
}

TEST(HistoryUptime, ARestartInsideAnOutageIsOneOutage) {
  FlappingHour h;
  ASSERT_TRUE(h.reader);
  const auto outages = h.reader->Outages(kEpoch, kEpoch + 60 * kMin);
  ASSERT_EQ(outages.size(), 1u);
  EXPECT_EQ(outages[0].start, kEpoch + 10 * kMin);
  EXPECT_EQ(outages[0].end, kEpoch + 40 * kMin);
  EXPECT_TRUE(outages[0].ended);
  ASSERT_EQ(outages[0].alerts.size(), 1u);
  EXPECT_EQ(outages[0].alerts[0].outcome, "queued");

  const auto summaries = h.reader->Summaries(kEpoch + 60 * kMin);
  ASSERT_EQ(summaries.size(), 1u);
  const PortSummary& s = summaries[0];
  EXPECT_TRUE(s.monitored);
  EXPECT_TRUE(s.up);
  EXPECT_EQ(s.since, kEpoch + 40 * kMin);
  EXPECT_EQ(s.outages, 1);
  EXPECT_EQ(s.day.up, 30 * kMin);
  EXPECT_NEAR(*s.meanConnectMs, 0.2, 1e-9);
}

TEST(HistoryUptime, StripCellsShowUpDownAndNoData) {
  FlappingHour h;
  ASSERT_TRUE(h.reader);
  const auto strip = h.reader->Strip(kPort, kEpoch, kEpoch + 60 * kMin, 6);
  ASSERT_EQ(strip.size(), 6u);
  const double up[] = {1, 0, 0, 0, 1, 1};
  const double coverage[] = {1, 1, 0, 1, 1, 1};
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_DOUBLE_EQ(strip[i].up, up[i]) << i;
    EXPECT_DOUBLE_EQ(strip[i].coverage, coverage[i]) << i;
  }
}

TEST(HistoryUptime, SeriesReadsMinutesPackedOrNot) {
  FlappingHour h;
  ASSERT_TRUE(h.reader);
  // Minutes of an hour gone by are packed into blocks at the next maintenance.
  h.at(2 * kHourMs);
  h.live->Flush();
  Status status;
  auto reader = HistoryReader::Open(h.path, status);
  const auto minutes = reader->Series(kPort, kEpoch, kEpoch + kHourMs);
  ASSERT_EQ(minutes.size(), 50u);
  EXPECT_EQ(minutes[0].probes, 6);
  EXPECT_EQ(minutes[10].probes, 60);
  EXPECT_EQ(minutes[10].successes, 0);
  EXPECT_DOUBLE_EQ(minutes[0].meanMs, 0.2);
  const auto hours = reader->Series(kPort, kEpoch, kEpoch + 3 * kDayMs);
  ASSERT_EQ(hours.size(), 1u);
  EXPECT_EQ(hours[0].probes, 60 + 600 + 60 + 120);
}

}  // namespace
}  // namespace varnley
