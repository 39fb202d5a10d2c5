#include "model/Settings.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
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
  if (name.size() < 5 || !EqualsIgnoreCase(name.substr(0, 4), "host") || name[4] == '0') return 0;
  std::int64_t n = 0;
  const auto digits = name.substr(4);
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
  if (ec != std::errc() || end != digits.data() + digits.size()) return 0;
  return n;
}

SaveResult Replace(const std::string& path, const IniFile& ini) {
  AtomicFileWriter writer(path);
  ini.writeTo([&writer](std::string_view piece) { writer.append(piece); });
  if (!writer.commit(nullptr)) return {false, "Unable to write to " + path};
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
    while (!entry.empty() && static_cast<unsigned char>(entry.front()) <= ' ')
      entry.remove_prefix(1);
    while (!entry.empty() && static_cast<unsigned char>(entry.back()) <= ' ')
      entry.remove_suffix(1);
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

constexpr std::array<std::string_view, 8> kConfigKeys = {
    "message", "email", "run", "interval", "hostcount", "timeout", "retries", "parallel"};
constexpr std::array<std::string_view, 7> kEmailKeys = {
    "smtpserver", "username", "password", "mail", "auth", "security", "verify"};

// The values of the keys we read from [config] or [email], the first of each name.
template <std::size_t N>
struct KeyValues {
  std::array<std::optional<std::string>, N> values;

  void note(const std::array<std::string_view, N>& names, std::string_view key,
            std::string_view line) {
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (!values[i] && EqualsIgnoreCase(key, names[i])) {
        values[i] = IniValueOf(line);
        return;
      }
    }
  }
  std::string text(std::size_t i) const { return values[i].value_or(""); }
  std::int32_t integer(std::size_t i, std::int32_t defaultValue) const {
    return values[i] ? ParseIniInteger(*values[i]).value_or(defaultValue) : defaultValue;
  }
  bool flag(std::size_t i, bool defaultValue) const { return integer(i, defaultValue) != 0; }
};

// Reads the settings line by line with IniFile's rules (the first section of a name, the
// first key of a name within it), so that a large host list loads without keeping the file:
// each line is looked at once, while it is still in the cache.
class SettingsReader {
 public:
  SettingsReader(std::vector<MonitoredHost>& hosts, std::size_t expectedRows) : hosts_(hosts) {
    hosts_.clear();
    hosts_.reserve(expectedRows);
    numbers_.reserve(expectedRows);
  }

  void line(std::string_view line) {
    const IniLine parsed = ParseIniLine(line);
    if (parsed.kind == IniLine::Kind::Header) {
      in_ = In::Nothing;
      if (EqualsIgnoreCase(parsed.name, "config")) {
        if (!seenConfig_) in_ = In::Config;
        seenConfig_ = true;
      } else if (EqualsIgnoreCase(parsed.name, "email")) {
        if (!seenEmail_) in_ = In::Email;
        seenEmail_ = true;
      } else if (const std::int64_t n = HostSectionNumber(parsed.name); n > 0) {
        // Every host section becomes a row at once; finish() drops those past hostcount
        // (which may come last), repeated or invalid.
        hosts_.emplace_back();
        numbers_.push_back(n);
        hasHost_ = hasPort_ = false;
        in_ = In::Host;
      }
      return;
    }
    if (parsed.kind != IniLine::Kind::Key) return;
    switch (in_) {
      case In::Config:
        config_.note(kConfigKeys, parsed.name, line);
        break;
      case In::Email:
        email_.note(kEmailKeys, parsed.name, line);
        break;
      case In::Host:
        if (!hasHost_ && EqualsIgnoreCase(parsed.name, "host")) {
          hosts_.back().host = IniValueOf(line);
          hasHost_ = true;
        } else if (!hasPort_ && EqualsIgnoreCase(parsed.name, "port")) {
          hosts_.back().ports = NormalisePorts(IniValueOf(line));
          hasPort_ = true;
        }
        break;
      case In::Nothing:
        break;
    }
  }

  void finish(AlertSettings& settings) {
    settings.showMessage = config_.flag(0, settings.showMessage);
    settings.sendEmail = config_.flag(1, false);
    settings.runAtLogon = config_.flag(2, false);
    settings.interval = std::clamp(config_.integer(3, 1), kMinInterval, kMaxInterval);
    settings.smtpServer = email_.text(0);
    settings.userName = email_.text(1);
    settings.password = DecodePassword(email_.text(2));
    settings.receiveEmail = email_.text(3);
    settings.authentication = email_.flag(4, false);
    settings.security = Trim(email_.text(5));
    settings.verifyCertificate = email_.flag(6, true);
    settings.timeout = std::clamp(config_.integer(5, 0), 0, kMaxTimeout);
    settings.retries = std::clamp(config_.integer(6, 0), 0, kMaxRetries);
    settings.parallel = std::clamp(config_.integer(7, 1), 1, kMaxParallel);
    keepRows(config_.integer(4, 0));
  }

 private:
  // Rows 1..hostcount in number order, the first section of each number, valid hosts only:
  // what reading "host1", "host2", ... up to hostcount would give, without walking every
  // number up to a hostcount of two billion.
  void keepRows(std::int64_t hostCount) {
    const bool inOrder = std::adjacent_find(numbers_.begin(), numbers_.end(),
                                            std::greater_equal<>()) == numbers_.end();
    std::vector<std::size_t> order;
    if (!inOrder) {
      order.resize(numbers_.size());
      for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
      std::stable_sort(order.begin(), order.end(),
                       [&](std::size_t a, std::size_t b) { return numbers_[a] < numbers_[b]; });
    }
    std::vector<MonitoredHost> kept;
    std::vector<MonitoredHost>& out = inOrder ? hosts_ : kept;
    std::size_t count = 0;
    std::int64_t previous = 0;
    for (std::size_t k = 0; k < numbers_.size(); ++k) {
      const std::size_t i = inOrder ? k : order[k];
      if (numbers_[i] > hostCount) break;
      if (numbers_[i] == previous) continue;
      previous = numbers_[i];
      if (!IsValidIP(hosts_[i].host)) continue;
      if (inOrder) {
        if (count != i) hosts_[count] = std::move(hosts_[i]);
        ++count;
      } else {
        kept.push_back(std::move(hosts_[i]));
      }
    }
    if (inOrder)
      hosts_.resize(count);
    else
      hosts_ = std::move(out);
  }

  enum class In { Nothing, Config, Email, Host };
  std::vector<MonitoredHost>& hosts_;
  std::vector<std::int64_t> numbers_;  // section number of each row in hosts_
  KeyValues<kConfigKeys.size()> config_;
  KeyValues<kEmailKeys.size()> email_;
  In in_ = In::Nothing;
  bool seenConfig_ = false, seenEmail_ = false;
  bool hasHost_ = false, hasPort_ = false;
};

// A guess at the rows a file of this size can hold, to size the lists once; capacity that is
// never used costs no memory.
std::size_t ExpectedRows(std::size_t fileSize) {
  return std::min<std::size_t>(fileSize / 16 + 1, std::size_t{1} << 22);
}

constexpr std::size_t kChunkSize = 64 * 1024;

}  // namespace

void LoadSettingsFromText(std::string_view content, AlertSettings& settings,
                          std::vector<MonitoredHost>& hosts) {
  SettingsReader reader(hosts, ExpectedRows(content.size()));
  ForEachIniLine(content, [&](std::string_view line, int) { reader.line(line); });
  reader.finish(settings);
}

void LoadSettings(const std::string& path, AlertSettings& settings,
                  std::vector<MonitoredHost>& hosts) {
  hosts.clear();
  // The reader is built on the first piece, once the size is known.
  std::optional<SettingsReader> reader;
  std::size_t fileSize = 0;
  IniLineSplitter splitter;
  const auto onLine = [&](std::string_view line, int) { reader->line(line); };
  const ReadStatus status = ReadFileInChunks(
      path, kMaxFileSize, kChunkSize,
      [&](std::string_view chunk) {
        if (!reader) reader.emplace(hosts, ExpectedRows(fileSize));
        splitter.feed(chunk, onLine);
      },
      &fileSize, nullptr);
  // A file that cannot be read as a whole changes nothing.
  if (status != ReadStatus::Ok) {
    hosts.clear();
    return;
  }
  if (!reader) reader.emplace(hosts, 0);
  splitter.finish(onLine);
  reader->finish(settings);
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
  // Written once they say something other than the default, or are in the file already: an
  // older file stays as it was until TLS is chosen.
  const bool plain = settings.security.empty() || EqualsIgnoreCase(settings.security, "none");
  if (!plain || ini.value("email", "security"))
    ini.writeString("email", "security", settings.security);
  if (!settings.verifyCertificate || ini.value("email", "verify"))
    ini.writeBool("email", "verify", settings.verifyCertificate);
  // Keys a file did not have stay out of it while they hold the behaviour of their absence.
  const auto writeOptional = [&ini](std::string_view key, std::int32_t value, std::int32_t absent) {
    if (value != absent || ini.value("config", key)) ini.writeInteger("config", key, value);
  };
  writeOptional("timeout", settings.timeout, 0);
  writeOptional("retries", settings.retries, 0);
  writeOptional("parallel", settings.parallel, 1);
}

namespace {

// One pass over the file, handing unchanged stretches to sink whole, with no lookup per key:
// only the first section of each name we write is touched, as IniFile would.
template <class Sink>
class HostsSaver {
 public:
  HostsSaver(std::string_view body, const std::vector<MonitoredHost>& hosts, Sink& sink)
      : sink_(sink),
        body_(body),
        hosts_(hosts),
        count_(std::to_string(static_cast<std::int32_t>(hosts.size()))),
        ending_(IniNewLineEnding(body)),
        hostSeen_(hosts.size() + 1, false) {}

  void run() {
    ForEachIniLine(body_, [this](std::string_view line, int ending) { onLine(line, ending); });
    closeSection();
    if (!configSeen_) {
      insertAt(body_.size());
      addHeader("config");
      addKey("hostcount", count_);
    }
    for (std::size_t i = 1; i <= hosts_.size(); ++i) {
      if (hostSeen_[i]) continue;
      insertAt(body_.size());
      addHeader(HostSection(i));
      addKey("host", hosts_[i - 1].host);
      addKey("port", hosts_[i - 1].ports);
    }
    copyTo(body_.size());
  }

 private:
  static constexpr std::size_t kNoTarget = ~std::size_t{0};
  static constexpr std::size_t kConfig = 0;  // else a host row, from 1

  std::size_t offsetOf(std::string_view line) const {
    return static_cast<std::size_t>(line.data() - body_.data());
  }

  // "key=..." with nothing around the key, the way this program writes it: known without
  // parsing the line.
  // key is in small letters: setting bit 5 turns a capital letter, and nothing else, into its
  // small one.
  static bool PlainKey(std::string_view line, std::string_view key) {
    if (line.size() <= key.size() || line[key.size()] != '=') return false;
    for (std::size_t i = 0; i < key.size(); ++i)
      if ((line[i] | 0x20) != key[i]) return false;
    return true;
  }

  void onLine(std::string_view line, int ending) {
    const std::size_t lineEnd = offsetOf(line) + line.size() + (ending == 2 ? 2 : ending ? 1 : 0);
    const char first = line.empty() ? ' ' : line.front();
    // A line that starts with anything but a blank or "[" is no header; outside the sections
    // we write, nothing else matters.
    if (target_ == kNoTarget && first != '[' && static_cast<unsigned char>(first) > ' ') return;
    if (target_ > kConfig && target_ != kNoTarget) {
      if (PlainKey(line, "host")) return onKey(line, lineEnd, 1, 5);
      if (PlainKey(line, "port")) return onKey(line, lineEnd, 2, 5);
    }
    const IniLine parsed = ParseIniLine(line);
    if (parsed.kind == IniLine::Kind::Header) {
      closeSection();
      if (!configSeen_ && EqualsIgnoreCase(parsed.name, "config")) {
        configSeen_ = true;
        target_ = kConfig;
      } else {
        const std::int64_t n = HostSectionNumber(parsed.name);
        if (n >= 1 && static_cast<std::uint64_t>(n) <= hosts_.size() &&
            !hostSeen_[static_cast<std::size_t>(n)]) {
          hostSeen_[static_cast<std::size_t>(n)] = true;
          target_ = static_cast<std::size_t>(n);
        }
      }
      anchorEnd_ = lineEnd;
      return;
    }
    if (target_ == kNoTarget || parsed.kind != IniLine::Kind::Key) return;
    if (target_ == kConfig) {
      anchorEnd_ = lineEnd;
      if (!firstDone_ && KeyMatches(line, "hostcount")) {
        firstDone_ = true;
        rewrite(line, count_);
      }
      return;
    }
    onKey(line, lineEnd, KeyMatches(line, "host") ? 1 : KeyMatches(line, "port") ? 2 : 0, 0);
  }

  // A key line in a host section: which is 1 for host, 2 for port, 0 for another key;
  // valueStart, when not 0, is where the text after "=" starts.
  void onKey(std::string_view line, std::size_t lineEnd, int which, std::size_t valueStart) {
    anchorEnd_ = lineEnd;
    const MonitoredHost& host = hosts_[target_ - 1];
    if (which == 1 && !firstDone_) {
      firstDone_ = true;
      rewrite(line, host.host, valueStart);
    } else if (which == 2 && !secondDone_) {
      secondDone_ = true;
      rewrite(line, host.ports, valueStart);
    }
  }

  // New keys go after the section's last key line, ahead of the comments and blanks after it.
  void closeSection() {
    if (target_ == kNoTarget) return;
    if (target_ == kConfig) {
      if (!firstDone_) {
        insertAt(anchorEnd_);
        addKey("hostcount", count_);
      }
    } else {
      const MonitoredHost& host = hosts_[target_ - 1];
      if (!firstDone_ || !secondDone_) insertAt(anchorEnd_);
      if (!firstDone_) addKey("host", host.host);
      if (!secondDone_) addKey("port", host.ports);
    }
    target_ = kNoTarget;
    firstDone_ = secondDone_ = false;
  }

  void rewrite(std::string_view line, std::string_view value, std::size_t valueStart = 0) {
    if (valueStart != 0) {
      // Text that is the value exactly, with nothing a reader would trim or unquote, is the
      // common case, decided without IniValueUnchanged's general rules.
      const std::string_view rest = line.substr(valueStart);
      if (rest == value && (rest.empty() || (static_cast<unsigned char>(rest.front()) > ' ' &&
                                             static_cast<unsigned char>(rest.back()) > ' ' &&
                                             rest.front() != '"' && rest.front() != '\'')))
        return;
    }
    if (IniValueUnchanged(line, value)) return;
    copyTo(offsetOf(line));
    scratch_.clear();
    AppendIniRewrittenLine(scratch_, line, value);
    sink_(std::string_view(scratch_));
    copied_ = offsetOf(line) + line.size();
  }

  void copyTo(std::size_t offset) {
    if (offset > copied_) sink_(body_.substr(copied_, offset - copied_));
    copied_ = offset;
  }

  // Only the file's last line can lack a line end; it gets one once something follows it.
  void insertAt(std::size_t offset) {
    copyTo(offset);
    if (offset == body_.size() && !endFixed_ && !body_.empty() && body_.back() != '\n' &&
        body_.back() != '\r') {
      sink_(ending_);
      endFixed_ = true;
    }
  }

  void addHeader(std::string_view section) {
    scratch_.clear();
    AppendIniHeaderLine(scratch_, section);
    scratch_.append(ending_);
    sink_(std::string_view(scratch_));
  }

  void addKey(std::string_view key, std::string_view value) {
    scratch_.clear();
    AppendIniKeyLine(scratch_, key, value);
    scratch_.append(ending_);
    sink_(std::string_view(scratch_));
  }

  Sink& sink_;
  std::string scratch_;
  std::string_view body_;
  const std::vector<MonitoredHost>& hosts_;
  const std::string count_;
  const std::string_view ending_;
  std::vector<bool> hostSeen_;
  bool configSeen_ = false;
  std::size_t copied_ = 0;
  bool endFixed_ = false;
  std::size_t target_ = kNoTarget;
  std::size_t anchorEnd_ = 0;
  bool firstDone_ = false;   // hostcount, or host
  bool secondDone_ = false;  // port
};

template <class Sink>
void SaveHostsTo(std::string_view content, const std::vector<MonitoredHost>& hosts, Sink&& sink) {
  // IniFile looks at no more than 4 GiB; so big a file is refused before it gets here.
  if (content.size() >= std::numeric_limits<std::uint32_t>::max() - 1) {
    IniFile ini{std::string(content)};
    SaveHostsToIni(ini, hosts);
    ini.writeTo(sink);
    return;
  }
  std::string_view body = content;
  if (body.substr(0, 3) == kUtf8ByteOrderMark) {
    sink(kUtf8ByteOrderMark);
    body.remove_prefix(3);
  }
  HostsSaver<Sink>(body, hosts, sink).run();
}

}  // namespace

std::string SaveHostsToText(std::string_view content, const std::vector<MonitoredHost>& hosts) {
  std::string out;
  out.reserve(content.size() + 256 + hosts.size() * 64);
  SaveHostsTo(content, hosts, [&out](std::string_view piece) { out += piece; });
  return out;
}

SaveResult SaveHosts(const std::string& path, const std::vector<MonitoredHost>& hosts) {
  std::string content;
  if (ReadWholeFile(path, content, kMaxFileSize, nullptr) == ReadStatus::Failed)
    return {false, "Unable to write to " + path};
  // Unchanged stretches go to the file straight from what was read, without a copy.
  AtomicFileWriter writer(path);
  SaveHostsTo(content, hosts, [&writer](std::string_view piece) { writer.append(piece); });
  if (!writer.commit(nullptr)) return {false, "Unable to write to " + path};
  return {};
}

SaveResult SaveAlertSettings(const std::string& path, const AlertSettings& settings) {
  IniFile ini;
  if (!ReadForUpdate(path, ini)) return {false, "Unable to write to " + path};
  SaveAlertSettingsToIni(ini, settings);
  return Replace(path, ini);
}

}  // namespace varnley
