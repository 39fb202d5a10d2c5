#include "monitor/Monitor.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "monitor/Probe.h"
#include "monitor/TPortThread.h"
#include "platform/StopSource.h"
#include "platform/TcpProbe.h"

namespace varnley {

namespace {

// Quotation mark, the entries joined by ",", quotation mark, then " is DOWN." or " is UP.".
std::string messageText(const std::vector<std::string>& entries, const char* state) {
  std::string text = "\"";
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i > 0) text += ',';
    text += entries[i];
  }
  text += "\" is ";
  text += state;
  text += '.';
  return text;
}

std::chrono::milliseconds probeTimeout(const AlertSettings& settings) {
  return std::chrono::seconds(std::clamp(settings.timeout, 0, kMaxTimeout));
}

}  // namespace

Monitor::Monitor(HostTable& hosts, const AlertSettings& settings, AlertQueues& queues)
    : hosts_(hosts),
      settings_(settings),
      queues_(queues),
      probe_([&settings](const std::string& host, int port, const StopSource& stop) {
        return CheckPort(host, port, &stop, probeTimeout(settings), settings.dns);
      }),
      batch_([&settings](const std::vector<PortTarget>& targets, const StopSource& stop) {
        return CheckPorts(targets, &stop, probeTimeout(settings), settings.dns);
      }) {}

Monitor::~Monitor() { Stop(); }

void Monitor::SetProbe(ProbeFn probe) {
  probe_ = std::move(probe);
  batch_ = nullptr;
}

void Monitor::SetBatchProbe(BatchProbeFn batch) { batch_ = std::move(batch); }

void Monitor::SetEmailWorkerFactory(EmailWorkerFactory factory) {
  emailWorkerFactory_ = std::move(factory);
}

void Monitor::SetDiagnostics(Diagnostics& diagnostics) { diagnostics_ = &diagnostics; }

void Monitor::Start() {
  if (running_) return;
  suspended_ = false;
  place_.reset();
  hosts_.clearDeactivated();
  queues_.ClearDownQueue();
  queues_.ClearUpQueue();
  queues_.ClearEmailQueue();
  startWorkers();
}

void Monitor::startWorkers() {
  const std::size_t budget = ProbeDescriptorBudget();
  if (static_cast<std::size_t>(settings_.parallel) > budget)
    diagnostics_->Report(Severity::Warning,
                         "Varnley: " + std::to_string(settings_.parallel) +
                             " ports per pass do not fit the open-file limit; probing " +
                             std::to_string(budget) + " at once.");
  auto worker = std::make_unique<TPortThread>(
      hosts_, settings_, queues_, probe_, TPortThread::NoThread{}, batch_, budget, &probeResults_);
  worker->setDiagnostics(*diagnostics_);
  // A fresh round begins at row 0, port 0; a resumed one where the last worker stopped.
  if (place_) worker->resumeAt(*place_);
  place_.reset();
  worker->launch();
  portThread_ = std::move(worker);
  running_ = true;
  std::optional<std::string> failure;
  try {
    if (emailWorkerFactory_) emailThread_ = emailWorkerFactory_(queues_, settings_);
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {
    failure = "an unknown failure";
  }
  if (failure) {
    // The port watch is worth more than the mail: it keeps running, the texts stay queued.
    emailThread_.reset();
    diagnostics_->Report(Severity::Error,
                         "Varnley: alert mail is off until monitoring starts again: the sender "
                         "could not be started (" +
                             *failure + ")");
  }
}

void Monitor::Stop() {
  if (!running_) {
    suspended_ = false;
    return;
  }
  stopWorkers(false);
  queues_.ClearDownQueue();
  queues_.ClearUpQueue();
  queues_.ClearEmailQueue();
}

void Monitor::stopWorkers(bool keepPlace) {
  // Both are asked first so their waits end together; each wait is cut short by the request,
  // so the joins take no longer than the workers' current step.
  if (portThread_) portThread_->requestStop();
  if (emailThread_) emailThread_->requestStop();
  if (portThread_) portThread_->join();
  if (emailThread_) emailThread_->join();
  if (keepPlace && portThread_) place_ = portThread_->place();
  portThread_.reset();
  emailThread_.reset();
  running_ = false;
}

void Monitor::Suspend() {
  if (!running_) return;
  stopWorkers(true);
  suspended_ = true;
}

void Monitor::Resume() {
  if (running_ || !suspended_) return;
  suspended_ = false;
  startWorkers();
}

bool Monitor::Running() const { return running_; }

DispatchTexts Monitor::Tick(bool everyChange) {
  std::vector<std::string> down, up;
  // A queue whose flag is held right now is left for the next tick, entries and all.
  queues_.DrainDown(down);
  queues_.DrainUp(up);
  const std::string downText = down.empty() ? std::string() : messageText(down, "DOWN");
  const std::string upText = up.empty() ? std::string() : messageText(up, "UP");

  if (settings_.sendEmail) {
    for (const std::string* text : {&downText, &upText}) {
      if (text->empty()) continue;
      queues_.AddEmailEntry(*text);
      if (alertHook_) alertHook_("mail", *text);
    }
  }
  DispatchTexts texts;
  if (settings_.showMessage || everyChange) {
    texts.down = downText;
    texts.up = upText;
  }
  return texts;
}

}  // namespace varnley
