// The host rule over arbitrary text: the stored form of an accepted host is accepted again as
// itself (the form is a fixed point), an IPv6 literal keeps its bytes, and a name stays within
// the length and character limits the rule promises.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "model/AddressCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string reason;
  const auto host = varnley::CanonicalHostOf(text, &reason);
  if (!host) {
    if (reason.empty()) std::abort();
    return 0;
  }
  const auto again = varnley::CanonicalHostOf(host->text);
  if (!again || again->text != host->text || again->kind != host->kind) std::abort();
  switch (host->kind) {
    case varnley::HostKind::IPv4:
      if (host->text != text) std::abort();
      break;
    case varnley::HostKind::IPv6: {
      std::string_view literal = text;
      if (literal.front() == '[') literal = literal.substr(1, literal.size() - 2);
      const auto typed = varnley::ParseIPv6(literal);
      if (!typed || varnley::ParseIPv6(host->text) != typed) std::abort();
      if (varnley::FormatIPv6(*typed) != host->text) std::abort();
      break;
    }
    case varnley::HostKind::Name:
      if (host->text.empty() || host->text.size() > 253 || host->text.back() == '.') std::abort();
      for (char c : host->text)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.'))
          std::abort();
      break;
  }
  return 0;
}
