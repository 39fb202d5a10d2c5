// Loading and saving the settings file: alert settings in [config], [email] and [webhookN],
// hosts in [host1], [host2], ... The keys and their rules are the rows of SettingsKeys.h.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "model/AlertSettings.h"
#include "model/IniDocument.h"
#include "model/MonitoredHost.h"
#include "platform/Diagnostics.h"

namespace varnley {

// Far beyond any real host list (a million hosts take about 50 MiB); a bigger file is not
// ours to load, nor to replace.
inline constexpr std::size_t kMaxSettingsFileSize = std::size_t{1} << 30;

struct SaveResult {
  bool ok = true;
  std::string error;   // "Unable to write to <path>" when !ok
  std::string reason;  // what went wrong, for stderr
};

// What a load found besides the settings.
struct LoadReport {
  // Not ok: the path names something that cannot be read as a settings file (a folder, a
  // FIFO, a device, a file too large or unreadable); nothing was loaded, and reason says why.
  Status status;
  bool missing = false;  // no file there: the settings stay as they were, no hosts
  // Each row, value or line the load dropped or changed, "settings line N: ...", in file
  // order; the first few only, then a line saying how many more.
  std::vector<std::string> lines;
};

// Reads the file when it exists; a missing file leaves the settings as they are and the host
// list empty. Invalid hosts are skipped; broken values cost only themselves. Every line of
// the report, and a failure to read, also goes to diagnostics.
LoadReport LoadSettings(const std::string& path, AlertSettings& settings,
                        std::vector<MonitoredHost>& hosts,
                        Diagnostics& diagnostics = StderrDiagnostics());

// Both writers rewrite the whole file safely (see AtomicFileWriter) and keep every line they do
// not own. Before the first save the per-user settings folder is created. They never throw:
// any failure, running out of memory included, is the result. A hosts save that finds no file
// writes settings too, when given, so that a deleted file comes back whole.
SaveResult SaveHosts(const std::string& path, const std::vector<MonitoredHost>& hosts,
                     const AlertSettings* settings = nullptr);
SaveResult SaveAlertSettings(const std::string& path, const AlertSettings& settings);

// The same rules over a file already in memory.
LoadReport LoadSettingsFromText(std::string_view content, AlertSettings& settings,
                                std::vector<MonitoredHost>& hosts,
                                Diagnostics& diagnostics = StderrDiagnostics());
std::string SaveHostsToText(std::string_view content, const std::vector<MonitoredHost>& hosts);
// newFile: content is no file yet, so it gets every setting that says something.
std::string SaveAlertSettingsToText(std::string_view content, const AlertSettings& settings,
                                    bool newFile = false);

// A ports text as loading keeps it: each entry read as an integer, those within 1..65535
// written back in decimal, each followed by ",". "80,abc,0,443" gives "80,443,".
std::string NormalisePorts(std::string_view text);
// The ports of a stored value before the cut to the read limit, as loading keeps them: cut,
// then an entry the cut fell inside dropped rather than read as a port nobody entered, then
// normalised.
std::string LoadedPorts(std::string_view rawValue);

}  // namespace varnley
