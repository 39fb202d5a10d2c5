// The alert settings dialog's checks without widgets: the order of its messages and the
// interval it accepts.
#pragma once

#include <optional>
#include <string>

namespace varnley {

struct EmailFields {
  std::string smtpServer;
  std::string userName;
  std::string password;
  std::string receiveEmail;
};

// The message for the first empty field, in the dialog's order; nullopt when all are filled.
// Blanks count as filled.
std::optional<std::string> MissingEmailField(const EmailFields& fields);

// The interval text as seconds within kMinInterval..kMaxInterval; nullopt otherwise.
std::optional<int> AcceptedInterval(const std::string& text);

inline constexpr const char* kIntervalMessage = "Please fill the Interval Time.";

// A decimal text within min..max; nullopt otherwise (also for no number at all).
std::optional<int> AcceptedInRange(const std::string& text, int min, int max);

inline constexpr const char* kTimeoutMessage = "Please fill the Connect Timeout.";
inline constexpr const char* kRetriesMessage = "Please fill the Retries.";
inline constexpr const char* kParallelMessage = "Please fill the Parallel Probes.";

}  // namespace varnley
