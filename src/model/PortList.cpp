#include "model/PortList.h"

#include "platform/Text.h"

namespace varnley {

std::vector<std::string> SplitPortList(const std::string& text) {
  std::vector<std::string> entries;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t comma = text.find(',', start);
    if (comma == std::string::npos) {
      entries.push_back(text.substr(start));
      break;
    }
    entries.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  return entries;
}

std::string JoinPortList(const std::vector<std::string>& entries) {
  std::string text;
  for (const auto& e : entries) {
    text += e;
    text += ',';
  }
  return text;
}

long long PortEntryValue(const std::string& entry) {
  const std::string digits = Trim(entry);
  // Nine digits are plenty for any port and keep the sum far from overflow.
  if (digits.empty() || digits.size() > 9) return 0;
  long long value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace varnley
