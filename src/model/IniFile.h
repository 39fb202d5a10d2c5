// The settings file format: an INI file read and written with the classic private-profile
// rules, keeping every line it does not change exactly as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace varnley {

// A value read returns at most this many UTF-16 code units.
inline constexpr std::size_t kMaxIniValueLength = 2047;

// Decimal, or hexadecimal after "$" or "0x"/"0X" (at least one digit), with an optional sign;
// the whole text must be the number. Hex values up to FFFFFFFF wrap into the signed range.
std::optional<std::int32_t> ParseIniInteger(std::string_view text);

class IniFile {
 public:
  IniFile() = default;
  // Any bytes are accepted: CR LF, LF and CR line ends, a UTF-8 byte-order mark, lines that
  // are neither sections nor keys (kept, never read).
  explicit IniFile(std::string_view content);

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

 private:
  enum class Ending : std::uint8_t { None, Lf, CrLf, Cr };
  struct Line {
    std::string text;
    Ending ending = Ending::None;
  };
  struct Section {
    std::string name;  // as written; empty for the lines before the first section
    bool hasHeader = false;
    Line header;
    std::vector<Line> body;
    std::size_t keyLines = 0;   // lines in body up to and including the last key line
  };
  struct KeyPlace {
    std::size_t section;
    std::size_t line;
  };

  static std::string IndexKey(std::string_view section, std::string_view key);
  void addLine(std::string_view text, Ending ending);
  static std::string_view FullValue(const Line& line);
  const Line* findKey(std::string_view section, std::string_view key) const;
  Ending newLineEnding() const;
  void terminateLastLine();

  bool byteOrderMark_ = false;
  std::vector<Section> sections_ = std::vector<Section>(1);
  std::unordered_map<std::string, std::size_t> sectionIndex_;  // lower-case name -> section
  std::unordered_map<std::string, KeyPlace> keyIndex_;         // lower-case "section\x01key"
  std::optional<Ending> firstEnding_;
  bool readingFirstOfName_ = false;  // while parsing: the current section counts for lookups
};

}  // namespace varnley
