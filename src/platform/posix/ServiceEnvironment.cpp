#include "platform/ServiceEnvironment.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace varnley {

namespace {

bool nonEmpty(const char* name) {
  const char* value = std::getenv(name);
  return value && value[0] != '\0';
}

bool fail(std::string* reason, const std::string& text) {
  if (reason) *reason = text;
  return false;
}

}  // namespace

bool NotifyServiceManager(const std::string& state, std::string* reason) {
  const char* name = std::getenv("NOTIFY_SOCKET");
  if (!name || name[0] == '\0') return true;
  const std::size_t length = std::strlen(name);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  if (name[0] != '/' && name[0] != '@') return fail(reason, "NOTIFY_SOCKET is not a socket name");
  if (length >= sizeof address.sun_path) return fail(reason, "NOTIFY_SOCKET is too long");
  std::memcpy(address.sun_path, name, length);
  // An abstract name has no terminating zero; its length is the address's length.
  if (name[0] == '@') address.sun_path[0] = '\0';
  const socklen_t addressLength =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + (name[0] == '@' ? 0 : 1));

  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail(reason, std::strerror(errno));
  ssize_t sent;
  do {
    sent = ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&address), addressLength);
  } while (sent < 0 && errno == EINTR);
  const int error = errno;
  ::close(fd);
  if (sent != static_cast<ssize_t>(state.size())) return fail(reason, std::strerror(error));
  return true;
}

bool StderrIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (!stream) return false;
  unsigned long long device = 0, inode = 0;
  char extra = 0;
  if (std::sscanf(stream, "%llu:%llu%c", &device, &inode, &extra) != 2) return false;
  struct stat info = {};
  if (::fstat(STDERR_FILENO, &info) != 0) return false;
  return static_cast<unsigned long long>(info.st_dev) == device &&
         static_cast<unsigned long long>(info.st_ino) == inode;
}

bool DisplayAvailable() {
  return nonEmpty("DISPLAY") || nonEmpty("WAYLAND_DISPLAY") || nonEmpty("QT_QPA_PLATFORM");
}

}  // namespace varnley
