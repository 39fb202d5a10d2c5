// Text helpers: the engine holds UTF-8, while several rules of the program work on UTF-16
// code units (password coding, 7-bit output, "low 8 bits" of a character).
#pragma once

#include <string>
#include <string_view>

namespace varnley {

// Invalid UTF-8 bytes each become U+FFFD; characters above U+FFFF become surrogate pairs.
std::u16string Utf8ToUtf16(std::string_view utf8);
// Unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view utf16);

// One byte per UTF-16 code unit: the unit's low 8 bits ("é" gives 0xE9, "€" 0xAC).
std::string LowBytes(std::string_view utf8);
// Each byte read as the character U+0000..U+00FF, returned as UTF-8.
std::string Latin1ToUtf8(std::string_view bytes);

// US-ASCII output: each code unit below 0x80 as itself, every other one as "?".
std::string ToAscii7(std::string_view utf8);

// ASCII-only helpers used by the INI reader, the SMTP layer and the queues.
std::string Trim(std::string_view s);
std::string ToLowerAscii(std::string_view s);
std::string ToUpperAscii(std::string_view s);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);

}  // namespace varnley
