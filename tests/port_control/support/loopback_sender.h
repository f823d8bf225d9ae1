// A plain UDP socket on 127.0.0.1 that sends to a port of this machine: the peer that
// floods a socket under test with datagrams of any size, from empty to the largest IPv4
// carries. Header-only, so that only the tests that use it compile it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace port_control::testing {

class LoopbackSender {
  public:
    // 65,535 less the IPv4 and UDP headers.
    static constexpr size_t kLargestDatagram = 65507;

    // Bound to a port of its own at once, so that a socket under test can be pointed at it
    // (a sending socket hears only the peer it sends to).
    LoopbackSender() : m_fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            m_port = ntohs(address.sin_port);
    }
    ~LoopbackSender() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    LoopbackSender(const LoopbackSender&) = delete;
    LoopbackSender& operator=(const LoopbackSender&) = delete;

    // Sends `count` copies of `datagram` to 127.0.0.1:`port`; false at the first that did
    // not go whole. The socket blocks: the loopback frees its send buffer at once, so a send
    // waits for nothing but never fails for want of room.
    bool send(int32_t port, std::string_view datagram, size_t count = 1) const {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port));
        for (size_t i = 0; i < count; ++i) {
            if (::sendto(m_fd, datagram.data(), datagram.size(), 0,
                         reinterpret_cast<const sockaddr*>(&address),
                         sizeof address) != static_cast<ssize_t>(datagram.size()))
                return false;
        }
        return true;
    }
    // The port it sends from; 0 if it could not be bound.
    int32_t port() const { return m_port; }
    bool sendEmpty(int32_t port, size_t count = 1) const { return send(port, {}, count); }
    // Datagrams of kLargestDatagram bytes of `fill`.
    bool sendLargest(int32_t port, size_t count = 1, char fill = 'L') const {
        return send(port, std::string(kLargestDatagram, fill), count);
    }

  private:
    int m_fd = -1;
    int32_t m_port = 0;
};

}  // namespace port_control::testing
