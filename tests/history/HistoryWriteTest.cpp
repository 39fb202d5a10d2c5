// The write path over a real file: what lands in which table, aggregates, pruning by the
// clock, a full disk, and the files the writer refuses or sets aside.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "history/HistoryFixture.h"
#include "history/Sqlite.h"

namespace varnley {
namespace {

using test::HistoryFixture;
using test::kEpoch;

std::int64_t Count(const std::string& path, const std::string& sql) {
  SqliteDb db;
  if (!db.open(path, true)) return -1;
  return db.scalar(sql, -1);
}

std::string Integrity(const std::string& path) {
  SqliteDb db;
  if (!db.open(path, true)) return db.error();
  SqliteStatement check = db.prepare("PRAGMA integrity_check");
  return check.step() == 100 /* SQLITE_ROW */ ? check.text(0) : db.error();
}

TEST(HistoryWrite, EventsAggregatesAndAlertsLandInTheirTables) {
  HistoryFixture f;
  auto writer = f.open();
  ASSERT_TRUE(writer) << f.reason;
  writer->Started();
  writer->Change("127.0.0.1", 80, true);
  writer->Change("127.0.0.1", 81, false);
  // Two minutes of probes: connect times only count the successful ones.
  for (int second = 0; second < 120; ++second) {
    f.at(second * 1000);
    writer->Probes(
        {HistoryFixture::Result(80, true, 100 + second), HistoryFixture::Result(81, false)});
  }
  f.at(121'000);
  writer->Change("127.0.0.1", 81, true);
  writer->Alert(HistoryWriter::kMail, false, {"127.0.0.1:81"}, "\"127.0.0.1:81\" is UP.");
  writer->Alert(HistoryWriter::kBox, false, {"127.0.0.1:81"}, "\"127.0.0.1:81\" is UP.");
  writer->Outcome(HistoryWriter::kMail, "\"127.0.0.1:81\" is UP.", false, "Socket Error # 10061");
  writer->Flush();

  const std::string& p = f.path;
  EXPECT_EQ(Count(p, "SELECT count(*) FROM ports"), 2);
  EXPECT_EQ(Count(p, "SELECT count(*) FROM runs"), 3);
  EXPECT_EQ(Count(p, "SELECT count(*) FROM changes WHERE port = 81 AND state = 'DOWN'"), 1);
  EXPECT_EQ(Count(p, "SELECT sum(probes) FROM minutes"), 240);
  EXPECT_EQ(Count(p, "SELECT count(*) FROM minutes WHERE port_id = 1"), 2);
  EXPECT_EQ(Count(p, "SELECT sum(probes) FROM hours"), 240);
  EXPECT_EQ(Count(p, "SELECT sum(probes) FROM days"), 240);
  EXPECT_EQ(Count(p, "SELECT successes FROM days WHERE port_id = 2"), 0);
  EXPECT_EQ(Count(p, "SELECT min_us FROM hours WHERE port_id = 1"), 100);
  EXPECT_EQ(Count(p, "SELECT max_us FROM hours WHERE port_id = 1"), 219);
  EXPECT_EQ(Count(p, "SELECT sum_us FROM hours WHERE port_id = 1"), 120 * 100 + 119 * 120 / 2);
  EXPECT_EQ(Count(p,
                  "SELECT count(*) FROM alerts WHERE channel = 'mail' AND outcome = 'failed' "
                  "AND reason = 'Socket Error # 10061' AND outcome_time = " +
                      std::to_string(kEpoch + 121'000)),
            1);
  EXPECT_EQ(Count(p, "SELECT count(*) FROM alerts WHERE channel = 'box' AND outcome = 'shown'"), 1);
  EXPECT_EQ(Count(p, "SELECT last FROM sessions"), kEpoch + 121'000);

  writer.reset();  // the end of monitoring closes every interval
  EXPECT_EQ(Count(p, "SELECT count(*) FROM runs WHERE open = 1"), 0);
  EXPECT_EQ(Count(p, "SELECT count(*) FROM sessions WHERE stopped IS NULL"), 0);
}

TEST(HistoryWrite, AChangeSeenInTheProbesKeepsWhyThePortWentDown) {
  HistoryFixture f;
  auto writer = f.open();
  ASSERT_TRUE(writer) << f.reason;
  writer->Started();
  PortResult result = HistoryFixture::Result(80, true);
  writer->Probes({result}, /*changes=*/true);
  result.open = false;
  result.reason = "no such name";
  f.at(1000);
  writer->Probes({result}, /*changes=*/true);
  writer->Flush();
  EXPECT_EQ(Count(f.path,
                  "SELECT count(*) FROM changes WHERE state = 'DOWN' AND reason = 'no such name'"),
            1);
  EXPECT_EQ(Count(f.path, "SELECT count(*) FROM changes WHERE state = 'UP' AND reason = ''"), 1);
}

TEST(HistoryWrite, PruningFollowsTheClockAcrossDays) {
  HistoryFixture f;
  auto writer = f.open(/*days=*/2);
  ASSERT_TRUE(writer) << f.reason;
  writer->Change("127.0.0.1", 80, true);
  for (int day = 0; day < 5; ++day) {
    f.at(day * kDayMs + 10 * kMinuteMs);
    writer->Probes({HistoryFixture::Result(80, true)});
    writer->Flush();
  }
  // Now day 4, 00:10: every minute before this hour is packed, those over 48 hours old gone;
  // day aggregates keep two days back from the start of today's.
  EXPECT_EQ(Count(f.path, "SELECT count(*) FROM minutes"), 1);
  EXPECT_EQ(Count(f.path, "SELECT min(hour) FROM minute_blocks"), kEpoch + 2 * kDayMs);
  EXPECT_EQ(Count(f.path, "SELECT count(*) FROM minute_blocks"), 2);
  // Hours of the last two days stay rows, older ones are packed by day; 31 days keep them all.
  EXPECT_EQ(Count(f.path, "SELECT count(*) FROM hours"), 3);
  EXPECT_EQ(Count(f.path, "SELECT count(*) FROM hour_blocks"), 2);
  EXPECT_EQ(Count(f.path, "SELECT min(day) FROM days"), kEpoch + 2 * kDayMs);

  // A month on, hours are pruned too, and the run that ended long ago with them.
  writer->Stopped();
  f.at(40 * kDayMs);
  writer->Started();
  writer->Change("127.0.0.1", 80, false);
  writer->Probes({HistoryFixture::Result(80, false)});
  writer->Flush();
  EXPECT_EQ(Count(f.path, "SELECT count(*) FROM hours"), 1);
  EXPECT_EQ(Count(f.path, "SELECT count(*) FROM hour_blocks"), 0);
  EXPECT_EQ(Count(f.path, "SELECT count(*) FROM runs"), 1);
  EXPECT_EQ(Count(f.path, "SELECT count(*) FROM sessions"), 1);
}

TEST(HistoryWrite, AFullDiskPausesCountsAndResumes) {
  HistoryFixture f;
  f.eventCap = 50;
  auto writer = f.open();
  ASSERT_TRUE(writer) << f.reason;
  writer->Change("127.0.0.1", 80, true);
  writer->Flush();
  const std::int64_t pages = Count(f.path, "PRAGMA page_count");
  writer->SetPageLimit(pages);

  // Enough ports that the new rows need pages the limit does not allow.
  std::vector<PortResult> many;
  for (int port = 1000; port < 3000; ++port) many.push_back(HistoryFixture::Result(port, true));
  writer->Probes(many);
  for (int i = 0; i < 80; ++i) writer->Change("127.0.0.1", 80 + i % 2, i % 2 == 0);
  writer->Flush();
  EXPECT_TRUE(writer->health().paused);
  EXPECT_TRUE(f.said.has("history: paused"));
  EXPECT_TRUE(f.said.has("events are being lost"));
  EXPECT_GT(writer->health().lost, 0u);

  writer->SetPageLimit(0);
  writer->Flush();
  EXPECT_FALSE(writer->health().paused);
  EXPECT_TRUE(f.said.has("history: resumed"));
  EXPECT_TRUE(f.said.has("events lost while the disk was full"));
  EXPECT_EQ(Count(f.path,
                  "SELECT count(*) FROM notes WHERE text LIKE "
                  "'history: % events lost while the disk was full'"),
            1);
  // What waited in memory was written once the disk had room.
  EXPECT_EQ(Count(f.path, "SELECT count(*) FROM ports"), 2002);
  EXPECT_EQ(Count(f.path, "SELECT sum(probes) FROM minutes"), 2000);
  EXPECT_EQ(Integrity(f.path), "ok");
}

TEST(HistoryFileOpen, NewFilesArePrivate) {
  HistoryFixture f;
  auto writer = f.open();
  ASSERT_TRUE(writer) << f.reason;
  writer->Change("127.0.0.1", 80, true);
  writer->Flush();
  for (const std::string& name : {f.path, f.path + "-wal"}) {
    struct stat st {};
    ASSERT_EQ(::stat(name.c_str(), &st), 0) << name;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
  }
}

TEST(HistoryFileOpen, RefusesWhatItMustNotTouch) {
  HistoryFixture f;
  f.path = f.dir.file("missing/folder/h.sqlite");
  EXPECT_FALSE(f.open());
  EXPECT_NE(f.reason.find("does not exist"), std::string::npos) << f.reason;
  EXPECT_FALSE(std::filesystem::exists(f.dir.file("missing")));

  if (::geteuid() != 0) {
    f.path = f.dir.file("readonly.sqlite");
    test::WriteText(f.path, "");
    std::filesystem::permissions(f.path, std::filesystem::perms::owner_read);
    EXPECT_FALSE(f.open());
    EXPECT_NE(f.reason.find("not writable"), std::string::npos) << f.reason;
  }
}

TEST(HistoryFileOpen, SetsAsideWhatIsNotAHistoryFile) {
  struct Case {
    const char* name;
    std::string content;
  };
  std::string damaged;
  {
    // A real history file with its pages overwritten in the middle.
    HistoryFixture g;
    auto writer = g.open();
    ASSERT_TRUE(writer);
    for (int port = 1; port < 2000; ++port) writer->Change("127.0.0.1", port, true);
    writer->Flush();
    writer.reset();
    damaged = test::ReadText(g.path);
    for (std::size_t i = 4096 + 100; i < damaged.size() && i < 4096 * 6; i += 7)
      damaged[i] = '\x5a';
  }
  const std::vector<Case> cases = {
      {"text", "not a database at all\n"},
      {"damaged", damaged},
  };
  for (const Case& c : cases) {
    HistoryFixture f;
    test::WriteText(f.path, c.content);
    auto writer = f.open();
    ASSERT_TRUE(writer) << c.name << ": " << f.reason;
    EXPECT_TRUE(f.said.has("a new one started")) << c.name;
    bool kept = false;
    for (const auto& entry : std::filesystem::directory_iterator(f.dir.path()))
      if (entry.path().filename().string().starts_with("test.history.sqlite.corrupt-"))
        kept = test::ReadText(entry.path().string()) == c.content;
    EXPECT_TRUE(kept) << c.name;
    writer->Change("127.0.0.1", 80, true);
    writer->Flush();
    EXPECT_EQ(Count(f.path, "SELECT count(*) FROM runs"), 1) << c.name;
  }

  // Another program's SQLite file is not ours either.
  HistoryFixture f;
  SqliteDb foreign;
  test::WriteText(f.path, "");
  ASSERT_TRUE(foreign.open(f.path, false));
  ASSERT_TRUE(foreign.exec("CREATE TABLE notes(x); INSERT INTO notes VALUES(1);"));
  foreign.close();
  auto writer = f.open();
  ASSERT_TRUE(writer) << f.reason;
  EXPECT_TRUE(f.said.has("not a history file"));
}

}  // namespace
}  // namespace varnley
