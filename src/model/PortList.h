// The ports texts of the host table ("21,80,443,") as lists of entries and back.
#pragma once

#include <string>
#include <vector>

namespace varnley {

// A ports or deactivated text as a line list: "80,443," gives {"80","443"}, "80,,443," keeps
// the empty entry between the commas, "" gives nothing.
std::vector<std::string> SplitPortList(const std::string& text);
// The reverse: every entry followed by ",".
std::string JoinPortList(const std::vector<std::string>& entries);
// The integer value of one ports entry; 0 for anything that is not a plain decimal number.
long long PortEntryValue(const std::string& entry);

}  // namespace varnley
