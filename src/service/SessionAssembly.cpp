#include "service/SessionAssembly.h"

#include "platform/Paths.h"

namespace varnley {

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
