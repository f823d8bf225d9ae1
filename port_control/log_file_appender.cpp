#include "log_file_appender.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

namespace port_control {

namespace {

// O_NONBLOCK keeps open() from waiting for a FIFO's reader or a device's carrier.
constexpr int kAppendFlags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

// Opens for appending the regular file of the user's own that the name itself holds: not
// through a link, and without opening anything else even for a moment, as a device's driver
// acts on open() alone. O_PATH looks at the name's inode without opening it for any use;
// reopening that very inode through /proc then checks the write permission on it, and
// cannot land on whatever the name may hold by then. A file another user owns is not
// taken, whatever its mode: it may have been left where the user's log would go, for
// their traffic to land where that user reads it.
platform::FileDescriptor openExistingRegularFile(const std::string& path) noexcept {
    const platform::FileDescriptor held(::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat info = {};
    if (held.get() < 0 || ::fstat(held.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_uid != ::geteuid())
        return platform::FileDescriptor();
    char heldPath[32];
    std::snprintf(heldPath, sizeof heldPath, "/proc/self/fd/%d", held.get());
    return platform::FileDescriptor(::open(heldPath, kAppendFlags));
}

}  // namespace

void LogFileAppender::setPath(std::string path) {
    m_path = std::move(path);
    m_file.reset();
}

void LogFileAppender::append(std::string_view line) noexcept {
    if (m_path.empty() || m_path.find('\0') != std::string::npos)
        return;
    // An open inode's number cannot be given to another file, so the same device and
    // inode mean the very file that is open (and a link put in its place is not it).
    struct stat named = {};
    const bool stillNamed = m_file.get() >= 0 && ::lstat(m_path.c_str(), &named) == 0 &&
                            named.st_dev == m_device && named.st_ino == m_inode;
    if (!stillNamed && !reopen())
        return;
    platform::writeAll(m_file.get(), line);  // a failure is dropped: the log never fails
}

bool LogFileAppender::reopen() noexcept {
    m_file.reset();
    // A new log is the user's alone, whatever the umask: it holds their traffic. O_EXCL
    // creates only where the name holds nothing, not even a link.
    platform::FileDescriptor file(
        ::open(m_path.c_str(), kAppendFlags | O_CREAT | O_EXCL | O_NOFOLLOW, 0600));
    if (file.get() < 0 && errno == EEXIST)
        file = openExistingRegularFile(m_path);
    if (file.get() < 0)
        return false;
    struct stat opened = {};
    if (::fstat(file.get(), &opened) != 0 || !S_ISREG(opened.st_mode))
        return false;
    m_device = opened.st_dev;
    m_inode = opened.st_ino;
    m_file = std::move(file);
    return true;
}

}  // namespace port_control
