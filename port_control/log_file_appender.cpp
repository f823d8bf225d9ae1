#include "log_file_appender.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <utility>

namespace port_control {

void LogFileAppender::setPath(std::string path) {
    m_path = std::move(path);
    m_file.reset();
}

void LogFileAppender::append(std::string_view line) noexcept {
    if (m_path.empty() || m_path.find('\0') != std::string::npos)
        return;
    // An open inode's number cannot be given to another file, so the same device and
    // inode mean the very file that is open.
    struct stat named {};
    const bool stillNamed = m_file.get() >= 0 && ::stat(m_path.c_str(), &named) == 0 &&
                            named.st_dev == m_device && named.st_ino == m_inode;
    if (!stillNamed && !reopen())
        return;
    platform::writeAll(m_file.get(), line);  // a failure is dropped: the log never fails
}

bool LogFileAppender::reopen() noexcept {
    m_file.reset();
    // O_NONBLOCK keeps open() from waiting for a FIFO's reader or a device's carrier.
    platform::FileDescriptor file(::open(
        m_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666));
    if (file.get() < 0)
        return false;
    struct stat opened {};
    if (::fstat(file.get(), &opened) != 0 || !S_ISREG(opened.st_mode))
        return false;
    m_device = opened.st_dev;
    m_inode = opened.st_ino;
    m_file = std::move(file);
    return true;
}

}  // namespace port_control
