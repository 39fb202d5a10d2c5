#include "alert/AlertFanout.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <utility>

#include "model/AddressCheck.h"
#include "monitor/AlertQueues.h"

namespace varnley {

namespace {

// The ports of a dispatch text as it writes them: "10.0.0.5:80", "[::1]:443".
std::vector<std::string> PortsOfText(const std::string& text) {
  std::vector<std::string> ports;
  if (text.size() < 2 || text.front() != '"') return ports;
  const std::size_t close = text.find('"', 1);
  if (close == std::string::npos) return ports;
  std::size_t at = 1;
  while (at < close) {
    const std::size_t comma = std::min(text.find(',', at), close);
    if (comma > at) ports.push_back(text.substr(at, comma - at));
    at = comma + 1;
  }
  return ports;
}

}  // namespace

std::string ReminderText(const std::vector<std::string>& ports, WallTime since, WallTime now) {
  std::string text = "\"";
  for (std::size_t i = 0; i < ports.size(); ++i) {
    if (i > 0) text += ',';
    text += ports[i];
  }
  text += "\" is still DOWN (since " + LocalClockText(since, !SameLocalDay(since, now)) + ").";
  return text;
}

AlertFanout::AlertFanout(const AlertSettings& settings, FanoutOptions options)
    : settings_(settings), options_(std::move(options)) {
  std::ostream& errors = options_.errors ? *options_.errors : std::cerr;
  for (int i = 0; i < kWebhookCount; ++i) {
    const std::string name = "webhook" + std::to_string(i + 1);
    statuses_[i] = std::make_unique<MailStatus>(errors, name);
    const WebhookSettings& hook = settings_.webhooks[i];
    if (hook.url.empty()) continue;
    std::unique_ptr<AlertChannel> channel =
        MakeWebhookChannel(i + 1, hook, options_.source, options_.limits);
    if (!channel) continue;
    ChannelOptions channelOptions;
    channelOptions.schedule = options_.schedule;
    channelOptions.clock = options_.clock;
    channelOptions.outbox = options_.outbox;
    workers_[i] =
        std::make_unique<ChannelWorker>(std::move(channel), statuses_[i].get(), channelOptions);
  }
}

AlertFanout::~AlertFanout() { Stop(); }

void AlertFanout::AddSink(Sink sink) { sinks_.push_back(std::move(sink)); }

void AlertFanout::SetReasonLookup(std::function<Reasons()> lookup) { reasons_ = std::move(lookup); }

void AlertFanout::Stop() {
  for (auto& worker : workers_)
    if (worker) worker->requestStop();
  for (auto& worker : workers_)
    if (worker) worker->join();
}

void AlertFanout::Reset() { down_.clear(); }

Alert AlertFanout::alertFor(AlertEvent event, std::string text, WallTime now) {
  Alert alert;
  alert.event = event;
  alert.entries = EntriesOfText(text);
  alert.text = std::move(text);
  alert.time = now;
  if (reasons_ && event != AlertEvent::up && !alert.entries.empty()) {
    const Reasons reasons = reasons_();
    for (AlertEntry& entry : alert.entries) {
      const auto it = reasons.find(HostPortText(entry.host, std::to_string(entry.port)));
      if (it != reasons.end()) entry.reason = it->second;
    }
  }
  return alert;
}

void AlertFanout::send(const Alert& alert) {
  for (auto& worker : workers_)
    if (worker) worker->Send(alert);
  for (const Sink& sink : sinks_) sink(alert);
}

void AlertFanout::Dispatch(const std::string& downText, const std::string& upText) {
  const WallTime now = options_.clock();
  const auto every = std::chrono::minutes(std::clamp(settings_.remind, 0, kMaxRemind));
  if (!downText.empty()) {
    Alert alert = alertFor(AlertEvent::down, downText, now);
    // One outage for the ports that went down together; a port already down keeps its own.
    char id[48];
    std::snprintf(
        id, sizeof id, "%llx-%lu",
        static_cast<unsigned long long>(
            std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count()),
        ++incidents_);
    for (const std::string& port : PortsOfText(downText)) {
      auto [it, added] = down_.try_emplace(port, Outage{now, id, now + every});
      if (alert.incident.empty()) {
        alert.incident = it->second.incident;
        alert.since = it->second.since;
      }
    }
    send(alert);
  }
  if (!upText.empty()) {
    Alert alert = alertFor(AlertEvent::up, upText, now);
    for (const std::string& port : PortsOfText(upText)) {
      auto it = down_.find(port);
      if (it == down_.end()) continue;
      if (alert.incident.empty()) {
        alert.incident = it->second.incident;
        alert.since = it->second.since;
      }
      down_.erase(it);
    }
    send(alert);
  }
}

void AlertFanout::Tick() {
  const int minutes = std::clamp(settings_.remind, 0, kMaxRemind);
  if (minutes == 0 || down_.empty()) return;
  const WallTime now = options_.clock();
  const auto every = std::chrono::minutes(minutes);
  // The ports of one outage that are due remind together, in the order they are kept.
  std::map<std::string, std::vector<std::string>> due;
  std::map<std::string, WallTime> since;
  for (auto& [port, outage] : down_) {
    // A setting changed meanwhile counts from now on, never floods with missed reminders.
    if (outage.nextReminder > now + every) outage.nextReminder = now + every;
    if (outage.nextReminder > now) continue;
    due[outage.incident].push_back(port);
    since[outage.incident] = outage.since;
    while (outage.nextReminder <= now) outage.nextReminder += every;
  }
  for (auto& [incident, ports] : due) {
    Alert alert = alertFor(AlertEvent::reminder, ReminderText(ports, since[incident], now), now);
    alert.incident = incident;
    alert.since = since[incident];
    send(alert);
  }
}

AlertFanout::Sink MailReminderSink(AlertQueues& queues, const AlertSettings& settings) {
  return [&queues, &settings](const Alert& alert) {
    if (alert.event == AlertEvent::reminder && settings.sendEmail) queues.AddEmailEntry(alert.text);
  };
}

}  // namespace varnley
