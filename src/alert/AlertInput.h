// The alert settings dialog's input without widgets: what its controls hold as typed, the
// order of its messages, and how the text becomes settings.
#pragma once

#include <optional>
#include <string>

namespace varnley {

struct AlertSettings;
struct MailAccount;
struct WebhookSettings;

struct EmailFields {
  std::string smtpServer;
  std::string userName;
  std::string password;
  std::string receiveEmail;
};

// The message for the first empty field, in the dialog's order; nullopt when all are filled.
// Blanks count as filled.
std::optional<std::string> MissingEmailField(const EmailFields& fields);

// The interval text as seconds within the key table's range; nullopt otherwise.
std::optional<int> AcceptedInterval(const std::string& text);

inline constexpr const char* kIntervalMessage = "Please fill the Interval Time.";

// A decimal text within min..max; nullopt otherwise (also for no number at all).
std::optional<int> AcceptedInRange(const std::string& text, int min, int max);

inline constexpr const char* kTimeoutMessage = "Please fill the Connect Timeout.";
inline constexpr const char* kRetriesMessage = "Please fill the Retries.";
inline constexpr const char* kParallelMessage = "Please fill the Parallel Probes.";

// The fields a refusal can point at, so the dialog can put the cursor there.
enum class AlertField {
  SmtpServer,
  UserName,
  Password,
  ReceiveEmail,
  Interval,
  Timeout,
  Retries,
  Parallel,
  Dns,
  WebhookUrl
};

// The first webhook as the dialog shows it; the others live in the file alone.
struct WebhookFields {
  std::string url;  // "" for none
  // The format picked ("json", "slack", "ntfy"); nullopt when nothing is picked, which keeps
  // whatever the settings had.
  std::optional<std::string> format;
};

// Why a webhook URL as typed cannot be taken; nullopt when it can (empty means none).
std::optional<std::string> WebhookUrlProblem(const std::string& url);

// Everything the dialog's controls hold, numbers as the user typed them.
struct AlertInput {
  bool showMessage = false;
  bool sendEmail = false;
  bool runAtLogon = false;
  bool notify = false;  // desktop notifications beside the boxes
  std::string interval;
  std::string timeout;
  std::string retries;
  std::string parallel;
  std::string dns;  // the name servers, "" for the system's own
  EmailFields email;
  bool authentication = false;
  // The security the user picked ("none", "starttls", "tls"); nullopt when nothing is picked,
  // which keeps whatever the settings had.
  std::optional<std::string> security;
  bool verifyCertificate = true;
  WebhookFields webhook;
};

// The input as the dialog shows it for these settings.
AlertInput InputFromSettings(const AlertSettings& settings);

struct InputRefusal {
  AlertField field;
  std::string message;
  bool operator==(const InputRefusal&) const = default;
};

// The first empty field of the mail account, as MissingEmailField finds it.
std::optional<InputRefusal> CheckMailAccount(const EmailFields& fields);

// The first field that cannot be taken, in the dialog's order (the mail account only when the
// mail is switched on); nullopt when everything can be.
std::optional<InputRefusal> CheckAlertInput(const AlertInput& input);

// The input into the settings. A number that is out of range keeps the old value; a security
// that means the same as the old text keeps the old spelling.
void TakeBackAlertInput(const AlertInput& input, AlertSettings& settings);

// The account the Test button sends with, the security read against what the settings had.
MailAccount TestAccount(const AlertInput& input, const std::string& previousSecurity);

// The webhook the Webhook group's Test button sends to: the URL and format as typed, the
// header and certificate switch the settings' first webhook has (the file's alone).
WebhookSettings TestWebhook(const AlertInput& input, const WebhookSettings& previous);

}  // namespace varnley
