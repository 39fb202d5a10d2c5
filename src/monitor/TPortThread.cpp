#include "monitor/TPortThread.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <utility>

#include "model/AddressCheck.h"
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
                         Monitor::ProbeFn probe, NoThread, Monitor::BatchProbeFn batch,
                         std::size_t maxParallel, const ProbeResults* results)
    : hosts_(hosts),
      settings_(settings),
      queues_(queues),
      probe_(std::move(probe)),
      batch_(std::move(batch)),
      maxParallel_(std::max<std::size_t>(maxParallel, 1)),
      results_(results) {}

TPortThread::TPortThread(HostTable& hosts, const AlertSettings& settings, AlertQueues& queues,
                         Monitor::ProbeFn probe, Monitor::BatchProbeFn batch,
                         std::size_t maxParallel, const ProbeResults* results)
    : TPortThread(hosts, settings, queues, std::move(probe), NoThread{}, std::move(batch),
                  maxParallel, results) {
  launch();
}

TPortThread::~TPortThread() {
  requestStop();
  join();
}

void TPortThread::requestStop() { stop_.requestStop(); }

void TPortThread::launch() {
  if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
}

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
  // A failed pass costs only itself; the next one starts from wherever the position is.
  try {
    pass();
  } catch (const std::exception& e) {
    passFailed(e.what());
  } catch (...) {
    passFailed("an unknown failure");
  }
}

void TPortThread::passFailed(std::string_view what) noexcept {
  // Enough kinds to tell a pattern, never a list that grows with the run.
  constexpr std::size_t kMostSaid = 16;
  try {
    if (failuresSaid_.size() >= kMostSaid ||
        std::find(failuresSaid_.begin(), failuresSaid_.end(), what) != failuresSaid_.end())
      return;
    failuresSaid_.emplace_back(what);
    diagnostics_->Report(Severity::Error, "Varnley: a probe pass failed (" + std::string(what) +
                                              "); monitoring goes on, and this failure is not "
                                              "said again");
  } catch (...) {
    // Out of memory for the text itself: the next pass is all that can be done.
  }
}

void TPortThread::pass() {
  if (resumeAt_) {
    hosts_.read([this](const std::vector<MonitoredHost>& rows) { goOnFrom(rows, *resumeAt_); });
    resumeAt_.reset();
  }
  const std::size_t fromRow = currentRow_, fromPort = currentPort_;
  const std::size_t parallel = std::min(
      static_cast<std::size_t>(std::clamp(settings_.parallel, 1, kMaxParallel)), maxParallel_);
  Slice slice = takeSlice(parallel);
  if (slice.steps.empty()) return;
  std::vector<std::size_t> all(slice.steps.size());
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
  // A probe cut short by Stop says nothing about the port: the slice is still to be probed.
  if (!probe(slice, all) || !confirmRefused(slice)) {
    currentRow_ = fromRow;
    currentPort_ = fromPort;
    return;
  }
  publish(slice);

  // Changes go to the queues in table order.
  for (const Step& step : slice.steps) {
    const MonitoredHost& copy = slice.rows[step.copy];
    hosts_.setPortState(step.row, copy.host,
                        {step.entry, step.open ? std::string() : step.reason, step.address});
    if (!step.open && !step.known) {
      if (recordDown(step.row, copy, step.entry))
        report(&AlertQueues::AddDownEntry, HostPortText(copy.host, step.entry));
    } else if (step.open && step.known) {
      if (recordUp(step.row, copy, step.entry))
        report(&AlertQueues::AddUpEntry, HostPortText(copy.host, step.entry));
    }
  }
}

RoundPlace TPortThread::place() const {
  RoundPlace place;
  if (resumeAt_) return *resumeAt_;
  hosts_.read([&](const std::vector<MonitoredHost>& rows) {
    // Past the last row the next pass wraps to the first.
    const bool wraps = currentRow_ >= rows.size();
    place.row = wraps ? 0 : currentRow_;
    place.port = wraps ? 0 : currentPort_;
    if (rows.empty()) return;
    place.host = rows[place.row].host;
    const std::vector<std::string> ports = SplitPortList(rows[place.row].ports);
    if (place.port < ports.size()) place.entry = ports[place.port];
  });
  return place;
}

void TPortThread::goOnFrom(const std::vector<MonitoredHost>& rows, const RoundPlace& place) {
  currentRow_ = place.row;
  currentPort_ = place.port;
  if (rows.empty() || place.host.empty()) return;
  // The host's rows nearest the old place first, so that rows added or removed before it do
  // not move the round; the same port number in one of them is the place.
  const long long wanted = PortEntryValue(place.entry);
  std::optional<std::size_t> hostRow;
  for (std::size_t k = 0; k < rows.size(); ++k) {
    const std::size_t row = (place.row + k) % rows.size();
    if (rows[row].host != place.host) continue;
    if (!hostRow) hostRow = row;
    if (place.entry.empty()) break;
    const std::vector<std::string> ports = SplitPortList(rows[row].ports);
    for (std::size_t i = 0; i < ports.size(); ++i) {
      if (PortEntryValue(ports[i]) == wanted) {
        currentRow_ = row;
        currentPort_ = i;
        return;
      }
    }
  }
  // The port is gone: the same spot in the host's row, or past it to the next row.
  if (hostRow) currentRow_ = *hostRow;
}

TPortThread::Slice TPortThread::takeSlice(std::size_t count) {
  Slice slice;
  // One hold of the lock for the whole slice; only the rows it touches are copied, so a pass
  // costs the same whatever the table's size.
  hosts_.read([&](const std::vector<MonitoredHost>& rows) {
    std::size_t startRow = 0, startPort = 0;
    std::size_t splitRow = rows.size();  // the row whose lists are below
    std::vector<std::string> ports, deactivated;
    for (std::size_t n = 0; n < count; ++n) {
      if (currentRow_ >= rows.size()) {
        currentRow_ = 0;
        currentPort_ = 0;
      }
      if (rows.empty()) return;
      if (n == 0) {
        startRow = currentRow_;
        startPort = currentPort_;
      } else if (currentRow_ == startRow && currentPort_ == startPort) {
        return;  // round the table once: no port twice in a pass
      }
      const std::size_t row = currentRow_;
      if (splitRow != row) {
        splitRow = row;
        slice.rows.push_back(rows[row]);
        ports = SplitPortList(rows[row].ports);
        deactivated = SplitPortList(rows[row].deactivated);
      }
      // Each step is what one pass did when passes took a single port: the next entry, or
      // the step past a row without (more) entries.
      if (currentPort_ >= ports.size()) {
        ++currentRow_;
        currentPort_ = 0;
        continue;
      }
      std::string entry = ports[currentPort_];
      if (currentPort_ + 1 >= ports.size()) {
        ++currentRow_;
        currentPort_ = 0;
      } else {
        ++currentPort_;
      }
      const long long port = PortEntryValue(entry);
      if (port < 1 || port > 65535) continue;  // no port is ever probed under another number
      const bool known = findEntry(deactivated, entry) != deactivated.end();
      slice.steps.push_back(
          {row, slice.rows.size() - 1, std::move(entry), static_cast<int>(port), known});
    }
  });
  return slice;
}

bool TPortThread::probe(Slice& slice, const std::vector<std::size_t>& which) {
  if (batch_) {
    std::vector<PortTarget> targets;
    targets.reserve(which.size());
    for (std::size_t i : which)
      targets.push_back({slice.rows[slice.steps[i].copy].host, slice.steps[i].port});
    const std::vector<PortAnswer> answers = batch_(targets, stop_);
    for (std::size_t k = 0; k < which.size() && k < answers.size(); ++k) {
      Step& step = slice.steps[which[k]];
      step.open = answers[k].open;
      step.duration = answers[k].duration;
      step.reason = answers[k].reason;
      step.address = answers[k].address;
      step.unresolved = answers[k].unresolved;
    }
  } else {
    for (std::size_t i : which) {
      Step& step = slice.steps[i];
      const auto start = std::chrono::steady_clock::now();
      step.open = probe_(slice.rows[step.copy].host, step.port, stop_);
      step.duration = std::chrono::steady_clock::now() - start;
      if (stop_.stopRequested()) break;
    }
  }
  return !stop_.stopRequested();
}

bool TPortThread::confirmRefused(Slice& slice) {
  std::vector<std::size_t> refused;
  for (std::size_t i = 0; i < slice.steps.size(); ++i)
    if (!slice.steps[i].open && !slice.steps[i].known) refused.push_back(i);
  // Read once a pass: the dialog that changes it is closed while monitoring runs.
  const int retries = std::clamp(settings_.retries, 0, kMaxRetries);
  for (int attempt = 0; attempt < retries && !refused.empty(); ++attempt) {
    // The first retry follows at once (a dropped connection), the others a second apart.
    if (attempt > 0 && !stop_.sleepFor(kRetryPause)) return false;
    if (!probe(slice, refused)) return false;
    std::erase_if(refused, [&](std::size_t i) { return slice.steps[i].open; });
  }
  return true;
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

void TPortThread::publish(const Slice& slice) const {
  if (!results_) return;
  std::vector<PortResult> results;
  results.reserve(slice.steps.size());
  for (const Step& step : slice.steps)
    results.push_back({slice.rows[step.copy].host, step.port, step.open, step.duration,
                       step.reason, step.address, step.unresolved});
  results_->Publish(results);
}

void TPortThread::report(bool (AlertQueues::*add)(const std::string&), const std::string& text) {
  // The tick holds the flag only for a moment; giving up would lose a change that the
  // deactivated ports already show, so the worker tries until it gets through or is stopped.
  while (!(queues_.*add)(text))
    if (!stop_.sleepFor(kQueueRetryPause)) return;
}

}  // namespace varnley
