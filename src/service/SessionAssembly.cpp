#include "service/SessionAssembly.h"

#include "alert/TEmailThread.h"
#include "platform/Paths.h"

namespace varnley {

SessionAssembly::SessionAssembly(const std::string& settingsPath, bool startHidden,
                                 Diagnostics& diagnostics)
    : diagnostics_(diagnostics),
      session_(settingsPath, startHidden),
      metrics_(session_.monitor(), session_.hosts(), mail_) {
  session_.monitor().SetDiagnostics(diagnostics_);
  session_.monitor().SetEmailWorkerFactory(TEmailThread::Factory(&mail_));
  NoteMissingSettingsFile(settingsPath, diagnostics_);
}

void SessionAssembly::ListenForMetrics() {
  const std::string& address = session_.settings().metrics;
  if (address == metrics_.address() && (address.empty() || metrics_.port() != 0)) return;
  const std::string failure = ListenWhereSettingsSay(metrics_, address);
  if (!failure.empty())
    diagnostics_.Report(Severity::Error, failure);
  else if (!address.empty())
    diagnostics_.Report(Severity::Info, "Varnley: metrics at http://" +
                                            address.substr(0, address.rfind(':')) + ':' +
                                            std::to_string(metrics_.port()) + "/metrics");
}

void NoteMissingSettingsFile(const std::string& settingsPath, Diagnostics& diagnostics) {
  switch (ProbeSettingsFile(settingsPath)) {
    case SettingsFileState::Present:
      break;
    case SettingsFileState::Missing:
      diagnostics.Report(Severity::Notice, "Varnley: " + settingsPath +
                                               " does not exist yet: starting with no hosts; "
                                               "the file is created at the first save");
      break;
    case SettingsFileState::FolderMissing:
      diagnostics.Report(Severity::Warning,
                         "Varnley: " + settingsPath +
                             " cannot be there: its folder does not exist. Starting with no "
                             "hosts; nothing can be saved until the folder is made");
      break;
  }
}

}  // namespace varnley
