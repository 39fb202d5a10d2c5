#include "platform/ShowRequest.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "platform/InstanceLock.h"

namespace varnley {

namespace {

std::string FolderOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string Why(const std::string& what) { return what + ": " + std::strerror(errno); }

// Only a folder nobody else may enter keeps other users from listening in the program's place
// or from sending it requests.
Status PrivateFolder(const std::string& folder) {
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0) return Status::Fail(Why(folder));
  if (!S_ISDIR(st.st_mode)) return Status::Fail(folder + " is not a folder");
  if (st.st_uid != ::geteuid()) return Status::Fail(folder + " belongs to another user");
  if ((st.st_mode & 077) != 0) return Status::Fail(folder + " is open to other users");
  return Status::Ok();
}

Status Address(const std::string& path, sockaddr_un& address) {
  address = {};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path)
    return Status::Fail(path + ": the path is too long for a local socket");
  std::memcpy(address.sun_path, path.data(), path.size());
  return Status::Ok();
}

void Close(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

std::string ShowRequestListener::DefaultPath() {
  return FolderOf(InstanceLock::DefaultPath()) + "/Varnley.show";
}

ShowRequestListener::~ShowRequestListener() {
  if (fd_ < 0) return;
  Close(fd_);
  struct stat st {};
  if (::lstat(path_.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_ino == inode_)
    ::unlink(path_.c_str());
}

Status ShowRequestListener::Listen(const std::string& path) {
  if (fd_ >= 0) return Status::Ok();
  sockaddr_un address;
  if (Status s = Address(path, address); !s) return s;
  if (Status s = PrivateFolder(FolderOf(path)); !s) return s;
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) return Status::Fail(path + " is there and is no socket");
    ::unlink(path.c_str());
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return Status::Fail(Why("local socket"));
  // The folder keeps others out already; the socket's own mode says the same to anyone who
  // looks.
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::chmod(path.c_str(), 0600) != 0 || ::listen(fd, 8) != 0 || ::lstat(path.c_str(), &st) != 0) {
    Status failed = Status::Fail(Why(path));
    Close(fd);
    return failed;
  }
  fd_ = fd;
  path_ = path;
  inode_ = st.st_ino;
  return Status::Ok();
}

bool ShowRequestListener::TakeRequests() {
  bool asked = false;
  for (;;) {
    int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return asked;
    }
    // The connection is the request; the folder already keeps other users out, and the
    // credentials say so once more.
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == ::geteuid())
      asked = true;
    ::close(client);
  }
}

Status RequestShow(const std::string& path, Deadline deadline) {
  sockaddr_un address;
  if (Status s = Address(path, address); !s) return s;
  if (Status s = PrivateFolder(FolderOf(path)); !s) return s;
  for (;;) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return Status::Fail(Why("local socket"));
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
      Close(fd);
      return Status::Ok();
    }
    const int err = errno;
    if (err == EAGAIN || err == EINPROGRESS) {
      // A full queue: the running copy takes requests as its window loop gets round to them.
      pollfd p{fd, POLLOUT, 0};
      const int ready = ::poll(&p, 1, deadline.pollTimeout());
      int soError = 0;
      socklen_t size = sizeof soError;
      const bool connected =
          ready > 0 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &size) == 0 && soError == 0;
      Close(fd);
      if (connected) return Status::Ok();
    } else {
      Close(fd);
      if (err != ENOENT && err != ECONNREFUSED) {
        errno = err;
        return Status::Fail(Why(path));
      }
    }
    if (deadline.expired()) {
      errno = err;
      return Status::Fail(Why(path));
    }
    std::this_thread::sleep_for(
        std::min(std::chrono::milliseconds(50),
                 deadline.remaining().value_or(std::chrono::milliseconds(50))));
  }
}

}  // namespace varnley
