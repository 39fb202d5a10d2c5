// The command line as a pure function: what each spelling asks for, and what is refused.
#include <gtest/gtest.h>

#include <sstream>

#include "service/CommandLine.h"

namespace varnley {
namespace {

struct Case {
  std::vector<std::string> args;  // after the program's name
  bool hidden = false;
  bool headless = false;
  std::string config;
  Command command = Command::Run;
  std::string error;  // part of the refusal, "" when accepted
};

std::string Shown(const std::vector<std::string>& args) {
  std::string shown;
  for (const auto& a : args) shown += "[" + a + "]";
  return shown;
}

// Parsed as the program's own arguments, and checked against the refusal `error` expects:
// false when the line was refused (as expected or not), so that the caller checks no more.
bool ParsedAsExpected(const std::vector<std::string>& after, const std::string& error,
                      ParsedCommandLine& parsed) {
  std::vector<std::string> args = {"varnley"};
  args.insert(args.end(), after.begin(), after.end());
  parsed = ParseCommandLine(args);
  if (!error.empty()) {
    EXPECT_NE(parsed.error.find(error), std::string::npos) << parsed.error;
    return false;
  }
  EXPECT_EQ(parsed.error, "");
  return parsed.error.empty();
}

TEST(CommandLine, EachSpellingAsksForWhatItSays) {
  const Case cases[] = {
      {{}, false, false, "", Command::Run, ""},
      // "-s": first or second argument, compared exactly; anything else is no "-s".
      {{"-s"}, true, false, "", Command::Run, ""},
      {{"x", "-s"}, true, false, "", Command::Run, ""},
      {{"-s", "x"}, true, false, "", Command::Run, ""},
      {{"a", "b", "-s"}, false, false, "", Command::Run, ""},
      {{"-S"}, false, false, "", Command::Run, ""},
      {{" -s"}, false, false, "", Command::Run, ""},
      {{"-s "}, false, false, "", Command::Run, ""},
      {{"--headless"}, false, true, "", Command::Run, ""},
      {{"--headless", "-s"}, true, true, "", Command::Run, ""},
      {{"--config", "/etc/v.ini"}, false, false, "/etc/v.ini", Command::Run, ""},
      {{"--config=/etc/w.ini", "--headless"}, false, true, "/etc/w.ini", Command::Run, ""},
      {{"--config", "a.ini", "--config", "b.ini"}, false, false, "b.ini", Command::Run, ""},
      {{"--help"}, false, false, "", Command::Help, ""},
      {{"--version"}, false, false, "", Command::Version, ""},
      // The toolkit's options, with one dash or two, and their values, are left for it.
      {{"-platform", "offscreen", "-s"}, false, false, "", Command::Run, ""},
      {{"--platform", "offscreen"}, false, false, "", Command::Run, ""},
      {{"-style=fusion", "-reverse", "--headless"}, false, true, "", Command::Run, ""},
      // Other single-dash words and plain arguments were always ignored.
      {{"-x", "file.txt"}, false, false, "", Command::Run, ""},
      // Refused: a value missing, a flag given one, an option nobody knows.
      {{"--config"}, false, false, "", Command::Run, "--config needs a FILE"},
      {{"--config="}, false, false, "", Command::Run, "--config needs a FILE"},
      {{"--config", "--headless"}, false, false, "", Command::Run, "--config needs a FILE"},
      {{"--headless=yes"}, false, false, "", Command::Run, "--headless takes no value"},
      {{"--xyz"}, false, false, "", Command::Run, "unknown option --xyz"},
      {{"--configx", "a.ini"}, false, false, "", Command::Run, "unknown option --configx"},
      {{"--s"}, false, false, "", Command::Run, "unknown option --s"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"varnley"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ParsedCommandLine parsed = ParseCommandLine(args);
    SCOPED_TRACE(Shown(c.args));
    if (!c.error.empty()) {
      EXPECT_NE(parsed.error.find(c.error), std::string::npos) << parsed.error;
      continue;
    }
    EXPECT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.line.startHidden, c.hidden);
    EXPECT_EQ(parsed.line.headless, c.headless);
    EXPECT_EQ(parsed.line.configFile, c.config);
    EXPECT_EQ(parsed.line.command, c.command);
  }
  EXPECT_EQ(ParseCommandLine({}).error, "");  // no program name at all
}

TEST(CommandLine, ReportTakesItsDaysAndCsv) {
  struct ReportCase {
    std::vector<std::string> args;
    int days;
    bool csv;
    std::string error;
  };
  const ReportCase cases[] = {
      {{"--report"}, 7, false, ""},
      {{"--report", "--days", "30", "--csv"}, 30, true, ""},
      {{"--csv", "--days=1", "--report", "--config", "a.ini"}, 1, true, ""},
      {{"--report", "--days", "0"}, 0, false, ""},  // out of range: the report refuses it
      {{"--report", "--days", "7d"}, 7, false, "--days needs a whole number"},
      {{"--report", "--days", ""}, 7, false, "--days needs a N"},
      {{"--report", "--days"}, 7, false, "--days needs a N"},
      {{"--report", "--csv=1"}, 7, false, "--csv takes no value"},
  };
  for (const ReportCase& c : cases) {
    SCOPED_TRACE(Shown(c.args));
    ParsedCommandLine parsed;
    if (!ParsedAsExpected(c.args, c.error, parsed)) continue;
    EXPECT_EQ(parsed.line.command, Command::Report);
    EXPECT_EQ(parsed.line.reportDays, c.days);
    EXPECT_EQ(parsed.line.reportCsv, c.csv);
  }
}

TEST(CommandLine, AnswersHelpAndVersionOnStdoutAndRefusalsWithStatusTwo) {
  struct Answer {
    std::vector<std::string> args;
    std::optional<int> status;
    std::string out, err;  // parts of what each stream gets
  };
  const Answer answers[] = {
      {{"varnley", "--help"}, 0, "--config FILE", ""},
      {{"varnley", "--version"}, 0, "Varnley ", ""},
      {{"varnley", "--config"}, 2, "", "Varnley: --config needs a FILE"},
      {{"varnley", "-s"}, std::nullopt, "", ""},
  };
  for (const Answer& a : answers) {
    SCOPED_TRACE(Shown(a.args));
    std::ostringstream out, err;
    EXPECT_EQ(AnswerWithoutRunning(ParseCommandLine(a.args), out, err), a.status);
    if (a.out.empty()) {
      EXPECT_EQ(out.str(), "");
    }
    if (a.err.empty()) {
      EXPECT_EQ(err.str(), "");
    }
    EXPECT_NE(out.str().find(a.out), std::string::npos) << out.str();
    EXPECT_NE(err.str().find(a.err), std::string::npos) << err.str();
  }
  // Every option of the table has its line in the help.
  for (const char* option : {"-s ", "--headless", "--config FILE", "--help", "--version"})
    EXPECT_NE(UsageText().find(option), std::string::npos) << option;
  // A help text that could not be written is no success.
  std::ostringstream broken, err;
  broken.setstate(std::ios::badbit);
  EXPECT_EQ(AnswerWithoutRunning(ParseCommandLine({"varnley", "--help"}), broken, err), 1);
}

}  // namespace
}  // namespace varnley
