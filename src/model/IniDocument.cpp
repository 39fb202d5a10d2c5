#include "model/IniDocument.h"

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

bool IniStartsWithBracket(std::string_view line) {
  for (char c : line)
    if (!IsBlank(c)) return c == '[';
  return false;
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

IniDocument::IniDocument(std::string content) : owned_(std::move(content)), content_(owned_) {
  if (content_.size() > std::size_t{0x7FFFFFFF}) content_ = content_.substr(0, 0x7FFFFFFF);
  bodyStart_ = IniBodyStart(content_);
}

IniDocument::IniDocument(std::string_view content, Borrow) : content_(content) {
  if (content_.size() > std::size_t{0x7FFFFFFF}) content_ = content_.substr(0, 0x7FFFFFFF);
  bodyStart_ = IniBodyStart(content_);
}

void IniDocument::index() const {
  if (indexed_) return;
  indexed_ = true;
  // Allocated once, at no more than the lines that can be headers or keys (each holds a "["
  // or a "="), so a file of blank lines or of long ones needs next to nothing.
  const auto count = [this](char c) {
    return static_cast<std::size_t>(std::count(content_.begin(), content_.end(), c));
  };
  starts_.reserve(std::min(count('[') + count('='), count('\n') + count('\r') + 1));
  ForEachIniLine(content_, [this](std::string_view line, int) {
    // "key=value" with nothing before the key is most lines, and plainly a key line.
    const char c = line.empty() ? ' ' : line.front();
    bool indexed;
    if (static_cast<unsigned char>(c) > ' ' && c != ';' && c != '[') {
      const std::size_t eq = line.find('=');
      indexed = eq != std::string_view::npos && eq > 0;
    } else {
      indexed = ParseIniLine(line).kind != IniLine::Kind::Other;
    }
    if (indexed) starts_.push_back(static_cast<std::uint32_t>(line.data() - content_.data()));
  });
}

std::optional<std::string> IniDocument::value(std::string_view section,
                                              std::string_view key) const {
  index();
  bool passed = false, inside = false;
  for (const std::uint32_t start : starts_) {
    const std::string_view line = lineAt(start);
    if (isHeader(line)) {
      if (inside) passed = true;
      inside = !passed && EqualsIgnoreCase(ParseIniLine(line).name, section);
      if (passed) return std::nullopt;
    } else if (inside && KeyMatches(line, key)) {
      return IniValueOf(line);
    }
  }
  return std::nullopt;
}

}  // namespace varnley
