#include "platform/FileAccess.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace varnley {

namespace {

void SetReason(std::string* reason, const std::string& what, int err) {
  if (reason) *reason = what + ": " + std::strerror(err);
}

// Retries on EINTR and short writes; false with errno set on a real failure.
bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string FolderOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

namespace {

// Opens a regular file for reading. Non-blocking, so that a FIFO in the file's place cannot
// hang the open; anything but a regular file is refused.
ReadStatus OpenRegular(const std::string& path, int& fd, std::size_t& size, std::string* reason) {
  fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return ReadStatus::Missing;
    SetReason(reason, "open", errno);
    return ReadStatus::Failed;
  }
  struct stat st {};
  int err = 0;
  if (::fstat(fd, &st) != 0)
    err = errno;
  else if (S_ISDIR(st.st_mode))
    err = EISDIR;
  else if (!S_ISREG(st.st_mode))
    err = EINVAL;
  if (err != 0) {
    ::close(fd);
    SetReason(reason, "open", err);
    return ReadStatus::Failed;
  }
  size = static_cast<std::size_t>(st.st_size);
  return ReadStatus::Ok;
}

// read() that retries on EINTR.
ssize_t ReadSome(int fd, char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(fd, buffer, size);
    if (n >= 0 || errno != EINTR) return n;
  }
}

}  // namespace

ReadStatus ReadWholeFile(const std::string& path, std::string& content, std::size_t maxSize,
                         std::string* reason) {
  content.clear();
  int fd = -1;
  std::size_t expected = 0;
  if (const ReadStatus status = OpenRegular(path, fd, expected, reason); status != ReadStatus::Ok)
    return status;
  // The size is only a first guess: the file may grow or shrink while it is read.
  std::size_t size = 0;
  content.resize(std::min(expected, maxSize) + 1);
  for (;;) {
    if (size == content.size()) {
      if (size > maxSize) break;
      content.resize(std::min(size * 2 + 4096, maxSize + 1));
    }
    const ssize_t n = ReadSome(fd, content.data() + size, content.size() - size);
    if (n < 0) {
      const int err = errno;
      ::close(fd);
      content.clear();
      SetReason(reason, "read", err);
      return ReadStatus::Failed;
    }
    if (n == 0) break;
    size += static_cast<std::size_t>(n);
  }
  ::close(fd);
  if (size > maxSize) {
    content.clear();
    SetReason(reason, "read", EFBIG);
    return ReadStatus::Failed;
  }
  content.resize(size);
  return ReadStatus::Ok;
}

ReadStatus ReadFileInChunks(const std::string& path, std::size_t maxSize, std::size_t chunkSize,
                            const std::function<void(std::string_view)>& fn, std::size_t* fileSize,
                            std::string* reason) {
  int fd = -1;
  std::size_t expected = 0;
  if (const ReadStatus status = OpenRegular(path, fd, expected, reason); status != ReadStatus::Ok)
    return status;
  if (fileSize) *fileSize = expected;
  std::string buffer(std::max<std::size_t>(chunkSize, 1), '\0');
  std::size_t total = 0;
  for (;;) {
    const ssize_t n = ReadSome(fd, buffer.data(), buffer.size());
    if (n == 0) break;
    int err = n < 0 ? errno : 0;
    if (n > 0 && (total += static_cast<std::size_t>(n)) > maxSize) err = EFBIG;
    if (err != 0) {
      ::close(fd);
      SetReason(reason, "read", err);
      return ReadStatus::Failed;
    }
    fn(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
  }
  ::close(fd);
  return ReadStatus::Ok;
}

AtomicFileWriter::AtomicFileWriter(const std::string& path) {
  // Replacing a link itself would silently detach the file the user pointed it at.
  target_ = path;
  struct stat linkSt {};
  if (::lstat(path.c_str(), &linkSt) == 0 && S_ISLNK(linkSt.st_mode)) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved)) target_ = resolved;
  }
  mode_t mode = 0600;
  struct stat st {};
  if (::stat(target_.c_str(), &st) == 0) mode = st.st_mode & 07777;

  temp_ = FolderOf(target_) + "/.varnley-XXXXXX";
  fd_ = ::mkstemp(temp_.data());
  if (fd_ < 0) {
    fail("create temporary file", errno);
    return;
  }
  if (::fchmod(fd_, mode) != 0) fail("chmod", errno);
  buffer_.reserve(kBufferSize);
}

AtomicFileWriter::~AtomicFileWriter() { discard(); }

void AtomicFileWriter::discard() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temp_.empty()) ::unlink(temp_.c_str());
  temp_.clear();
}

void AtomicFileWriter::fail(const char* what, int err) {
  if (ok_) error_ = std::string(what) + ": " + std::strerror(err);
  ok_ = false;
  discard();
}

void AtomicFileWriter::append(std::string_view data) {
  if (!ok_) return;
  if (buffer_.size() + data.size() > kBufferSize) {
    flush();
    if (!ok_) return;
    if (data.size() >= kBufferSize) {
      if (!WriteAll(fd_, data)) fail("write", errno);
      return;
    }
  }
  buffer_.append(data);
}

void AtomicFileWriter::flush() {
  if (ok_ && !buffer_.empty() && !WriteAll(fd_, buffer_)) fail("write", errno);
  buffer_.clear();
}

bool AtomicFileWriter::commit(std::string* reason) {
  flush();
  if (ok_ && ::fsync(fd_) != 0) fail("fsync", errno);
  if (ok_) {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) fail("close", errno);
  }
  if (ok_ && ::rename(temp_.c_str(), target_.c_str()) != 0) fail("rename", errno);
  if (!ok_) {
    if (reason) *reason = error_;
    return false;
  }
  // Renamed: nothing left to remove. The folder is not synced: should the rename be lost in
  // a crash, the old file is still whole, and the next save writes the new version again.
  temp_.clear();
  return true;
}

bool ReplaceFileAtomically(const std::string& path, std::string_view content, std::string* reason) {
  AtomicFileWriter writer(path);
  writer.append(content);
  return writer.commit(reason);
}

}  // namespace varnley
