// Loading and saving the settings file: alert settings in [config] and [email], hosts in
// [host1], [host2], ...
#pragma once

#include <string>
#include <vector>

#include "model/AlertSettings.h"
#include "model/MonitoredHost.h"

namespace varnley {

struct SaveResult {
  bool ok = true;
  std::string error;  // "Unable to write to <path>" when !ok
};

// Reads the file when it exists; a missing file leaves the settings as they are and the
// host list empty. Invalid hosts are skipped; broken values cost only themselves.
void LoadSettings(const std::string& path, AlertSettings& settings,
                  std::vector<MonitoredHost>& hosts);

// Both writers rewrite the whole file atomically and keep every line they do not own.
SaveResult SaveHosts(const std::string& path, const std::vector<MonitoredHost>& hosts);
SaveResult SaveAlertSettings(const std::string& path, const AlertSettings& settings);

}  // namespace varnley
