// Asking the running windowed copy to show its window: the copy holding the instance lock
// listens on a local socket in the lock's private folder, and a second start connects to it
// before it ends. (On Windows this build has no listener; a second start ends as before.)
#pragma once

#include <chrono>
#include <string>

#include "platform/Deadline.h"
#include "platform/Diagnostics.h"

namespace varnley {

class ShowRequestListener {
 public:
  // Varnley.show beside the instance lock ("" where there is none).
  static std::string DefaultPath();

  ShowRequestListener() = default;
  ~ShowRequestListener();  // stops listening and removes the socket
  ShowRequestListener(const ShowRequestListener&) = delete;
  ShowRequestListener& operator=(const ShowRequestListener&) = delete;

  // Listens at the path, whose folder must be the user's own and closed to everyone else.
  // Meant for the holder of the instance lock: a socket found there is a dead copy's and is
  // replaced.
  Status Listen(const std::string& path = DefaultPath());
  // Readable while requests wait (-1 when not listening).
  int descriptor() const { return fd_; }
  // Takes every waiting request without blocking; true when at least one came.
  bool TakeRequests();

 private:
  std::string path_;
  int fd_ = -1;
  unsigned long long inode_ = 0;  // of the socket this listener made, so only it is removed
};

// Asks the copy listening at the path to show its window. A copy that is only starting may not
// listen yet, so a missing or refusing socket is tried again until the deadline.
Status RequestShow(const std::string& path = ShowRequestListener::DefaultPath(),
                   Deadline deadline = Deadline::After(std::chrono::seconds(1)));

}  // namespace varnley
