#include "alert/AlertInput.h"

#include <array>

#include "alert/AlertMail.h"
#include "alert/WebhookFormat.h"
#include "model/AlertSettings.h"
#include "model/HostInput.h"
#include "model/SettingsKeys.h"
#include "platform/Resolver.h"
#include "platform/Text.h"

namespace varnley {

namespace {

// The probe settings beside the interval, checked in this order after it; their ranges are
// the key table's, so the dialog refuses exactly what a load would clamp.
struct ProbeField {
  std::string AlertInput::*text;
  const char* key;
  AlertField field;
  const char* message;
  int AlertSettings::*value;
};

constexpr std::array<ProbeField, 3> kProbeFields{{
    {&AlertInput::timeout, "timeout", AlertField::Timeout, kTimeoutMessage,
     &AlertSettings::timeout},
    {&AlertInput::retries, "retries", AlertField::Retries, kRetriesMessage,
     &AlertSettings::retries},
    {&AlertInput::parallel, "parallel", AlertField::Parallel, kParallelMessage,
     &AlertSettings::parallel},
}};

std::optional<int> AcceptedConfigValue(const std::string& text, const char* key) {
  const SettingsKey* row = FindSettingsKey("config", key);
  return row ? AcceptedInRange(text, row->min, row->max) : std::nullopt;
}

std::string SecurityFor(const std::optional<std::string>& chosen, const std::string& previous) {
  if (!chosen) return previous;
  if (MailSecurity(previous) == MailSecurity(*chosen)) return previous;
  return *chosen;
}

// The format as picked, or the old text when nothing is picked or the pick means the same
// (an empty format is json).
std::string FormatFor(const std::optional<std::string>& chosen, const std::string& previous) {
  if (!chosen) return previous;
  const std::string old = Trim(previous);
  if (EqualsIgnoreCase(old.empty() ? "json" : old, *chosen)) return previous;
  return *chosen;
}

}  // namespace

std::optional<std::string> WebhookUrlProblem(const std::string& text) {
  // The URL itself is not repeated: its path and query may hold the receiver's token.
  const std::string url = Trim(text);
  if (url.empty()) return std::nullopt;
  for (const char c : url)
    if (static_cast<unsigned char>(c) <= ' ' || c == '\x7f')
      return "The webhook URL holds a space or a control character: copy it again without "
             "them.";
  const std::size_t sep = url.find("://");
  const std::string scheme = ToLowerAscii(url.substr(0, sep));
  if (sep == std::string::npos || (scheme != "http" && scheme != "https"))
    return "The webhook URL must begin with http:// or https://" +
           (sep == std::string::npos || sep > 10 ? std::string()
                                                 : " (not " + url.substr(0, sep + 3) + ")") +
           "; leave the field empty for none.";
  const std::string display = WebhookDisplay(url);
  if (display.empty() || UrlHost(url).empty())
    return "The webhook URL names no host: type http://HOST[:PORT]/PATH.";
  // The display always ends in the port, given or the scheme's own ("" stands for that too).
  const std::string port = display.substr(display.rfind(':') + 1);
  if (!port.empty() && !AcceptedInRange(port, 1, 65535))
    return "The webhook URL's port must be a number from 1 to 65535.";
  return std::nullopt;
}

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
  return AcceptedConfigValue(text, "interval");
}

std::optional<int> AcceptedInRange(const std::string& text, int min, int max) {
  const auto value = ParseDecimal(text);
  if (!value || *value < min || *value > max) return std::nullopt;
  return value;
}

AlertInput InputFromSettings(const AlertSettings& settings) {
  AlertInput input;
  input.showMessage = settings.showMessage;
  input.sendEmail = settings.sendEmail;
  input.runAtLogon = settings.runAtLogon;
  input.notify = settings.notify;
  input.interval = std::to_string(settings.interval);
  for (const ProbeField& field : kProbeFields)
    input.*field.text = std::to_string(settings.*field.value);
  input.dns = settings.dns;
  input.email = {settings.smtpServer, settings.userName, settings.password, settings.receiveEmail};
  input.authentication = settings.authentication;
  input.security = settings.security;
  input.verifyCertificate = settings.verifyCertificate;
  input.webhook = {settings.webhooks[0].url, settings.webhooks[0].format};
  return input;
}

std::optional<InputRefusal> CheckMailAccount(const EmailFields& e) {
  const auto missing = MissingEmailField(e);
  if (!missing) return std::nullopt;
  const AlertField field = e.smtpServer.empty() ? AlertField::SmtpServer
                           : e.userName.empty() ? AlertField::UserName
                           : e.password.empty() ? AlertField::Password
                                                : AlertField::ReceiveEmail;
  return InputRefusal{field, *missing};
}

std::optional<InputRefusal> CheckAlertInput(const AlertInput& input) {
  if (input.sendEmail)
    if (auto refusal = CheckMailAccount(input.email)) return refusal;
  if (!AcceptedInterval(input.interval))
    return InputRefusal{AlertField::Interval, kIntervalMessage};
  for (const ProbeField& field : kProbeFields)
    if (!AcceptedConfigValue(input.*field.text, field.key))
      return InputRefusal{field.field, field.message};
  std::string why;
  if (!ParseNameServers(input.dns, &why)) return InputRefusal{AlertField::Dns, why};
  if (auto problem = WebhookUrlProblem(input.webhook.url))
    return InputRefusal{AlertField::WebhookUrl, std::move(*problem)};
  return std::nullopt;
}

void TakeBackAlertInput(const AlertInput& input, AlertSettings& settings) {
  settings.showMessage = input.showMessage;
  settings.sendEmail = input.sendEmail;
  settings.runAtLogon = input.runAtLogon;
  settings.notify = input.notify;
  if (const auto interval = AcceptedInterval(input.interval)) settings.interval = *interval;
  for (const ProbeField& field : kProbeFields)
    if (const auto value = AcceptedConfigValue(input.*field.text, field.key))
      settings.*field.value = *value;
  if (ParseNameServers(input.dns)) settings.dns = Trim(input.dns);
  settings.smtpServer = input.email.smtpServer;
  settings.userName = input.email.userName;
  settings.password = input.email.password;
  settings.receiveEmail = input.email.receiveEmail;
  settings.authentication = input.authentication;
  settings.security = SecurityFor(input.security, settings.security);
  settings.verifyCertificate = input.verifyCertificate;
  // The first webhook's URL and format; its header and certificate switch, and the other
  // webhooks, are the file's and stay as they are.
  WebhookSettings& hook = settings.webhooks[0];
  if (!WebhookUrlProblem(input.webhook.url)) hook.url = Trim(input.webhook.url);
  hook.format = FormatFor(input.webhook.format, hook.format);
}

MailAccount TestAccount(const AlertInput& input, const std::string& previousSecurity) {
  return {input.email.smtpServer, input.email.userName,
          input.email.password,   input.email.receiveEmail,
          input.authentication,   SecurityFor(input.security, previousSecurity),
          input.verifyCertificate, Trim(input.dns)};
}

WebhookSettings TestWebhook(const AlertInput& input, const WebhookSettings& previous) {
  WebhookSettings hook = previous;
  hook.url = Trim(input.webhook.url);
  hook.format = FormatFor(input.webhook.format, previous.format);
  return hook;
}

}  // namespace varnley
