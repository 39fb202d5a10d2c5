// The host editor's rules without widgets: port entry, port lists, the four octet fields and
// the texts of the host commands' boxes.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varnley {

inline constexpr int kMinPort = 1;
inline constexpr int kMaxPort = 65535;

// The whole text as a decimal int (blanks around it allowed, optional sign); nullopt for
// anything else, a value beyond int's range included.
std::optional<int> ParseDecimal(std::string_view text);

// Why a trimmed port text may not join the list, or nullopt when it may: it must be a number
// within 1..65535 not listed yet (compared as numbers, so "080" is "80"), with room for it in
// the ports text the file keeps (kMaxIniValueLength characters; a longer one would lose its
// last ports at the next load).
std::optional<std::string> PortRefusal(const std::string& trimmed,
                                       const std::vector<std::string>& listed);
inline bool CanAddPort(const std::string& trimmed, const std::vector<std::string>& listed) {
  return !PortRefusal(trimmed, listed);
}
// The text a port is listed and stored as: "080" -> "80". Only for texts CanAddPort accepts.
std::string PortText(const std::string& trimmed);

// "21,80,,443," -> {"21", "80", "443"}: the editor's list shows no empty lines.
std::vector<std::string> SplitPorts(const std::string& ports);

// "010.0.0.1" -> {"10", "0", "0", "1"}; a part that is no number is shown as it stands.
std::array<std::string, 4> SplitHost(std::string_view host);
std::string JoinHost(const std::array<std::string, 4>& octets);

std::string InvalidHostText(const std::string& host);  // "\"<host>\" is invalid."
std::string ConfirmRemoveText(const std::string& host);
inline constexpr const char* kSelectHostText = "Please select a Host.";

}  // namespace varnley
