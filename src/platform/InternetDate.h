// The "Date" header value in the Internet message format, in the local time zone.
#pragma once

#include <ctime>
#include <string>

namespace varnley {

// "Tue, 05 Mar 2024 14:03:09 +0100": English names whatever the locale, numeric zone offset.
std::string InternetDate(std::time_t when);

// The same text for a local calendar time and its zone's offset from UTC in minutes (east is
// positive). Finding those two is the system's part; this is what every system shares.
std::string FormatInternetDate(const std::tm& local, long offsetMinutes);

}  // namespace varnley
