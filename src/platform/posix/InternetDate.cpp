#include "platform/InternetDate.h"

#include <time.h>

namespace varnley {

std::string InternetDate(std::time_t when) {
  tm local{};
  if (::localtime_r(&when, &local) == nullptr) {
    // A time the calendar cannot hold: say so in the zone-less form the format allows.
    when = 0;
    ::gmtime_r(&when, &local);
  }
  return FormatInternetDate(local, local.tm_gmtoff / 60);
}

}  // namespace varnley
