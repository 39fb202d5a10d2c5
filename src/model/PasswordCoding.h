// The reversible coding of the SMTP password in the settings file.
#pragma once

#include <string>
#include <string_view>

namespace varnley {

// Two upper-case hex digits per UTF-16 code unit (its low 8 bits XOR the key).
std::string EncodePassword(std::string_view plain);
// The reverse; a trailing odd digit is ignored. A value that is not hexadecimal gives "".
std::string DecodePassword(std::string_view coded);

}  // namespace varnley
