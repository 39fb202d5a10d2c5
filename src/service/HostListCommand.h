// "--import FILE" and "--export FILE": the host list merged into the settings file, or written
// out, without windows, refused while another copy runs on that settings file.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>

#include "service/CommandLine.h"

namespace varnley {

// The summary and every refused line on out, failures on err. Status 0 when done, 1 when the
// list could not be read at all, the settings file could not be read or written, or another
// copy holds the settings file.
int RunHostListCommand(const CommandLine& line, const std::string& settingsPath, std::ostream& out,
                       std::ostream& err);

// For both entries: the host-list commands run here and give the exit status; nullopt for a
// line that asks for something else.
std::optional<int> RunHostListCommandIfAsked(const CommandLine& line);

}  // namespace varnley
