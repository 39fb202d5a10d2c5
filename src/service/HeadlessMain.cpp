// Program entry of a build without windows: every start is the windowless run.
#include <iostream>
#include <string>
#include <vector>

#include "service/CommandLine.h"
#include "service/HeadlessRunner.h"
#include "service/HostListCommand.h"

int main(int argc, char** argv) {
  using namespace varnley;
  const ParsedCommandLine parsed = ParseCommandLine(std::vector<std::string>(argv, argv + argc));
  if (const auto status = AnswerWithoutRunning(parsed, std::cout, std::cerr)) return *status;
  if (const auto status = RunHostListCommandIfAsked(parsed.line)) return *status;
  return RunHeadless(parsed.line);
}
