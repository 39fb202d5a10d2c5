#include "alert/TEmailThread.h"

#include <algorithm>
#include <chrono>

#include "alert/AlertMail.h"

namespace varnley {

TEmailThread::TEmailThread(AlertQueues& queues, const AlertSettings& settings, NoThread)
    : queues_(queues), settings_(settings) {
  // A stop request cuts a connect or a reply wait short instead of waiting out the server.
  client_.SetStopSource(&stop_);
}

TEmailThread::TEmailThread(AlertQueues& queues, const AlertSettings& settings)
    : TEmailThread(queues, settings, NoThread{}) {
  thread_ = std::thread([this] { run(); });
}

TEmailThread::~TEmailThread() {
  requestStop();
  join();
}

void TEmailThread::requestStop() { stop_.requestStop(); }

void TEmailThread::join() {
  if (thread_.joinable()) thread_.join();
}

bool TEmailThread::runPass() {
  std::string text;
  // A held flag means someone is adding: this pass sends nothing and the entry waits.
  if (!queues_.TakeEmailEntry(text) || text.empty()) return false;
  return SendAlertMail(client_, message_, MailAccount::From(settings_), text);
}

void TEmailThread::run() {
  while (!stop_.stopRequested()) {
    runPass();
    const int interval = std::clamp(settings_.interval, kMinInterval, kMaxInterval);
    stop_.sleepFor(std::chrono::seconds(interval));
  }
}

Monitor::EmailWorkerFactory TEmailThread::Factory() {
  return [](AlertQueues& queues, const AlertSettings& settings) -> std::unique_ptr<Worker> {
    return std::make_unique<TEmailThread>(queues, settings);
  };
}

}  // namespace varnley
