#include "model/Settings.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <utility>

#include "model/PasswordCoding.h"
#include "monitor/AddressCheck.h"
#include "platform/FileAccess.h"
#include "platform/Text.h"

namespace varnley {

namespace {

constexpr int kMaxPort = 65535;

std::string HostSection(std::size_t i) { return "host" + std::to_string(i); }

// The row number of a section named "host<n>" (any letter case, n decimal without leading
// zeros), 0 for any other name.
std::int64_t HostSectionNumber(std::string_view name) {
  if (name.size() < 5 || !EqualsIgnoreCase(name.substr(0, 4), "host") || name[4] == '0')
    return 0;
  std::int64_t n = 0;
  const auto digits = name.substr(4);
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
  if (ec != std::errc() || end != digits.data() + digits.size()) return 0;
  return n;
}

SaveResult Replace(const std::string& path, const IniFile& ini) {
  if (!ReplaceFileAtomically(path, ini.text(), nullptr))
    return {false, "Unable to write to " + path};
  return {};
}

// Reads the file the writers change; an unreadable file is not replaced, because rewriting it
// would drop everything it holds that we do not own.
bool ReadForUpdate(const std::string& path, IniFile& ini) {
  std::string content;
  switch (ReadWholeFile(path, content, nullptr)) {
    case ReadStatus::Ok:
      ini = IniFile(content);
      return true;
    case ReadStatus::Missing:
      return true;
    case ReadStatus::Failed:
      break;
  }
  return false;
}

}  // namespace

std::string NormalisePorts(std::string_view text) {
  std::string out;
  std::size_t start = 0;
  while (start <= text.size()) {
    auto comma = text.find(',', start);
    if (comma == std::string_view::npos) comma = text.size();
    const int port = ParseIniInteger(Trim(text.substr(start, comma - start))).value_or(0);
    if (port > 0 && port <= kMaxPort) {
      out += std::to_string(port);
      out += ',';
    }
    start = comma + 1;
  }
  return out;
}

void LoadSettingsFromIni(const IniFile& ini, AlertSettings& settings,
                         std::vector<MonitoredHost>& hosts) {
  hosts.clear();
  settings.showMessage = ini.readBool("config", "message", settings.showMessage);
  settings.sendEmail = ini.readBool("config", "email", false);
  settings.runAtLogon = ini.readBool("config", "run", false);
  settings.interval = std::clamp(ini.readInteger("config", "interval", 1), kMinInterval,
                                 kMaxInterval);
  settings.smtpServer = ini.readString("email", "smtpserver", "");
  settings.userName = ini.readString("email", "username", "");
  settings.password = DecodePassword(ini.readString("email", "password", ""));
  settings.receiveEmail = ini.readString("email", "mail", "");
  settings.authentication = ini.readBool("email", "auth", false);

  // Rows 1..hostcount in order. Walking the sections that exist instead of every number up to
  // hostcount gives the same rows, and a count of two billion costs nothing.
  const std::int64_t hostCount = ini.readInteger("config", "hostcount", 0);
  std::vector<std::pair<std::int64_t, std::string_view>> rows;
  for (std::string_view name : ini.sectionNames()) {
    const std::int64_t n = HostSectionNumber(name);
    if (n >= 1 && n <= hostCount) rows.emplace_back(n, name);
  }
  std::sort(rows.begin(), rows.end());
  hosts.reserve(rows.size());
  for (const auto& [n, name] : rows) {
    std::string host = ini.readString(name, "host", "");
    const std::string ports = ini.readString(name, "port", "");
    if (!IsValidIP(host)) continue;
    hosts.push_back(MonitoredHost{std::move(host), NormalisePorts(ports), {}});
  }
}

void LoadSettings(const std::string& path, AlertSettings& settings,
                  std::vector<MonitoredHost>& hosts) {
  hosts.clear();
  std::string content;
  if (ReadWholeFile(path, content, nullptr) != ReadStatus::Ok) return;
  LoadSettingsFromIni(IniFile(content), settings, hosts);
}

void SaveHostsToIni(IniFile& ini, const std::vector<MonitoredHost>& hosts) {
  ini.writeInteger("config", "hostcount", static_cast<std::int32_t>(hosts.size()));
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    const std::string section = HostSection(i + 1);
    ini.writeString(section, "host", hosts[i].host);
    ini.writeString(section, "port", hosts[i].ports);
  }
}

void SaveAlertSettingsToIni(IniFile& ini, const AlertSettings& settings) {
  ini.writeBool("config", "message", settings.showMessage);
  ini.writeBool("config", "email", settings.sendEmail);
  ini.writeBool("config", "run", settings.runAtLogon);
  ini.writeInteger("config", "interval", settings.interval);
  ini.writeString("email", "smtpserver", settings.smtpServer);
  ini.writeString("email", "username", settings.userName);
  ini.writeString("email", "password", EncodePassword(settings.password));
  ini.writeString("email", "mail", settings.receiveEmail);
  ini.writeBool("email", "auth", settings.authentication);
}

SaveResult SaveHosts(const std::string& path, const std::vector<MonitoredHost>& hosts) {
  IniFile ini;
  if (!ReadForUpdate(path, ini)) return {false, "Unable to write to " + path};
  SaveHostsToIni(ini, hosts);
  return Replace(path, ini);
}

SaveResult SaveAlertSettings(const std::string& path, const AlertSettings& settings) {
  IniFile ini;
  if (!ReadForUpdate(path, ini)) return {false, "Unable to write to " + path};
  SaveAlertSettingsToIni(ini, settings);
  return Replace(path, ini);
}

}  // namespace varnley
