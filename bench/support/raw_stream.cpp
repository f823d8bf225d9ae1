#include "support/raw_stream.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <system_error>

namespace bench {

namespace {
constexpr int kStallMs = 5000;

// Closes the epoll descriptor however the transfer ends.
class Epoll {
  public:
    Epoll() : m_fd(::epoll_create1(EPOLL_CLOEXEC)) {
        if (m_fd < 0)
            failWithErrno("epoll_create1");
    }
    ~Epoll() { ::close(m_fd); }
    Epoll(const Epoll&) = delete;
    Epoll& operator=(const Epoll&) = delete;

    void add(int fd, uint32_t events) {
        epoll_event event{};
        event.events = events;
        event.data.fd = fd;
        if (::epoll_ctl(m_fd, EPOLL_CTL_ADD, fd, &event) != 0)
            failWithErrno("epoll_ctl");
    }
    void remove(int fd) { ::epoll_ctl(m_fd, EPOLL_CTL_DEL, fd, nullptr); }
    int fd() const { return m_fd; }

  private:
    int m_fd;
};
}  // namespace

void failWithErrno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

size_t writeSome(int fd, std::string_view bytes) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno != EAGAIN && errno != EINTR)
        failWithErrno("write");
    return n < 0 ? 0 : static_cast<size_t>(n);
}

size_t readSome(int fd, char* buffer, size_t size) {
    const ssize_t n = ::read(fd, buffer, size);
    if (n < 0 && errno != EAGAIN && errno != EINTR)
        failWithErrno("read");
    if (n == 0)
        throw std::runtime_error("the far end closed the stream");
    return n < 0 ? 0 : static_cast<size_t>(n);
}

double rawStreamTransfer(int writer, int reader, std::string_view bytes) {
    Epoll epoll;
    epoll.add(writer, EPOLLOUT);
    epoll.add(reader, EPOLLIN);
    char buffer[16384];
    std::string_view left = bytes;
    size_t received = 0;
    const auto start = std::chrono::steady_clock::now();
    while (received < bytes.size()) {
        epoll_event ready[2];
        const int count = ::epoll_wait(epoll.fd(), ready, 2, kStallMs);
        if (count < 0 && errno != EINTR)
            failWithErrno("epoll_wait");
        if (count == 0)
            throw std::runtime_error("the raw transfer stalled");
        for (int i = 0; i < count; ++i) {
            if (ready[i].data.fd == writer) {
                left.remove_prefix(writeSome(writer, left));
                if (left.empty())
                    epoll.remove(writer);
            } else {
                received += readSome(reader, buffer, sizeof buffer);
            }
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (received != bytes.size())
        throw std::runtime_error("the raw transfer delivered more than was sent");
    return seconds;
}

}  // namespace bench
