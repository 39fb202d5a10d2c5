// `varnley --report`: the per-port uptime table and the outage log of the last days, from the
// history file, as text for a terminal or as CSV. Reads beside a running writer.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "history/HistoryFile.h"
#include "model/AlertSettings.h"

namespace varnley {

struct ReportOptions {
  int days = 7;  // 1..kMaxHistoryDays
  bool csv = false;
  HistoryClock clock;  // empty: the system's
};

// The exit status: 0 with the report on `out`; 1 when there is no history to read (off, no
// file yet, not a history file) and 2 for a bad --days, each with the reason on `err`.
int RunReport(const AlertSettings& settings, const std::string& settingsPath,
              const ReportOptions& options, std::ostream& out, std::ostream& err);

struct Outage;

// The outage log as CSV (header line first), as the report and the window's export write it.
void WriteOutagesCsv(std::ostream& out, const std::vector<Outage>& outages);
// The alerts of an outage on one line: "mail DOWN sent; box UP shown" ("-" for none).
std::string AlertsText(const Outage& outage);

// How long, as people read it: "45s", "12m 05s", "3h 20m", "2d 04h".
std::string LengthText(HistoryTime length);

}  // namespace varnley
