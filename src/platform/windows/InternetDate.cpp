#include "platform/InternetDate.h"

#include <time.h>

#include <cstdio>
#include <cstdlib>

namespace varnley {

std::string InternetDate(std::time_t when) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  tm local{};
  long offsetMinutes = 0;
  if (::localtime_s(&local, &when) != 0) {
    // A time the calendar cannot hold: say so in the zone-less form the format allows.
    when = 0;
    ::gmtime_s(&local, &when);
  } else {
    // The local calendar time read back as if it were UTC is ahead of UTC by the zone offset.
    tm copy = local;
    const std::time_t asUtc = ::_mkgmtime(&copy);
    if (asUtc != -1) offsetMinutes = static_cast<long>((asUtc - when) / 60);
  }
  const long absMinutes = std::labs(offsetMinutes);
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld",
                kDays[local.tm_wday % 7], local.tm_mday, kMonths[local.tm_mon % 12],
                local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec,
                offsetMinutes < 0 ? '-' : '+', absMinutes / 60, absMinutes % 60);
  return text;
}

}  // namespace varnley
