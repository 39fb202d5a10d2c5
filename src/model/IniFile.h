// The settings file format: an INI file read and written with the classic private-profile
// rules, keeping every line it does not change exactly as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varnley {

// A value read returns at most this many UTF-16 code units.
inline constexpr std::size_t kMaxIniValueLength = 2047;

// Decimal, or hexadecimal after "$" or "0x"/"0X" (at least one digit), with an optional sign;
// the whole text must be the number. Hex values up to FFFFFFFF wrap into the signed range.
std::optional<std::int32_t> ParseIniInteger(std::string_view text);

// How the reader sees one line (shared by IniFile and readers that stream over a file).
struct IniLine {
  enum class Kind : std::uint8_t { Other, Header, Key };
  Kind kind = Kind::Other;
  std::string_view name;  // section name or key, trimmed
};
IniLine ParseIniLine(std::string_view line);

// The value of a key line as a read returns it: trimmed, one pair of quotes removed, cut to
// kMaxIniValueLength code units.
std::string IniValueOf(std::string_view keyLine);

// Calls fn(line, ending) for each line of the file after a UTF-8 byte-order mark; ending is
// 0 for none (last line), 1 for LF, 2 for CR LF, 3 for CR.
template <class Fn>
void ForEachIniLine(std::string_view content, Fn&& fn) {
  std::size_t start = content.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
  const std::size_t n = content.size();
  // The next LF and the next CR, each searched for again only once passed, so the file is
  // scanned once for each whatever its line ends.
  const auto next = [&](char c, std::size_t from) {
    const std::size_t at = content.find(c, from);
    return at == std::string_view::npos ? n : at;
  };
  std::size_t lf = next('\n', start), cr = next('\r', start);
  while (start < n) {
    if (lf < start) lf = next('\n', start);
    if (cr < start) cr = next('\r', start);
    const std::size_t end = lf < cr ? lf : cr;
    int ending = 0;
    std::size_t following = end;
    if (end < n) {
      if (end == cr && end + 1 == lf && lf < n) {
        ending = 2;
        following += 2;
      } else {
        ending = end == lf ? 1 : 3;
        following += 1;
      }
    }
    fn(content.substr(start, end - start), ending);
    start = following;
  }
}

class IniFile {
 public:
  IniFile() = default;
  // Any bytes are accepted: CR LF, LF and CR line ends, a UTF-8 byte-order mark, lines that
  // are neither sections nor keys (kept, never read). Only the first 4 GiB are looked at;
  // callers keep larger files away.
  explicit IniFile(std::string content);

  // The whole file as it would be written, byte for byte what was read where unchanged.
  std::string text() const;

  // Sections and keys are found without regard to ASCII case; only the first section of a
  // name and the first key of a name within it count.
  std::optional<std::string> value(std::string_view section, std::string_view key) const;
  std::string readString(std::string_view section, std::string_view key,
                         std::string_view defaultValue) const;
  std::int32_t readInteger(std::string_view section, std::string_view key,
                           std::int32_t defaultValue) const;
  bool readBool(std::string_view section, std::string_view key, bool defaultValue) const;

  // Changes the first matching key in place, else adds the key at the end of its section,
  // else adds the section at the end of the file.
  void writeString(std::string_view section, std::string_view key, std::string_view value);
  void writeInteger(std::string_view section, std::string_view key, std::int32_t value);
  void writeBool(std::string_view section, std::string_view key, bool value);

  // Names of the distinct sections, as spelt at their first appearance, in file order.
  std::vector<std::string_view> sectionNames() const;

  // A section found by sections(): reads its keys as value() does, without a name lookup.
  class SectionRef {
   public:
    std::string_view name() const;
    std::optional<std::string> value(std::string_view key) const;

   private:
    friend class IniFile;
    SectionRef(const IniFile* ini, std::uint32_t index) : ini_(ini), index_(index) {}
    const IniFile* ini_;
    std::uint32_t index_;
  };
  // The distinct sections (the first of each name) in file order.
  std::vector<SectionRef> sections() const;

 private:
  // Lines live in file order as a chain (next), so a key added in the middle of the file
  // costs no shifting; the text of a line is a range of the file as read or of the text
  // written since.
  enum class Ending : std::uint8_t { None, Lf, CrLf, Cr };
  using Kind = IniLine::Kind;
  static constexpr std::uint32_t kEnd = 0xFFFFFFFF;
  struct Line {
    std::uint32_t start = 0;
    std::uint32_t length = 0;
    std::uint32_t next = kEnd;
    Ending ending = Ending::None;
    Kind kind = Kind::Other;
    bool written = false;  // text is in written_, not in content_
  };
  struct Section {
    std::uint32_t header;  // line index
    std::uint32_t anchor;  // last key line, or the header: where a new key goes after
    bool first = false;    // the first section of its name, the one that is read
  };

  static std::string_view FullValue(std::string_view lineText);
  std::string_view textOf(const Line& line) const;
  std::string_view sectionName(const Section& section) const;
  std::uint32_t findSection(std::string_view name) const;  // kEnd when absent
  std::uint32_t lookUpSection(std::string_view name) const;
  void indexSection(std::uint32_t section);
  void indexSection(std::uint32_t section, std::uint64_t hash);
  std::uint32_t findKey(std::string_view section, std::string_view key) const;
  std::uint32_t findKeyIn(std::uint32_t section, std::string_view key) const;
  std::optional<std::string> valueAt(std::uint32_t line) const;
  std::uint32_t addWrittenLine(std::string_view text, Kind kind);
  void linkAfter(std::uint32_t anchor, std::uint32_t line);
  Ending newLineEnding() const;

  bool byteOrderMark_ = false;
  std::string content_;  // the file as read, less its byte-order mark
  std::string written_;  // text of lines written or changed since
  std::vector<Line> lines_;
  std::uint32_t head_ = kEnd;
  std::uint32_t tail_ = kEnd;
  std::vector<Section> sections_;
  // Open addressing over sections_, keyed by the name without letter case; only the first
  // section of a name is in it.
  struct Slot {
    std::uint32_t section = 0;  // index + 1; 0 = free
    std::uint32_t check = 0;    // high half of the name's hash, to skip most comparisons
  };
  std::vector<Slot> slots_;
  std::size_t indexedSections_ = 0;
  mutable std::uint32_t lastFound_ = 0;  // a hint only: where the previous lookup ended
  std::optional<Ending> firstEnding_;
};

}  // namespace varnley
