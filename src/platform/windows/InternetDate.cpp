#include "platform/InternetDate.h"

#include <time.h>

namespace varnley {

std::string InternetDate(std::time_t when) {
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
  return FormatInternetDate(local, offsetMinutes);
}

}  // namespace varnley
