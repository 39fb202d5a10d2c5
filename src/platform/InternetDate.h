// The "Date" header value in the Internet message format, in the local time zone.
#pragma once

#include <chrono>
#include <ctime>
#include <string>

namespace varnley {

// "Tue, 05 Mar 2024 14:03:09 +0100": English names whatever the locale, numeric zone offset.
std::string InternetDate(std::time_t when);

// The same text for a local calendar time and its zone's offset from UTC in minutes (east is
// positive). Finding those two is the system's part; this is what every system shares.
std::string FormatInternetDate(const std::tm& local, long offsetMinutes);

// "2026-12-09T03:45:26Z": RFC 3339 in UTC, to the second, needing nothing of the system's time
// zone rules; compact leaves out the dashes and colons ("20261209T034526Z"), for file names.
std::string UtcTimestamp(std::chrono::system_clock::time_point when, bool compact = false);

}  // namespace varnley
