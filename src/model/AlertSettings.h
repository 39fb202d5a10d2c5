// The alert settings held in memory for the whole run.
#pragma once

#include <array>
#include <string>

namespace varnley {

inline constexpr int kMinInterval = 1;
inline constexpr int kMaxInterval = 2147483;  // seconds; x1000 still fits 32 bits
inline constexpr int kMaxTimeout = 3600;      // seconds
inline constexpr int kMaxRetries = 10;
inline constexpr int kMaxParallel = 4096;  // ports probed at once in one pass
inline constexpr int kMaxRemind = 10080;   // minutes between reminders while a port stays down
inline constexpr int kMinHistoryDays = 1;
inline constexpr int kMaxHistoryDays = 3650;
inline constexpr int kDefaultHistoryDays = 400;
inline constexpr int kWebhookCount = 4;  // [webhook1] .. [webhook4]

// One [webhookN] section. An empty url means the webhook is not used.
struct WebhookSettings {
  std::string url;              // http:// or https://
  std::string format = "json";  // "json", "slack" or "ntfy"
  std::string header;           // one optional "Name: value" line, sent as it stands
  bool verify = true;           // https: verify the certificate chain and host name

  bool operator==(const WebhookSettings&) const = default;
};

struct AlertSettings {
  bool showMessage = false;
  bool sendEmail = false;
  bool runAtLogon = false;
  int interval = 1;  // seconds between probes, kept within kMinInterval..kMaxInterval
  std::string smtpServer;
  std::string userName;
  std::string password;  // plain in memory, coded in the file
  std::string receiveEmail;
  bool authentication = false;
  // How the mail is protected: "none", "starttls" or "tls" (any letter case), as the file
  // has it. Empty means none; any other text fails every send rather than going out plain.
  std::string security;
  bool verifyCertificate = true;  // off: still encrypted, any certificate taken
  // Seconds a connect may stay pending before the port counts as refused (0: the system's own
  // limit), and how many more probes confirm a refused port before it counts as DOWN.
  int timeout = 0;
  int retries = 0;
  int parallel = 1;  // ports per pass, probed at once
  // Where the metrics endpoint listens, "ADDRESS:PORT" with an IPv4 literal ("" for nowhere).
  std::string metrics;
  // Name servers asked for host names, "ADDRESS[:PORT],..." ("" for the system's own).
  std::string dns;
  bool notify = false;  // desktop notifications beside the boxes
  int remind = 0;       // minutes between "still DOWN" reminders, 0 for none
  bool statusPage = true;  // the status page beside /metrics
  // The history file: "" for the one beside the settings file, a path, or "off".
  std::string history;
  int historyDays = kDefaultHistoryDays;
  std::array<WebhookSettings, kWebhookCount> webhooks;

  bool operator==(const AlertSettings&) const = default;
};

}  // namespace varnley
