// The one writer of the history file: probe results, state changes, monitoring marks and
// alerts are handed to it in memory and a thread of its own writes them, at most one commit a
// second, so the worker, the dispatch and the sender never wait on the disk. When writes fail
// (a full disk) it pauses, keeps what it can in memory, counts what it cannot, says both, and
// carries on once a write succeeds again.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "history/HistoryAggregates.h"
#include "history/HistoryFile.h"
#include "monitor/ProbeResults.h"
#include "platform/Diagnostics.h"

namespace varnley {

// An alert a channel has not delivered yet, as the history's outbox keeps it across a restart.
struct OutboxEntry {
  std::string host;
  int port = 0;
  std::string reason;
  bool operator==(const OutboxEntry&) const = default;
};
struct OutboxRow {
  std::string event;  // "down", "up", "reminder"
  std::string text;
  std::vector<OutboxEntry> entries;
  HistoryTime time = 0;  // when it was raised
  std::string incident;
  std::optional<HistoryTime> since;
  std::optional<HistoryTime> firstTry;
  bool operator==(const OutboxRow&) const = default;
};
// By channel ("mail", "webhook1"), oldest first.
using OutboxLists = std::map<std::string, std::vector<OutboxRow>>;

struct HistoryOptions {
  std::string path;
  int days = kDefaultHistoryDays;      // how long day aggregates, changes and alerts are kept
  HistoryClock clock;                  // empty: the system's
  Diagnostics* diagnostics = nullptr;  // nullptr: stderr
  // What waits in memory while the file cannot be written; beyond it, things are counted lost.
  std::size_t eventCap = 100'000;
  std::size_t aggregateCap = 200'000;
  std::chrono::milliseconds commitEvery{1000};
};

class HistoryWriter {
 public:
  // Alerts go to a channel under these names; a mail's outcome arrives later through Outcome.
  static constexpr const char* kBox = "box";
  static constexpr const char* kMail = "mail";

  struct Health {
    bool paused = false;
    std::string reason;      // why, while paused
    std::uint64_t lost = 0;  // not yet written down as lost
  };

  // nullptr with the reason when the file cannot be used (history is then off).
  static std::unique_ptr<HistoryWriter> Open(HistoryOptions options, Status& status);
  // Writes what is still in memory and marks the end of monitoring.
  ~HistoryWriter();
  HistoryWriter(const HistoryWriter&) = delete;
  HistoryWriter& operator=(const HistoryWriter&) = delete;

  // Every call below returns at once and may come from any thread.
  // With `changes`, a port's first result and every flip after it also open an interval, as
  // the worker's deactivated ports change (until ResetChanges, which monitoring's start calls).
  void Probes(const std::vector<PortResult>& results, bool changes = false);
  void ResetChanges();
  void Change(const std::string& host, int port, bool up, const std::string& reason = {});
  void Started();
  void Stopped();
  // An alert handed to a channel; `ports` are the "host:port" entries it names.
  void Alert(const std::string& channel, bool down, const std::vector<std::string>& ports,
             const std::string& text);
  // What became of a mail (or any queued channel's) alert with this text; a text of several
  // lines (alerts merged by a full queue) settles each of them.
  void Outcome(const std::string& channel, const std::string& text, bool ok,
               const std::string& reason);

  // The channel's undelivered alerts, replacing what the file kept for it (an empty list
  // clears it); only the latest list of a channel is written, in the batch's transaction.
  void KeepOutbox(const std::string& channel, std::vector<OutboxRow> rows);
  // What the file's outbox held when it was opened; the lists are the caller's from then on.
  OutboxLists TakeKeptOutbox();
  // An alert a channel gave up on (`outcome` "expired" or "refused"), for the delivery log.
  void GaveUp(const std::string& channel, const OutboxRow& alert, const std::string& outcome,
              const std::string& reason);

  // Runs on the writer's thread before each batch (about once a second), for whoever must
  // look at something regularly without a thread of its own. Once SetTick returns, the old
  // function is not running and will not run again.
  void SetTick(std::function<void()> tick);

  // Waits until everything handed over so far has been tried once (tests, exit).
  void Flush();
  Health health() const;
  const std::string& path() const { return options_.path; }
  // For tests: SQLite's page limit, which fills the "disk" on purpose (0: none).
  void SetPageLimit(std::int64_t pages) { pageLimit_ = pages; }

 private:
  struct Event {
    enum Kind { Change, Start, Stop, Alert, Outcome } kind;
    HistoryTime time;
    std::size_t port = 0;               // index into names_ (Change)
    bool flag = false;                  // up (Change), down (Alert), ok (Outcome)
    std::string channel, text, detail;  // detail: reason, or the alert's port list
  };
  struct GivenUp {
    HistoryTime time, raised;
    std::string channel, event, text, outcome, reason;
  };
  struct PortName {
    std::string host;
    int port;
  };
  struct Batch {
    std::vector<Event> events;
    std::unordered_map<std::uint64_t, Aggregate> minutes;  // port index << 32 | minute
    std::vector<HistoryTime> lastProbe;                    // by port index, 0 for none
    std::vector<signed char> lastOpen;                     // what that probe found
    std::uint64_t lost = 0;
    OutboxLists outbox;  // the latest list of each channel that changed
    std::vector<GivenUp> givenUp;
    // When it was taken from the hand-off: a port is idle only against what the batch could
    // know, not against a clock that ran on while the writer waited for the disk.
    HistoryTime takenAt = 0;
  };
  struct OpenRun {
    std::int64_t row;
    bool up;
    HistoryTime storedEnd;
    HistoryTime lastProbe;
    HistoryTime gap;  // between the last two probes, to tell a removed port from a slow one
  };

  explicit HistoryWriter(HistoryOptions options);
  HistoryTime now() const { return options_.clock(); }
  std::size_t indexOf(const std::string& host, int port);  // under mutex_
  void push(Event event);                                  // under mutex_
  void run();
  bool write(Batch& batch);
  void countLost(std::uint64_t count);  // under mutex_
  bool writeEvent(const Event& event);
  bool startSession(HistoryTime time);
  bool closeRun(std::int64_t portId, HistoryTime time);
  bool closeSession(HistoryTime time);
  bool writeAggregates(const Batch& batch);
  bool writeOutbox(const Batch& batch);
  bool readOutbox();
  bool maintain(HistoryTime time);
  struct Fold {
    const char* rows;
    const char* key;
    const char* blocks;
    const char* blockKey;
    HistoryTime unit, blockUnit;
  };
  bool fold(const Fold& fold, HistoryTime before);
  std::int64_t portId(std::size_t index);
  void putBack(Batch& batch);
  void failed(const std::string& reason, bool full);
  void recovered();

  HistoryOptions options_;
  Diagnostics& diagnostics_;
  SqliteDb db_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable flushed_;
  Batch pending_;
  std::unordered_map<std::string, std::size_t> nameIndex_;
  std::vector<PortName> names_;
  std::vector<signed char> states_;  // by port index: -1 not seen since the start, 0 DOWN, 1 UP
  std::string key_;                  // reused, so a known port costs no allocation
  bool stopping_ = false;
  bool flushWanted_ = false;
  bool lossSaid_ = false;
  bool outboxSaid_ = false;  // that the outbox waits in memory, while writes fail
  OutboxLists keptOutbox_;   // read at the open
  std::uint64_t handed_ = 0, tried_ = 0;  // generations, for Flush
  Health health_;

  // Touched by the writer thread only.
  std::vector<PortName> writerNames_;
  std::unordered_map<std::size_t, std::int64_t> portIds_;
  std::unordered_map<std::int64_t, OpenRun> openRuns_;
  std::int64_t session_ = 0;
  HistoryTime sessionStart_ = 0;
  HistoryTime lastMaintenance_ = 0;
  std::uint64_t lostUnsaid_ = 0;
  bool full_ = false;
  std::atomic<std::int64_t> pageLimit_ = 0;
  std::int64_t appliedPageLimit_ = 0;
  std::mutex tickMutex_;
  std::function<void()> tick_;
  struct Statements;
  std::unique_ptr<Statements> sql_;
  std::thread thread_;
};

// "1,204": counts as the messages show them.
std::string GroupDigits(std::uint64_t value);

}  // namespace varnley
