// Fuzzes the address-list parser and the header form of what it parsed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "smtp/IdEMailAddress.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  varnley::TIdEmailAddressList list;
  list.SetEmailAddresses(text);
  for (const auto& item : list) {
    if (item.Empty()) std::abort();
  }
  const std::string header = list.EmailAddresses();
  if (list.Count() == 0 && !header.empty()) std::abort();
  varnley::TIdEmailAddressItem from;
  from.SetText(text);
  (void)from.Text();
  return 0;
}
