// The program's command line, read once for the window and the windowless run alike: each
// option is one row of a table, and what it asks for lands in CommandLine.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varnley {

// What the program is asked to do; each command besides Run has its handler in
// AnswerWithoutRunning.
enum class Command { Run, Help, Version, Report, Import, Export };

struct CommandLine {
  Command command = Command::Run;
  bool startHidden = false;  // "-s" as the first or second argument
  bool headless = false;     // "--headless"
  std::string configFile;    // "--config FILE" as given; "" for the usual place
  std::string hostListFile;  // "--import FILE" or "--export FILE"
  int reportDays = 7;        // "--days N" of --report
  bool reportCsv = false;    // "--csv" of --report
};

struct ParsedCommandLine {
  CommandLine line;
  std::string error;  // why the line is refused ("" when it is usable)
};

// args[0] is the program. Options of the window toolkit (-platform NAME, -style S...) are left
// for it; other arguments that do not start with "--" are ignored, as they always were.
ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args);

// The text of --help and of --version.
std::string UsageText();
std::string VersionText();

// What both entries do first: the answer to --help or --version on `out` (status 0), or the
// refusal on `err` (status 2). Nullopt when the program is to run.
std::optional<int> AnswerWithoutRunning(const ParsedCommandLine& parsed, std::ostream& out,
                                        std::ostream& err);

}  // namespace varnley
