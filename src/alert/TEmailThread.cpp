#include "alert/TEmailThread.h"

#include <algorithm>
#include <chrono>

#include "alert/MailChannel.h"
#include "alert/MailStatus.h"

namespace varnley {

namespace {

std::unique_ptr<AlertChannel> mailChannel(const AlertSettings& settings, const MailLimits& limits) {
  return std::make_unique<MailChannel>([&settings] { return MailAccount::From(settings); }, limits);
}

}  // namespace

ChannelOptions TEmailThread::withFeed(AlertQueues& queues, const AlertSettings& settings,
                                      ChannelOptions options) {
  options.feed = [&queues, clock = options.clock](bool waiting) {
    std::vector<std::string> texts;
    // While a mail waits for its retry, everything queued joins it, in order, rather than
    // overtaking it; otherwise one text per interval, as mail has always gone out.
    if (waiting) {
      queues.TakeEmailEntries(texts);
    } else {
      std::string text;
      if (queues.TakeEmailEntry(text)) texts.push_back(std::move(text));
    }
    std::vector<Alert> alerts;
    const WallTime now = clock();
    for (std::string& text : texts) {
      if (text.empty()) continue;
      Alert alert;
      alert.text = std::move(text);
      alert.time = now;
      alerts.push_back(std::move(alert));
    }
    return alerts;
  };
  options.pollPeriod =
      std::chrono::seconds(std::clamp(settings.interval, kMinInterval, kMaxInterval));
  return options;
}

TEmailThread::TEmailThread(AlertQueues& queues, const AlertSettings& settings, NoThread,
                           MailStatus* status, const MailLimits& limits, ChannelOptions options)
    : worker_(std::make_unique<ChannelWorker>(mailChannel(settings, limits), status,
                                              withFeed(queues, settings, std::move(options)),
                                              ChannelWorker::NoThread{})) {}

TEmailThread::TEmailThread(AlertQueues& queues, const AlertSettings& settings, MailStatus* status,
                           const MailLimits& limits, ChannelOptions options)
    : worker_(std::make_unique<ChannelWorker>(mailChannel(settings, limits), status,
                                              withFeed(queues, settings, std::move(options)))) {}

TEmailThread::~TEmailThread() {
  requestStop();
  join();
}

void TEmailThread::requestStop() { worker_->requestStop(); }

void TEmailThread::join() { worker_->join(); }

bool TEmailThread::runPass() { return worker_->runPass(); }

Monitor::EmailWorkerFactory TEmailThread::Factory(MailStatus* status, const MailLimits& limits,
                                                  ChannelOptions options) {
  return [status, limits, options](AlertQueues& queues,
                                   const AlertSettings& settings) -> std::unique_ptr<Worker> {
    return std::make_unique<TEmailThread>(queues, settings, status, limits, options);
  };
}

}  // namespace varnley
