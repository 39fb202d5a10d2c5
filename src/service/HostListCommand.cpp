#include "service/HostListCommand.h"

#include <iostream>

#include "model/HostImport.h"
#include "model/Settings.h"
#include "platform/FileAccess.h"
#include "platform/InstanceLock.h"
#include "platform/Paths.h"

namespace varnley {

namespace {

// The load's own complaints belong with the rest of this command's failures.
class StreamDiagnostics final : public Diagnostics {
 public:
  explicit StreamDiagnostics(std::ostream& err) : err_(err) {}
  void Report(Severity, std::string_view text) override { err_ << "Varnley: " << text << '\n'; }

 private:
  std::ostream& err_;
};

}  // namespace

int RunHostListCommand(const CommandLine& line, const std::string& settingsPath, std::ostream& out,
                       std::ostream& err) {
  // A copy running on the file would write its own host list back over the change at its end.
  InstanceLock lock(InstanceLock::PathForSettings(settingsPath));
  switch (lock.acquire()) {
    case InstanceLock::Result::HeldElsewhere:
      err << "Varnley: another copy is running on " << settingsPath
          << "; close it first, or it would overwrite the change when it ends\n";
      return 1;
    case InstanceLock::Result::Unavailable:
      err << "Varnley: cannot tell whether another copy runs on " << settingsPath << " ("
          << lock.reason() << "); nothing changed\n";
      return 1;
    case InstanceLock::Result::Acquired:
      break;
  }

  StreamDiagnostics diagnostics(err);
  AlertSettings settings;
  std::vector<MonitoredHost> hosts;
  const LoadReport loaded = LoadSettings(settingsPath, settings, hosts, diagnostics);
  if (!loaded.status) return 1;  // the load said why

  if (line.command == Command::Export) {
    std::string reason;
    if (!ReplaceFileAtomically(line.hostListFile, ExportHostsCsv(hosts, false), &reason)) {
      err << "Varnley: Unable to write to " << line.hostListFile << " (" << reason << ")\n";
      return 1;
    }
    out << "exported " << hosts.size() << (hosts.size() == 1 ? " host" : " hosts") << " to "
        << line.hostListFile << '\n';
    return 0;
  }

  const ImportPreview preview = PreviewImportFile(line.hostListFile, hosts);
  if (preview.failure) {
    err << "Varnley: " << *preview.failure << '\n';
    return 1;
  }
  for (const ImportRefusal& refusal : preview.refusals) out << refusal.text() << '\n';
  out << preview.summary() << '\n';
  if (preview.hostsAdded + preview.hostsMerged + preview.hostsAlready == 0) {
    err << "Varnley: " << line.hostListFile << " lists no host that could be read\n";
    return 1;
  }
  if (!preview.changesTable()) return 0;
  // One save through the settings writer: a failure leaves the file as it was.
  const SaveResult saved = SaveHosts(settingsPath, preview.rows, &settings);
  if (!saved.ok) {
    err << "Varnley: " << saved.error << (saved.reason.empty() ? "" : " (" + saved.reason + ")")
        << '\n';
    return 1;
  }
  return 0;
}

std::optional<int> RunHostListCommandIfAsked(const CommandLine& line) {
  if (line.command != Command::Import && line.command != Command::Export) return std::nullopt;
  return RunHostListCommand(line, SettingsPathFromOption(line.configFile, ExecutablePath()),
                            std::cout, std::cerr);
}

}  // namespace varnley
