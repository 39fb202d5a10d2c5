// Where the program's files live: its own executable, the settings file, the autostart folder.
#pragma once

#include <string>
#include <vector>

namespace varnley {

// Absolute path of the running executable ("" if the system cannot tell).
std::string ExecutablePath();

// The settings file for an executable: the same path with ".ini" in place of its extension.
// When that folder is not writable and no such file exists there, the per-user config folder
// ($XDG_CONFIG_HOME/varnley/varnley.ini, default ~/.config; on Windows
// %APPDATA%\Varnley\varnley.ini) is used instead.
std::string SettingsPathFor(const std::string& executablePath);

// The settings file: the one named on the command line (made absolute against the current
// folder), else SettingsPathFor the executable when `named` is "".
std::string SettingsPathFromOption(const std::string& named, const std::string& executablePath);

// What the start finds at the settings path. FolderMissing: neither the file nor its folder is
// there, and the folder is not the per-user one that the first save creates.
enum class SettingsFileState { Present, Missing, FolderMissing };
SettingsFileState ProbeSettingsFile(const std::string& settingsPath);

// The per-user settings file: $XDG_CONFIG_HOME/varnley/varnley.ini ("" without a config home).
std::string FallbackSettingsPath();

// Before a save: the per-user file's folder is created when missing, with its missing parents,
// each 0700 (it holds a recoverable password). Other paths are the user's choice and are left
// as they are. False, with the reason, when a folder could not be made.
bool PrepareSettingsFolder(const std::string& settingsPath, std::string* reason);

// $XDG_CONFIG_HOME, else $HOME/.config ("" when neither is known). On Windows %APPDATA%.
std::string ConfigHome();

// The host's name, cut to 15 characters ("" if unknown).
std::string ComputerName();

}  // namespace varnley
