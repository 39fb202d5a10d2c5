#include "service/HeadlessRunner.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "alert/AlertFanout.h"
#include "alert/DeliveryQueue.h"
#include "model/AddressCheck.h"
#include "model/PortList.h"
#include "model/Settings.h"
#include "platform/InstanceLock.h"
#include "platform/Paths.h"
#include "platform/ServiceEnvironment.h"
#include "platform/TerminationSignals.h"
#include "service/MetricsEndpoint.h"
#include "service/ServiceLog.h"
#include "service/SessionAssembly.h"
#include "service/SettingsReload.h"

namespace varnley {

namespace {

using Clock = std::chrono::steady_clock;
using Priority = ServiceLog::Priority;
constexpr auto kDispatchPeriod = std::chrono::seconds(2);

class Runner {
 public:
  Runner(const std::string& settingsPath, ServiceLog& log)
      : log_(log), run_(settingsPath, false, log), session_(run_.session()) {
    run_.SetMailOutcomeHook([this](const MailOutcome& outcome, const std::string& text) {
      logOutcome("mail", outcome, text);
    });
    run_.metrics().SetWebhookCounts([this] {
      std::lock_guard lock(countsMutex_);
      std::array<MailStatus::Totals, kWebhookCount> counts = earlierCounts_;
      for (int n = 1; fanout_ && n <= kWebhookCount; ++n) {
        const MailStatus::Totals now = fanout_->webhookStatus(n).Count();
        counts[n - 1].sent += now.sent;
        counts[n - 1].failed += now.failed;
      }
      return counts;
    });
  }

  ~Runner() {
    run_.metrics().SetWebhookCounts(nullptr);
    dropFanout();
    run_.SetMailOutcomeHook(nullptr);
  }

  int Run(int signals) {
    session_.Create();  // opens the history too
    read_ = SurveyFile(session_.settingsPath());
    buildFanout();
    run_.ListenForMetrics();
    session_.monitor().Start();
    announce("monitoring");
    std::string reason;
    if (!NotifyServiceManager("READY=1", &reason))
      log_.Line(Priority::Warning, "Varnley: the service manager was not told: " + reason);

    auto nextTick = Clock::now() + kDispatchPeriod;
    for (;;) {
      const auto wait = std::chrono::ceil<std::chrono::milliseconds>(
          nextTick - Clock::now());  // never wake early
      if (signals >= 0 &&
          WaitForTerminationSignal(signals, std::max(wait, std::chrono::milliseconds(0)))) {
        const PendingSignals pending = ReadTerminationSignalPipe(signals);
        if (pending.stop) break;
        if (pending.reload) reload();
      } else if (signals < 0) {
        std::this_thread::sleep_until(nextTick);
      }
      if (Clock::now() >= nextTick) {
        dispatch();
        nextTick = std::max(nextTick + kDispatchPeriod, Clock::now());
      }
    }
    NotifyServiceManager("STOPPING=1");
    return stop();
  }

 private:
  void dispatch() {
    const DispatchTexts texts = session_.monitor().Tick(true);
    if (!texts.down.empty()) {
      log_.Line(Priority::Warning, texts.down);
      for (const std::string& line : DownReasonLines(texts.down)) log_.Line(Priority::Warning, line);
    }
    if (!texts.up.empty()) log_.Line(Priority::Notice, texts.up);
    if (fanout_) {
      fanout_->Dispatch(texts.down, texts.up);
      fanout_->Tick();
    }
  }

  void logOutcome(const std::string& channel, const MailOutcome& outcome,
                  const std::string& text) {
    log_.Line(outcome.sent ? Priority::Info : Priority::Error,
              OutcomeLine(channel, outcome, text));
  }

  // The webhooks' workers are made for the URLs the settings have when it is built, so a
  // reload builds it again; what they had not delivered waits in the outbox meanwhile.
  void buildFanout() {
    dropFanout();
    AlertSettings& settings = session_.settings();
    FanoutOptions options;
    options.source = ComputerName();
    options.outbox = &run_.outbox();
    auto fanout = std::make_unique<AlertFanout>(settings, std::move(options));
    fanout->AddSink(MailReminderSink(session_.queues(), settings));
    fanout->SetReasonLookup([&hosts = session_.hosts()] { return hosts.downReasonsByPort(); });
    for (int n = 1; n <= kWebhookCount; ++n)
      fanout->webhookStatus(n).SetOutcomeHook(
          [this, name = "webhook" + std::to_string(n)](const MailOutcome& outcome,
                                                        const std::string& text) {
            logOutcome(name, outcome, text);
          });
    std::lock_guard lock(countsMutex_);
    fanout_ = std::move(fanout);
  }

  // A scrape reads the totals while the fan-out is replaced; they carry over, as counters must.
  void dropFanout() {
    if (!fanout_) return;
    fanout_->Stop();  // no outcome is counted after this
    std::unique_ptr<AlertFanout> old;
    std::lock_guard lock(countsMutex_);
    for (int n = 1; n <= kWebhookCount; ++n) {
      const MailStatus::Totals last = fanout_->webhookStatus(n).Count();
      earlierCounts_[n - 1].sent += last.sent;
      earlierCounts_[n - 1].failed += last.failed;
    }
    old = std::move(fanout_);
  }

  // "  db.example.com:5432: no such name" for each entry of a DOWN text whose port state
  // says why, so a typo reads differently from a firewall.
  std::vector<std::string> DownReasonLines(const std::string& down) {
    std::vector<std::string> lines;
    const std::string_view tail = "\" is DOWN.";
    if (down.size() < tail.size() + 1 || down.front() != '"' ||
        !std::string_view(down).ends_with(tail))
      return lines;
    const std::unordered_map<std::string, std::string> reasons =
        session_.hosts().downReasonsByPort();
    const std::string list = down.substr(1, down.size() - 1 - tail.size());
    for (const std::string& entry : SplitPortList(list + ",")) {
      const auto it = reasons.find(entry);
      if (it != reasons.end()) lines.push_back("  " + entry + ": " + it->second);
    }
    return lines;
  }

  void announce(const std::string& what) {
    std::size_t ports = 0;
    session_.hosts().read([&](const std::vector<MonitoredHost>& rows) {
      for (const MonitoredHost& row : rows) ports += SplitPortList(row.ports).size();
    });
    log_.Line(Priority::Info, "Varnley: " + what + " " + std::to_string(ports) + " ports on " +
                                  std::to_string(session_.hosts().size()) + " hosts from " +
                                  session_.settingsPath());
  }

  void reload() {
    const std::string& path = session_.settingsPath();
    // A file that cannot be used now is not a request to forget every host: a file of the
    // same shape as the one that runs, read whole and settled, or nothing changes.
    const SettledFile file =
        ReadSettledSettings(path, read_.state == FileSurvey::State::Read && read_.hasConfig);
    if (!file.ok) {
      log_.Line(Priority::Error,
                "Varnley: " + path + " " + file.reason + "; the settings stay as they were");
      return;
    }
    AlertSettings settings;
    std::vector<MonitoredHost> rows;
    LoadSettingsFromText(file.content, settings, rows);
    // Whatever the workers queued so far is told first; then they pause while the settings
    // they read change underneath them.
    dispatch();
    dropFanout();  // its workers read the webhook settings that are about to change
    Monitor& monitor = session_.monitor();
    monitor.Suspend();
    CarryPortState(session_.hosts().snapshot(), rows);
    session_.settings() = std::move(settings);
    session_.hosts().replaceAll(std::move(rows));
    monitor.Resume();
    read_ = SurveyText(file.content);
    buildFanout();
    run_.ListenForMetrics();
    announce("reloaded; monitoring");
  }

  int stop() {
    dispatch();
    if (fanout_) {
      fanout_->Reset();
      fanout_->Stop();
    }
    const std::string& path = session_.settingsPath();
    using State = FileSurvey::State;
    const FileSurvey now = SurveyFile(path);
    // A file that is not what was read (written since, or made where there was none) holds
    // someone's edits; one too large to read would cost the exit its second.
    const bool edited = now.state == State::Read &&
                        (read_.state == State::Missing ||
                         (read_.state == State::Read && now.fingerprint != read_.fingerprint));
    if (edited || now.state == State::TooLarge) {
      // Nothing here edits hosts, so a save could only undo the edits made to the file.
      session_.monitor().Stop();
      log_.Line(Priority::Notice, "Varnley: " + path +
                                      " changed since it was read and is left as it is (SIGHUP "
                                      "reads it again)");
      return 0;
    }
    const SaveResult saved = session_.Destroy();
    if (saved.ok) return 0;
    log_.Line(Priority::Error,
              "Varnley: " + saved.error + (saved.reason.empty() ? "" : ": " + saved.reason));
    return 1;
  }

  ServiceLog& log_;
  SessionAssembly run_;
  Session& session_;
  FileSurvey read_;  // the file the settings that run came from
  std::mutex countsMutex_;  // fanout_ and earlierCounts_, for a scrape on the server's thread
  std::unique_ptr<AlertFanout> fanout_;
  std::array<MailStatus::Totals, kWebhookCount> earlierCounts_{};
};

}  // namespace

void CarryPortState(const std::vector<MonitoredHost>& before, std::vector<MonitoredHost>& after) {
  // Port numbers down per host, over every row of that host.
  std::unordered_map<std::string, std::vector<long long>> down;
  for (const MonitoredHost& row : before)
    for (const std::string& entry : SplitPortList(row.deactivated))
      down[row.host].push_back(PortEntryValue(entry));
  for (MonitoredHost& row : after) {
    row.deactivated.clear();
    const auto it = down.find(row.host);
    if (it == down.end()) continue;
    std::vector<std::string> kept;
    for (const std::string& entry : SplitPortList(row.ports))
      if (std::find(it->second.begin(), it->second.end(), PortEntryValue(entry)) !=
          it->second.end())
        kept.push_back(entry);
    row.deactivated = JoinPortList(kept);
  }
}

int RunHeadless(const CommandLine& line) {
  ServiceLog log(std::cerr, StderrIsJournal());
  // Before the lock: once another process can see this one, a signal takes the orderly way.
  const int signals = InstallTerminationSignalPipe();
  const std::string settingsPath = SettingsPathFromOption(line.configFile, ExecutablePath());
  InstanceLock lock(InstanceLock::PathForSettings(settingsPath));
  switch (lock.acquire()) {
    case InstanceLock::Result::HeldElsewhere:
      log.Line(Priority::Error, "Varnley: another headless copy already runs on " + settingsPath);
      return 1;
    case InstanceLock::Result::Unavailable:
      log.Line(Priority::Warning,
               "Varnley: running without the single-instance lock (" + lock.reason() + ")");
      break;
    case InstanceLock::Result::Acquired:
      break;
  }
  Runner runner(settingsPath, log);
  return runner.Run(signals);
}

}  // namespace varnley
