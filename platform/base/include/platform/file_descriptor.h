// An owned file descriptor, closed when its owner ends unless released first.
#pragma once

#include "platform/language_standard.h"
#include "platform/platform_export.h"

#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <utility>

namespace platform {

// Frozen: a value type programs compile in; a change to its members needs a new SONAME.
class CORVANE_PLATFORM_EXPORT FileDescriptor {
  public:
    explicit FileDescriptor(int fd = -1) : m_fd(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : m_fd(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { reset(); }

    int get() const { return m_fd; }
    // Hands the descriptor over; this owner no longer closes it.
    int release() { return std::exchange(m_fd, -1); }
    void reset(int fd = -1) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

  private:
    int m_fd;
};

// Reads `fd` to its end into `text`; false, with errno set, on failure.
inline bool readToEnd(int fd, std::string& text) {
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        text.append(buffer, static_cast<size_t>(n));
    }
}

// Writes all of `data`; false, with errno set, on failure.
inline bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

}  // namespace platform
