// The settings file format: the line rules of the classic private-profile INI file, and the
// document a save changes, which keeps every line it does not change exactly as it was.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/Text.h"

namespace varnley {

// A value read returns at most this many UTF-16 code units.
inline constexpr std::size_t kMaxIniValueLength = 2047;

// Decimal, or hexadecimal after "$" or "0x"/"0X" (at least one digit), with an optional sign;
// the whole text must be the number. Hex values up to FFFFFFFF wrap into the signed range.
std::optional<std::int32_t> ParseIniInteger(std::string_view text);

// How the reader sees one line (shared by the document and readers that stream over a file).
struct IniLine {
  enum class Kind : std::uint8_t { Other, Header, Key };
  Kind kind = Kind::Other;
  std::string_view name;  // section name or key, trimmed
};
IniLine ParseIniLine(std::string_view line);
// Whether the first byte above a blank is "[": a header, or one that lacks its "]".
bool IniStartsWithBracket(std::string_view line);

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

// How a write words what it writes. Whether writing value over this key line leaves the line
// as it is:
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

// A settings file held for a save: the text, written back in one pass over it, and for
// lookups an index of where its section headers and key lines start (blank lines and comments
// cost nothing), built at the first lookup, so a file of any shape needs little more than its
// own size. Sections and keys compare without regard to ASCII case; only the first section of
// a name and the first key of a name within it count. Not for use from two threads at once.
class IniDocument {
 public:
  struct Borrow {};
  // Any bytes: CR LF, LF and CR line ends, a UTF-8 byte-order mark, lines that are neither
  // sections nor keys. Only the first 2 GiB are looked at; callers keep larger files away.
  explicit IniDocument(std::string content);
  // Over text the caller keeps alive and unchanged for the document's life, without a copy.
  IniDocument(std::string_view content, Borrow);
  IniDocument(const IniDocument&) = delete;
  IniDocument& operator=(const IniDocument&) = delete;

  std::string_view content() const { return content_; }
  // The value a read returns, as IniValueOf gives it.
  std::optional<std::string> value(std::string_view section, std::string_view key) const;

  // Writes the file with the changes of plan, handing it to sink(std::string_view) in pieces:
  // stretches that do not change straight from the text as read. Each section of the plan
  // takes the first section of its name; the first key of a name in it is rewritten where it
  // stands, a missing key goes after the section's last key line (ahead of the comments and
  // blanks after it), a missing section at the end of the file. New lines get the file's line
  // end. A plan is any type with:
  //   kNone; count(); find(name) -> index or kNone; name(t); keyCount(t) (at most 64);
  //   key(t, k); value(t, k); addIfMissing(t, k): whether a key the file lacks is added;
  //   keepsLine(t, k, line): whether the file's own line stands for the value as it is.
  template <class Plan, class Sink>
  void write(const Plan& plan, Sink&& sink) const;

 private:
  template <class Plan, class Sink>
  friend class IniWriter;

  void index() const;
  std::string_view lineAt(std::uint32_t start) const {
    std::size_t end = start;
    while (end < content_.size() && content_[end] != '\n' && content_[end] != '\r') ++end;
    return content_.substr(start, end - start);
  }
  // Of an indexed line: a key line never starts with "[" (after the blanks the rules trim).
  static bool isHeader(std::string_view line) { return IniStartsWithBracket(line); }
  // Where the line after this one starts.
  std::size_t endOf(std::string_view line) const {
    const std::size_t at = static_cast<std::size_t>(line.data() - content_.data()) + line.size();
    if (at >= content_.size()) return at;
    if (content_[at] == '\n') return at + 1;
    return at + 1 < content_.size() && content_[at + 1] == '\n' ? at + 2 : at + 1;
  }

  std::string owned_;
  std::string_view content_;  // owned_ or the borrowed text
  std::size_t bodyStart_ = 0;
  mutable std::vector<std::uint32_t> starts_;  // of the header and key lines, in file order
  mutable bool indexed_ = false;
};

template <class Plan, class Sink>
class IniWriter {
 public:
  IniWriter(const IniDocument& doc, const Plan& plan, Sink& sink)
      : doc_(doc),
        plan_(plan),
        sink_(sink),
        ending_(IniNewLineEnding(doc.content_)),
        seen_(plan.count(), false) {}

  void run() {
    ForEachIniLine(doc_.content_, [this](std::string_view line, int) { onLine(line); });
    closeSection();
    for (std::size_t t = 0; t < plan_.count(); ++t) {
      if (seen_[t]) continue;
      bool any = false;
      for (std::size_t k = 0; k < plan_.keyCount(t) && !any; ++k) any = plan_.addIfMissing(t, k);
      if (!any) continue;
      insertAt(doc_.content_.size());
      addHeader(plan_.name(t));
      for (std::size_t k = 0; k < plan_.keyCount(t); ++k)
        if (plan_.addIfMissing(t, k)) addKey(plan_.key(t, k), plan_.value(t, k));
    }
    copyTo(doc_.content_.size());
  }

 private:
  static constexpr std::size_t kNone = Plan::kNone;
  static constexpr std::size_t kMaxKeys = 64;

  // "key=..." with nothing around the key, the way this program writes it: known without
  // parsing the line. Setting bit 5 turns a capital letter, and nothing else, into its small
  // one, so it decides only for keys of small letters.
  static bool PlainKey(std::string_view line, std::string_view key) {
    if (line.size() <= key.size() || line[key.size()] != '=') return false;
    for (std::size_t i = 0; i < key.size(); ++i)
      if (key[i] < 'a' || key[i] > 'z' || (line[i] | 0x20) != key[i]) return false;
    return true;
  }

  void onLine(std::string_view line) {
    const char first = line.empty() ? ' ' : line.front();
    // Outside the sections written only a header matters, and a line that starts with
    // anything but a blank or "[" is none.
    if (target_ == kNone && first != '[' && static_cast<unsigned char>(first) > ' ') return;
    const std::size_t keys = target_ == kNone ? 0 : std::min(plan_.keyCount(target_), kMaxKeys);
    for (std::size_t k = 0; k < keys; ++k)
      if (PlainKey(line, plan_.key(target_, k)))
        return onKey(line, k, plan_.key(target_, k).size() + 1);
    const IniLine parsed = ParseIniLine(line);
    if (parsed.kind == IniLine::Kind::Header) {
      closeSection();
      const std::size_t t = plan_.find(parsed.name);
      if (t != kNone && !seen_[t]) {
        seen_[t] = true;
        target_ = t;
      }
      anchorEnd_ = doc_.endOf(line);
      return;
    }
    if (target_ == kNone || parsed.kind != IniLine::Kind::Key) return;
    std::size_t which = kNone;
    for (std::size_t k = 0; k < keys && which == kNone; ++k)
      if (EqualsIgnoreCase(parsed.name, plan_.key(target_, k))) which = k;
    onKey(line, which, 0);
  }

  // A key line in a section written; which is the plan's key it names (kNone for another);
  // valueStart, when not 0, is where the text after "=" starts.
  void onKey(std::string_view line, std::size_t which, std::size_t valueStart) {
    anchorEnd_ = doc_.endOf(line);
    if (which == kNone || (done_ >> which & 1)) return;
    done_ |= std::uint64_t{1} << which;
    if (plan_.keepsLine(target_, which, line)) return;
    rewrite(line, plan_.value(target_, which), valueStart);
  }

  void closeSection() {
    if (target_ == kNone) return;
    bool inserted = false;
    for (std::size_t k = 0; k < std::min(plan_.keyCount(target_), kMaxKeys); ++k) {
      if ((done_ >> k & 1) || !plan_.addIfMissing(target_, k)) continue;
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
    const std::size_t at = static_cast<std::size_t>(line.data() - doc_.content_.data());
    copyTo(at);
    scratch_.clear();
    AppendIniRewrittenLine(scratch_, line, value);
    sink_(std::string_view(scratch_));
    copied_ = at + line.size();
  }

  void copyTo(std::size_t offset) {
    if (offset > copied_) sink_(doc_.content_.substr(copied_, offset - copied_));
    copied_ = offset;
  }

  // Only the file's last line can lack a line end; it gets one once something follows it.
  void insertAt(std::size_t offset) {
    copyTo(offset);
    const std::string_view c = doc_.content_;
    if (offset == c.size() && !endFixed_ && c.size() > doc_.bodyStart_ && c.back() != '\n' &&
        c.back() != '\r') {
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

  const IniDocument& doc_;
  const Plan& plan_;
  Sink& sink_;
  std::string scratch_;
  const std::string_view ending_;
  std::vector<bool> seen_;
  std::size_t copied_ = 0;
  bool endFixed_ = false;
  std::size_t target_ = kNone;
  std::size_t anchorEnd_ = 0;
  std::uint64_t done_ = 0;  // keys of the current section already met, by plan index
};

template <class Plan, class Sink>
void IniDocument::write(const Plan& plan, Sink&& sink) const {
  IniWriter<Plan, std::remove_reference_t<Sink>>(*this, plan, sink).run();
}

}  // namespace varnley
