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

// Whether a key line names this key (ASCII case ignored), as ParseIniLine would find.
bool KeyMatches(std::string_view keyLine, std::string_view key);

// The value of a key line as a read returns it: trimmed, one pair of quotes removed, cut to
// kMaxIniValueLength code units.
std::string IniValueOf(std::string_view keyLine);
// The same value before the cut; IniCutLength gives the bytes of it that a read keeps.
std::string_view IniRawValueOf(std::string_view keyLine);
std::size_t IniCutLength(std::string_view rawValue);

// Calls fn(line, ending) for each complete line of buf and returns where the first line
// not passed on starts. ending is 0 for none (the last line at the end), 1 for LF, 2 for
// CR LF, 3 for CR. Unless atEnd, a line is complete only once its end has been seen (a CR
// at the very end may still get its LF). [0, searchFrom) is known to hold no line end.
template <class Fn>
std::size_t EmitIniLines(std::string_view buf, bool atEnd, std::size_t searchFrom, Fn&& fn) {
  const std::size_t n = buf.size();
  // The next LF and the next CR, each searched for again only once passed, so the text is
  // scanned once for each whatever its line ends.
  const auto next = [&](char c, std::size_t from) {
    const std::size_t at = buf.find(c, from);
    return at == std::string_view::npos ? n : at;
  };
  std::size_t start = 0;
  std::size_t lf = next('\n', searchFrom), cr = next('\r', searchFrom);
  while (start < n) {
    if (lf < start) lf = next('\n', start);
    if (cr < start) cr = next('\r', start);
    const std::size_t end = lf < cr ? lf : cr;
    if (end == n || (end == cr && end + 1 == n)) {
      if (!atEnd) return start;
      if (end == n) {
        fn(buf.substr(start), 0);
        return n;
      }
    }
    int ending = 1;
    std::size_t following = end + 1;
    if (end == cr) {
      ending = end + 1 < n && buf[end + 1] == '\n' ? 2 : 3;
      following += ending == 2 ? 1 : 0;
    }
    fn(buf.substr(start, end - start), ending);
    start = following;
  }
  return start;
}

// How IniFile::writeString words what it writes, for writers that stream over a file and must
// produce the same bytes. Whether writing value over this key line leaves the line as it is:
bool IniValueUnchanged(std::string_view keyLine, std::string_view value);
// keyLine with its value replaced, the text up to the value (and the spacing after "=") kept.
void AppendIniRewrittenLine(std::string& out, std::string_view keyLine, std::string_view value);
// A new "key=value" line and a new "[section]" line, each without its line end.
void AppendIniKeyLine(std::string& out, std::string_view key, std::string_view value);
void AppendIniHeaderLine(std::string& out, std::string_view section);
// The line end given to new lines: that of the first line of content (after any byte-order
// mark) which has one, else LF.
std::string_view IniNewLineEnding(std::string_view content);

inline constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

// Where the text of a file starts: after one UTF-8 byte-order mark, if it has one. Every reader
// and writer of the file skips exactly this much; a second mark is text of the first line.
inline std::size_t IniBodyStart(std::string_view content) {
  return content.substr(0, 3) == kUtf8ByteOrderMark ? 3 : 0;
}

// Calls fn(line, ending) for each line of a whole file, after its byte-order mark.
template <class Fn>
void ForEachIniLine(std::string_view content, Fn&& fn) {
  EmitIniLines(content.substr(IniBodyStart(content)), true, 0, fn);
}

// The same lines for a file that arrives in pieces (read in chunks): feed each piece, then
// finish. Lines are passed on as soon as they are complete; only an unfinished one is kept.
class IniLineSplitter {
 public:
  template <class Fn>
  void feed(std::string_view chunk, Fn&& fn) {
    if (pending_.empty()) {
      pending_.assign(chunk.substr(emit(chunk, false, 0, fn)));
    } else {
      pending_ += chunk;
      pending_.erase(0, emit(pending_, false, scanned_, fn));
    }
    // What is kept holds no line end, but for a CR at its very end.
    scanned_ = pending_.empty() || pending_.back() != '\r' ? pending_.size() : pending_.size() - 1;
  }
  template <class Fn>
  void finish(Fn&& fn) {
    emit(pending_, true, scanned_, fn);
    pending_.clear();
    scanned_ = 0;
  }

 private:
  template <class Fn>
  std::size_t emit(std::string_view buf, bool atEnd, std::size_t from, Fn& fn) {
    return EmitIniLines(buf, atEnd, from, [&](std::string_view line, int ending) {
      if (first_) {
        first_ = false;
        if (const std::size_t start = IniBodyStart(line); start != 0) {
          line.remove_prefix(start);
          if (line.empty() && ending == 0) return;  // a file that is only the mark
        }
      }
      fn(line, ending);
    });
  }

  std::string pending_;
  std::size_t scanned_ = 0;
  bool first_ = true;
};

// Not for use from two threads at once, not even for reads: lookups keep a hint.
class IniFile {
 public:
  IniFile() = default;
  // Any bytes are accepted: CR LF, LF and CR line ends, a UTF-8 byte-order mark, lines that
  // are neither sections nor keys (kept, never read). Only the first 4 GiB are looked at;
  // callers keep larger files away.
  explicit IniFile(std::string content);

  // The whole file as it would be written, byte for byte what was read where unchanged.
  std::string text() const;
  // The same text handed out in pieces, for writing without a copy of the whole.
  template <class Sink>
  void writeTo(Sink&& sink) const {
    static constexpr std::string_view kEndings[] = {"", "\n", "\r\n", "\r"};
    if (byteOrderMark_) sink(kUtf8ByteOrderMark);
    for (std::uint32_t i = head_; i != kEnd; i = lines_[i].next) {
      sink(textOf(lines_[i]));
      sink(kEndings[static_cast<int>(lines_[i].ending)]);
    }
  }

  // Sections and keys are found without regard to ASCII case; only the first section of a
  // name and the first key of a name within it count.
  std::optional<std::string> value(std::string_view section, std::string_view key) const;
  // The value before the cut to kMaxIniValueLength (see IniRawValueOf).
  std::optional<std::string_view> rawValue(std::string_view section, std::string_view key) const;
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
    std::uint32_t header;     // line index
    std::uint32_t anchor;     // last key line, or the header: where a new key goes after
    std::uint32_t nameStart;  // the name's place in the header line's buffer
    std::uint32_t nameLength;
    bool first = false;  // the first section of its name, the one that is read
  };

  std::string_view textOf(const Line& line) const;
  Section makeSection(std::uint32_t header) const;
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
  std::string content_;  // the file as read
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
