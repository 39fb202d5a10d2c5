// The start of a run, shared by the window and the windowless run.
#pragma once

#include <string>

#include "platform/Diagnostics.h"

namespace varnley {

// A settings file that is not there yet, said before the run starts from nothing: a mistyped
// --config would otherwise monitor nothing without a word.
void NoteMissingSettingsFile(const std::string& settingsPath, Diagnostics& diagnostics);

}  // namespace varnley
