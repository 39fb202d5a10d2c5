// Host lists from other tools (plain text, an inventory's CSV, target-list JSON) read into a
// preview of what an import would change, and the host table written back out as CSV or text.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/MonitoredHost.h"

namespace varnley {

// A host text as the table stores it, or nullopt with the reason in *reason
// ("10.0.0.300 is not a valid address").
using HostRule = std::function<std::optional<std::string>(std::string_view text, std::string* reason)>;

// The rule the table uses for its own rows.
std::optional<std::string> StoredHostForm(std::string_view text, std::string* reason);

// A list file larger than this is refused before it is read: a host list is far smaller, and
// a huge file must not cost its size in memory twice over.
inline constexpr std::size_t kMaxImportFileSize = 16u << 20;
// A line longer than this costs only itself.
inline constexpr std::size_t kMaxImportLineLength = 64u << 10;

struct ImportRefusal {
  std::size_t line = 0;  // 1-based; 0 for the file as a whole
  std::string reason;
  // "line 17: 10.0.0.300 is not a valid address"
  std::string text() const;
};

struct ImportPreview {
  enum class Format { Text, Csv, Json };
  Format format = Format::Text;
  // The table as it would be after the import: every existing row first, unchanged but for
  // the ports merged in, then the new rows in the order read.
  std::vector<MonitoredHost> rows;
  std::size_t hostsAdded = 0;    // new rows
  std::size_t hostsMerged = 0;   // existing rows that gain at least one port
  std::size_t hostsAlready = 0;  // hosts named in the file that gain nothing
  std::size_t portsAdded = 0;
  std::size_t portsAlready = 0;
  std::vector<ImportRefusal> refusals;
  // Set when nothing could be read at all (not text, too large, not readable, malformed
  // JSON): the reason, and rows stay as they were.
  std::optional<std::string> failure;

  bool changesTable() const { return hostsAdded + portsAdded > 0; }
  // "3 hosts added, 1 merged into existing rows, 2 already there; 41 ports added, 2 already
  // there; 2 lines refused"
  std::string summary() const;
};

// Reads content (its format chosen by what it holds, not by a file name) against the rows
// the table has now. Existing rows are never removed; each port is kept once, in the order
// read; a row's ports text stays within what the settings file can store.
ImportPreview PreviewImport(std::string_view content, const std::vector<MonitoredHost>& existing,
                            const HostRule& rule = StoredHostForm);
// The same over a file, refused whole when it is too large, not text, or cannot be read.
ImportPreview PreviewImportFile(const std::string& path, const std::vector<MonitoredHost>& existing,
                                const HostRule& rule = StoredHostForm);

// "host,port,state" and one line per port, state "up", "down" or "unknown" (not monitoring).
std::string ExportHostsCsv(const std::vector<MonitoredHost>& rows, bool monitoring);
// One line per row: "10.0.0.5:80,443", "[::1]:8080", a host without ports on its own.
std::string ExportHostsText(const std::vector<MonitoredHost>& rows);

}  // namespace varnley
