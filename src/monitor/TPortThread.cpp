#include "monitor/TPortThread.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "model/PortList.h"
#include "platform/Text.h"

namespace varnley {

namespace {

auto findEntry(std::vector<std::string>& list, const std::string& entry) {
  return std::find_if(list.begin(), list.end(),
                      [&](const std::string& e) { return EqualsIgnoreCase(e, entry); });
}

bool sameRow(const MonitoredHost& now, const MonitoredHost& probed) {
  return now.host == probed.host && now.ports == probed.ports;
}

}  // namespace

TPortThread::TPortThread(HostTable& hosts, const AlertSettings& settings, AlertQueues& queues,
                         Monitor::ProbeFn probe, NoThread)
    : hosts_(hosts), settings_(settings), queues_(queues), probe_(std::move(probe)) {}

TPortThread::TPortThread(HostTable& hosts, const AlertSettings& settings, AlertQueues& queues,
                         Monitor::ProbeFn probe)
    : TPortThread(hosts, settings, queues, std::move(probe), NoThread{}) {
  thread_ = std::thread([this] { run(); });
}

TPortThread::~TPortThread() {
  requestStop();
  join();
}

void TPortThread::requestStop() { stop_.requestStop(); }

void TPortThread::join() {
  if (thread_.joinable()) thread_.join();
}

void TPortThread::run() {
  while (!stop_.stopRequested()) {
    runPass();
    // Read every pass so a changed interval takes effect at the next sleep.
    const int interval = std::clamp(settings_.interval, kMinInterval, kMaxInterval);
    stop_.sleepFor(std::chrono::seconds(interval));
  }
}

void TPortThread::runPass() {
  try {
    pass();
  } catch (...) {
    // A failed pass costs only itself; the next one starts from wherever the position is.
  }
}

void TPortThread::pass() {
  if (currentRow_ >= hosts_.size()) {
    currentRow_ = 0;
    currentPort_ = 0;
  }
  // Only this row is copied: a pass must cost the same whatever the table's size.
  const std::optional<MonitoredHost> copy = hosts_.row(currentRow_);
  if (!copy) return;  // the table is empty (or shrank since the size was read)
  const std::size_t row = currentRow_;
  const std::vector<std::string> ports = SplitPortList(copy->ports);
  if (currentPort_ >= ports.size()) {
    ++currentRow_;
    currentPort_ = 0;
    return;
  }
  const std::string entry = ports[currentPort_];
  if (currentPort_ + 1 >= ports.size()) {
    ++currentRow_;
    currentPort_ = 0;
  } else {
    ++currentPort_;
  }

  const long long port = PortEntryValue(entry);
  if (port < 1 || port > 65535) return;  // no port is ever probed under another number
  bool open = probe_(copy->host, static_cast<int>(port), stop_);
  // A probe cut short by Stop says nothing about the port.
  if (stop_.stopRequested()) return;

  std::vector<std::string> deactivated = SplitPortList(copy->deactivated);
  const bool known = findEntry(deactivated, entry) != deactivated.end();
  if (!open && !known) {
    open = confirmRefused(copy->host, static_cast<int>(port));
    if (stop_.stopRequested()) return;
  }
  const std::string text = copy->host + ":" + entry;
  if (!open && !known) {
    if (recordDown(row, *copy, entry)) report(&AlertQueues::AddDownEntry, text);
  } else if (open && known) {
    if (recordUp(row, *copy, entry)) report(&AlertQueues::AddUpEntry, text);
  }
}

bool TPortThread::confirmRefused(const std::string& host, int port) {
  // Read once: the dialog that changes it is closed while monitoring runs.
  const int retries = std::clamp(settings_.retries, 0, kMaxRetries);
  for (int attempt = 0; attempt < retries; ++attempt) {
    // The first retry follows at once (a dropped connection), the others a second apart.
    if (attempt > 0 && !stop_.sleepFor(kRetryPause)) return false;
    if (probe_(host, port, stop_)) return true;
    if (stop_.stopRequested()) return false;
  }
  return false;
}

bool TPortThread::recordDown(std::size_t row, const MonitoredHost& probed,
                             const std::string& entry) {
  bool written = false;
  hosts_.update(row, [&](MonitoredHost& now) {
    if (!sameRow(now, probed)) return;  // edited while the probe ran: the result is stale
    std::vector<std::string> list = SplitPortList(now.deactivated);
    if (findEntry(list, entry) != list.end()) return;
    list.push_back(entry);
    now.deactivated = JoinPortList(list);
    written = true;
  });
  return written;
}

bool TPortThread::recordUp(std::size_t row, const MonitoredHost& probed, const std::string& entry) {
  bool written = false;
  hosts_.update(row, [&](MonitoredHost& now) {
    if (!sameRow(now, probed)) return;
    std::vector<std::string> list = SplitPortList(now.deactivated);
    const auto it = findEntry(list, entry);
    if (it == list.end()) return;
    list.erase(it);
    now.deactivated = JoinPortList(list);
    written = true;
  });
  return written;
}

void TPortThread::report(bool (AlertQueues::*add)(const std::string&), const std::string& text) {
  if ((queues_.*add)(text)) return;
  // One retry after a short pause; a queue still busy then loses this report.
  stop_.sleepFor(std::chrono::milliseconds(100));
  (queues_.*add)(text);
}

}  // namespace varnley
