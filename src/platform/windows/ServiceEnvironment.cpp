#include "platform/ServiceEnvironment.h"

namespace varnley {

// Windows services hear from the service control manager, not from a datagram: there is
// nobody to tell here.
bool NotifyServiceManager(const std::string&, std::string*) { return true; }

bool StderrIsJournal() { return false; }

// A Windows session always has a desktop to draw on.
bool DisplayAvailable() { return true; }

}  // namespace varnley
