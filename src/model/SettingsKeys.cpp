#include "model/SettingsKeys.h"

#include <charconv>
#include <limits>

#include "platform/Text.h"

namespace varnley {

namespace {

using S = AlertSettings;
using W = WebhookSettings;
constexpr std::int32_t kIntMax = std::numeric_limits<std::int32_t>::max();

// Within a section, rows are in the order a save adds missing keys; the original layout's keys
// first, each later wave's after them, so files written before keep their order.
// One row a key reads better than one field a line.
// clang-format off
constexpr SettingsKey kKeys[] = {
    {"config", "message", KeyType::Flag, KeyWrite::Always, 0, 1, 0, {}, {}, {},
     OutOfRange::Clamp, true, {.flag = &S::showMessage}},
    {"config", "email", KeyType::Flag, KeyWrite::Always, 0, 1, 0, {}, {}, {}, OutOfRange::Clamp,
     false, {.flag = &S::sendEmail}},
    {"config", "run", KeyType::Flag, KeyWrite::Always, 0, 1, 0, {}, {}, {}, OutOfRange::Clamp,
     false, {.flag = &S::runAtLogon}},
    {"config", "interval", KeyType::Integer, KeyWrite::Always, kMinInterval, kMaxInterval, 1, {},
     {}, {}, OutOfRange::Clamp, false, {.integer = &S::interval}},
    {"config", "hostcount", KeyType::Hosts, KeyWrite::Always, 0, kIntMax, 0, {}, {}, {},
     OutOfRange::Clamp, false, {}},
    {"config", "timeout", KeyType::Integer, KeyWrite::Optional, 0, kMaxTimeout, 0, {}, {}, {},
     OutOfRange::Clamp, false, {.integer = &S::timeout}},
    {"config", "retries", KeyType::Integer, KeyWrite::Optional, 0, kMaxRetries, 0, {}, {}, {},
     OutOfRange::Clamp, false, {.integer = &S::retries}},
    {"config", "parallel", KeyType::Integer, KeyWrite::Optional, 1, kMaxParallel, 1, {}, {}, {},
     OutOfRange::Clamp, false, {.integer = &S::parallel}},
    {"config", "metrics", KeyType::Trimmed, KeyWrite::NewFileOnly, 0, 0, 0, "", {}, {},
     OutOfRange::Clamp, false, {.text = &S::metrics}},
    {"config", "dns", KeyType::Trimmed, KeyWrite::Optional, 0, 0, 0, "", {}, {},
     OutOfRange::Clamp, false, {.text = &S::dns}},
    {"config", "notify", KeyType::Flag, KeyWrite::Optional, 0, 1, 0, {}, {}, {},
     OutOfRange::Clamp, false, {.flag = &S::notify}},
    {"config", "remind", KeyType::Integer, KeyWrite::Optional, 0, kMaxRemind, 0, {}, {}, {},
     OutOfRange::Clamp, false, {.integer = &S::remind}},
    {"config", "statuspage", KeyType::Flag, KeyWrite::Optional, 0, 1, 1, {}, {}, {},
     OutOfRange::Clamp, false, {.flag = &S::statusPage}},
    {"config", "history", KeyType::Text, KeyWrite::Optional, 0, 0, 0, "", {}, {},
     OutOfRange::Clamp, false, {.text = &S::history}},
    {"config", "historydays", KeyType::Integer, KeyWrite::Optional, kMinHistoryDays,
     kMaxHistoryDays, kDefaultHistoryDays, {}, {}, {}, OutOfRange::Clamp, false,
     {.integer = &S::historyDays}},
    {"email", "smtpserver", KeyType::Text, KeyWrite::Always, 0, 0, 0, "", {}, {},
     OutOfRange::Clamp, false, {.text = &S::smtpServer}},
    {"email", "username", KeyType::Text, KeyWrite::Always, 0, 0, 0, "", {}, {},
     OutOfRange::Clamp, false, {.text = &S::userName}},
    {"email", "password", KeyType::Password, KeyWrite::Always, 0, 0, 0, "", {}, {},
     OutOfRange::Clamp, false, {.text = &S::password}},
    {"email", "mail", KeyType::Text, KeyWrite::Always, 0, 0, 0, "", {}, {}, OutOfRange::Clamp,
     false, {.text = &S::receiveEmail}},
    {"email", "auth", KeyType::Flag, KeyWrite::Always, 0, 1, 0, {}, {}, {}, OutOfRange::Clamp,
     false, {.flag = &S::authentication}},
    // Empty and "none" both mean plain mail; any other text is kept so the send can refuse it.
    {"email", "security", KeyType::Trimmed, KeyWrite::Optional, 0, 0, 0, "", {}, "none",
     OutOfRange::Clamp, false, {.text = &S::security}},
    {"email", "verify", KeyType::Flag, KeyWrite::Optional, 0, 1, 1, {}, {}, {},
     OutOfRange::Clamp, false, {.flag = &S::verifyCertificate}},
    {"webhook", "url", KeyType::Trimmed, KeyWrite::Optional, 0, 0, 0, "", {}, {},
     OutOfRange::Clamp, false, {.webhookText = &W::url}},
    {"webhook", "format", KeyType::Choice, KeyWrite::Optional, 0, 0, 0, "json", "json,slack,ntfy",
     {}, OutOfRange::Default, false, {.webhookText = &W::format}},
    {"webhook", "header", KeyType::Text, KeyWrite::Optional, 0, 0, 0, "", {}, {},
     OutOfRange::Clamp, false, {.webhookText = &W::header}},
    {"webhook", "verify", KeyType::Flag, KeyWrite::Optional, 0, 1, 1, {}, {}, {},
     OutOfRange::Clamp, false, {.webhookFlag = &W::verify}},
    {"host", "host", KeyType::Hosts, KeyWrite::Always, 0, 0, 0, "", {}, {}, OutOfRange::Clamp,
     false, {}},
    {"host", "port", KeyType::Hosts, KeyWrite::Always, 1, 65535, 0, "", {}, {}, OutOfRange::Drop,
     false, {}},
};
// clang-format on

// "host" for [host1], [host2], ...; "webhook" for [webhook1] .. [webhook4]; else the name.
std::string_view TableSection(std::string_view name) {
  if (WebhookSectionNumber(name) != 0) return "webhook";
  if (HostSectionNumber(name) > 0) return "host";
  return name;
}

}  // namespace

std::span<const SettingsKey> SettingsKeys() { return kKeys; }

const SettingsKey* FindSettingsKey(std::string_view section, std::string_view key) {
  const std::string_view table = TableSection(section);
  for (const SettingsKey& row : kKeys)
    if (EqualsIgnoreCase(row.section, table) && EqualsIgnoreCase(row.key, key)) return &row;
  return nullptr;
}

std::int64_t HostSectionNumber(std::string_view name) {
  if (name.size() < 5 || !EqualsIgnoreCase(name.substr(0, 4), "host") || name[4] == '0') return 0;
  std::int64_t n = 0;
  const auto digits = name.substr(4);
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
  if (ec != std::errc() || end != digits.data() + digits.size()) return 0;
  return n;
}

int WebhookSectionNumber(std::string_view name) {
  if (name.size() != 8 || !EqualsIgnoreCase(name.substr(0, 7), "webhook")) return 0;
  const int n = name[7] - '0';
  return n >= 1 && n <= kWebhookCount ? n : 0;
}

}  // namespace varnley
