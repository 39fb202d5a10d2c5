#include "model/Settings.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <functional>
#include <limits>
#include <new>
#include <optional>
#include <utility>

#include "model/AddressCheck.h"
#include "model/PasswordCoding.h"
#include "platform/FileAccess.h"
#include "platform/Paths.h"
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

constexpr std::array<std::string_view, 9> kConfigKeys = {"message",  "email",     "run",
                                                         "interval", "hostcount", "timeout",
                                                         "retries",  "parallel",  "metrics"};
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

}  // namespace

std::string LoadedPorts(std::string_view raw) {
  std::size_t length = IniCutLength(raw);
  if (length < raw.size() && raw[length] != ',') {
    const std::size_t comma = raw.substr(0, length).rfind(',');
    length = comma == std::string_view::npos ? 0 : comma + 1;
  }
  return NormalisePorts(raw.substr(0, length));
}

namespace {

// The host sections that count (the first of each number), each with a mark for those that
// make a row. Files list their sections in order, and those cost one sorted entry each; only
// numbers that come out of order go to a hash set. Numbers are 1..2^31-1, so the top bit is
// free for the mark.
class SectionNumbers {
 public:
  static constexpr std::uint32_t kRow = 0x80000000u;
  static constexpr std::uint32_t kNumber = ~kRow;

  // A file of this size has at most this many sections (each takes at least 8 bytes): room
  // reserved once, so the list never moves, and pages never used cost nothing.
  void expect(std::size_t fileSize) { ordered_.reserve(fileSize / 8 + 1); }

  // Where the entry for n goes, or nullptr when n was there already.
  std::uint32_t* insert(std::uint32_t n) {
    if (ordered_.empty() || n > (ordered_.back() & kNumber)) {
      ordered_.push_back(n);
      return &ordered_.back();
    }
    const auto at =
        std::lower_bound(ordered_.begin(), ordered_.end(), n,
                         [](std::uint32_t e, std::uint32_t x) { return (e & kNumber) < x; });
    if (at != ordered_.end() && (*at & kNumber) == n) return nullptr;
    if ((used_ + 1) * 2 > slots_.size()) grow();
    return place(n);
  }

  // The numbers marked as rows, sorted; the set is empty afterwards.
  std::vector<std::uint32_t> takeRows() {
    std::vector<std::uint32_t> rows = std::move(ordered_);
    std::erase_if(rows, [](std::uint32_t e) { return !(e & kRow); });
    for (std::uint32_t e : slots_)
      if (e & kRow) rows.push_back(e);
    for (std::uint32_t& e : rows) e &= kNumber;
    std::sort(rows.begin(), rows.end());
    rows.shrink_to_fit();
    slots_ = {};
    used_ = 0;
    return rows;
  }

 private:
  static std::size_t Hash(std::uint32_t n) { return (n * 0x9E3779B1u) >> 7; }
  std::uint32_t* place(std::uint32_t n) {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = Hash(n) & mask;; i = (i + 1) & mask) {
      if ((slots_[i] & kNumber) == n) return nullptr;
      if (slots_[i] == 0) {
        slots_[i] = n;
        ++used_;
        return &slots_[i];
      }
    }
  }
  void grow() {
    std::vector<std::uint32_t> old(std::max<std::size_t>(64, slots_.size() * 2), 0);
    old.swap(slots_);
    used_ = 0;
    for (std::uint32_t e : old)
      if (e != 0) *place(e & kNumber) = e;
  }

  std::vector<std::uint32_t> ordered_;
  std::vector<std::uint32_t> slots_;  // 0 = free; section numbers start at 1
  std::size_t used_ = 0;
};

// Reads the settings line by line with IniFile's rules (the first section of a name, the
// first key of a name within it), so that a large host list loads without keeping the file.
// It goes over the file twice: the first time to learn the settings and which host sections
// make rows, the second to fill those rows straight into their places in the list. Memory is
// then the list itself plus a few bytes for each host section, whatever the file holds.
class SettingsReader {
 public:
  explicit SettingsReader(std::vector<MonitoredHost>& hosts) : hosts_(hosts) { hosts_.clear(); }

  void expect(std::size_t fileSize) { sections_.expect(fileSize); }

  void line(std::string_view line) {
    // Outside the sections read, only a header matters, and a line that starts with anything
    // but a blank or "[" is none.
    if (in_ == In::Nothing && !line.empty() && line.front() != '[' &&
        static_cast<unsigned char>(line.front()) > ' ')
      return;
    const IniLine parsed = ParseIniLine(line);
    if (parsed.kind == IniLine::Kind::Header) {
      closeHostSection();
      in_ = In::Nothing;
      if (filling_) {
        openHostSectionToFill(parsed.name);
      } else if (EqualsIgnoreCase(parsed.name, "config")) {
        if (!seenConfig_) in_ = In::Config;
        seenConfig_ = true;
      } else if (EqualsIgnoreCase(parsed.name, "email")) {
        if (!seenEmail_) in_ = In::Email;
        seenEmail_ = true;
      } else if (const std::int64_t n = HostSectionNumber(parsed.name);
                 n > 0 && n <= knownHostCount()) {
        entry_ = sections_.insert(static_cast<std::uint32_t>(n));
        if (entry_) openHostSection(static_cast<std::uint32_t>(n));
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
          host_ = IniValueOf(line);
          hasHost_ = true;
        } else if (filling_ && !hasPort_ && EqualsIgnoreCase(parsed.name, "port")) {
          port_.assign(IniRawValueOf(line));
          hasPort_ = true;
        }
        break;
      case In::Nothing:
        break;
    }
  }

  // After the first time over the file: makes room for exactly the rows that will be kept.
  // False when there are none, and so nothing to read again.
  bool startFilling() {
    closeHostSection();
    in_ = In::Nothing;  // the second reading starts outside any section, as the first did
    const std::int64_t hostCount = config_.integer(kHostCountKey, 0);
    rowNumbers_ = sections_.takeRows();
    std::erase_if(rowNumbers_, [&](std::uint32_t n) { return n > hostCount; });
    hosts_.resize(rowNumbers_.size());
    filled_.assign(rowNumbers_.size(), false);
    filling_ = true;
    return !rowNumbers_.empty();
  }

  void finish(AlertSettings& settings) {
    closeHostSection();
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
    // Read only: no window edits it, so a save leaves the line as the user wrote it.
    settings.metrics = Trim(config_.text(8));
    // Only a file changed between the two readings leaves a place empty.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < hosts_.size(); ++i) {
      if (!filled_[i]) continue;
      if (kept != i) hosts_[kept] = std::move(hosts_[i]);
      ++kept;
    }
    hosts_.resize(kept);
  }

 private:
  static constexpr std::size_t kHostCountKey = 4;

  // Once the first [config] section has named it, sections beyond hostcount need no memory.
  std::int64_t knownHostCount() const {
    if (!config_.values[kHostCountKey]) return std::numeric_limits<std::int32_t>::max();
    return config_.integer(kHostCountKey, 0);
  }

  void openHostSection(std::uint32_t n) {
    in_ = In::Host;
    number_ = n;
    host_.clear();
    port_.clear();
    hasHost_ = hasPort_ = false;
  }

  void openHostSectionToFill(std::string_view name) {
    const std::int64_t n = HostSectionNumber(name);
    if (n <= 0 || n > std::numeric_limits<std::int32_t>::max()) return;
    const auto at = std::lower_bound(rowNumbers_.begin(), rowNumbers_.end(), n);
    if (at == rowNumbers_.end() || *at != n) return;
    place_ = static_cast<std::size_t>(at - rowNumbers_.begin());
    if (!filled_[place_]) openHostSection(static_cast<std::uint32_t>(n));
  }

  void closeHostSection() {
    if (in_ != In::Host) return;
    in_ = In::Nothing;
    if (!IsValidIP(host_)) return;
    if (!filling_) {
      // No section is added while one is open: the entry is still where the header put it.
      *entry_ |= SectionNumbers::kRow;
      return;
    }
    hosts_[place_] = MonitoredHost{host_, LoadedPorts(port_), {}};
    filled_[place_] = true;
  }

  enum class In { Nothing, Config, Email, Host };
  std::vector<MonitoredHost>& hosts_;
  // First reading: the host sections that count; second: the numbers of those that make rows,
  // sorted, as the places of the rows in the list.
  SectionNumbers sections_;
  std::uint32_t* entry_ = nullptr;  // the current section's entry, during the first reading
  std::vector<std::uint32_t> rowNumbers_;
  std::vector<bool> filled_;
  KeyValues<kConfigKeys.size()> config_;
  KeyValues<kEmailKeys.size()> email_;
  In in_ = In::Nothing;
  bool filling_ = false;
  bool seenConfig_ = false, seenEmail_ = false;
  std::uint32_t number_ = 0;
  std::size_t place_ = 0;
  std::string host_, port_;
  bool hasHost_ = false, hasPort_ = false;
};

constexpr std::size_t kChunkSize = 64 * 1024;

}  // namespace

void LoadSettingsFromText(std::string_view content, AlertSettings& settings,
                          std::vector<MonitoredHost>& hosts) {
  SettingsReader reader(hosts);
  reader.expect(content.size());
  const auto onLine = [&](std::string_view line, int) { reader.line(line); };
  ForEachIniLine(content, onLine);
  if (reader.startFilling()) ForEachIniLine(content, onLine);
  reader.finish(settings);
}

void LoadSettings(const std::string& path, AlertSettings& settings,
                  std::vector<MonitoredHost>& hosts) {
  SettingsReader reader(hosts);
  const auto onLine = [&](std::string_view line, int) { reader.line(line); };
  std::size_t fileSize = 0;
  bool expected = false;
  const auto readAll = [&] {
    IniLineSplitter splitter;
    const ReadStatus status = ReadFileInChunks(
        path, kMaxFileSize, kChunkSize,
        [&](std::string_view chunk) {
          if (!expected) reader.expect(fileSize);
          expected = true;
          splitter.feed(chunk, onLine);
        },
        &fileSize, nullptr);
    if (status == ReadStatus::Ok) splitter.finish(onLine);
    return status == ReadStatus::Ok;
  };
  if (!readAll()) {
    hosts.clear();
    return;
  }
  // A file that cannot be read as a whole changes nothing.
  if (reader.startFilling() && !readAll()) {
    hosts.clear();
    return;
  }
  reader.finish(settings);
}

void SaveHostsToIni(IniFile& ini, const std::vector<MonitoredHost>& hosts) {
  ini.writeInteger("config", "hostcount", static_cast<std::int32_t>(hosts.size()));
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    const std::string section = HostSection(i + 1);
    ini.writeString(section, "host", hosts[i].host);
    ini.writeString(section, "port", hosts[i].ports);
  }
}

namespace {

// The keys beyond the original layout: a save writes each only once it differs from its
// default or the file has it already, so an older file stays as it was.
constexpr std::array<std::pair<std::string_view, std::string_view>, 5> kOptionalKeys = {{
    {"email", "security"},
    {"email", "verify"},
    {"config", "timeout"},
    {"config", "retries"},
    {"config", "parallel"},
}};

// Every alert setting the file holds, in the order they are written; ini is an IniFile or the
// list a one-pass save works from.
template <class Ini>
void WriteAlertSettings(Ini& ini, const AlertSettings& settings) {
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

// Writes collected in order, grouped by section as IniFile would place them: a plan for the
// one-pass save.
class WriteList {
 public:
  // content: the file the writes will go into. One pass over it finds which of the optional
  // keys it has already, in the first section of their name, as IniFile reads it.
  explicit WriteList(std::string_view content) {
    std::array<bool, kOptionalKeys.size()> inSection{}, passed{};
    ForEachIniLine(content, [&](std::string_view line, int) {
      const IniLine parsed = ParseIniLine(line);
      for (std::size_t i = 0; i < kOptionalKeys.size(); ++i) {
        if (parsed.kind == IniLine::Kind::Header) {
          passed[i] = passed[i] || inSection[i];
          inSection[i] = !passed[i] && EqualsIgnoreCase(parsed.name, kOptionalKeys[i].first);
        } else if (inSection[i] && parsed.kind == IniLine::Kind::Key &&
                   EqualsIgnoreCase(parsed.name, kOptionalKeys[i].second)) {
          present_[i] = true;
        }
      }
    });
  }

  // Whether the file has this optional key; asked of those in kOptionalKeys only.
  bool value(std::string_view section, std::string_view key) const {
    for (std::size_t i = 0; i < kOptionalKeys.size(); ++i)
      if (EqualsIgnoreCase(section, kOptionalKeys[i].first) &&
          EqualsIgnoreCase(key, kOptionalKeys[i].second))
        return present_[i];
    return false;
  }

  void writeString(std::string_view section, std::string_view key, std::string_view value) {
    auto s = std::find_if(sections_.begin(), sections_.end(),
                          [&](const Section& x) { return EqualsIgnoreCase(x.name, section); });
    if (s == sections_.end()) s = sections_.insert(s, Section{std::string(section), {}});
    auto k = std::find_if(s->keys.begin(), s->keys.end(),
                          [&](const auto& x) { return EqualsIgnoreCase(x.first, key); });
    if (k == s->keys.end())
      s->keys.emplace_back(std::string(key), std::string(value));
    else
      k->second = value;
  }
  void writeInteger(std::string_view section, std::string_view key, std::int32_t value) {
    writeString(section, key, std::to_string(value));
  }
  void writeBool(std::string_view section, std::string_view key, bool value) {
    writeString(section, key, value ? "1" : "0");
  }

  static constexpr std::size_t kNone = ~std::size_t{0};
  std::size_t count() const { return sections_.size(); }
  std::size_t find(std::string_view name) const {
    for (std::size_t i = 0; i < sections_.size(); ++i)
      if (EqualsIgnoreCase(sections_[i].name, name)) return i;
    return kNone;
  }
  const std::string& name(std::size_t t) const { return sections_[t].name; }
  std::size_t keyCount(std::size_t t) const { return sections_[t].keys.size(); }
  std::string_view key(std::size_t t, std::size_t k) const { return sections_[t].keys[k].first; }
  std::string_view value(std::size_t t, std::size_t k) const { return sections_[t].keys[k].second; }

 private:
  struct Section {
    std::string name;
    std::vector<std::pair<std::string, std::string>> keys;
  };
  std::array<bool, kOptionalKeys.size()> present_{};
  std::vector<Section> sections_;
};

// The hosts save as a plan: [config] with hostcount, then [host1], [host2], ... with host and
// port, without a list of its own.
class HostsPlan {
 public:
  explicit HostsPlan(const std::vector<MonitoredHost>& hosts)
      : hosts_(hosts), count_(std::to_string(static_cast<std::int32_t>(hosts.size()))) {}

  static constexpr std::size_t kNone = ~std::size_t{0};
  std::size_t count() const { return hosts_.size() + 1; }
  std::size_t find(std::string_view name) const {
    if (EqualsIgnoreCase(name, "config")) return 0;
    const std::int64_t n = HostSectionNumber(name);
    return n >= 1 && static_cast<std::uint64_t>(n) <= hosts_.size() ? static_cast<std::size_t>(n)
                                                                    : kNone;
  }
  std::string name(std::size_t t) const { return t == 0 ? "config" : HostSection(t); }
  std::size_t keyCount(std::size_t t) const { return t == 0 ? 1 : 2; }
  std::string_view key(std::size_t t, std::size_t k) const {
    return t == 0 ? "hostcount" : k == 0 ? "host" : "port";
  }
  std::string_view value(std::size_t t, std::size_t k) const {
    if (t == 0) return count_;
    return k == 0 ? hosts_[t - 1].host : hosts_[t - 1].ports;
  }

 private:
  const std::vector<MonitoredHost>& hosts_;
  const std::string count_;
};

// One pass over the file, handing unchanged stretches to sink whole and giving each section of
// the plan its keys where IniFile's writes would put them: the first key of a name in the
// first section of a name is rewritten, a missing key goes after its section's last key line,
// a missing section at the end of the file. The bytes are those of the IniFile save.
template <class Plan, class Sink>
class OnePassSaver {
 public:
  OnePassSaver(std::string_view content, const Plan& plan, Sink& sink)
      : sink_(sink),
        content_(content),
        bodyStart_(IniBodyStart(content)),
        plan_(plan),
        ending_(IniNewLineEnding(content)),
        seen_(plan.count(), false) {}

  void run() {
    ForEachIniLine(content_, [this](std::string_view line, int ending) { onLine(line, ending); });
    closeSection();
    for (std::size_t t = 0; t < plan_.count(); ++t) {
      if (seen_[t]) continue;
      insertAt(content_.size());
      addHeader(plan_.name(t));
      for (std::size_t k = 0; k < plan_.keyCount(t); ++k)
        addKey(plan_.key(t, k), plan_.value(t, k));
    }
    copyTo(content_.size());
  }

 private:
  static constexpr std::size_t kNone = Plan::kNone;
  static constexpr std::size_t kMaxKeys = 64;

  std::size_t offsetOf(std::string_view line) const {
    return static_cast<std::size_t>(line.data() - content_.data());
  }

  // "key=..." with nothing around the key, the way this program writes it: known without
  // parsing the line. Setting bit 5 turns a capital letter, and nothing else, into its small
  // one, so it decides only for keys of small letters.
  static bool PlainKey(std::string_view line, std::string_view key) {
    if (line.size() <= key.size() || line[key.size()] != '=') return false;
    for (std::size_t i = 0; i < key.size(); ++i)
      if (key[i] < 'a' || key[i] > 'z' || (line[i] | 0x20) != key[i]) return false;
    return true;
  }

  void onLine(std::string_view line, int ending) {
    const std::size_t lineEnd = offsetOf(line) + line.size() + (ending == 2 ? 2 : ending ? 1 : 0);
    const char first = line.empty() ? ' ' : line.front();
    // A line that starts with anything but a blank or "[" is no header; outside the sections
    // we write, nothing else matters.
    if (target_ == kNone && first != '[' && static_cast<unsigned char>(first) > ' ') return;
    if (target_ != kNone) {
      for (std::size_t k = 0; k < plan_.keyCount(target_); ++k)
        if (PlainKey(line, plan_.key(target_, k)))
          return onKey(line, lineEnd, k, plan_.key(target_, k).size() + 1);
    }
    const IniLine parsed = ParseIniLine(line);
    if (parsed.kind == IniLine::Kind::Header) {
      closeSection();
      const std::size_t t = plan_.find(parsed.name);
      if (t != kNone && !seen_[t]) {
        seen_[t] = true;
        target_ = t;
      }
      anchorEnd_ = lineEnd;
      return;
    }
    if (target_ == kNone || parsed.kind != IniLine::Kind::Key) return;
    std::size_t which = kNone;
    for (std::size_t k = 0; k < plan_.keyCount(target_) && which == kNone; ++k)
      if (EqualsIgnoreCase(parsed.name, plan_.key(target_, k))) which = k;
    onKey(line, lineEnd, which, 0);
  }

  // A key line in a section we write; which is the plan's key it names (kNone for another);
  // valueStart, when not 0, is where the text after "=" starts.
  void onKey(std::string_view line, std::size_t lineEnd, std::size_t which,
             std::size_t valueStart) {
    anchorEnd_ = lineEnd;
    if (which == kNone || which >= kMaxKeys || (done_ >> which & 1)) return;
    done_ |= std::uint64_t{1} << which;
    rewrite(line, plan_.value(target_, which), valueStart);
  }

  // New keys go after the section's last key line, ahead of the comments and blanks after it.
  void closeSection() {
    if (target_ == kNone) return;
    bool inserted = false;
    for (std::size_t k = 0; k < plan_.keyCount(target_); ++k) {
      if (k < kMaxKeys && (done_ >> k & 1)) continue;
      if (!inserted) insertAt(anchorEnd_);
      inserted = true;
      addKey(plan_.key(target_, k), plan_.value(target_, k));
    }
    target_ = kNone;
    done_ = 0;
  }

  void rewrite(std::string_view line, std::string_view value, std::size_t valueStart) {
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
    if (offset > copied_) sink_(content_.substr(copied_, offset - copied_));
    copied_ = offset;
  }

  // Only the file's last line can lack a line end; it gets one once something follows it.
  void insertAt(std::size_t offset) {
    copyTo(offset);
    if (offset == content_.size() && !endFixed_ && content_.size() > bodyStart_ &&
        content_.back() != '\n' && content_.back() != '\r') {
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
  const std::string_view content_;
  const std::size_t bodyStart_;
  const Plan& plan_;
  const std::string_view ending_;
  std::vector<bool> seen_;
  std::size_t copied_ = 0;
  bool endFixed_ = false;
  std::size_t target_ = kNone;
  std::size_t anchorEnd_ = 0;
  std::uint64_t done_ = 0;  // keys of the current section already written, by plan index
};

template <class Plan, class Sink>
void SaveTo(std::string_view content, const Plan& plan, Sink&& sink) {
  OnePassSaver<Plan, Sink>(content, plan, sink).run();
}

WriteList AlertSettingsWrites(std::string_view content, const AlertSettings& settings) {
  WriteList writes(content);
  WriteAlertSettings(writes, settings);
  return writes;
}

// Reads the file a save changes, then writes it through sink; a file that cannot be read is
// not replaced, because rewriting it would drop everything it holds that we do not own.
// Whatever goes wrong, the answer is a result, never an exception.
template <class Fill>
SaveResult Save(const std::string& path, Fill&& fill) {
  const auto failed = [&path](std::string reason) {
    return SaveResult{false, "Unable to write to " + path, std::move(reason)};
  };
  try {
    std::string reason;
    if (!PrepareSettingsFolder(path, &reason)) return failed(reason);
    std::string content;
    if (ReadWholeFile(path, content, kMaxFileSize, &reason) == ReadStatus::Failed)
      return failed(reason);
    // Unchanged stretches go to the file straight from what was read, without a copy.
    AtomicFileWriter writer(path);
    fill(std::string_view(content), [&writer](std::string_view piece) { writer.append(piece); });
    if (!writer.commit(&reason)) return failed(reason);
    return {};
  } catch (const std::bad_alloc&) {
    return failed("out of memory");
  } catch (const std::exception& e) {
    return failed(e.what());
  } catch (...) {
    return failed("unexpected failure");
  }
}

}  // namespace

void SaveAlertSettingsToIni(IniFile& ini, const AlertSettings& settings) {
  WriteAlertSettings(ini, settings);
}

std::string SaveHostsToText(std::string_view content, const std::vector<MonitoredHost>& hosts) {
  std::string out;
  out.reserve(content.size() + 256 + hosts.size() * 64);
  SaveTo(content, HostsPlan(hosts), [&out](std::string_view piece) { out += piece; });
  return out;
}

std::string SaveAlertSettingsToText(std::string_view content, const AlertSettings& settings) {
  std::string out;
  out.reserve(content.size() + 512);
  SaveTo(content, AlertSettingsWrites(content, settings),
         [&out](std::string_view piece) { out += piece; });
  return out;
}

SaveResult SaveHosts(const std::string& path, const std::vector<MonitoredHost>& hosts) {
  return Save(path, [&hosts](std::string_view content, auto&& sink) {
    SaveTo(content, HostsPlan(hosts), sink);
  });
}

SaveResult SaveAlertSettings(const std::string& path, const AlertSettings& settings) {
  return Save(path, [&settings](std::string_view content, auto&& sink) {
    SaveTo(content, AlertSettingsWrites(content, settings), sink);
  });
}

}  // namespace varnley
