#include "model/Settings.h"

#include <algorithm>
#include <array>
#include <optional>
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
// Far beyond any real host list (a million hosts take about 50 MiB); a bigger file is not
// ours to load, nor to replace.
constexpr std::size_t kMaxFileSize = std::size_t{1} << 30;

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
  switch (ReadWholeFile(path, content, kMaxFileSize, nullptr)) {
    case ReadStatus::Ok:
      ini = IniFile(std::move(content));
      return true;
    case ReadStatus::Missing:
      return true;
    case ReadStatus::Failed:
      break;
  }
  return false;
}

}  // namespace

namespace {

// "21,80,443," as we write it: ports 1..65535 without sign, spaces or leading zeros, each
// followed by a comma. Such a text normalises to itself.
bool IsCanonicalPorts(std::string_view text) {
  std::size_t digits = 0;
  std::uint32_t value = 0;
  for (char c : text) {
    if (c == ',') {
      if (digits == 0 || value == 0 || value > kMaxPort) return false;
      digits = 0;
      value = 0;
    } else if (c >= '0' && c <= '9' && !(digits == 0 && c == '0') && digits < 5) {
      value = value * 10 + static_cast<std::uint32_t>(c - '0');
      ++digits;
    } else {
      return false;
    }
  }
  return digits == 0;
}

}  // namespace

std::string NormalisePorts(std::string_view text) {
  if (IsCanonicalPorts(text)) return std::string(text);
  std::string out;
  std::size_t start = 0;
  while (start <= text.size()) {
    auto comma = text.find(',', start);
    if (comma == std::string_view::npos) comma = text.size();
    std::string_view entry = text.substr(start, comma - start);
    while (!entry.empty() && static_cast<unsigned char>(entry.front()) <= ' ') entry.remove_prefix(1);
    while (!entry.empty() && static_cast<unsigned char>(entry.back()) <= ' ') entry.remove_suffix(1);
    const int port = ParseIniInteger(entry).value_or(0);
    if (port > 0 && port <= kMaxPort) {
      char digits[8];
      const auto end = std::to_chars(digits, digits + sizeof digits, port).ptr;
      out.append(digits, end);
      out += ',';
    }
    start = comma + 1;
  }
  return out;
}

namespace {

// The first line of each key we read from [config] or [email]; empty when absent.
struct KeyLines {
  std::array<std::string_view, 5> lines;
  std::array<bool, 5> found{};
};

void NoteKey(KeyLines& keys, const std::array<std::string_view, 5>& names, std::string_view key,
             std::string_view line) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (!keys.found[i] && EqualsIgnoreCase(key, names[i])) {
      keys.found[i] = true;
      keys.lines[i] = line;
      return;
    }
  }
}

std::optional<std::string> ValueOf(const KeyLines& keys, std::size_t i) {
  if (!keys.found[i]) return std::nullopt;
  return IniValueOf(keys.lines[i]);
}

bool BoolOf(const KeyLines& keys, std::size_t i, bool defaultValue) {
  const auto v = ValueOf(keys, i);
  return v ? ParseIniInteger(*v).value_or(defaultValue ? 1 : 0) != 0 : defaultValue;
}

std::int32_t IntegerOf(const KeyLines& keys, std::size_t i, std::int32_t defaultValue) {
  const auto v = ValueOf(keys, i);
  return v ? ParseIniInteger(*v).value_or(defaultValue) : defaultValue;
}

constexpr std::uint32_t kAbsent = 0xFFFFFFFF;

// The value of the key line that starts at `at` ("" when kAbsent).
std::string ValueAt(std::string_view content, std::uint32_t at) {
  if (at == kAbsent) return {};
  std::size_t end = at;
  while (end < content.size() && content[end] != '\n' && content[end] != '\r') ++end;
  return IniValueOf(content.substr(at, end - at));
}

constexpr std::array<std::string_view, 5> kConfigKeys = {"message", "email", "run", "interval",
                                                         "hostcount"};
constexpr std::array<std::string_view, 5> kEmailKeys = {"smtpserver", "username", "password",
                                                        "mail", "auth"};

}  // namespace

// One pass over the lines with IniFile's reading rules (first section of a name, first key
// of a name within it), without building the editable line table: a large host list loads
// in little more than the time it takes to read its lines.
void LoadSettingsFromText(std::string_view content, AlertSettings& settings,
                          std::vector<MonitoredHost>& hosts) {
  hosts.clear();
  // Offsets into the text fit 32 bits for any file we load (LoadSettings stops at 1 GiB).
  if (content.size() >= kAbsent) content = content.substr(0, kAbsent - 1);
  // Each host section becomes a row (its number and where its "host" and "port" lines start);
  // the ones past hostcount, repeated or invalid are dropped once the whole file is read,
  // since hostcount may come last.
  struct Row {
    std::int64_t number;
    std::uint32_t host = kAbsent, port = kAbsent;
  };
  std::vector<Row> rows;
  // Each section has a "[": an upper bound that costs nothing where unused.
  rows.reserve(static_cast<std::size_t>(std::count(content.begin(), content.end(), '[')));
  KeyLines config, email;
  bool seenConfig = false, seenEmail = false;
  enum class In { Nothing, Config, Email, Host } in = In::Nothing;

  ForEachIniLine(content, [&](std::string_view line, int) {
    const IniLine parsed = ParseIniLine(line);
    if (parsed.kind == IniLine::Kind::Header) {
      in = In::Nothing;
      if (EqualsIgnoreCase(parsed.name, "config")) {
        if (!seenConfig) in = In::Config;
        seenConfig = true;
      } else if (EqualsIgnoreCase(parsed.name, "email")) {
        if (!seenEmail) in = In::Email;
        seenEmail = true;
      } else if (const std::int64_t n = HostSectionNumber(parsed.name); n > 0) {
        // A repeated [hostN] is dropped below, after the rows are in number order.
        rows.push_back(Row{n});
        in = In::Host;
      }
    } else if (parsed.kind == IniLine::Kind::Key) {
      switch (in) {
        case In::Config: NoteKey(config, kConfigKeys, parsed.name, line); break;
        case In::Email: NoteKey(email, kEmailKeys, parsed.name, line); break;
        case In::Host: {
          Row& row = rows.back();
          const auto at = static_cast<std::uint32_t>(line.data() - content.data());
          if (row.host == kAbsent && EqualsIgnoreCase(parsed.name, "host")) row.host = at;
          else if (row.port == kAbsent && EqualsIgnoreCase(parsed.name, "port")) row.port = at;
          break;
        }
        case In::Nothing: break;
      }
    }
  });

  settings.showMessage = BoolOf(config, 0, settings.showMessage);
  settings.sendEmail = BoolOf(config, 1, false);
  settings.runAtLogon = BoolOf(config, 2, false);
  settings.interval = std::clamp(IntegerOf(config, 3, 1), kMinInterval, kMaxInterval);
  settings.smtpServer = ValueOf(email, 0).value_or("");
  settings.userName = ValueOf(email, 1).value_or("");
  settings.password = DecodePassword(ValueOf(email, 2).value_or(""));
  settings.receiveEmail = ValueOf(email, 3).value_or("");
  settings.authentication = BoolOf(email, 4, false);

  // Rows 1..hostcount in order. Walking the sections that exist instead of every number up to
  // hostcount gives the same rows, and a count of two billion costs nothing.
  const std::int64_t hostCount = IntegerOf(config, 4, 0);
  const auto byNumber = [](const Row& a, const Row& b) { return a.number < b.number; };
  // Files we wrote list the rows in order already; others may not. Stable, so that of two
  // sections of one name the first stays first.
  if (!std::is_sorted(rows.begin(), rows.end(), byNumber))
    std::stable_sort(rows.begin(), rows.end(), byNumber);
  hosts.reserve(rows.size());
  std::int64_t previous = 0;
  for (const Row& row : rows) {
    if (row.number > hostCount) break;
    if (row.number == previous) continue;
    previous = row.number;
    std::string host = ValueAt(content, row.host);
    if (!IsValidIP(host)) continue;
    hosts.push_back(MonitoredHost{std::move(host), NormalisePorts(ValueAt(content, row.port)), {}});
  }
}

void LoadSettings(const std::string& path, AlertSettings& settings,
                  std::vector<MonitoredHost>& hosts) {
  hosts.clear();
  std::string content;
  if (ReadWholeFile(path, content, kMaxFileSize, nullptr) != ReadStatus::Ok) return;
  LoadSettingsFromText(content, settings, hosts);
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
