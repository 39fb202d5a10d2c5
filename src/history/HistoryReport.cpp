#include "history/HistoryReport.h"

#include <cstdio>
#include <ctime>
#include <iomanip>
#include <ostream>
#include <sstream>

#include "history/HistoryQueries.h"
#include "platform/InternetDate.h"

namespace varnley {

namespace {

std::string LocalText(HistoryTime time) {
  const std::time_t seconds = static_cast<std::time_t>(time / 1000);
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
  return text;
}

std::string IsoText(HistoryTime time) {
  return UtcTimestamp(std::chrono::system_clock::time_point(std::chrono::milliseconds(time)));
}

std::string Fixed(double value, int digits) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", digits, value);
  return text;
}

std::string PercentText(const Uptime& uptime) {
  const auto percent = uptime.percent();
  return percent ? Fixed(*percent, 3) + "%" : "no data";
}

// A field as RFC 4180 has it: quoted when it holds a comma, a quote or a line break.
std::string Csv(const std::string& field) {
  if (field.find_first_of(",\"\r\n") == std::string::npos) return field;
  std::string quoted = "\"";
  for (char c : field) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + '"';
}

std::string StateText(const PortSummary& summary) {
  if (!summary.monitored) return "-";
  return summary.up ? "UP" : "DOWN";
}

void Pad(std::ostream& out, const std::string& text, std::size_t width) {
  out << text;
  for (std::size_t n = text.size(); n < width; ++n) out << ' ';
  out << ' ';
}

}  // namespace

std::string AlertsText(const Outage& outage) {
  std::string text;
  for (const AlertRecord& alert : outage.alerts) {
    if (!text.empty()) text += "; ";
    text += alert.channel + ' ' + alert.state + ' ' + alert.outcome;
    if (!alert.reason.empty()) text += " (" + alert.reason + ')';
  }
  return text.empty() ? "-" : text;
}

void WriteOutagesCsv(std::ostream& out, const std::vector<Outage>& outages) {
  out << "start,end,length_seconds,port,ongoing,reason,alerts\n";
  for (const Outage& o : outages) {
    const std::string alerts = AlertsText(o);
    out << IsoText(o.start) << ',' << IsoText(o.end) << ',' << o.length() / 1000 << ','
        << Csv(o.key.text()) << ',' << (o.ongoing ? "yes" : "no") << ',' << Csv(o.reason) << ','
        << Csv(alerts == "-" ? std::string() : alerts) << '\n';
  }
}

std::string LengthText(HistoryTime length) {
  const long long s = std::max<long long>(length / 1000, 0);
  char text[48];
  if (s < 60)
    std::snprintf(text, sizeof text, "%llds", s);
  else if (s < 3600)
    std::snprintf(text, sizeof text, "%lldm %02llds", s / 60, s % 60);
  else if (s < 86400)
    std::snprintf(text, sizeof text, "%lldh %02lldm", s / 3600, s % 3600 / 60);
  else
    std::snprintf(text, sizeof text, "%lldd %02lldh", s / 86400, s % 86400 / 3600);
  return text;
}

int RunReport(const AlertSettings& settings, const std::string& settingsPath,
              const ReportOptions& options, std::ostream& out, std::ostream& err) {
  if (options.days < 1 || options.days > kMaxHistoryDays) {
    err << "varnley: --days must be 1 to " << kMaxHistoryDays << '\n';
    return 2;
  }
  const std::string path = HistoryPathFor(settings, settingsPath);
  if (path.empty()) {
    err << "varnley: the history is off ([config] history=off in " << settingsPath << ")\n";
    return 1;
  }
  Status status;
  const auto reader = HistoryReader::Open(path, status);
  if (!reader) {
    err << "varnley: " << status.reason << '\n';
    return 1;
  }
  const HistoryTime now = options.clock ? options.clock() : SystemHistoryTime();
  const HistoryTime span = static_cast<HistoryTime>(options.days) * kDayMs;
  const auto [summaries, outages] = reader->Read(now, span);

  if (options.csv) {
    out << "port,state,since,uptime_percent,data_percent,outages,mean_connect_ms_24h\n";
    for (const PortSummary& s : summaries) {
      const auto percent = s.span.percent();
      out << Csv(s.key.text()) << ',' << StateText(s) << ',' << IsoText(s.since) << ','
          << (percent ? Fixed(*percent, 3) : "") << ',' << Fixed(s.span.coverage(), 1) << ','
          << s.spanOutages << ',' << (s.meanConnectMs ? Fixed(*s.meanConnectMs, 3) : "") << '\n';
    }
    out << '\n';
    WriteOutagesCsv(out, outages);
    return 0;
  }

  out << "History: " << path << '\n'
      << "Last " << options.days << (options.days == 1 ? " day" : " days") << ": "
      << LocalText(now - span) << " to " << LocalText(now) << "\n\n";
  std::size_t portWidth = 4;
  for (const PortSummary& s : summaries) portWidth = std::max(portWidth, s.key.text().size());
  for (const Outage& o : outages) portWidth = std::max(portWidth, o.key.text().size());
  Pad(out, "PORT", portWidth);
  Pad(out, "STATE", 5);
  Pad(out, "SINCE", 16);
  Pad(out, "UPTIME", 8);
  Pad(out, "DATA", 6);
  Pad(out, "OUTAGES", 7);
  out << "CONNECT 24H\n";
  for (const PortSummary& s : summaries) {
    Pad(out, s.key.text(), portWidth);
    Pad(out, StateText(s), 5);
    Pad(out, LocalText(s.since), 16);
    Pad(out, PercentText(s.span), 8);
    Pad(out, Fixed(s.span.coverage(), 1) + "%", 6);
    Pad(out, std::to_string(s.spanOutages), 7);
    out << (s.meanConnectMs ? Fixed(*s.meanConnectMs, 2) + " ms" : "-") << '\n';
  }
  if (summaries.empty()) out << "(no port has data in this time)\n";

  out << "\nOUTAGES (" << outages.size() << ")\n";
  if (outages.empty()) return 0;
  Pad(out, "START", 16);
  Pad(out, "END", 16);
  Pad(out, "LENGTH", 8);
  Pad(out, "PORT", portWidth);
  Pad(out, "REASON", 6);
  out << "ALERTS\n";
  for (const Outage& o : outages) {
    Pad(out, LocalText(o.start), 16);
    Pad(out, o.ongoing ? "(still DOWN)" : o.ended ? LocalText(o.end) : "(not watched)", 16);
    Pad(out, LengthText(o.length()), 8);
    Pad(out, o.key.text(), portWidth);
    Pad(out, o.reason.empty() ? "-" : o.reason, 6);
    out << AlertsText(o) << '\n';
  }
  return 0;
}

}  // namespace varnley
