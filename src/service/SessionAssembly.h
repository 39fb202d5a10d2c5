// The parts of a run that the window and the windowless run share, put together one way for
// both: the session, the mail status its sender reports to, and the metrics endpoint.
#pragma once

#include <string>

#include "alert/MailStatus.h"
#include "monitor/Session.h"
#include "platform/Diagnostics.h"
#include "service/MetricsEndpoint.h"

namespace varnley {

class SessionAssembly {
 public:
  // The monitor reports to `diagnostics` (which must outlive this), and it hears at once
  // when the settings file is not there yet. Nothing is loaded before session().Create().
  SessionAssembly(const std::string& settingsPath, bool startHidden, Diagnostics& diagnostics);
  SessionAssembly(const SessionAssembly&) = delete;
  SessionAssembly& operator=(const SessionAssembly&) = delete;

  Session& session() { return session_; }
  MailStatus& mail() { return mail_; }
  MetricsEndpoint& metrics() { return metrics_; }

  // Listens where the settings now say, unless it does already; where it serves, or why it
  // cannot, goes to the diagnostics.
  void ListenForMetrics();

 private:
  Diagnostics& diagnostics_;
  MailStatus mail_;
  Session session_;
  MetricsEndpoint metrics_;
};

// A settings file that is not there yet, said before the run starts from nothing: a mistyped
// --config would otherwise monitor nothing without a word.
void NoteMissingSettingsFile(const std::string& settingsPath, Diagnostics& diagnostics);

}  // namespace varnley
