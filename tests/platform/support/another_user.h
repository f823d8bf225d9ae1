// Part of a test run as another user (nobody, 65534), for what one user may or may not do to
// another. Only root can switch users; the tests that need it skip otherwise.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>

namespace platform::testing {

constexpr uid_t kAnotherUser = 65534;

inline bool canActAsAnotherUser() {
    return ::geteuid() == 0;
}

namespace detail {

// In a forked child: becomes kAnotherUser for good, or ends the child.
inline void becomeAnotherUser() {
    if (::setgroups(0, nullptr) != 0 ||
        ::setresgid(kAnotherUser, kAnotherUser, kAnotherUser) != 0 ||
        ::setresuid(kAnotherUser, kAnotherUser, kAnotherUser) != 0)
        ::_exit(125);
}

inline int waitFor(pid_t child) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace detail

// Runs `body` in a child process as kAnotherUser and returns what it returned (0..124),
// 125 when the child could not switch, -1 when it did not end normally.
inline int runAsAnotherUser(const std::function<int()>& body) {
    const pid_t child = ::fork();
    if (child == 0) {
        detail::becomeAnotherUser();
        ::_exit(body());
    }
    return child < 0 ? -1 : detail::waitFor(child);
}

// An exclusive flock on `path` (a file or a folder) that a process of kAnotherUser takes and
// keeps for `seconds`, or until this object ends.
class LockOfAnotherUser {
  public:
    LockOfAnotherUser(const std::filesystem::path& path, unsigned seconds) {
        int ready[2];
        if (::pipe(ready) != 0)
            return;
        m_child = ::fork();
        if (m_child == 0) {
            ::close(ready[0]);
            detail::becomeAnotherUser();
            const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0 || ::flock(fd, LOCK_EX) != 0)
                ::_exit(1);
            const char held = 1;
            if (::write(ready[1], &held, 1) != 1)
                ::_exit(1);
            ::sleep(seconds);
            ::_exit(0);
        }
        ::close(ready[1]);
        char held = 0;
        m_held = m_child > 0 && ::read(ready[0], &held, 1) == 1;
        ::close(ready[0]);
    }
    ~LockOfAnotherUser() {
        if (m_child > 0) {
            ::kill(m_child, SIGKILL);
            detail::waitFor(m_child);
        }
    }
    LockOfAnotherUser(const LockOfAnotherUser&) = delete;
    LockOfAnotherUser& operator=(const LockOfAnotherUser&) = delete;

    bool held() const { return m_held; }

  private:
    pid_t m_child = -1;
    bool m_held = false;
};

}  // namespace platform::testing
