// The parts of a run that the window and the windowless run share, put together one way for
// both: the session, the mail status its sender reports to, the metrics endpoint and the
// history.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "alert/DeliveryQueue.h"
#include "alert/MailStatus.h"
#include "monitor/Session.h"
#include "platform/Diagnostics.h"
#include "service/MetricsEndpoint.h"

namespace varnley {

class HistoryRecorder;
class HistoryWriter;

class SessionAssembly {
 public:
  // The monitor reports to `diagnostics` (which must outlive this), and it hears at once
  // when the settings file is not there yet. Nothing is loaded before session().Create().
  SessionAssembly(const std::string& settingsPath, bool startHidden, Diagnostics& diagnostics);
  SessionAssembly(const SessionAssembly&) = delete;
  SessionAssembly& operator=(const SessionAssembly&) = delete;
  // The recorder goes before the writer, and both before the monitor they follow.
  ~SessionAssembly();

  Session& session() { return session_; }
  MailStatus& mail() { return mail_; }
  MetricsEndpoint& metrics() { return metrics_; }

  // Listens where the settings now say, unless it does already; where it serves, or why it
  // cannot, goes to the diagnostics.
  void ListenForMetrics();

  // Where the mail and the webhooks keep what they have not delivered: the history file's
  // outbox while the history is on (so it survives the program's end), memory otherwise.
  Outbox& outbox() { return *outbox_; }

  // Once the settings are loaded (session().Create() calls it before monitoring may start):
  // opens the history file they name and records into it, and
  // tells the status page where its history comes from. A history that cannot be opened is
  // said once and the run goes on without it. Only the first call does anything.
  void OpenHistory();
  bool historyOn() const { return writer_ != nullptr; }

  // Hears every mail outcome after the history has (MailStatus keeps one hook only).
  void SetMailOutcomeHook(MailStatus::OutcomeHook hook);

 private:
  void installOutcomeHook();

  Diagnostics& diagnostics_;
  MailStatus mail_;
  std::unique_ptr<Outbox> outbox_;
  Session session_;
  MetricsEndpoint metrics_;
  bool historyTried_ = false;
  std::unique_ptr<HistoryWriter> writer_;
  std::unique_ptr<HistoryRecorder> recorder_;
  // Read on the sender's thread, which may report before the history is open.
  std::atomic<HistoryRecorder*> recording_ = nullptr;
  MailStatus::OutcomeHook outcomeHook_;
};

// A settings file that is not there yet, said before the run starts from nothing: a mistyped
// --config would otherwise monitor nothing without a word.
void NoteMissingSettingsFile(const std::string& settingsPath, Diagnostics& diagnostics);

}  // namespace varnley
