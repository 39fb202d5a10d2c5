#include "monitor/Session.h"

#include <utility>

namespace varnley {

Session::Session(std::string settingsPath, bool startedHidden)
    : settingsPath_(std::move(settingsPath)), startedHidden_(startedHidden) {}

void Session::Create() {
  settings_ = AlertSettings{};
  hosts_.replaceAll({});
  std::vector<MonitoredHost> rows;
  // The run's own sink: the window shows a dropped row in its status bar, not only on stderr.
  LoadSettings(settingsPath_, settings_, rows, monitor_.diagnostics());
  hosts_.replaceAll(std::move(rows));
  if (loaded_) loaded_();
  if (startedHidden_) monitor_.Start();
}

SaveResult Session::Destroy() {
  try {
    if (monitor_.Running()) monitor_.Stop();
  } catch (...) {
    // Whatever stopping ran into, the host list must still reach the file.
  }
  try {
    finalSave_ = SaveHosts(settingsPath_, hosts_.snapshot(), &settings_);
  } catch (...) {
    finalSave_ = SaveResult{false, "Unable to write to " + settingsPath_, "out of memory"};
  }
  return finalSave_;
}

}  // namespace varnley
