// The "Date" header value in the Internet message format, in the local time zone.
#pragma once

#include <ctime>
#include <string>

namespace varnley {

// "Tue, 05 Mar 2024 14:03:09 +0100": English names whatever the locale, numeric zone offset.
std::string InternetDate(std::time_t when);

}  // namespace varnley
