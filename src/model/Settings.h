// Loading and saving the settings file: alert settings in [config] and [email], hosts in
// [host1], [host2], ...
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "model/AlertSettings.h"
#include "model/IniFile.h"
#include "model/MonitoredHost.h"

namespace varnley {

struct SaveResult {
  bool ok = true;
  std::string error;   // "Unable to write to <path>" when !ok
  std::string reason;  // what went wrong, for stderr
};

// Reads the file when it exists; a missing file leaves the settings as they are and the
// host list empty. Invalid hosts are skipped; broken values cost only themselves.
void LoadSettings(const std::string& path, AlertSettings& settings,
                  std::vector<MonitoredHost>& hosts);

// Both writers rewrite the whole file safely (see AtomicFileWriter) and keep every line they do
// not own. Before the first save the per-user settings folder is created. They never throw:
// any failure, running out of memory included, is the result.
SaveResult SaveHosts(const std::string& path, const std::vector<MonitoredHost>& hosts);
SaveResult SaveAlertSettings(const std::string& path, const AlertSettings& settings);

// The same rules over a file already in memory (the writers above read, change and replace).
void LoadSettingsFromText(std::string_view content, AlertSettings& settings,
                          std::vector<MonitoredHost>& hosts);
void SaveHostsToIni(IniFile& ini, const std::vector<MonitoredHost>& hosts);
void SaveAlertSettingsToIni(IniFile& ini, const AlertSettings& settings);
// The files SaveHostsToIni and SaveAlertSettingsToIni would leave, byte for byte, each made in
// one pass over content.
std::string SaveHostsToText(std::string_view content, const std::vector<MonitoredHost>& hosts);
std::string SaveAlertSettingsToText(std::string_view content, const AlertSettings& settings);

// A ports text as loading keeps it: each entry read as an integer, those within 1..65535
// written back in decimal, each followed by ",". "80,abc,0,443" gives "80,443,".
std::string NormalisePorts(std::string_view text);
// The ports of a stored value before the cut to the read limit, as loading keeps them: cut,
// then an entry the cut fell inside dropped rather than read as a port nobody entered, then
// normalised.
std::string LoadedPorts(std::string_view rawValue);

}  // namespace varnley
