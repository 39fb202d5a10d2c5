// The start-up entry: a per-user XDG autostart file that starts the program with "-s" at log-on.
// On Windows it is the value "Varnley" in a Run key of the registry: the machine's, or the
// user's own when the machine's is closed to the user; "the file" below is that value.
#pragma once

#include <string>

namespace varnley {

// $XDG_CONFIG_HOME/autostart/Varnley.desktop ("" when no config folder is known).
std::string AutostartFilePath();

// The file's whole content for an executable: Exec="<path>" -s, quoted the way the desktop
// entry format wants it. nullopt-like "" when the path cannot be written there (a line break).
std::string AutostartFileContent(const std::string& executablePath);

// Writes (run) or removes (!run) the entry. Failures are swallowed: the caller's behaviour is
// silence, the result is only there for tests.
bool UpdateStartupEntry(bool run, const std::string& executablePath);

}  // namespace varnley
