#include "alert/ApplyAlertSettings.h"

#include "model/AlertSettings.h"
#include "platform/Autostart.h"

namespace varnley {

AppliedAlertSettings ApplyAlertSettings(const AlertInput& input, AlertSettings& settings,
                                        const std::string& settingsPath,
                                        const std::string& executablePath) {
  AppliedAlertSettings result;
  result.refusal = CheckAlertInput(input);
  if (result.refusal) return result;
  result.startupEntryWritten = UpdateStartupEntry(input.runAtLogon, executablePath);
  TakeBackAlertInput(input, settings);
  result.saved = SaveAlertSettings(settingsPath, settings);
  return result;
}

}  // namespace varnley
