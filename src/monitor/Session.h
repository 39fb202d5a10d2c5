// Everything the main window owns for the whole run, without widgets: the host table, the
// alert settings, the queues and the monitor, with the program's creation and shutdown steps.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "model/AlertSettings.h"
#include "model/HostTable.h"
#include "model/Settings.h"
#include "monitor/AlertQueues.h"
#include "monitor/Monitor.h"

namespace varnley {

class Session {
 public:
  Session(std::string settingsPath, bool startedHidden);

  // Settings to their defaults, empty table, load the settings file; start monitoring when
  // started with "-s".
  void Create();
  // Runs in Create once the settings are loaded and before monitoring may start, for what
  // the settings name and monitoring needs from its first moment (the history).
  void SetLoadedHook(std::function<void()> hook) { loaded_ = std::move(hook); }
  // Stop monitoring if it runs, then save the hosts. The result says whether the save worked.
  SaveResult Destroy();
  // What the save of the last Destroy() gave (ok before any): the program's exit status.
  const SaveResult& finalSave() const { return finalSave_; }

  HostTable& hosts() { return hosts_; }
  AlertSettings& settings() { return settings_; }
  AlertQueues& queues() { return queues_; }
  Monitor& monitor() { return monitor_; }
  const std::string& settingsPath() const { return settingsPath_; }
  bool startedHidden() const { return startedHidden_; }
  void clearStartedHidden() { startedHidden_ = false; }

 private:
  std::string settingsPath_;
  bool startedHidden_;
  SaveResult finalSave_;
  std::function<void()> loaded_;
  HostTable hosts_;
  AlertSettings settings_;
  AlertQueues queues_;
  Monitor monitor_{hosts_, settings_, queues_};
};

}  // namespace varnley
