#include "service/HistoryOutbox.h"

#include <utility>

#include "history/HistoryWriter.h"

namespace varnley {

namespace {

HistoryTime MsOf(WallTime time) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

WallTime TimeOf(HistoryTime ms) {
  return WallTime(std::chrono::duration_cast<WallTime::duration>(std::chrono::milliseconds(ms)));
}

AlertEvent EventOf(const std::string& name) {
  for (AlertEvent event :
       {AlertEvent::down, AlertEvent::up, AlertEvent::reminder, AlertEvent::test})
    if (name == EventName(event)) return event;
  return AlertEvent::down;
}

OutboxRow RowOf(const Alert& alert, std::optional<WallTime> firstTry) {
  OutboxRow row;
  row.event = EventName(alert.event);
  row.text = alert.text;
  for (const AlertEntry& entry : alert.entries)
    row.entries.push_back({entry.host, entry.port, entry.reason});
  row.time = MsOf(alert.time);
  row.incident = alert.incident;
  if (alert.since) row.since = MsOf(*alert.since);
  if (firstTry) row.firstTry = MsOf(*firstTry);
  return row;
}

PendingAlert PendingOf(const OutboxRow& row) {
  PendingAlert pending;
  Alert& alert = pending.alert;
  alert.event = EventOf(row.event);
  alert.text = row.text;
  for (const OutboxEntry& entry : row.entries)
    alert.entries.push_back({entry.host, entry.port, entry.reason});
  alert.time = TimeOf(row.time);
  alert.incident = row.incident;
  if (row.since) alert.since = TimeOf(*row.since);
  if (row.firstTry) pending.firstTry = TimeOf(*row.firstTry);
  return pending;
}

std::vector<OutboxRow> RowsOf(const std::vector<PendingAlert>& waiting) {
  std::vector<OutboxRow> rows;
  rows.reserve(waiting.size());
  for (const PendingAlert& pending : waiting)
    rows.push_back(RowOf(pending.alert, pending.firstTry));
  return rows;
}

}  // namespace

HistoryOutbox::HistoryOutbox(std::function<WallTime()> clock) : clock_(std::move(clock)) {}

void HistoryOutbox::Attach(HistoryWriter& writer) {
  const WallTime now = clock_();
  std::map<std::string, std::vector<PendingAlert>> earlier;
  for (auto& [channel, rows] : writer.TakeKeptOutbox()) {
    std::vector<PendingAlert>& list = earlier[channel];
    for (const OutboxRow& row : rows) {
      PendingAlert pending = PendingOf(row);
      pending.alert.text = MarkRaisedTime(pending.alert.text, pending.alert.time, now);
      list.push_back(std::move(pending));
    }
  }
  std::lock_guard lock(mutex_);
  writer_ = &writer;
  earlier_ = std::move(earlier);
  // Lists this run kept before the file was there reach it too, after the earlier run's.
  for (auto& [channel, waiting] : memory_.TakeAll()) {
    if (auto found = earlier_.find(channel); found != earlier_.end()) {
      waiting.insert(waiting.begin(), std::make_move_iterator(found->second.begin()),
                     std::make_move_iterator(found->second.end()));
      earlier_.erase(found);
    }
    writer_->KeepOutbox(channel, RowsOf(waiting));
    memory_.Keep(channel, waiting);
  }
}

void HistoryOutbox::Detach() {
  std::lock_guard lock(mutex_);
  writer_ = nullptr;
}

void HistoryOutbox::Keep(const std::string& channel, const std::vector<PendingAlert>& waiting) {
  std::lock_guard lock(mutex_);
  if (writer_) writer_->KeepOutbox(channel, RowsOf(waiting));
  memory_.Keep(channel, waiting);
}

std::vector<PendingAlert> HistoryOutbox::Restore(const std::string& channel) {
  std::lock_guard lock(mutex_);
  std::vector<PendingAlert> restored;
  // The earlier run's alerts are older than anything this run kept.
  if (auto found = earlier_.find(channel); found != earlier_.end()) {
    restored = std::move(found->second);
    earlier_.erase(found);
  }
  for (PendingAlert& pending : memory_.Restore(channel)) restored.push_back(std::move(pending));
  return restored;
}

void HistoryOutbox::GaveUp(const std::string& channel, const std::vector<Alert>& alerts,
                           bool expired, const std::string& reason) {
  std::lock_guard lock(mutex_);
  if (!writer_) return;
  for (const Alert& alert : alerts)
    writer_->GaveUp(channel, RowOf(alert, std::nullopt), expired ? "expired" : "refused", reason);
}

}  // namespace varnley
