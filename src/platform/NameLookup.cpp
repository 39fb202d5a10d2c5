#include <cstdint>

#include "platform/Resolver.h"
#include "platform/TcpSocket.h"
#include "platform/Text.h"

namespace varnley {

std::optional<LookupAnswer> LookupHost(const std::string& host, const std::string& dns,
                                       Deadline deadline, const StopSource* stop) {
  std::uint32_t v4 = 0;
  if (ParseDottedIPv4(host, v4)) {
    return LookupAnswer{LookupFailure::none, {IpAddress::V4(v4)}};
  }
  std::string_view literal = host;
  if (literal.size() > 2 && literal.front() == '[' && literal.back() == ']')
    literal = literal.substr(1, literal.size() - 2);
  if (const auto v6 = ParseIPv6(literal))
    return LookupAnswer{LookupFailure::none, {IpAddress::V6(*v6)}};
  // A name with an embedded NUL would be looked up cut short, and brackets hold addresses only.
  if (host.empty() || host.find('\0') != std::string::npos || host.front() == '[')
    return LookupAnswer{LookupFailure::noSuchName, {}};
  // Names are kept and asked for in lower case, as the host list stores them.
  Resolver resolver(dns);
  return ResolveName(resolver, ToLowerAscii(host), deadline, stop);
}

}  // namespace varnley
