// What OK in the alert settings dialog does, without the dialog: every field checked first,
// then the start-up entry and the settings file, so refused input changes nothing at all.
#pragma once

#include <optional>
#include <string>

#include "alert/AlertInput.h"
#include "model/Settings.h"

namespace varnley {

struct AppliedAlertSettings {
  // Set when a field was refused; nothing was changed then.
  std::optional<InputRefusal> refusal;
  // Whether the start-up entry now says what the input asked for.
  bool startupEntryWritten = true;
  SaveResult saved;
};

// Checks the input; when it passes, writes or removes the start-up entry for the executable,
// takes the input into the settings and saves them to the file.
AppliedAlertSettings ApplyAlertSettings(const AlertInput& input, AlertSettings& settings,
                                        const std::string& settingsPath,
                                        const std::string& executablePath);

}  // namespace varnley
