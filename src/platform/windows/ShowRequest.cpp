#include "platform/ShowRequest.h"

namespace varnley {

// The Windows build has no window of its own to show, so a second start ends as it always did.

std::string ShowRequestListener::DefaultPath() { return {}; }

ShowRequestListener::~ShowRequestListener() = default;

Status ShowRequestListener::Listen(const std::string&) {
  return Status::Fail("showing the running copy's window is not supported in this build");
}

bool ShowRequestListener::TakeRequests() { return false; }

Status RequestShow(const std::string&, Deadline) {
  return Status::Fail("showing the running copy's window is not supported in this build");
}

}  // namespace varnley
