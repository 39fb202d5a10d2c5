#include "model/IniFile.h"

#include <limits>

#include "platform/Text.h"

namespace varnley {

namespace {

constexpr char kKeySeparator = '\x01';

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

std::string_view TrimView(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

void AppendLower(std::string& out, std::string_view s) {
  for (char c : s) out.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
}

bool IsQuote(char c) { return c == '"' || c == '\''; }

std::string_view Unquote(std::string_view s) {
  if (s.size() >= 2 && IsQuote(s.front()) && s.back() == s.front()) return s.substr(1, s.size() - 2);
  return s;
}

// Byte length of the longest prefix that holds at most `limit` UTF-16 code units, never
// splitting a UTF-8 sequence.
std::size_t PrefixForUnits(std::string_view s, std::size_t limit) {
  std::size_t i = 0, units = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t len = 1;
    if (c >= 0xC2 && c <= 0xDF) len = 2;
    else if (c >= 0xE0 && c <= 0xEF) len = 3;
    else if (c >= 0xF0 && c <= 0xF4) len = 4;
    if (len > 1) {
      bool whole = i + len <= s.size();
      for (std::size_t k = 1; whole && k < len; ++k)
        whole = (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
      if (!whole) len = 1;  // an invalid byte reads as one replacement character
    }
    const std::size_t cost = len == 4 ? 2 : 1;
    if (units + cost > limit) break;
    units += cost;
    i += len;
  }
  return i;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// What a line is, as the reader sees it.
struct Parsed {
  enum Kind { Other, Header, Key } kind = Other;
  std::string_view name;  // section name or key, trimmed
};

Parsed ParseLine(std::string_view line) {
  const std::string_view t = TrimView(line);
  if (t.empty() || t.front() == ';') return {};
  if (t.front() == '[') {
    const auto close = t.find(']');
    if (close == std::string_view::npos) return {};
    return {Parsed::Header, TrimView(t.substr(1, close - 1))};
  }
  const auto eq = t.find('=');
  if (eq == std::string_view::npos) return {};
  const std::string_view key = TrimView(t.substr(0, eq));
  if (key.empty()) return {};
  return {Parsed::Key, key};
}

// A value as it must be written so that reading it back gives the same text: line breaks
// would split the line (and could forge keys), so they become spaces; a value that the
// reader would trim or unquote is wrapped in one pair of quotes.
std::string EncodeValue(std::string_view value) {
  std::string v(value);
  for (char& c : v)
    if (c == '\r' || c == '\n') c = ' ';
  if (!v.empty() &&
      (IsBlank(v.front()) || IsBlank(v.back()) ||
       (v.size() >= 2 && IsQuote(v.front()) && v.back() == v.front())))
    return '"' + v + '"';
  return v;
}

}  // namespace

std::optional<std::int32_t> ParseIniInteger(std::string_view s) {
  bool negative = false;
  if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  std::int64_t magnitude = 0;
  if (!s.empty() && (s.front() == '$' || (s.size() >= 3 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')))) {
    s.remove_prefix(s.front() == '$' ? 1 : 2);
    if (s.empty()) return std::nullopt;
    for (char c : s) {
      const int d = HexDigit(c);
      if (d < 0) return std::nullopt;
      magnitude = magnitude * 16 + d;
      if (magnitude > 0xFFFFFFFFLL) return std::nullopt;
    }
    // Eight hex digits name the 32-bit pattern, as other readers of such files take it.
    auto bits = static_cast<std::uint32_t>(magnitude);
    if (negative) bits = 0u - bits;
    return static_cast<std::int32_t>(bits);
  }
  if (s.empty()) return std::nullopt;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > 2147483648LL) return std::nullopt;
  }
  if (negative) return static_cast<std::int32_t>(-magnitude);
  if (magnitude > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
  return static_cast<std::int32_t>(magnitude);
}

IniFile::IniFile(std::string_view content) {
  if (content.substr(0, 3) == "\xEF\xBB\xBF") {
    byteOrderMark_ = true;
    content.remove_prefix(3);
  }
  std::size_t start = 0;
  const std::size_t n = content.size();
  while (start < n) {
    std::size_t end = start;
    while (end < n && content[end] != '\n' && content[end] != '\r') ++end;
    Ending ending = Ending::None;
    std::size_t next = end;
    if (end < n) {
      if (content[end] == '\r' && end + 1 < n && content[end + 1] == '\n') {
        ending = Ending::CrLf;
        next = end + 2;
      } else {
        ending = content[end] == '\n' ? Ending::Lf : Ending::Cr;
        next = end + 1;
      }
    }
    addLine(content.substr(start, end - start), ending);
    start = next;
  }
}

void IniFile::addLine(std::string_view text, Ending ending) {
  if (!firstEnding_ && ending != Ending::None) firstEnding_ = ending;
  const Parsed p = ParseLine(text);
  if (p.kind == Parsed::Header) {
    Section s;
    s.name = std::string(p.name);
    s.hasHeader = true;
    s.header = Line{std::string(text), ending};
    std::string lower;
    AppendLower(lower, p.name);
    // Keys of a repeated section are never read: the first section of a name wins.
    readingFirstOfName_ = sectionIndex_.try_emplace(std::move(lower), sections_.size()).second;
    sections_.push_back(std::move(s));
    return;
  }
  Section& s = sections_.back();
  s.body.push_back(Line{std::string(text), ending});
  if (p.kind == Parsed::Key && s.hasHeader) {
    s.keyLines = s.body.size();
    if (readingFirstOfName_)
      keyIndex_.try_emplace(IndexKey(s.name, p.name),
                            KeyPlace{sections_.size() - 1, s.body.size() - 1});
  }
}

std::string IniFile::IndexKey(std::string_view section, std::string_view key) {
  std::string k;
  k.reserve(section.size() + key.size() + 1);
  AppendLower(k, section);
  k.push_back(kKeySeparator);
  AppendLower(k, key);
  return k;
}

const IniFile::Line* IniFile::findKey(std::string_view section, std::string_view key) const {
  const auto it = keyIndex_.find(IndexKey(section, key));
  if (it == keyIndex_.end()) return nullptr;
  return &sections_[it->second.section].body[it->second.line];
}

std::string_view IniFile::FullValue(const Line& line) {
  const std::string_view text = line.text;
  return Unquote(TrimView(text.substr(text.find('=') + 1)));
}

std::optional<std::string> IniFile::value(std::string_view section, std::string_view key) const {
  const Line* line = findKey(section, key);
  if (!line) return std::nullopt;
  const std::string_view v = FullValue(*line);
  return std::string(v.substr(0, PrefixForUnits(v, kMaxIniValueLength)));
}

std::string IniFile::readString(std::string_view section, std::string_view key,
                                std::string_view defaultValue) const {
  auto v = value(section, key);
  return v ? std::move(*v) : std::string(defaultValue);
}

std::int32_t IniFile::readInteger(std::string_view section, std::string_view key,
                                  std::int32_t defaultValue) const {
  const auto v = value(section, key);
  if (!v) return defaultValue;
  return ParseIniInteger(*v).value_or(defaultValue);
}

bool IniFile::readBool(std::string_view section, std::string_view key, bool defaultValue) const {
  return readInteger(section, key, defaultValue ? 1 : 0) != 0;
}

IniFile::Ending IniFile::newLineEnding() const { return firstEnding_.value_or(Ending::Lf); }

void IniFile::terminateLastLine() {
  for (auto s = sections_.rbegin(); s != sections_.rend(); ++s) {
    Line* last = !s->body.empty() ? &s->body.back() : s->hasHeader ? &s->header : nullptr;
    if (!last) continue;
    if (last->ending == Ending::None) last->ending = newLineEnding();
    return;
  }
}

void IniFile::writeString(std::string_view section, std::string_view key, std::string_view value) {
  const std::string encoded = EncodeValue(value);
  const std::string indexKey = IndexKey(section, key);
  if (const auto it = keyIndex_.find(indexKey); it != keyIndex_.end()) {
    Line& line = sections_[it->second.section].body[it->second.line];
    // Rewriting an equal value would still lose the other program's spacing and quotes.
    if (FullValue(line) == value) return;
    std::size_t start = line.text.find('=') + 1;
    while (start < line.text.size() && (line.text[start] == ' ' || line.text[start] == '\t'))
      ++start;
    line.text.replace(start, std::string::npos, encoded);
    return;
  }
  const Line newLine{std::string(key) + "=" + encoded, newLineEnding()};
  std::string lowerSection;
  AppendLower(lowerSection, section);
  if (const auto it = sectionIndex_.find(lowerSection); it != sectionIndex_.end()) {
    Section& s = sections_[it->second];
    const std::size_t at = s.keyLines;
    if (at == s.body.size()) {
      // Appending after the section's last line, which may be the file's unterminated end.
      Line* before = s.body.empty() ? &s.header : &s.body.back();
      if (before->ending == Ending::None) before->ending = newLineEnding();
    }
    // Only comments and blank lines follow the insertion point, so no indexed line moves.
    s.body.insert(s.body.begin() + static_cast<std::ptrdiff_t>(at), newLine);
    s.keyLines = at + 1;
    keyIndex_.try_emplace(indexKey, KeyPlace{it->second, at});
    return;
  }
  terminateLastLine();
  Section s;
  s.name = std::string(section);
  s.hasHeader = true;
  s.header = Line{"[" + s.name + "]", newLineEnding()};
  s.body.push_back(newLine);
  s.keyLines = 1;
  sectionIndex_.try_emplace(std::move(lowerSection), sections_.size());
  keyIndex_.try_emplace(indexKey, KeyPlace{sections_.size(), 0});
  sections_.push_back(std::move(s));
}

void IniFile::writeInteger(std::string_view section, std::string_view key, std::int32_t value) {
  writeString(section, key, std::to_string(value));
}

void IniFile::writeBool(std::string_view section, std::string_view key, bool value) {
  writeString(section, key, value ? "1" : "0");
}

std::vector<std::string_view> IniFile::sectionNames() const {
  std::vector<std::string_view> names;
  names.reserve(sectionIndex_.size());
  std::string lower;
  for (std::size_t i = 1; i < sections_.size(); ++i) {
    lower.clear();
    AppendLower(lower, sections_[i].name);
    const auto it = sectionIndex_.find(lower);
    if (it != sectionIndex_.end() && it->second == i) names.push_back(sections_[i].name);
  }
  return names;
}

std::string IniFile::text() const {
  static constexpr std::string_view kEndings[] = {"", "\n", "\r\n", "\r"};
  std::size_t size = byteOrderMark_ ? 3 : 0;
  for (const Section& s : sections_) {
    size += s.header.text.size() + 2;
    for (const Line& l : s.body) size += l.text.size() + 2;
  }
  std::string out;
  out.reserve(size);
  if (byteOrderMark_) out += "\xEF\xBB\xBF";
  const auto put = [&out](const Line& l) {
    out += l.text;
    out += kEndings[static_cast<int>(l.ending)];
  };
  for (const Section& s : sections_) {
    if (s.hasHeader) put(s.header);
    for (const Line& l : s.body) put(l);
  }
  return out;
}

}  // namespace varnley
