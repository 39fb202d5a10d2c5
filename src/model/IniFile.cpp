#include "model/IniFile.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "platform/Text.h"

namespace varnley {

namespace {

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

std::string_view TrimView(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool IsQuote(char c) { return c == '"' || c == '\''; }

std::string_view Unquote(std::string_view s) {
  if (s.size() >= 2 && IsQuote(s.front()) && s.back() == s.front())
    return s.substr(1, s.size() - 2);
  return s;
}

// Byte length of the longest prefix that holds at most `limit` UTF-16 code units, never
// splitting a UTF-8 sequence.
std::size_t PrefixForUnits(std::string_view s, std::size_t limit) {
  // Every code unit takes at least one byte.
  if (s.size() <= limit) return s.size();
  std::size_t i = 0, units = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t len = 1;
    if (c >= 0xC2 && c <= 0xDF)
      len = 2;
    else if (c >= 0xE0 && c <= 0xEF)
      len = 3;
    else if (c >= 0xF0 && c <= 0xF4)
      len = 4;
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

// A value as it must be written so that reading it back gives the same text: line breaks
// would split the line (and could forge keys), so they become spaces; a value that the
// reader would trim or unquote is wrapped in one pair of quotes.
std::string EncodeValue(std::string_view value) {
  std::string v(value);
  for (char& c : v)
    if (c == '\r' || c == '\n') c = ' ';
  if (!v.empty() && (IsBlank(v.front()) || IsBlank(v.back()) ||
                     (v.size() >= 2 && IsQuote(v.front()) && v.back() == v.front())))
    return '"' + v + '"';
  return v;
}

bool SameLetter(char a, char b) {
  if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
  if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
  return a == b;
}

}  // namespace

bool KeyMatches(std::string_view keyLine, std::string_view key) {
  if (key.empty()) return false;
  // The usual line, "key=value" with nothing before the key, is decided without parsing it:
  // the key it names then starts at its first character.
  const char c = keyLine.empty() ? ' ' : keyLine.front();
  // Such a line cannot be a comment or a section, so it is a key line when it holds a "=".
  if (static_cast<unsigned char>(c) > ' ' && c != ';' && c != '[') {
    if (!SameLetter(c, key.front())) return false;
    if (keyLine.size() > key.size() && keyLine[key.size()] == '=' &&
        static_cast<unsigned char>(key.back()) > ' ' && key.find('=') == std::string_view::npos)
      return EqualsIgnoreCase(keyLine.substr(0, key.size()), key);
  }
  const IniLine parsed = ParseIniLine(keyLine);
  return parsed.kind == IniLine::Kind::Key && EqualsIgnoreCase(parsed.name, key);
}

IniLine ParseIniLine(std::string_view line) {
  const std::string_view t = TrimView(line);
  if (t.empty() || t.front() == ';') return {};
  if (t.front() == '[') {
    const auto close = t.find(']');
    if (close == std::string_view::npos) return {};
    return {IniLine::Kind::Header, TrimView(t.substr(1, close - 1))};
  }
  const auto eq = t.find('=');
  if (eq == std::string_view::npos) return {};
  const std::string_view key = TrimView(t.substr(0, eq));
  if (key.empty()) return {};
  return {IniLine::Kind::Key, key};
}

std::string_view IniRawValueOf(std::string_view keyLine) {
  return Unquote(TrimView(keyLine.substr(keyLine.find('=') + 1)));
}

std::size_t IniCutLength(std::string_view rawValue) {
  return PrefixForUnits(rawValue, kMaxIniValueLength);
}

std::string IniValueOf(std::string_view keyLine) {
  const std::string_view v = IniRawValueOf(keyLine);
  return std::string(v.substr(0, IniCutLength(v)));
}

std::optional<std::int32_t> ParseIniInteger(std::string_view s) {
  bool negative = false;
  if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  std::int64_t magnitude = 0;
  if (!s.empty() &&
      (s.front() == '$' || (s.size() >= 3 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')))) {
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

bool IniValueUnchanged(std::string_view keyLine, std::string_view value) {
  // Rewriting an equal value would still lose the other program's spacing and quotes.
  return Unquote(TrimView(keyLine.substr(keyLine.find('=') + 1))) == value;
}

void AppendIniRewrittenLine(std::string& out, std::string_view keyLine, std::string_view value) {
  const std::string encoded = EncodeValue(value);
  std::size_t start = keyLine.find('=') + 1;
  while (start < keyLine.size() && (keyLine[start] == ' ' || keyLine[start] == '\t')) ++start;
  out.append(keyLine.substr(0, start)).append(encoded);
}

void AppendIniKeyLine(std::string& out, std::string_view key, std::string_view value) {
  out.append(key).append("=").append(EncodeValue(value));
}

void AppendIniHeaderLine(std::string& out, std::string_view section) {
  out.append("[").append(section).append("]");
}

std::string_view IniNewLineEnding(std::string_view content) {
  content.remove_prefix(IniBodyStart(content));
  const std::size_t at = content.find_first_of("\r\n");
  if (at == std::string_view::npos || content[at] == '\n') return "\n";
  return at + 1 < content.size() && content[at + 1] == '\n' ? "\r\n" : "\r";
}

namespace {

std::uint64_t CaseHash(std::string_view s) {
  std::uint64_t h = 1469598103934665603ULL;
  for (char c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
  }
  // Names like host1..host99999 differ in a few low bits; mix them all before masking.
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33;
  return h;
}

}  // namespace

IniFile::IniFile(std::string content) : content_(std::move(content)) {
  std::string_view text = content_;
  if (text.size() > std::numeric_limits<std::uint32_t>::max() - 1)
    text = text.substr(0, std::numeric_limits<std::uint32_t>::max() - 1);
  byteOrderMark_ = IniBodyStart(text) != 0;
  // Sizing the tables first avoids regrowing them for a large host list.
  lines_.reserve(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
  sections_.reserve(static_cast<std::size_t>(std::count(text.begin(), text.end(), '[')));
  std::uint32_t currentSection = kEnd;
  ForEachIniLine(text, [&](std::string_view lineText, int ending) {
    Line line;
    line.start = static_cast<std::uint32_t>(lineText.data() - text.data());
    line.length = static_cast<std::uint32_t>(lineText.size());
    line.ending = static_cast<Ending>(ending);
    if (!firstEnding_ && ending != 0) firstEnding_ = line.ending;
    const auto index = static_cast<std::uint32_t>(lines_.size());
    const IniLine parsed = ParseIniLine(lineText);
    line.kind = parsed.kind;
    line.next = index + 1;
    lines_.push_back(line);
    if (line.kind == Kind::Header) {
      currentSection = static_cast<std::uint32_t>(sections_.size());
      sections_.push_back(Section{index, index,
                                  static_cast<std::uint32_t>(parsed.name.data() - text.data()),
                                  static_cast<std::uint32_t>(parsed.name.size())});
    } else if (line.kind == Kind::Key && currentSection != kEnd) {
      sections_[currentSection].anchor = index;
    }
  });
  if (!lines_.empty()) {
    head_ = 0;
    tail_ = static_cast<std::uint32_t>(lines_.size() - 1);
    lines_.back().next = kEnd;
  }
  std::size_t slots = 16;
  while (slots < sections_.size() * 2) slots *= 2;
  slots_.assign(slots, Slot{});
  // Inserting in file order jumps around the table; fetching the slot of a section a few
  // places ahead lets those cache misses overlap.
  constexpr std::uint32_t kAhead = 8;
  std::uint64_t ahead[kAhead];
  const auto count = static_cast<std::uint32_t>(sections_.size());
  for (std::uint32_t i = 0; i < count + kAhead; ++i) {
    if (i >= kAhead) indexSection(i - kAhead, ahead[i % kAhead]);
    if (i < count) {
      ahead[i % kAhead] = CaseHash(sectionName(sections_[i]));
      __builtin_prefetch(&slots_[ahead[i % kAhead] & (slots_.size() - 1)], 1);
    }
  }
}

std::string_view IniFile::textOf(const Line& line) const {
  const std::string& buffer = line.written ? written_ : content_;
  return std::string_view(buffer).substr(line.start, line.length);
}

IniFile::Section IniFile::makeSection(std::uint32_t header) const {
  const Line& line = lines_[header];
  const std::string_view name = ParseIniLine(textOf(line)).name;
  const std::string& buffer = line.written ? written_ : content_;
  return Section{header, header, static_cast<std::uint32_t>(name.data() - buffer.data()),
                 static_cast<std::uint32_t>(name.size())};
}

std::string_view IniFile::sectionName(const Section& section) const {
  // Header lines are never rewritten, so the name stays where it was found.
  const std::string& buffer = lines_[section.header].written ? written_ : content_;
  return std::string_view(buffer).substr(section.nameStart, section.nameLength);
}

std::uint32_t IniFile::findSection(std::string_view name) const {
  // Writers and readers mostly go through the file in order (host1, host2, ...): the last
  // section found, or the one after it, saves a jump into the table.
  for (std::uint32_t s = lastFound_; s < sections_.size() && s <= lastFound_ + 1; ++s) {
    if (sections_[s].first && EqualsIgnoreCase(sectionName(sections_[s]), name)) {
      lastFound_ = s;
      return s;
    }
  }
  const std::uint32_t s = lookUpSection(name);
  if (s != kEnd) lastFound_ = s;
  return s;
}

std::uint32_t IniFile::lookUpSection(std::string_view name) const {
  if (slots_.empty()) return kEnd;
  const std::size_t mask = slots_.size() - 1;
  const std::uint64_t hash = CaseHash(name);
  const auto check = static_cast<std::uint32_t>(hash >> 32);
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.section == 0) return kEnd;
    if (slot.check == check && EqualsIgnoreCase(sectionName(sections_[slot.section - 1]), name))
      return slot.section - 1;
  }
}

void IniFile::indexSection(std::uint32_t section) {
  indexSection(section, CaseHash(sectionName(sections_[section])));
}

void IniFile::indexSection(std::uint32_t section, std::uint64_t hash) {
  if (slots_.size() < (indexedSections_ + 1) * 2) {
    // Grow and re-insert: the table stays at most half full, so probes stay short.
    std::vector<Slot> old(std::max<std::size_t>(16, slots_.size() * 2));
    old.swap(slots_);
    indexedSections_ = 0;
    for (const Slot& slot : old)
      if (slot.section != 0) indexSection(slot.section - 1);
  }
  const std::string_view name = sectionName(sections_[section]);
  const std::size_t mask = slots_.size() - 1;
  const auto check = static_cast<std::uint32_t>(hash >> 32);
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    Slot& slot = slots_[i];
    if (slot.section == 0) {
      slot = Slot{section + 1, check};
      sections_[section].first = true;
      ++indexedSections_;
      return;
    }
    // A repeated name is never read: the first section of a name wins.
    if (slot.check == check && EqualsIgnoreCase(sectionName(sections_[slot.section - 1]), name))
      return;
  }
}

std::uint32_t IniFile::findKey(std::string_view section, std::string_view key) const {
  const std::uint32_t s = findSection(section);
  return s == kEnd ? kEnd : findKeyIn(s, key);
}

std::uint32_t IniFile::findKeyIn(std::uint32_t s, std::string_view key) const {
  // Sections are short and we read a handful of keys from each, so a walk beats an index.
  for (std::uint32_t i = lines_[sections_[s].header].next; i != kEnd; i = lines_[i].next) {
    const Line& line = lines_[i];
    if (line.kind == Kind::Header) break;
    if (line.kind == Kind::Key && KeyMatches(textOf(line), key)) return i;
  }
  return kEnd;
}

std::optional<std::string> IniFile::value(std::string_view section, std::string_view key) const {
  return valueAt(findKey(section, key));
}

std::optional<std::string_view> IniFile::rawValue(std::string_view section,
                                                  std::string_view key) const {
  const std::uint32_t line = findKey(section, key);
  if (line == kEnd) return std::nullopt;
  return IniRawValueOf(textOf(lines_[line]));
}

std::optional<std::string> IniFile::valueAt(std::uint32_t line) const {
  if (line == kEnd) return std::nullopt;
  return IniValueOf(textOf(lines_[line]));
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

std::uint32_t IniFile::addWrittenLine(std::string_view text, Kind kind) {
  Line line;
  line.start = static_cast<std::uint32_t>(written_.size());
  line.length = static_cast<std::uint32_t>(text.size());
  line.written = true;
  line.kind = kind;
  line.ending = newLineEnding();
  written_ += text;
  lines_.push_back(line);
  return static_cast<std::uint32_t>(lines_.size() - 1);
}

void IniFile::linkAfter(std::uint32_t anchor, std::uint32_t line) {
  if (anchor == kEnd) {
    lines_[line].next = head_;
    head_ = line;
    if (tail_ == kEnd) tail_ = line;
    return;
  }
  // Only the file's last line can lack a line end.
  if (lines_[anchor].ending == Ending::None) lines_[anchor].ending = newLineEnding();
  lines_[line].next = lines_[anchor].next;
  lines_[anchor].next = line;
  if (tail_ == anchor) tail_ = line;
}

void IniFile::writeString(std::string_view section, std::string_view key, std::string_view value) {
  const std::uint32_t i = findKey(section, key);
  if (i != kEnd) {
    const std::string_view text = textOf(lines_[i]);
    if (IniValueUnchanged(text, value)) return;
    const auto start = static_cast<std::uint32_t>(written_.size());
    AppendIniRewrittenLine(written_, text, value);
    Line& line = lines_[i];
    line.start = start;
    line.length = static_cast<std::uint32_t>(written_.size() - start);
    line.written = true;
    return;
  }
  std::uint32_t s = findSection(section);
  if (s == kEnd) {
    std::string headerText;
    AppendIniHeaderLine(headerText, section);
    const std::uint32_t header = addWrittenLine(headerText, Kind::Header);
    linkAfter(tail_, header);
    s = static_cast<std::uint32_t>(sections_.size());
    sections_.push_back(makeSection(header));
    indexSection(s);
  }
  std::string keyText;
  AppendIniKeyLine(keyText, key, value);
  const std::uint32_t line = addWrittenLine(keyText, Kind::Key);
  linkAfter(sections_[s].anchor, line);
  sections_[s].anchor = line;
}

void IniFile::writeInteger(std::string_view section, std::string_view key, std::int32_t value) {
  writeString(section, key, std::to_string(value));
}

void IniFile::writeBool(std::string_view section, std::string_view key, bool value) {
  writeString(section, key, value ? "1" : "0");
}

std::vector<std::string_view> IniFile::sectionNames() const {
  std::vector<std::string_view> names;
  names.reserve(indexedSections_);
  for (const Section& s : sections_)
    if (s.first) names.push_back(sectionName(s));
  return names;
}

std::string IniFile::text() const {
  std::string out;
  out.reserve(content_.size() + written_.size() + 2 * (lines_.size() + 1));
  writeTo([&out](std::string_view piece) { out += piece; });
  return out;
}

}  // namespace varnley
