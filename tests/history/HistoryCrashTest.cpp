// kill -9 while a child process writes: every trial leaves a file that passes
// integrity_check, that a new writer takes up, and that lost at most the last two seconds.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <random>
#include <thread>

#include "history/HistoryWriter.h"
#include "model/TempDir.h"
#include "support/WaitFor.h"

namespace varnley {
namespace {

[[noreturn]] void WriteUntilKilled(const std::string& path) {
  HistoryOptions options;
  options.path = path;
  Status status;
  auto writer = HistoryWriter::Open(options, status);
  if (!writer) _exit(3);
  std::vector<PortResult> results;
  for (int port = 1; port <= 500; ++port)
    results.push_back({"127.0.0.1", port, port % 3 != 0, std::chrono::microseconds(300)});
  for (unsigned pass = 0;; ++pass) {
    writer->Probes(results);
    writer->Change("127.0.0.1", 1 + static_cast<int>(pass % 500), pass % 2 == 0);
    writer->Alert(HistoryWriter::kMail, true, {"127.0.0.1:1"}, "\"127.0.0.1:1\" is DOWN.");
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

std::string Query(const std::string& path, const std::string& sql) {
  SqliteDb db;
  if (!db.open(path, true)) return db.error();
  SqliteStatement statement = db.prepare(sql);
  if (statement.step() != 100 /* SQLITE_ROW */) return db.error();
  return statement.text(0);
}

TEST(HistoryCrash, KillNineLosesAtMostTheLastTwoSeconds) {
  std::mt19937 random(std::random_device{}());
  for (int trial = 0; trial < 5; ++trial) {
    test::TempDir dir;
    const std::string path = dir.file("crash.history.sqlite");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) WriteUntilKilled(path);
    // Kill at a different moment of the commit cycle each time.
    ASSERT_TRUE(test::WaitFor([&] {
      const std::string runs = Query(path, "SELECT count(*) FROM runs");
      return !runs.empty() && std::isdigit(static_cast<unsigned char>(runs[0])) && runs != "0";
    })) << trial;
    std::this_thread::sleep_for(
        std::chrono::milliseconds(1500 + std::uniform_int_distribution<int>(0, 1500)(random)));
    const HistoryTime killed = SystemHistoryTime();
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    int wstatus = 0;
    ASSERT_EQ(::waitpid(child, &wstatus, 0), child);
    ASSERT_TRUE(WIFSIGNALED(wstatus)) << "child ended early: " << wstatus;

    EXPECT_EQ(Query(path, "PRAGMA integrity_check"), "ok") << trial;
    const HistoryTime last = std::stoll(Query(path, "SELECT max(last) FROM sessions"));
    EXPECT_GE(last, killed - 2000) << trial;
    EXPECT_LE(last, killed) << trial;

    // The next copy takes the file up and ends the runs the killed one left open.
    HistoryOptions options;
    options.path = path;
    Status status;
    auto writer = HistoryWriter::Open(options, status);
    ASSERT_TRUE(writer) << status.reason;
    writer.reset();
    EXPECT_EQ(Query(path, "SELECT count(*) FROM runs WHERE open = 1"), "0") << trial;
    EXPECT_EQ(Query(path, "PRAGMA integrity_check"), "ok") << trial;
  }
}

}  // namespace
}  // namespace varnley
