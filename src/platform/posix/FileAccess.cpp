#include "platform/FileAccess.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

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
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    SetReason(reason, "open", err);
    return ReadStatus::Failed;
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    if (reason) {
      const char* kind = S_ISDIR(st.st_mode)                          ? "a folder"
                         : S_ISFIFO(st.st_mode)                       ? "a named pipe (FIFO)"
                         : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? "a device"
                         : S_ISSOCK(st.st_mode)                       ? "a socket"
                                                                      : "something";
      *reason = std::string("it is ") + kind + ", not a regular file";
    }
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

namespace {

constexpr int kMaxLinkHops = 40;
constexpr std::string_view kTempTag = ".varnley-";
constexpr std::size_t kTempRandom = 6;  // mkstemp's XXXXXX
// Leaves room in a 255-byte name for the dot, the tag and the random part.
constexpr std::size_t kMaxTempBase = 200;

std::string BaseOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The path with its symbolic links followed as far as they lead, to a file that may not exist
// yet: a link to a missing file names the file to create, so the link survives the save.
std::string FollowLinks(std::string path) {
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char to[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), to, sizeof to - 1);
    if (n <= 0) return path;
    const std::string link(to, static_cast<std::size_t>(n));
    path = link.front() == '/' ? link : FolderOf(path) + "/" + link;
  }
  return path;  // a loop: opening it fails with ELOOP and is reported
}

// The temporary files of saves of `base`: ".<base>.varnley-XXXXXX". Those of an earlier release
// were ".varnley-XXXXXX" for any file in the folder.
std::string TempPrefix(const std::string& base) {
  std::string prefix(1, '.');
  prefix.append(base, 0, kMaxTempBase).append(kTempTag);
  return prefix;
}

bool IsTempName(std::string_view name, std::string_view prefix) {
  if (name.size() != prefix.size() + kTempRandom || name.substr(0, prefix.size()) != prefix)
    return false;
  for (char c : name.substr(prefix.size()))
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
  return true;
}

bool InGroup(gid_t group) {
  if (group == ::getegid()) return true;
  const int n = ::getgroups(0, nullptr);
  if (n <= 0) return false;
  std::vector<gid_t> groups(static_cast<std::size_t>(n));
  const int got = ::getgroups(n, groups.data());
  return got > 0 && std::find(groups.begin(), groups.begin() + got, group) != groups.begin() + got;
}

FileFacts FactsOf(const std::string& path, const struct stat& st) {
  FileFacts facts;
  facts.exists = true;
  facts.regular = S_ISREG(st.st_mode);
  const uid_t self = ::geteuid();
  // Root may write anything; a file nobody may write was made read-only on purpose.
  facts.writable = ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0 &&
                   (self != 0 || (st.st_mode & 0222) != 0);
  facts.ownerKept = self == 0 || (st.st_uid == self && InGroup(st.st_gid));
  facts.hasAcl = ::getxattr(path.c_str(), "system.posix_acl_access", nullptr, 0) > 0;
  facts.links = static_cast<unsigned long>(st.st_nlink);
  return facts;
}

}  // namespace

AtomicFileWriter::AtomicFileWriter(const std::string& path) : target_(FollowLinks(path)) {
  struct stat st {};
  FileFacts facts;
  if (::stat(target_.c_str(), &st) == 0) facts = FactsOf(target_, st);
  const WriteDecision decision = DecideWrite(facts);
  method_ = decision.method;
  if (method_ == WriteMethod::Refuse) {
    ok_ = false;
    error_ = decision.reason;
    return;
  }
  if (method_ == WriteMethod::Replace)
    openTemporary(facts, st.st_uid, st.st_gid, facts.exists ? st.st_mode & 07777 : 0600);
  if (method_ == WriteMethod::Replace) buffer_.reserve(kBufferSize);
}

void AtomicFileWriter::openTemporary(const FileFacts& facts, unsigned owner, unsigned group,
                                     unsigned mode) {
  temp_ = FolderOf(target_) + "/" + TempPrefix(BaseOf(target_)) + "XXXXXX";
  fd_ = ::mkostemp(temp_.data(), O_CLOEXEC);
  if (fd_ < 0) {
    const int err = errno;
    temp_.clear();
    // A folder that takes no new files may still hold a file the user may write.
    if (facts.exists && (err == EACCES || err == EPERM || err == EROFS)) {
      method_ = WriteMethod::InPlace;
      return;
    }
    fail("create temporary file", err);
    return;
  }
  // Held while the file is ours: a later save removes only temporaries nobody holds.
  ::flock(fd_, LOCK_EX | LOCK_NB);
  if (facts.exists && ::fchown(fd_, owner, group) != 0) {
    discard();
    method_ = WriteMethod::InPlace;
    return;
  }
  if (::fchmod(fd_, mode) != 0) fail("chmod", errno);
}

AtomicFileWriter::~AtomicFileWriter() { discard(); }

void AtomicFileWriter::discard() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temp_.empty()) ::unlink(temp_.c_str());
  temp_.clear();
}

void AtomicFileWriter::fail(const std::string& what, int err) {
  if (ok_) error_ = what + ": " + std::strerror(err);
  ok_ = false;
  discard();
}

void AtomicFileWriter::append(std::string_view data) {
  if (!ok_) return;
  // In place, nothing is written before the whole text is known.
  if (method_ == WriteMethod::InPlace) {
    buffer_.append(data);
    return;
  }
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

bool AtomicFileWriter::writeInPlace() {
  const int fd = ::open(target_.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    fail("open", errno);
    return false;
  }
  struct stat st {};
  int err = ::fstat(fd, &st) != 0 ? errno : !S_ISREG(st.st_mode) ? EINVAL : 0;
  // Room for the whole text first: running out of space must not leave the file cut short.
  if (err == 0 && !buffer_.empty() &&
      ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(buffer_.size())) != 0 &&
      errno != EOPNOTSUPP && errno != ENOSYS)
    err = errno;
  const char* what = "reserve space";
  if (err == 0) {
    what = "write";
    if (!WriteAll(fd, buffer_)) err = errno;
  }
  if (err == 0 && ::ftruncate(fd, static_cast<off_t>(buffer_.size())) != 0) {
    what = "truncate";
    err = errno;
  }
  if (err == 0 && ::fsync(fd) != 0) {
    what = "fsync";
    err = errno;
  }
  if (::close(fd) != 0 && err == 0) {
    what = "close";
    err = errno;
  }
  if (err != 0) fail(what, err);
  return err == 0;
}

bool AtomicFileWriter::commit(std::string* reason) {
  if (ok_ && method_ == WriteMethod::InPlace) {
    writeInPlace();
  } else {
    flush();
    if (ok_ && ::fsync(fd_) != 0) fail("fsync", errno);
    if (ok_) {
      const int fd = fd_;
      fd_ = -1;
      // Closing drops the lock only once the file has its name: a later save never takes a
      // temporary that is still being renamed for one that was killed.
      if (::rename(temp_.c_str(), target_.c_str()) != 0) {
        const int err = errno;
        ::close(fd);
        fail("rename", err);
      } else if (::close(fd) != 0) {
        temp_.clear();
        fail("close", errno);
      }
    }
  }
  if (!ok_) {
    if (reason) *reason = error_;
    return false;
  }
  // Renamed: nothing left to remove. The folder is not synced: should the rename be lost in
  // a crash, the old file is still whole, and the next save writes the new version again.
  temp_.clear();
  removeStaleTemporaries();
  return true;
}

void AtomicFileWriter::removeStaleTemporaries() const {
  const std::string folder = FolderOf(target_);
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return;
  const std::string prefix = TempPrefix(BaseOf(target_));
  const int dirFd = ::dirfd(dir);
  const uid_t self = ::geteuid();
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (!IsTempName(name, prefix) && !IsTempName(name, kTempTag)) continue;
    const int fd = ::openat(dirFd, entry->d_name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) continue;
    struct stat st {};
    // Only our own files, and only those whose save no longer runs (it would hold the lock).
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == self &&
        ::flock(fd, LOCK_EX | LOCK_NB) == 0)
      ::unlinkat(dirFd, entry->d_name, 0);
    ::close(fd);
  }
  ::closedir(dir);
}

}  // namespace varnley
