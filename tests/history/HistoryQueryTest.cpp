// The uptime arithmetic over a real file: time-weighted from the intervals, gaps without
// monitoring counted neither way, one outage across a restart, strips and series.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <sstream>

#include "history/HistoryFixture.h"
#include "history/HistoryQueries.h"
#include "history/HistoryRecorder.h"
#include "history/HistoryReport.h"
#include "service/HistoryStatus.h"

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

TEST(HistoryUptime, TheStatusPageReadsSharesStripsAndOutages) {
  FlappingHour h;
  ASSERT_TRUE(h.reader);
  const HistoryStatus status(h.path, [&h] { return h.clock.load(); });
  const StatusTime now{std::chrono::milliseconds(kEpoch + 60 * kMin)};
  const auto ports = status.Ports({{"127.0.0.1", 81}, {"127.0.0.1", 80}}, now);
  ASSERT_EQ(ports.size(), 2u);
  // A port the file has nothing of keeps every field at "no data".
  EXPECT_FALSE(ports[0].since);
  EXPECT_FALSE(ports[0].uptime24h);
  for (float cell : ports[0].strip) EXPECT_EQ(cell, kStripNoData);

  const PortHistory& port = ports[1];
  ASSERT_TRUE(port.since);
  EXPECT_EQ(*port.since, StatusTime(std::chrono::milliseconds(kEpoch + 40 * kMin)));
  EXPECT_EQ(port.reason, "");
  ASSERT_TRUE(port.uptime24h && port.uptime30d);
  EXPECT_DOUBLE_EQ(*port.uptime24h, 0.6);  // 30 minutes up of 50 with data
  EXPECT_DOUBLE_EQ(*port.uptime30d, 0.6);
  // The hour is the last two half hours: 10 of 20 minutes with data up, then 20 of 30.
  for (std::size_t cell = 0; cell + 2 < kStatusStripCells; ++cell)
    EXPECT_EQ(port.strip[cell], kStripNoData) << cell;
  EXPECT_FLOAT_EQ(port.strip[46], 0.5f);
  EXPECT_FLOAT_EQ(port.strip[47], 2.0f / 3.0f);

  const auto outages = status.Outages(50);
  ASSERT_EQ(outages.size(), 1u);
  EXPECT_EQ(outages[0].host, "127.0.0.1");
  EXPECT_EQ(outages[0].port, 80);
  EXPECT_EQ(outages[0].start, StatusTime(std::chrono::milliseconds(kEpoch + 10 * kMin)));
  ASSERT_TRUE(outages[0].end);
  EXPECT_EQ(*outages[0].end, StatusTime(std::chrono::milliseconds(kEpoch + 40 * kMin)));
  EXPECT_EQ(outages[0].alertsSent, 1);
  EXPECT_TRUE(status.Outages(0).empty());
}

TEST(HistoryUptime, TheStatusPageWithoutAFileHasNoData) {
  test::TempDir dir;
  const HistoryStatus status(dir.file("none.history.sqlite"));
  const auto ports = status.Ports({{"127.0.0.1", 80}}, std::chrono::system_clock::now());
  ASSERT_EQ(ports.size(), 1u);
  EXPECT_FALSE(ports[0].uptime24h);
  EXPECT_TRUE(status.Outages(50).empty());
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

  // Three days on, that hour is packed into its day's block and reads the same.
  h.at(3 * kDayMs);
  h.live->Flush();
  reader = HistoryReader::Open(h.path, status);
  const auto packed = reader->Series(kPort, kEpoch, kEpoch + 3 * kDayMs);
  ASSERT_EQ(packed.size(), 1u);
  EXPECT_EQ(packed[0].probes, hours[0].probes);
  EXPECT_DOUBLE_EQ(packed[0].maxMs, hours[0].maxMs);
}

struct ReportRun {
  int status;
  std::string out, err;
};

ReportRun Report(const std::string& settingsPath, const std::string& history, ReportOptions options,
                 HistoryTime now) {
  // Local times in the text report: the test reads them in UTC.
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  AlertSettings settings;
  settings.history = history;
  options.clock = [now] { return now; };
  std::ostringstream out, err;
  const int status = RunReport(settings, settingsPath, options, out, err);
  return {status, out.str(), err.str()};
}

TEST(HistoryReport, TextAndCsvListUptimeAndOutages) {
  FlappingHour h;
  ASSERT_TRUE(h.reader);
  const HistoryTime now = kEpoch + 60 * kMin;
  // The settings file beside the history: "" finds the file by its name.
  const std::string settings = h.dir.file("test.ini");
  const ReportRun text = Report(settings, "", {}, now);
  EXPECT_EQ(text.status, 0) << text.err;
  EXPECT_EQ(text.out,
            "History: " + h.path +
                "\n"
                "Last 7 days: 2026-02-23 01:00 to 2026-03-02 01:00\n"
                "\n"
                "PORT         STATE SINCE            UPTIME   DATA   OUTAGES CONNECT 24H\n"
                "127.0.0.1:80 UP    2026-03-02 00:40 60.000%  0.5%   1       0.20 ms\n"
                "\n"
                "OUTAGES (1)\n"
                "START            END              LENGTH   PORT         REASON ALERTS\n"
                "2026-03-02 00:10 2026-03-02 00:40 30m 00s  127.0.0.1:80 -      mail UP queued\n");

  ReportOptions csv;
  csv.csv = true;
  csv.days = 1;
  const ReportRun table = Report(settings, "", csv, now);
  EXPECT_EQ(table.status, 0) << table.err;
  EXPECT_EQ(table.out,
            "port,state,since,uptime_percent,data_percent,outages,mean_connect_ms_24h\n"
            "127.0.0.1:80,UP,2026-03-02T00:40:00Z,60.000,3.5,1,0.200\n"
            "\n"
            "start,end,length_seconds,port,ongoing,reason,alerts\n"
            "2026-03-02T00:10:00Z,2026-03-02T00:40:00Z,1800,127.0.0.1:80,no,,mail UP queued\n");
}

TEST(HistoryReport, SaysWhyThereIsNothingToReport) {
  test::TempDir dir;
  const std::string settings = dir.file("varnley.ini");
  struct Case {
    std::string history;
    int days;
    int status;
    std::string says;
  };
  const Case cases[] = {
      {"off", 7, 1, "the history is off"},
      {"", 7, 1, "no history file at " + dir.file("varnley.history.sqlite")},
      {"", 0, 2, "--days must be 1 to 3650"},
      {"", 3651, 2, "--days must be 1 to 3650"},
  };
  for (const Case& c : cases) {
    ReportOptions options;
    options.days = c.days;
    const ReportRun run = Report(settings, c.history, options, kEpoch);
    EXPECT_EQ(run.status, c.status) << c.says;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
  }
}

// The recorder sees what the worker publishes and derives the same changes the queues get.
TEST(HistoryRecorder, DerivesChangesAndNoticesTheStop) {
  HistoryFixture f;
  auto writer = f.open();
  ASSERT_TRUE(writer) << f.reason;
  ProbeResults results;
  std::atomic<bool> running = true;
  HistoryRecorder recorder(results, *writer, [&] { return running.load(); });
  const bool passes[][2] = {
      {true, false}, {true, false}, {false, false}, {false, true}, {true, true}};
  for (std::size_t i = 0; i < std::size(passes); ++i) {
    f.at(static_cast<HistoryTime>(i) * 10'000);
    results.Publish(
        {HistoryFixture::Result(80, passes[i][0]), HistoryFixture::Result(81, passes[i][1])});
  }
  recorder.AlertHanded(HistoryWriter::kMail, "\"127.0.0.1:80,127.0.0.1:81\" is DOWN.");
  recorder.MailOutcome("\"127.0.0.1:80,127.0.0.1:81\" is DOWN.", true, "");
  writer->Flush();
  f.at(60'000);
  running = false;
  writer->Flush();  // the writer's tick sees the stop
  writer->Flush();

  Status status;
  auto reader = HistoryReader::Open(f.path, status);
  ASSERT_TRUE(reader) << status.reason;
  const auto outages = reader->Outages(kEpoch, kEpoch + 60'000);
  ASSERT_EQ(outages.size(), 2u);
  EXPECT_EQ(outages[0].key.port, 80);  // newest first
  EXPECT_EQ(outages[0].start, kEpoch + 20'000);
  EXPECT_EQ(outages[0].end, kEpoch + 40'000);
  EXPECT_EQ(outages[1].key.port, 81);
  EXPECT_EQ(outages[1].start, kEpoch);
  EXPECT_EQ(outages[1].end, kEpoch + 30'000);
  ASSERT_EQ(outages[1].alerts.size(), 1u);
  EXPECT_EQ(outages[1].alerts[0].outcome, "sent");
  // After the stop nothing more is known.
  EXPECT_EQ(reader->UptimeOf(kPort, kEpoch, kEpoch + 120'000).covered(), 60'000);
}

// A port that stops being probed (taken out of the table) while monitoring runs has no data
// from its last probe on, and its interval starts again when it is probed again.
TEST(HistoryRecorder, APortLeftOutOfTheTableIsNoData) {
  HistoryFixture f;
  auto writer = f.open();
  ASSERT_TRUE(writer) << f.reason;
  ProbeResults results;
  HistoryRecorder recorder(results, *writer);
  const auto pass = [&](HistoryTime at, bool with81) {
    f.at(at);
    std::vector<PortResult> batch{HistoryFixture::Result(80, true)};
    if (with81) batch.push_back(HistoryFixture::Result(81, false));
    results.Publish(batch);
    writer->Flush();
  };
  for (HistoryTime t = 0; t <= 10 * kMin; t += 10'000) pass(t, true);
  for (HistoryTime t = 10 * kMin + 10'000; t <= 30 * kMin; t += 10'000) pass(t, false);
  for (HistoryTime t = 30 * kMin + 10'000; t <= 40 * kMin; t += 10'000) pass(t, true);

  Status status;
  auto reader = HistoryReader::Open(f.path, status);
  ASSERT_TRUE(reader) << status.reason;
  const Uptime gone = reader->UptimeOf({"127.0.0.1", 81}, kEpoch, kEpoch + 40 * kMin);
  EXPECT_EQ(gone.up, 0);
  EXPECT_EQ(gone.down, 20 * kMin - 10'000);  // 0..10:00 and 30:10..40:00, nothing between
  EXPECT_EQ(reader->UptimeOf(kPort, kEpoch, kEpoch + 40 * kMin).up, 40 * kMin);
  // Its return is no new outage: the same DOWN goes on.
  EXPECT_EQ(reader->Outages(kEpoch, kEpoch + 40 * kMin, PortKey{"127.0.0.1", 81}).size(), 1u);
}

TEST(HistoryRecorder, ReadsAlertTexts) {
  const AlertTextParts down = ParseAlertText("\"10.0.0.5:80,10.0.0.5:443\" is DOWN.");
  EXPECT_TRUE(down.down);
  EXPECT_EQ(down.entries, (std::vector<std::string>{"10.0.0.5:80", "10.0.0.5:443"}));
  const AlertTextParts up = ParseAlertText("\"db:5432\" is UP.");
  EXPECT_FALSE(up.down);
  EXPECT_EQ(up.entries, (std::vector<std::string>{"db:5432"}));
  EXPECT_TRUE(ParseAlertText("garbage").entries.empty());
}

}  // namespace
}  // namespace varnley
