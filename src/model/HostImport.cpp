#include "model/HostImport.h"

#include <algorithm>
#include <cctype>
#include <unordered_map>
#include <unordered_set>

#include "model/AddressCheck.h"
#include "model/HostInput.h"
#include "model/IniDocument.h"
#include "model/PortList.h"
#include "platform/FileAccess.h"

namespace varnley {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

std::string_view Stripped(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// A text quoted for a reason, cut so a hostile line cannot make a reason of its own size.
std::string Shown(std::string_view text) {
  constexpr std::size_t kShown = 80;
  std::string out(text.substr(0, kShown));
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  if (text.size() > kShown) out += "...";
  return out;
}

// One host named by the file with the port texts that follow it, where it was read.
struct Entry {
  std::size_t line;
  std::string_view host;
  std::vector<std::string_view> ports;
};

void SplitPortsInto(std::string_view text, std::vector<std::string_view>& ports) {
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find_first_of(", \t;", start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view piece = Stripped(text.substr(start, end - start));
    if (!piece.empty()) ports.push_back(piece);
    start = end + 1;
  }
}

// "host", "host:80", "host:80,443", "[v6]:80", "[v6]", or a bare IPv6 literal (more than one
// colon and no brackets: the colons are the address's own).
void SplitTarget(std::string_view token, Entry& entry) {
  if (!token.empty() && token.front() == '[') {
    const std::size_t close = token.find(']');
    if (close != std::string_view::npos) {
      entry.host = token.substr(0, close + 1);
      std::string_view rest = token.substr(close + 1);
      if (!rest.empty() && rest.front() == ':') SplitPortsInto(rest.substr(1), entry.ports);
      else if (!rest.empty()) entry.host = token;  // "[::1]x": refused whole by the host rule
      return;
    }
  }
  const std::size_t colon = token.find(':');
  if (colon == std::string_view::npos || token.find(':', colon + 1) != std::string_view::npos) {
    const std::size_t comma = token.find(',');
    if (colon == std::string_view::npos && comma != std::string_view::npos) {
      entry.host = token.substr(0, comma);  // "host,80": a CSV line without a header
      SplitPortsInto(token.substr(comma + 1), entry.ports);
      return;
    }
    entry.host = token;
    return;
  }
  entry.host = token.substr(0, colon);
  SplitPortsInto(token.substr(colon + 1), entry.ports);
}

// Text: one host a line, "#" to the end of the line a comment.
void ReadText(std::string_view content, std::vector<Entry>& entries,
              std::vector<ImportRefusal>& refusals) {
  std::size_t lineNo = 0;
  std::size_t start = 0;
  while (start < content.size()) {
    std::size_t end = content.find('\n', start);
    if (end == std::string_view::npos) end = content.size();
    std::string_view line = content.substr(start, end - start);
    start = end + 1;
    ++lineNo;
    if (line.size() > kMaxImportLineLength) {
      refusals.push_back({lineNo, "the line is longer than " +
                                      std::to_string(kMaxImportLineLength) + " characters"});
      continue;
    }
    if (const std::size_t hash = line.find('#'); hash != std::string_view::npos)
      line = line.substr(0, hash);
    line = Stripped(line);
    if (line.empty()) continue;
    Entry entry{lineNo, {}, {}};
    std::size_t tokenEnd = 0;
    while (tokenEnd < line.size() && !IsBlank(line[tokenEnd])) ++tokenEnd;
    SplitTarget(line.substr(0, tokenEnd), entry);
    SplitPortsInto(line.substr(tokenEnd), entry.ports);
    entries.push_back(std::move(entry));
  }
}

// RFC 4180 records: fields split by commas, quoted fields may hold commas, quotes ("") and
// line breaks. Each record keeps the line it started on.
struct CsvRecord {
  std::size_t line;
  std::vector<std::string> fields;
};

std::vector<CsvRecord> ParseCsv(std::string_view content, std::vector<ImportRefusal>& refusals) {
  std::vector<CsvRecord> records;
  std::size_t lineNo = 1;
  std::size_t i = 0;
  while (i < content.size()) {
    CsvRecord record{lineNo, {}};
    std::string field;
    bool quoted = false, wasQuoted = false, bad = false;
    std::size_t recordBytes = 0;
    for (; i < content.size(); ++i) {
      const char c = content[i];
      if (++recordBytes > kMaxImportLineLength) bad = true;
      if (quoted) {
        if (c == '"') {
          if (i + 1 < content.size() && content[i + 1] == '"') {
            field += '"';
            ++i;
          } else {
            quoted = false;
          }
        } else {
          if (c == '\n') ++lineNo;
          if (!bad) field += c;
        }
        continue;
      }
      if (c == '"' && Stripped(field).empty()) {
        quoted = wasQuoted = true;
        field.clear();
      } else if (c == ',') {
        record.fields.push_back(wasQuoted ? field : std::string(Stripped(field)));
        field.clear();
        wasQuoted = false;
      } else if (c == '\n') {
        ++lineNo;
        ++i;
        break;
      } else if (!bad) {
        field += c;
      }
    }
    record.fields.push_back(wasQuoted ? field : std::string(Stripped(field)));
    if (quoted) refusals.push_back({record.line, "a quoted field is not closed"});
    else if (bad)
      refusals.push_back({record.line, "the record is longer than " +
                                           std::to_string(kMaxImportLineLength) + " characters"});
    else if (!(record.fields.size() == 1 && record.fields[0].empty()))
      records.push_back(std::move(record));
  }
  return records;
}

std::optional<std::pair<std::size_t, std::size_t>> CsvColumns(const std::vector<std::string>& header) {
  std::optional<std::size_t> host, port;
  for (std::size_t i = 0; i < header.size(); ++i) {
    const std::string_view name = Stripped(header[i]);
    if (!host && EqualsNoCase(name, "host")) host = i;
    if (!port && EqualsNoCase(name, "port")) port = i;
  }
  if (!host || !port) return std::nullopt;
  return std::make_pair(*host, *port);
}

// The first line that is neither blank nor a comment, as a CSV header, when it names both
// columns.
std::optional<std::string_view> FirstDataLine(std::string_view content) {
  std::size_t start = 0;
  while (start < content.size()) {
    std::size_t end = content.find('\n', start);
    if (end == std::string_view::npos) end = content.size();
    const std::string_view line = Stripped(content.substr(start, end - start));
    if (!line.empty() && line.front() != '#') return line;
    start = end + 1;
  }
  return std::nullopt;
}

// A JSON reader for the one shape target lists have: [{"targets": ["host:port", ...],
// "labels": {...}}, ...]. Anything else in the objects is skipped; nesting is bounded.
class JsonTargets {
 public:
  JsonTargets(std::string_view text, std::vector<std::string>& strings, std::vector<Entry>& entries)
      : text_(text), strings_(strings), entries_(entries) {}

  // nullopt when the whole list was read, else why not.
  std::optional<ImportRefusal> read() {
    skipBlank();
    if (!take('[')) return fail("a target list starts with \"[\"");
    skipBlank();
    if (take(']')) return finish();
    for (;;) {
      if (auto bad = group()) return bad;
      skipBlank();
      if (take(']')) return finish();
      if (!take(',')) return fail("expected \",\" or \"]\" after a target group");
      skipBlank();
    }
  }

 private:
  static constexpr int kMaxDepth = 64;
  std::string_view text_;
  std::size_t pos_ = 0;
  std::size_t line_ = 1;
  std::vector<std::string>& strings_;
  std::vector<Entry>& entries_;

  ImportRefusal fail(std::string why) const { return {line_, "the JSON is malformed: " + why}; }
  std::optional<ImportRefusal> finish() {
    skipBlank();
    if (pos_ != text_.size()) return fail("text after the closing \"]\"");
    return std::nullopt;
  }
  bool take(char c) {
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  void skipBlank() {
    while (pos_ < text_.size() && IsBlank(text_[pos_])) {
      if (text_[pos_] == '\n') ++line_;
      ++pos_;
    }
  }

  std::optional<ImportRefusal> string(std::string& out) {
    if (!take('"')) return fail("expected a string");
    while (pos_ < text_.size()) {
      const char c = text_[pos_++];
      if (c == '"') return std::nullopt;
      if (static_cast<unsigned char>(c) < 0x20) return fail("a control character in a string");
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= text_.size()) break;
      const char e = text_[pos_++];
      switch (e) {
        case '"': case '\\': case '/': out += e; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          if (pos_ + 4 > text_.size()) return fail("a short \\u escape");
          unsigned value = 0;
          for (int k = 0; k < 4; ++k) {
            const char h = text_[pos_++];
            value <<= 4;
            if (h >= '0' && h <= '9') value |= static_cast<unsigned>(h - '0');
            else if (h >= 'a' && h <= 'f') value |= static_cast<unsigned>(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F') value |= static_cast<unsigned>(h - 'A' + 10);
            else return fail("a bad \\u escape");
          }
          // Host texts are ASCII; anything else is kept as a mark the host rule refuses.
          out += value < 0x80 ? static_cast<char>(value) : '?';
          break;
        }
        default: return fail("a bad escape");
      }
    }
    return fail("a string is not closed");
  }

  // Any value, read and dropped (labels and fields of no interest).
  std::optional<ImportRefusal> skipValue(int depth) {
    if (depth > kMaxDepth) return fail("nested too deeply");
    skipBlank();
    if (pos_ >= text_.size()) return fail("the text ends inside a value");
    const char c = text_[pos_];
    if (c == '"') {
      std::string ignored;
      return string(ignored);
    }
    if (c == '[' || c == '{') {
      const char close = c == '[' ? ']' : '}';
      ++pos_;
      skipBlank();
      if (take(close)) return std::nullopt;
      for (;;) {
        if (c == '{') {
          std::string key;
          skipBlank();
          if (auto bad = string(key)) return bad;
          skipBlank();
          if (!take(':')) return fail("expected \":\"");
        }
        if (auto bad = skipValue(depth + 1)) return bad;
        skipBlank();
        if (take(close)) return std::nullopt;
        if (!take(',')) return fail("expected \",\"");
      }
    }
    const std::size_t start = pos_;
    while (pos_ < text_.size() && (std::isalnum(static_cast<unsigned char>(text_[pos_])) ||
                                   text_[pos_] == '-' || text_[pos_] == '+' || text_[pos_] == '.'))
      ++pos_;
    if (pos_ == start) return fail("an unexpected character");
    return std::nullopt;
  }

  std::optional<ImportRefusal> group() {
    if (!take('{')) return fail("expected a target group \"{\"");
    skipBlank();
    if (take('}')) return std::nullopt;
    for (;;) {
      skipBlank();
      std::string key;
      if (auto bad = string(key)) return bad;
      skipBlank();
      if (!take(':')) return fail("expected \":\"");
      skipBlank();
      if (key == "targets") {
        if (auto bad = targets()) return bad;
      } else if (auto bad = skipValue(1)) {
        return bad;
      }
      skipBlank();
      if (take('}')) return std::nullopt;
      if (!take(',')) return fail("expected \",\" or \"}\"");
    }
  }

  std::optional<ImportRefusal> targets() {
    if (!take('[')) return fail("\"targets\" is a list of strings");
    skipBlank();
    if (take(']')) return std::nullopt;
    for (;;) {
      skipBlank();
      const std::size_t line = line_;
      std::string target;
      if (auto bad = string(target)) return bad;
      strings_.push_back(std::move(target));
      entries_.push_back({line, {}, {}});
      skipBlank();
      if (take(']')) return std::nullopt;
      if (!take(',')) return fail("expected \",\" or \"]\" in \"targets\"");
    }
  }
};

bool LooksLikeJson(std::string_view content) {
  content = Stripped(content);
  if (content.empty() || content.front() != '[') return false;
  content = Stripped(content.substr(1));
  return !content.empty() && (content.front() == '{' || content.front() == ']');
}

// Merges the entries into the rows, counting what changes.
class Merger {
 public:
  Merger(const std::vector<MonitoredHost>& existing, const HostRule& rule, ImportPreview& out,
         std::size_t entries)
      : rule_(rule), out_(out) {
    out_.rows = existing;
    out_.rows.reserve(existing.size() + entries);
    rowOf_.reserve(existing.size() + entries);
    portSets_.reserve(existing.size() + entries);
    existingCount_ = existing.size();
    for (std::size_t i = 0; i < existing.size(); ++i) {
      std::string ignored;
      const auto key = rule_(existing[i].host, &ignored);
      rowOf_.emplace(key ? *key : existing[i].host, i);
      addRowPorts(i);
    }
  }

  void add(const Entry& entry) {
    std::string reason;
    const std::optional<std::string> host = rule_(Stripped(entry.host), &reason);
    if (!host) {
      out_.refusals.push_back({entry.line, reason});
      return;
    }
    std::vector<long long> ports;
    for (const std::string_view text : entry.ports) {
      const std::optional<int> value = ParseDecimal(text);
      if (!value) {
        out_.refusals.push_back({entry.line, "\"" + Shown(text) + "\" is not a port"});
        continue;
      }
      if (*value < kMinPort || *value > kMaxPort) {
        out_.refusals.push_back(
            {entry.line, "port " + std::to_string(*value) + " is out of range"});
        continue;
      }
      ports.push_back(*value);
    }
    // A line whose every port was refused names no host to add: its refusals say enough.
    if (ports.empty() && !entry.ports.empty()) return;

    std::size_t row;
    const auto found = rowOf_.find(*host);
    if (found == rowOf_.end()) {
      row = out_.rows.size();
      out_.rows.push_back(MonitoredHost{*host, "", ""});
      rowOf_.emplace(*host, row);
      portSets_.emplace_back();
      touched_.push_back(false);
      ++out_.hostsAdded;
    } else {
      row = found->second;
    }
    touched_[row] = true;
    for (const long long port : ports) {
      if (!portSets_[row].insert(port).second) {
        ++out_.portsAlready;
        continue;
      }
      std::string& text = out_.rows[row].ports;
      const std::string piece = std::to_string(port) + ",";
      if (text.size() + piece.size() > kMaxIniValueLength) {
        portSets_[row].erase(port);
        out_.refusals.push_back({entry.line, "port " + std::to_string(port) +
                                                 " does not fit: the settings file keeps " +
                                                 std::to_string(kMaxIniValueLength) +
                                                 " characters of ports for " + *host});
        continue;
      }
      text += piece;
      ++out_.portsAdded;
      if (row < existingCount_ && !gained_.count(row)) gained_.insert(row);
    }
  }

  void finish() {
    out_.hostsMerged = gained_.size();
    for (std::size_t row = 0; row < existingCount_; ++row)
      if (touched_[row] && !gained_.count(row)) ++out_.hostsAlready;
  }

 private:
  void addRowPorts(std::size_t row) {
    std::unordered_set<long long> set;
    for (const std::string& entry : SplitPortList(out_.rows[row].ports)) set.insert(PortEntryValue(entry));
    portSets_.push_back(std::move(set));
    touched_.push_back(false);
  }

  const HostRule& rule_;
  ImportPreview& out_;
  std::size_t existingCount_ = 0;
  std::unordered_map<std::string, std::size_t> rowOf_;
  std::vector<std::unordered_set<long long>> portSets_;
  std::vector<bool> touched_;
  std::unordered_set<std::size_t> gained_;
};

std::string Plural(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

std::optional<std::string> StoredHostForm(std::string_view text, std::string* reason) {
  if (const auto octets = ParseIPv4(text)) {
    std::string out;
    for (std::size_t i = 0; i < octets->size(); ++i) {
      if (i) out += '.';
      out += std::to_string((*octets)[i]);
    }
    return out;
  }
  std::string why;
  if (auto host = CanonicalHostOf(text, &why)) return std::move(host->text);
  if (reason) {
    *reason = (text.empty() ? std::string("an empty host") : Shown(text)) + " is not a valid address";
    // The rule's own words say what to change, unless they only repeat that.
    const bool dotted = text.find_first_not_of("0123456789.") == std::string_view::npos;
    if (!dotted && !why.empty()) *reason += " (" + why + ")";
  }
  return std::nullopt;
}

std::string ImportRefusal::text() const {
  return line ? "line " + std::to_string(line) + ": " + reason : reason;
}

std::string ImportPreview::summary() const {
  if (failure) return *failure;
  std::string out = Plural(hostsAdded, "host", "hosts") + " added, " +
                    std::to_string(hostsMerged) + " merged into existing rows, " +
                    std::to_string(hostsAlready) + " already there; " +
                    Plural(portsAdded, "port", "ports") + " added, " +
                    std::to_string(portsAlready) + " already there";
  if (!refusals.empty()) out += "; " + Plural(refusals.size(), "line", "lines") + " refused";
  return out;
}

ImportPreview PreviewImport(std::string_view content, const std::vector<MonitoredHost>& existing,
                            const HostRule& rule) {
  ImportPreview out;
  out.rows = existing;
  if (content.find('\0') != std::string_view::npos) {
    out.failure = "the file is not text (it holds NUL bytes)";
    return out;
  }
  if (content.size() >= 3 && content.substr(0, 3) == "\xEF\xBB\xBF") content.remove_prefix(3);

  std::vector<Entry> entries;
  std::vector<std::string> jsonStrings;  // the targets' texts, which the entries point into
  if (LooksLikeJson(content)) {
    out.format = ImportPreview::Format::Json;
    JsonTargets reader(content, jsonStrings, entries);
    if (auto bad = reader.read()) {
      out.failure = bad->text();
      return out;
    }
    for (std::size_t i = 0; i < entries.size(); ++i) SplitTarget(Stripped(jsonStrings[i]), entries[i]);
  } else if (const auto first = FirstDataLine(content);
             first && first->find(',') != std::string_view::npos) {
    std::vector<ImportRefusal> csvRefusals;
    std::vector<CsvRecord> records = ParseCsv(content, csvRefusals);
    // Comment lines before the header are skipped like blank ones.
    std::size_t header = 0;
    while (header < records.size() && !records[header].fields.empty() &&
           !records[header].fields[0].empty() && records[header].fields[0][0] == '#')
      ++header;
    const auto columns = header < records.size() ? CsvColumns(records[header].fields) : std::nullopt;
    if (columns) {
      out.format = ImportPreview::Format::Csv;
      out.refusals = std::move(csvRefusals);
      std::vector<Entry> csvEntries;
      for (std::size_t r = header + 1; r < records.size(); ++r) {
        const CsvRecord& record = records[r];
        const std::size_t need = std::max(columns->first, columns->second);
        if (record.fields.size() <= need) {
          out.refusals.push_back({record.line, "the record has no host or port column"});
          continue;
        }
        Entry entry{record.line, record.fields[columns->first], {}};
        SplitPortsInto(record.fields[columns->second], entry.ports);
        // A host column that holds "host:port" as well.
        if (entry.ports.empty()) SplitTarget(Stripped(record.fields[columns->first]), entry);
        csvEntries.push_back(std::move(entry));
      }
      Merger merger(existing, rule, out, csvEntries.size());
      for (const Entry& entry : csvEntries) merger.add(entry);
      merger.finish();
      // Records and refusals were gathered apart: give them back in the file's order.
      std::stable_sort(out.refusals.begin(), out.refusals.end(),
                       [](const ImportRefusal& a, const ImportRefusal& b) { return a.line < b.line; });
      return out;
    }
    ReadText(content, entries, out.refusals);
  } else {
    ReadText(content, entries, out.refusals);
  }

  Merger merger(existing, rule, out, entries.size());
  for (const Entry& entry : entries) merger.add(entry);
  merger.finish();
  std::stable_sort(out.refusals.begin(), out.refusals.end(),
                   [](const ImportRefusal& a, const ImportRefusal& b) { return a.line < b.line; });
  return out;
}

ImportPreview PreviewImportFile(const std::string& path, const std::vector<MonitoredHost>& existing,
                                const HostRule& rule) {
  std::string content, reason;
  switch (ReadWholeFile(path, content, kMaxImportFileSize, &reason)) {
    case ReadStatus::Ok:
      return PreviewImport(content, existing, rule);
    case ReadStatus::Missing: {
      ImportPreview out;
      out.rows = existing;
      out.failure = path + ": no such file";
      return out;
    }
    case ReadStatus::Failed:
      break;
  }
  ImportPreview out;
  out.rows = existing;
  out.failure = path + ": " + (reason.empty() ? std::string("the file could not be read") : reason);
  return out;
}

std::string ExportHostsCsv(const std::vector<MonitoredHost>& rows, bool monitoring) {
  std::string out = "host,port,state\n";
  for (const MonitoredHost& row : rows) {
    std::unordered_set<long long> down;
    for (const std::string& entry : SplitPortList(row.deactivated)) down.insert(PortEntryValue(entry));
    // IPv6 hosts hold colons, never commas or quotes: no field needs quoting.
    for (const std::string& entry : SplitPortList(row.ports)) {
      const long long port = PortEntryValue(entry);
      if (port < kMinPort || port > kMaxPort) continue;
      const char* state = !monitoring ? "unknown" : down.count(port) ? "down" : "up";
      out += row.host + "," + std::to_string(port) + "," + state + "\n";
    }
  }
  return out;
}

std::string ExportHostsText(const std::vector<MonitoredHost>& rows) {
  std::string out;
  for (const MonitoredHost& row : rows) {
    std::string ports;
    for (const std::string& entry : SplitPortList(row.ports)) {
      const long long port = PortEntryValue(entry);
      if (port < kMinPort || port > kMaxPort) continue;
      if (!ports.empty()) ports += ',';
      ports += std::to_string(port);
    }
    out += (ports.empty() ? (row.host.find(':') != std::string::npos ? "[" + row.host + "]" : row.host)
                          : HostPortText(row.host, ports)) +
           "\n";
  }
  return out;
}

}  // namespace varnley
