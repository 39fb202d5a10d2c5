#include "service/CommandLine.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <ostream>

#include "model/AlertSettings.h"
#include "model/MonitoredHost.h"
#include "model/Settings.h"
#include "platform/Paths.h"

#ifdef VARNLEY_HAVE_HISTORY
#include "history/HistoryReport.h"
#endif

#ifndef VARNLEY_VERSION
#define VARNLEY_VERSION "unknown"
#endif

namespace varnley {

namespace {

// One option: its name, the name of its value ("" for a flag), its help line, and what it
// sets. `apply` returns why the value cannot be used, "" when it can.
struct OptionRow {
  std::string_view name;
  std::string_view value;
  std::string_view help;
  std::string (*apply)(CommandLine& line, std::string_view value);
  // Counted from 1: the option only counts up to this argument and is ignored beyond it
  // (0: anywhere). "-s" keeps the place the autostart entry has always given it.
  std::size_t lastPosition = 0;
};

constexpr std::array kOptions = {
    OptionRow{"-s", "", "start monitoring at once, the window hidden (first or second argument)",
              [](CommandLine& line, std::string_view) {
                line.startHidden = true;
                return std::string();
              },
              2},
    OptionRow{"--headless", "", "monitor without windows, the log on stderr",
              [](CommandLine& line, std::string_view) {
                line.headless = true;
                return std::string();
              }},
    OptionRow{"--config", "FILE", "read and save the settings in FILE",
              [](CommandLine& line, std::string_view file) {
                line.configFile = file;
                return std::string();
              }},
    OptionRow{"--import", "FILE",
              "merge the hosts listed in FILE (text, CSV or target-list JSON) into the settings "
              "file and exit",
              [](CommandLine& line, std::string_view file) {
                line.command = Command::Import;
                line.hostListFile = file;
                return std::string();
              }},
    OptionRow{"--export", "FILE", "write the hosts as CSV (host,port,state) to FILE and exit",
              [](CommandLine& line, std::string_view file) {
                line.command = Command::Export;
                line.hostListFile = file;
                return std::string();
              }},
    OptionRow{"--report", "", "print the uptime and the outages of the history file and exit",
              [](CommandLine& line, std::string_view) {
                line.command = Command::Report;
                return std::string();
              }},
    OptionRow{"--days", "N", "the days --report covers (default 7)",
              [](CommandLine& line, std::string_view text) {
                int days = 0;
                const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), days);
                if (error != std::errc() || end != text.data() + text.size())
                  return "--days needs a whole number, not \"" + std::string(text) + '"';
                line.reportDays = days;  // the report says when it is out of range
                return std::string();
              }},
    OptionRow{"--csv", "", "--report as CSV",
              [](CommandLine& line, std::string_view) {
                line.reportCsv = true;
                return std::string();
              }},
    OptionRow{"--help", "", "print this text and exit",
              [](CommandLine& line, std::string_view) {
                line.command = Command::Help;
                return std::string();
              }},
    OptionRow{"--version", "", "print the version and exit",
              [](CommandLine& line, std::string_view) {
                line.command = Command::Version;
                return std::string();
              }},
};

// The window toolkit's own options: they stay on the command line for it. Each may be written
// with one dash or two, its value as the next argument or after "=".
struct ToolkitOption {
  std::string_view name;
  bool takesValue;
};
constexpr ToolkitOption kToolkitOptions[] = {
    {"platform", true},
    {"platformpluginpath", true},
    {"platformtheme", true},
    {"plugin", true},
    {"qwindowgeometry", true},
    {"geometry", true},
    {"qwindowicon", true},
    {"icon", true},
    {"qwindowtitle", true},
    {"title", true},
    {"display", true},
    {"session", true},
    {"style", true},
    {"stylesheet", true},
    {"name", true},
    {"qmljsdebugger", true},
    {"reverse", false},
    {"widgetcount", false},
    {"nograb", false},
    {"dograb", false},
    {"sync", false},
};

const ToolkitOption* FindToolkitOption(std::string_view arg) {
  if (arg.size() < 2 || arg[0] != '-') return nullptr;
  arg.remove_prefix(arg[1] == '-' ? 2 : 1);
  arg = arg.substr(0, arg.find('='));
  for (const ToolkitOption& option : kToolkitOptions)
    if (option.name == arg) return &option;
  return nullptr;
}

std::string Refused(std::string_view why) {
  return "Varnley: " + std::string(why) + " (\"varnley --help\" lists the options)";
}

// Reads the settings without taking the lock or saving anything: a running copy keeps the
// file, and this only reads the history it writes.
int AnswerReport(const CommandLine& line, std::ostream& out, std::ostream& err) {
#ifdef VARNLEY_HAVE_HISTORY
  const std::string path = SettingsPathFromOption(line.configFile, ExecutablePath());
  AlertSettings settings;
  std::vector<MonitoredHost> rows;
  LoadSettings(path, settings, rows);
  ReportOptions options;
  options.days = line.reportDays;
  options.csv = line.reportCsv;
  const int status = RunReport(settings, path, options, out, err);
  out << std::flush;
  err << std::flush;
  return out ? status : 1;
#else
  (void)line;
  (void)out;
  err << "Varnley: this build keeps no history\n" << std::flush;
  return 1;
#endif
}

}  // namespace

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args) {
  ParsedCommandLine parsed;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    // "--name=value" for the long options; a short one is always matched whole.
    const bool isLong = arg.size() > 2 && arg.starts_with("--");
    const std::size_t equals = isLong ? arg.find('=') : std::string_view::npos;
    const std::string_view name = arg.substr(0, equals);
    const auto row = std::find_if(kOptions.begin(), kOptions.end(),
                                  [&](const OptionRow& r) { return r.name == name; });
    if (row != kOptions.end()) {
      if (row->lastPosition != 0 && i > row->lastPosition) continue;
      std::string_view value;
      if (row->value.empty()) {
        if (equals != std::string_view::npos) {
          parsed.error = Refused(std::string(name) + " takes no value");
          return parsed;
        }
      } else if (equals != std::string_view::npos) {
        value = arg.substr(equals + 1);
      } else if (i + 1 < args.size() && !args[i + 1].starts_with("-")) {
        value = args[++i];
      }
      if (!row->value.empty() && value.empty()) {
        parsed.error = Refused(std::string(name) + " needs a " + std::string(row->value));
        return parsed;
      }
      if (std::string why = row->apply(parsed.line, value); !why.empty()) {
        parsed.error = Refused(why);
        return parsed;
      }
      continue;
    }
    if (const ToolkitOption* option = FindToolkitOption(arg)) {
      if (option->takesValue && arg.find('=') == std::string_view::npos) ++i;
      continue;
    }
    if (isLong) {
      parsed.error = Refused("unknown option " + std::string(name));
      return parsed;
    }
  }
  return parsed;
}

std::string UsageText() {
  std::string usage = "Usage: varnley";
  for (const OptionRow& row : kOptions) {
    usage += " [";
    usage += row.name;
    if (!row.value.empty()) usage.append(" ").append(row.value);
    usage += ']';
  }
  usage +=
      "\n\nWatches TCP ports and says when one stops accepting connections and when it "
      "comes back.\n\n";
  for (const OptionRow& row : kOptions) {
    std::string left = "  ";
    left.append(row.name);
    if (!row.value.empty()) left.append(" ").append(row.value);
    left.resize(std::max<std::size_t>(left.size() + 2, 18), ' ');
    usage.append(left).append(row.help).append("\n");
  }
  return usage;
}

std::string VersionText() { return "Varnley " VARNLEY_VERSION "\n"; }

std::optional<int> AnswerWithoutRunning(const ParsedCommandLine& parsed, std::ostream& out,
                                        std::ostream& err) {
  if (!parsed.error.empty()) {
    err << parsed.error << '\n' << std::flush;
    return 2;
  }
  switch (parsed.line.command) {
    case Command::Run:
    case Command::Import:
    case Command::Export:
      return std::nullopt;
    case Command::Help:
      out << UsageText() << std::flush;
      break;
    case Command::Version:
      out << VersionText() << std::flush;
      break;
    case Command::Report:
      return AnswerReport(parsed.line, out, err);
  }
  // An answer that never reached its reader is no success.
  return out ? 0 : 1;
  return std::nullopt;
}

}  // namespace varnley
