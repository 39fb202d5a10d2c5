// The loader: the settings file read line by line, by the rows of the key table.
#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <utility>

#include "model/AddressCheck.h"
#include "model/PasswordCoding.h"
#include "model/Settings.h"
#include "model/SettingsKeys.h"
#include "platform/FileAccess.h"
#include "platform/Resolver.h"
#include "platform/Text.h"

namespace varnley {

namespace {

constexpr int kMaxPort = 65535;
// A hostile file could drop a million rows; the first few say what happened.
constexpr std::size_t kMaxReportedLines = 50;

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

// A value quoted in a message: short, and without bytes that would break the line.
std::string Quoted(std::string_view text) {
  constexpr std::size_t kShown = 40;
  std::string out = "\"";
  for (char c : text.substr(0, kShown)) out += static_cast<unsigned char>(c) < ' ' ? '?' : c;
  if (text.size() > kShown) out += "...";
  return out + "\"";
}

// What loading a ports text left out.
struct PortNotes {
  std::size_t dropped = 0;
  std::vector<std::string> shown;  // the first few dropped entries, quoted
  bool cut = false;
};

std::string Normalise(std::string_view text, PortNotes* notes) {
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
    } else if (notes && !entry.empty()) {
      if (notes->shown.size() < 5) notes->shown.push_back(Quoted(entry));
      ++notes->dropped;
    }
    start = comma + 1;
  }
  return out;
}

std::string PortsFrom(std::string_view raw, PortNotes* notes) {
  std::size_t length = IniCutLength(raw);
  if (length < raw.size()) {
    if (notes) notes->cut = true;
    // An entry the cut fell inside is no port anyone entered.
    if (raw[length] != ',') {
      const std::size_t comma = raw.substr(0, length).rfind(',');
      length = comma == std::string_view::npos ? 0 : comma + 1;
    }
  }
  return Normalise(raw.substr(0, length), notes);
}

}  // namespace

std::string NormalisePorts(std::string_view text) { return Normalise(text, nullptr); }

std::string LoadedPorts(std::string_view raw) { return PortsFrom(raw, nullptr); }

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

// The rows of the table as the reader and the writers walk them: each row's values (one, or one
// per [webhookN]) in a flat list of slots, and the rows of each kind of section.
enum class Kind : std::uint8_t { Config, Email, Webhook, Host, Count };

Kind KindOf(std::string_view tableSection) {
  if (tableSection == "config") return Kind::Config;
  if (tableSection == "email") return Kind::Email;
  if (tableSection == "webhook") return Kind::Webhook;
  return Kind::Host;
}

struct Table {
  std::vector<std::size_t> firstSlot;  // by row
  std::size_t slots = 0;
  std::array<std::vector<std::size_t>, static_cast<std::size_t>(Kind::Count)> rowsOf;
  std::size_t hostCountSlot = 0;

  Table() {
    const auto rows = SettingsKeys();
    for (std::size_t r = 0; r < rows.size(); ++r) {
      firstSlot.push_back(slots);
      if (rows[r].key == "hostcount") hostCountSlot = slots;
      slots += rows[r].numbered() ? kWebhookCount : 1;
      rowsOf[static_cast<std::size_t>(KindOf(rows[r].section))].push_back(r);
    }
  }
  std::span<const std::size_t> rows(Kind kind) const {
    return rowsOf[static_cast<std::size_t>(kind)];
  }
};

const Table& TheTable() {
  static const Table table;
  return table;
}

std::string LinePrefix(std::size_t line) { return "settings line " + std::to_string(line) + ": "; }

// Reads the settings line by line with the document's rules (the first section of a name, the
// first key of a name within it), so that a large host list loads without keeping the file:
// the file and the rows together would not fit the memory a file may cost. It goes over the
// file at most twice: the first time to learn the settings and which host sections make rows,
// the second, only when there are rows, to fill them straight into their places in the list.
// Memory is then the list itself plus a few bytes for each host section, whatever the file
// holds.
class SettingsReader {
 public:
  explicit SettingsReader(std::vector<MonitoredHost>& hosts)
      : hosts_(hosts), slots_(TheTable().slots), slotLines_(TheTable().slots, 0) {
    hosts_.clear();
  }

  void expect(std::size_t fileSize) { sections_.expect(fileSize); }

  void line(std::string_view line) {
    ++lineNumber_;
    // Outside the sections read, only a header matters, and a line that starts with anything
    // but a blank or "[" is none.
    if (in_ == In::Nothing && !line.empty() && line.front() != '[' &&
        static_cast<unsigned char>(line.front()) > ' ')
      return;
    const IniLine parsed = ParseIniLine(line);
    if (parsed.kind == IniLine::Kind::Header) {
      closeHostSection();
      in_ = In::Nothing;
      header_ = lineNumber_;
      if (filling_)
        openHostSectionToFill(parsed.name);
      else
        openSection(parsed.name);
      return;
    }
    if (parsed.kind == IniLine::Kind::Other) {
      if (!filling_ && IniStartsWithBracket(line))
        note(LinePrefix(lineNumber_) + Quoted(Trim(line)) +
             " is not a section header (no \"]\"); line ignored");
      return;
    }
    switch (in_) {
      case In::Table:
        for (const std::size_t r : TheTable().rows(kind_)) {
          if (!EqualsIgnoreCase(parsed.name, SettingsKeys()[r].key)) continue;
          const std::size_t slot = TheTable().firstSlot[r] + instance_;
          if (!slots_[slot]) {
            slots_[slot] = IniValueOf(line);
            slotLines_[slot] = lineNumber_;
            if (slot == TheTable().hostCountSlot)
              knownCount_ = ParseIniInteger(*slots_[slot]).value_or(0);
          }
          break;
        }
        break;
      case In::Host:
        if (!hasHost_ && EqualsIgnoreCase(parsed.name, "host")) {
          host_ = IniValueOf(line);
          hasHost_ = true;
          hostLine_ = lineNumber_;
        } else if (filling_ && !hasPort_ && EqualsIgnoreCase(parsed.name, "port")) {
          port_.assign(IniRawValueOf(line));
          hasPort_ = true;
          portLine_ = lineNumber_;
        }
        break;
      case In::Nothing:
        break;
    }
  }

  // After the first time over the file: makes room for exactly the rows that will be kept.
  // False when there is nothing to read again.
  bool startFilling() {
    closeHostSection();
    in_ = In::Nothing;  // the second reading starts outside any section, as the first did
    const std::int64_t hostCount = hostCountOrZero();
    rowNumbers_ = sections_.takeRows();
    // Rows that hostcount, read after them, left out: the second reading names their lines.
    const auto beyond = std::find_if(rowNumbers_.begin(), rowNumbers_.end(),
                                     [&](std::uint32_t n) { return n > hostCount; });
    beyond_.assign(beyond, rowNumbers_.end());
    rowNumbers_.erase(beyond, rowNumbers_.end());
    hosts_.resize(rowNumbers_.size());
    filled_.assign(rowNumbers_.size(), false);
    filling_ = true;
    lineNumber_ = 0;
    return !rowNumbers_.empty() || !beyond_.empty();
  }

  void finish(AlertSettings& settings, LoadReport& report, Diagnostics& diagnostics) {
    closeHostSection();
    const auto rows = SettingsKeys();
    for (std::size_t r = 0; r < rows.size(); ++r) {
      if (rows[r].type == KeyType::Hosts) continue;
      const std::size_t instances = rows[r].numbered() ? kWebhookCount : 1;
      for (std::size_t i = 0; i < instances; ++i) read(rows[r], i, settings);
    }
    // Only a file changed between the two readings leaves a place empty.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < hosts_.size(); ++i) {
      if (!filled_[i]) continue;
      if (kept != i) hosts_[kept] = std::move(hosts_[i]);
      ++kept;
    }
    hosts_.resize(kept);

    std::stable_sort(notes_.begin(), notes_.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [line, text] : notes_) report.lines.push_back(std::move(text));
    if (unlisted_ != 0)
      report.lines.push_back("settings: " + std::to_string(unlisted_) +
                             " more lines dropped or changed at load are not listed");
    for (const std::string& text : report.lines) diagnostics.Report(Severity::Warning, text);
  }

 private:
  enum class In { Nothing, Table, Host };

  void note(std::string text) {
    if (notes_.size() < kMaxReportedLines)
      notes_.emplace_back(lineNumber_, std::move(text));
    else
      ++unlisted_;
  }

  void openSection(std::string_view name) {
    std::size_t seen = kSeenCount;
    if (EqualsIgnoreCase(name, "config")) {
      kind_ = Kind::Config;
      seen = 0;
      instance_ = 0;
    } else if (EqualsIgnoreCase(name, "email")) {
      kind_ = Kind::Email;
      seen = 1;
      instance_ = 0;
    } else if (const int w = WebhookSectionNumber(name); w != 0) {
      kind_ = Kind::Webhook;
      seen = 1 + static_cast<std::size_t>(w);
      instance_ = static_cast<std::size_t>(w - 1);
    } else if (const std::int64_t n = HostSectionNumber(name); n > 0) {
      if (n > knownHostCount()) {
        if (n <= std::numeric_limits<std::int32_t>::max())
          note(LinePrefix(lineNumber_) + "[" + std::string(name) + "] is beyond hostcount " +
               std::to_string(knownHostCount()) + "; not loaded (the file keeps it)");
        return;
      }
      entry_ = sections_.insert(static_cast<std::uint32_t>(n));
      if (entry_) openHostSection(static_cast<std::uint32_t>(n));
      return;
    }
    if (seen == kSeenCount) return;
    if (!seen_[seen]) in_ = In::Table;
    seen_[seen] = true;
  }

  // One setting from its slot, by its row's rules.
  void read(const SettingsKey& row, std::size_t instance, AlertSettings& settings) {
    const std::size_t slot = TheTable().firstSlot[&row - SettingsKeys().data()] + instance;
    const std::optional<std::string>& value = slots_[slot];
    WebhookSettings& hook = settings.webhooks[instance];
    const KeyField& f = row.field;
    switch (row.type) {
      case KeyType::Flag: {
        const std::optional<std::int32_t> n = value ? ParseIniInteger(*value) : std::nullopt;
        bool& target = f.flag ? settings.*f.flag : hook.*f.webhookFlag;
        target = n ? *n != 0 : row.keepsCurrent ? target : row.defaultNumber != 0;
        break;
      }
      case KeyType::Integer: {
        const std::optional<std::int32_t> n = value ? ParseIniInteger(*value) : std::nullopt;
        settings.*f.integer = n ? std::clamp(*n, row.min, row.max) : row.defaultNumber;
        break;
      }
      case KeyType::Text:
      case KeyType::Trimmed:
      case KeyType::Password: {
        std::string text = value ? *value : std::string(row.defaultText);
        if (row.type == KeyType::Trimmed) text = Trim(text);
        if (row.type == KeyType::Password) text = DecodePassword(text);
        if (f.text == &AlertSettings::dns) {
          // A server list the resolver cannot read would make every name DOWN; asking the
          // system's own servers instead is the default the user sees in the dialog.
          if (!ParseNameServers(text)) {
            notes_.emplace_back(
                slotLines_[slot],
                LinePrefix(slotLines_[slot]) + std::string(row.key) + " " + Quoted(text) +
                    " is not a list of name servers (ADDRESS or ADDRESS:PORT, an IPv6 address in "
                    "brackets, separated by commas); the system's name servers are used");
            text.clear();
          }
        }
        (f.text ? settings.*f.text : hook.*f.webhookText) = std::move(text);
        break;
      }
      case KeyType::Choice: {
        std::string& target = f.text ? settings.*f.text : hook.*f.webhookText;
        target = std::string(row.defaultText);
        const std::string text = value ? Trim(*value) : std::string();
        if (text.empty()) break;
        bool known = false;
        for (std::size_t at = 0; at <= row.choices.size() && !known;) {
          std::size_t comma = row.choices.find(',', at);
          if (comma == std::string_view::npos) comma = row.choices.size();
          const std::string_view choice = row.choices.substr(at, comma - at);
          if (EqualsIgnoreCase(text, choice)) {
            target = std::string(choice);
            known = true;
          }
          at = comma + 1;
        }
        if (!known) {
          std::string choices(row.choices);
          std::replace(choices.begin(), choices.end(), ',', '/');
          notes_.emplace_back(slotLines_[slot], LinePrefix(slotLines_[slot]) +
                                                    std::string(row.key) + " " + Quoted(text) +
                                                    " is not one of " + choices + "; " + target +
                                                    " is used");
        }
        break;
      }
      case KeyType::Hosts:
        break;
    }
  }

  // Once the first [config] section has named it, sections beyond hostcount need no memory.
  std::int64_t knownHostCount() const { return knownCount_; }

  std::int64_t hostCountOrZero() const {
    const auto& count = slots_[TheTable().hostCountSlot];
    return count ? ParseIniInteger(*count).value_or(0) : 0;
  }

  void openHostSection(std::uint32_t n) {
    in_ = In::Host;
    number_ = n;
    host_.clear();
    port_.clear();
    hasHost_ = hasPort_ = false;
    hostLine_ = portLine_ = 0;
  }

  void openHostSectionToFill(std::string_view name) {
    const std::int64_t n = HostSectionNumber(name);
    if (n <= 0 || n > std::numeric_limits<std::int32_t>::max()) return;
    const auto number = static_cast<std::uint32_t>(n);
    if (const auto b = std::lower_bound(beyond_.begin(), beyond_.end(), number);
        b != beyond_.end() && *b == number) {
      note(LinePrefix(lineNumber_) + "[" + std::string(name) + "] is beyond hostcount " +
           std::to_string(hostCountOrZero()) + "; not loaded (the file keeps it)");
      return;
    }
    const auto at = std::lower_bound(rowNumbers_.begin(), rowNumbers_.end(), number);
    if (at == rowNumbers_.end() || *at != number) return;
    place_ = static_cast<std::size_t>(at - rowNumbers_.begin());
    if (!filled_[place_]) openHostSection(number);
  }

  void closeHostSection() {
    if (in_ != In::Host) return;
    in_ = In::Nothing;
    // IPv4 text stays as the file spells it (CanonicalHostOf keeps it), so an IPv4-only file
    // saves byte for byte; IPv6 and names take their one stored form.
    const std::optional<CanonicalHost> canonical = CanonicalHostOf(host_);
    if (!canonical) {
      if (filling_) return;
      if (!hasHost_)
        note(LinePrefix(header_) + "[host" + std::to_string(number_) +
             "] has no host; row dropped");
      else
        note(LinePrefix(hostLine_) + "host " + Quoted(host_) +
             " is not a valid address; row dropped");
      return;
    }
    if (!filling_) {
      // No section is added while one is open: the entry is still where the header put it.
      *entry_ |= SectionNumbers::kRow;
      return;
    }
    PortNotes notes;
    hosts_[place_] = MonitoredHost{canonical->text, PortsFrom(port_, &notes), {}};
    filled_[place_] = true;
    if (notes.dropped != 0) {
      std::string shown;
      for (const std::string& entry : notes.shown) shown += (shown.empty() ? "" : ", ") + entry;
      if (notes.dropped > notes.shown.size())
        shown += " and " + std::to_string(notes.dropped - notes.shown.size()) + " more";
      const bool one = notes.dropped == 1;
      note(LinePrefix(portLine_) + (one ? "port " : "ports ") + shown +
           (one ? " is not a port number" : " are not port numbers") + " from 1 to 65535; " +
           (one ? "it is" : "they are") + " dropped");
    }
    if (notes.cut) {
      const auto count = std::count(hosts_[place_].ports.begin(), hosts_[place_].ports.end(), ',');
      note(LinePrefix(portLine_) + "the port list is longer than " +
           std::to_string(kMaxIniValueLength) + " characters; only its first " +
           std::to_string(count) +
           " ports are monitored, and the file keeps the whole list while the row is unchanged");
    }
  }

  static constexpr std::size_t kSeenCount = 2 + kWebhookCount;
  std::vector<MonitoredHost>& hosts_;
  // First reading: the host sections that count; second: the numbers of those that make rows,
  // sorted, as the places of the rows in the list.
  SectionNumbers sections_;
  std::uint32_t* entry_ = nullptr;  // the current section's entry, during the first reading
  std::vector<std::uint32_t> rowNumbers_;
  std::vector<std::uint32_t> beyond_;
  std::vector<bool> filled_;
  std::vector<std::optional<std::string>> slots_;  // by table slot: the first value of each key
  std::vector<std::size_t> slotLines_;
  std::array<bool, kSeenCount> seen_{};
  In in_ = In::Nothing;
  Kind kind_ = Kind::Config;
  std::size_t instance_ = 0;
  bool filling_ = false;
  std::uint32_t number_ = 0;
  std::size_t place_ = 0;
  std::string host_, port_;
  bool hasHost_ = false, hasPort_ = false;
  std::size_t lineNumber_ = 0, header_ = 0, hostLine_ = 0, portLine_ = 0;
  std::vector<std::pair<std::size_t, std::string>> notes_;
  std::size_t unlisted_ = 0;
  std::int64_t knownCount_ = std::numeric_limits<std::int32_t>::max();
};

constexpr std::size_t kChunkSize = 64 * 1024;

}  // namespace

LoadReport LoadSettingsFromText(std::string_view content, AlertSettings& settings,
                                std::vector<MonitoredHost>& hosts, Diagnostics& diagnostics) {
  LoadReport report;
  SettingsReader reader(hosts);
  reader.expect(content.size());
  const auto onLine = [&](std::string_view line, int) { reader.line(line); };
  ForEachIniLine(content, onLine);
  if (reader.startFilling()) ForEachIniLine(content, onLine);
  reader.finish(settings, report, diagnostics);
  return report;
}

LoadReport LoadSettings(const std::string& path, AlertSettings& settings,
                        std::vector<MonitoredHost>& hosts, Diagnostics& diagnostics) {
  LoadReport report;
  SettingsReader reader(hosts);
  const auto onLine = [&](std::string_view line, int) { reader.line(line); };
  std::size_t fileSize = 0;
  bool expected = false;
  std::string reason;
  const auto readAll = [&] {
    IniLineSplitter splitter;
    const ReadStatus status = ReadFileInChunks(
        path, kMaxSettingsFileSize, kChunkSize,
        [&](std::string_view chunk) {
          if (!expected) reader.expect(fileSize);
          expected = true;
          splitter.feed(chunk, onLine);
        },
        &fileSize, &reason);
    if (status == ReadStatus::Ok) splitter.finish(onLine);
    return status;
  };
  ReadStatus status = readAll();
  // A file that cannot be read as a whole changes nothing.
  if (status == ReadStatus::Ok && reader.startFilling()) status = readAll();
  if (status == ReadStatus::Missing) {
    hosts.clear();
    report.missing = true;
    return report;
  }
  if (status == ReadStatus::Failed) {
    hosts.clear();
    report.status = Status::Fail("settings file " + path + ": " + reason);
    diagnostics.Report(Severity::Error, report.status.reason);
    return report;
  }
  reader.finish(settings, report, diagnostics);
  return report;
}
}  // namespace varnley
