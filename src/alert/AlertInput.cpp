#include "alert/AlertInput.h"

#include "model/AlertSettings.h"
#include "model/HostInput.h"

namespace varnley {

std::optional<std::string> MissingEmailField(const EmailFields& fields) {
  if (fields.smtpServer.empty()) return "Please fill the SMTP server.";
  if (fields.userName.empty()) return "Please fill the User Name.";
  if (fields.password.empty()) return "Please fill the Password.";
  if (fields.receiveEmail.empty()) return "Please fill the Receive Email.";
  return std::nullopt;
}

std::optional<int> AcceptedInterval(const std::string& text) {
  // Above the ceiling the worker's millisecond sleep would overflow, so such a value is
  // refused like a non-positive one rather than silently changed.
  return AcceptedInRange(text, kMinInterval, kMaxInterval);
}

std::optional<int> AcceptedInRange(const std::string& text, int min, int max) {
  const auto value = ParseDecimal(text);
  if (!value || *value < min || *value > max) return std::nullopt;
  return value;
}

}  // namespace varnley
