#include "service/SessionAssembly.h"

#include "alert/TEmailThread.h"
#include "platform/Paths.h"

#ifdef VARNLEY_HAVE_HISTORY
#include "history/HistoryRecorder.h"
#include "history/HistoryWriter.h"
#include "service/HistoryOutbox.h"
#include "service/HistoryStatus.h"
#else
namespace varnley {
// Never made in a build without the history; complete so that the pointers can be destroyed.
class HistoryWriter {};
class HistoryRecorder {
 public:
  void MailOutcome(const std::string&, bool, const std::string&) {}
};
}  // namespace varnley
#endif

namespace varnley {

SessionAssembly::SessionAssembly(const std::string& settingsPath, bool startHidden,
                                 Diagnostics& diagnostics)
    : diagnostics_(diagnostics),
#ifdef VARNLEY_HAVE_HISTORY
      outbox_(std::make_unique<HistoryOutbox>()),
#else
      outbox_(std::make_unique<MemoryOutbox>()),
#endif
      session_(settingsPath, startHidden),
      metrics_(session_.monitor(), session_.hosts(), mail_) {
  session_.monitor().SetDiagnostics(diagnostics_);
  ChannelOptions mailOptions;
  mailOptions.outbox = outbox_.get();
  session_.monitor().SetEmailWorkerFactory(
      TEmailThread::Factory(&mail_, kSenderLimits, std::move(mailOptions)));
  // The history is open before "-s" starts monitoring, so the mail finds its outbox.
  session_.SetLoadedHook([this] { OpenHistory(); });
  NoteMissingSettingsFile(settingsPath, diagnostics_);
  installOutcomeHook();
}

SessionAssembly::~SessionAssembly() {
  mail_.SetOutcomeHook(nullptr);
  session_.monitor().SetAlertHook(nullptr);
  recording_ = nullptr;
#ifdef VARNLEY_HAVE_HISTORY
  static_cast<HistoryOutbox&>(*outbox_).Detach();
#endif
  recorder_.reset();
  writer_.reset();
}

void SessionAssembly::SetMailOutcomeHook(MailStatus::OutcomeHook hook) {
  // Set again so that the sender, which may be reporting, sees the change whole.
  mail_.SetOutcomeHook(nullptr);
  outcomeHook_ = std::move(hook);
  installOutcomeHook();
}

void SessionAssembly::installOutcomeHook() {
  mail_.SetOutcomeHook([this](const MailOutcome& outcome, const std::string& text) {
    if (HistoryRecorder* recorder = recording_.load()) {
      recorder->MailOutcome(text, outcome.sent, outcome.reason);
    }
    if (outcomeHook_) outcomeHook_(outcome, text);
  });
}

void SessionAssembly::OpenHistory() {
  if (historyTried_) return;
  historyTried_ = true;
  const AlertSettings& settings = session_.settings();
  metrics_.SetStatusPage(settings.statusPage);
#ifdef VARNLEY_HAVE_HISTORY
  const std::string path = HistoryPathFor(settings, session_.settingsPath());
  if (path.empty()) {
    metrics_.SetHistory(nullptr, "history is off");
    return;
  }
  HistoryOptions options;
  options.path = path;
  options.days = settings.historyDays;
  options.diagnostics = &diagnostics_;
  Status status;
  writer_ = HistoryWriter::Open(std::move(options), status);
  if (!writer_) {
    diagnostics_.Report(Severity::Error, "Varnley: history off: " + status.reason);
    metrics_.SetHistory(nullptr, "history is off: " + status.reason);
    return;
  }
  static_cast<HistoryOutbox&>(*outbox_).Attach(*writer_);
  recorder_ = std::make_unique<HistoryRecorder>(session_.monitor(), *writer_);
  recording_ = recorder_.get();
  session_.monitor().SetAlertHook([this](std::string_view channel, const std::string& text) {
    recorder_->AlertHanded(channel == "box" ? HistoryWriter::kBox : HistoryWriter::kMail, text);
  });
  metrics_.SetHistory(std::make_shared<HistoryStatus>(path), "");
#else
  diagnostics_.Report(Severity::Notice, "Varnley: this build keeps no history");
  metrics_.SetHistory(nullptr, "this build keeps no history");
#endif
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
