#include "alert/TEmailThread.h"

#include <algorithm>
#include <chrono>

#include "alert/AlertMail.h"
#include "alert/MailStatus.h"

namespace varnley {

TEmailThread::TEmailThread(AlertQueues& queues, const AlertSettings& settings, NoThread,
                           MailStatus* status, const MailLimits& limits)
    : queues_(queues), settings_(settings), status_(status) {
  // A stop request cuts a lookup, a connect or a reply wait short instead of waiting out the
  // server; the limits end a session that a server holds on to.
  client_.SetStopSource(&stop_);
  ApplyLimits(client_, limits);
}

TEmailThread::TEmailThread(AlertQueues& queues, const AlertSettings& settings, MailStatus* status,
                           const MailLimits& limits)
    : TEmailThread(queues, settings, NoThread{}, status, limits) {
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
  MailResult result = SendAlertMail(client_, message_, MailAccount::From(settings_), text);
  // A mail cut short by Stop says nothing about the server.
  if (status_ && !stop_.stopRequested()) {
    status_->Report({result.sent, std::move(result.error), std::chrono::system_clock::now()}, text);
  }
  return result.sent;
}

void TEmailThread::run() {
  while (!stop_.stopRequested()) {
    runPass();
    const int interval = std::clamp(settings_.interval, kMinInterval, kMaxInterval);
    stop_.sleepFor(std::chrono::seconds(interval));
  }
}

Monitor::EmailWorkerFactory TEmailThread::Factory(MailStatus* status, const MailLimits& limits) {
  return [status, limits](AlertQueues& queues,
                          const AlertSettings& settings) -> std::unique_ptr<Worker> {
    return std::make_unique<TEmailThread>(queues, settings, status, limits);
  };
}

}  // namespace varnley
