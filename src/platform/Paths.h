// Where the program's files live: its own executable, the settings file, the autostart folder.
#pragma once

#include <string>

namespace varnley {

// Absolute path of the running executable ("" if the system cannot tell).
std::string ExecutablePath();

// The settings file for an executable: the same path with ".ini" in place of its extension.
// When that folder is not writable and no such file exists there, the per-user config folder
// ($XDG_CONFIG_HOME/varnley/varnley.ini, default ~/.config) is used instead.
std::string SettingsPathFor(const std::string& executablePath);

// $XDG_CONFIG_HOME, else $HOME/.config ("" when neither is known).
std::string ConfigHome();

// The host's name, cut to 15 characters ("" if unknown).
std::string ComputerName();

}  // namespace varnley
