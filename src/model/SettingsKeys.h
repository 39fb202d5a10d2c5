// Every key of the settings file in one table: where it lives, how its text is read and
// written, its default and its range. The loader, the writers and the dialog's checks all
// work from these rows, so a new key is one row plus the code that uses its value.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "model/AlertSettings.h"

namespace varnley {

enum class KeyType : std::uint8_t {
  Flag,      // "1" or "0"; read as an integer, non-zero meaning true
  Integer,   // decimal, or hexadecimal after "$" or "0x"
  Text,      // as the file has it (trimmed and unquoted by the line rules)
  Trimmed,   // the same, blanks inside quotes trimmed too
  Password,  // EncodePassword of the text
  Choice,    // one of the row's choices, any letter case
  Hosts,     // hostcount and the [hostN] rows: read and written by the host code
};

// What a save does with the key.
enum class KeyWrite : std::uint8_t {
  Always,       // written by every alert-settings save
  Optional,     // written once it differs from its default, or the file has it already
  NewFileOnly,  // no window edits it: only a new file gets it, an existing line stays as written
};

// How a value outside the row's range is read.
enum class OutOfRange : std::uint8_t {
  Clamp,    // to the nearer end of min..max
  Drop,     // the entry is left out (port numbers)
  Default,  // the default is used and the load says so (choices)
};

// Where a row's value lives in memory; exactly one member is set, none for Hosts rows.
struct KeyField {
  bool AlertSettings::*flag = nullptr;
  int AlertSettings::*integer = nullptr;
  std::string AlertSettings::*text = nullptr;
  bool WebhookSettings::*webhookFlag = nullptr;
  std::string WebhookSettings::*webhookText = nullptr;
};

struct SettingsKey {
  std::string_view section;  // "webhook" stands for [webhook1] .. [webhook<kWebhookCount>]
  std::string_view key;
  KeyType type;
  KeyWrite write;
  std::int32_t min = 0;  // Integer: the range; Flag: 0..1
  std::int32_t max = 0;
  std::int32_t defaultNumber = 0;  // Flag and Integer: the value of a missing or broken key
  std::string_view defaultText;    // Text, Trimmed, Choice: the value of a missing key
  std::string_view choices;        // Choice: the accepted values, separated by ","
  std::string_view alsoDefault;    // Optional text: another spelling of the default ("none")
  OutOfRange outOfRange = OutOfRange::Clamp;
  bool keepsCurrent = false;  // a missing or broken value leaves the setting as it was
  KeyField field;

  bool numbered() const { return section == "webhook"; }
};

// All rows, in the order a save writes them within their sections.
std::span<const SettingsKey> SettingsKeys();

// The row of a key, by its section as the file names it ("config", "webhook2"; any letter
// case) and key; nullptr for a key the program does not own. The dialog checks its fields
// against min and max of these rows.
const SettingsKey* FindSettingsKey(std::string_view section, std::string_view key);

// The instance of a numbered section ("webhook3" -> 3), or 0 for any other name.
int WebhookSectionNumber(std::string_view name);
// The row number of a section named "host<n>" (any letter case, n decimal without leading
// zeros), 0 for any other name.
std::int64_t HostSectionNumber(std::string_view name);

}  // namespace varnley
