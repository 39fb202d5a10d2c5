// The one fan-out of every dispatch: each DOWN and UP text (and each reminder while a port
// stays down) goes to every channel the settings switch on — the webhooks, whose workers
// live here, and the sinks the caller adds (the desktop notifier, the mail). Boxes are not
// its business. It also keeps each outage's incident id and start, so that a DOWN, its
// reminders and its UP can be paired by whoever receives them.
#pragma once

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "alert/Alert.h"
#include "alert/ChannelWorker.h"
#include "alert/MailStatus.h"
#include "alert/WebhookChannel.h"
#include "model/AlertSettings.h"

namespace varnley {

struct FanoutOptions {
  std::string source;        // the computer's name, for the json format
  Outbox* outbox = nullptr;  // where undelivered webhook alerts are kept
  std::function<WallTime()> clock = [] { return WallClock::now(); };
  RetrySchedule schedule = RetrySchedule::Default();
  WebhookLimits limits;
  std::ostream* errors = nullptr;  // the webhooks' failure lines (stderr when null)
};

class AlertFanout {
 public:
  // Starts a worker for each webhook with a URL. The settings are read at each call.
  AlertFanout(const AlertSettings& settings, FanoutOptions options);
  ~AlertFanout();  // stops the workers
  AlertFanout(const AlertFanout&) = delete;
  AlertFanout& operator=(const AlertFanout&) = delete;

  using Sink = std::function<void(const Alert& alert)>;
  // Called on the dispatching thread for every alert, reminders included; must not block.
  void AddSink(Sink sink);
  // Why the ports are down, by "host:port" as the texts write them, for the json entries;
  // asked once for each DOWN.
  using Reasons = std::unordered_map<std::string, std::string>;
  void SetReasonLookup(std::function<Reasons()> lookup);

  // One dispatch's texts ("" for none), as Monitor::Tick(true) returns them.
  void Dispatch(const std::string& downText, const std::string& upText);
  // Sends the reminders that are due; call it with the dispatch timer.
  void Tick();

  // Forgets every outage (monitoring stopped: the next DOWN is a new one).
  void Reset();
  // Asks every webhook worker to stop, then waits for them: within about a second.
  void Stop();

  // The status of webhook `number` (1..kWebhookCount): outcome, totals, hooks. Always there,
  // with or without a URL, so a window or the metrics may hold on to it.
  MailStatus& webhookStatus(int number) { return *statuses_[number - 1]; }
  // Whether webhook `number` has a worker (a URL, and a build with webhooks).
  bool webhookActive(int number) const { return workers_[number - 1] != nullptr; }

 private:
  struct Outage {
    WallTime since;
    std::string incident;
    WallTime nextReminder;
  };
  void send(const Alert& alert);
  Alert alertFor(AlertEvent event, std::string text, WallTime now);

  const AlertSettings& settings_;
  FanoutOptions options_;
  std::array<std::unique_ptr<MailStatus>, kWebhookCount> statuses_;
  std::array<std::unique_ptr<ChannelWorker>, kWebhookCount> workers_;
  std::vector<Sink> sinks_;
  std::function<Reasons()> reasons_;
  std::map<std::string, Outage> down_;  // by "host:port" as the texts write it
  unsigned long incidents_ = 0;
};

class AlertQueues;
// For a dispatch that still queues its DOWN and UP mail itself (Monitor::Tick): the sink
// that gives the mail the reminders too, when mail is switched on.
AlertFanout::Sink MailReminderSink(AlertQueues& queues, const AlertSettings& settings);

// `"host:port,..." is still DOWN (since 14:03).`, the date too when it began on another day.
std::string ReminderText(const std::vector<std::string>& ports, WallTime since, WallTime now);

}  // namespace varnley
