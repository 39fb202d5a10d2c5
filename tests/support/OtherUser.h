// Running a piece of a test as another user: a forked child drops to that uid and gid, so
// permission rules apply as for any user (the suite itself often runs as root).
#pragma once

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace varnley::test {

inline constexpr unsigned kOtherUid = 65534;  // "nobody"

// Whether the suite may make files of other users and act as them.
inline bool CanActAsOtherUser() { return ::geteuid() == 0; }

// Runs fn() as kOtherUid in a child process; the answer is what fn() returned, or -1 when
// the child could not become that user or did not end normally.
template <class Fn>
int AsOtherUser(Fn&& fn) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setresgid(kOtherUid, kOtherUid, kOtherUid) != 0 ||
        ::setresuid(kOtherUid, kOtherUid, kOtherUid) != 0)
      ::_exit(255);
    ::_exit(fn() & 0xFF);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status) == 255 ? -1 : WEXITSTATUS(status);
}

}  // namespace varnley::test
