#include "raw_udp_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace sample_app::test_support {
namespace {

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

RawUdpSocket::RawUdpSocket() {
    m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_fd < 0)
        fail("socket");
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(m_fd);
        fail("bind");
    }
    m_port = ntohs(address.sin_port);
}

RawUdpSocket::~RawUdpSocket() {
    ::close(m_fd);
}

void RawUdpSocket::sendTo(uint16_t port, const std::string& bytes) {
    const sockaddr_in address = loopback(port);
    if (::sendto(m_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&address),
                 sizeof address) != static_cast<ssize_t>(bytes.size()))
        fail("sendto");
}

std::optional<std::string> RawUdpSocket::tryReceive() {
    char buffer[65536];
    const ssize_t size = ::recv(m_fd, buffer, sizeof buffer, 0);
    if (size < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return std::nullopt;
        fail("recv");
    }
    return std::string(buffer, static_cast<size_t>(size));
}

uint16_t RawUdpSocket::freePort() {
    return RawUdpSocket().port();
}

}  // namespace sample_app::test_support
