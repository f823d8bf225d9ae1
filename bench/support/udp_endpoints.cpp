#include "support/udp_endpoints.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "design_surface.h"
#include "platform/message_loop.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kLostDatagramTimeout = std::chrono::seconds(5);

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

int newEpoll() {
    const int fd = ::epoll_create1(EPOLL_CLOEXEC);
    if (fd < 0)
        fail("epoll_create1");
    return fd;
}

void watchReadable(int epoll, int fd) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    if (::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) != 0)
        fail("epoll_ctl");
}

// Waits for one readable descriptor and returns it.
int waitReadable(int epoll) {
    epoll_event event{};
    for (;;) {
        const int count = ::epoll_wait(epoll, &event, 1, 5000);
        if (count == 1)
            return event.data.fd;
        if (count == 0)
            throw std::runtime_error("a datagram on 127.0.0.1 was lost");
        if (errno != EINTR)
            fail("epoll_wait");
    }
}

}  // namespace

int openLoopbackSocket(int& port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        fail("socket");
    sockaddr_in address = loopback(0);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        fail("bind");
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        fail("getsockname");
    port = ntohs(address.sin_port);
    return fd;
}

Clock::time_point checkDeadline(std::optional<Clock::time_point> deadline) {
    const Clock::time_point now = Clock::now();
    if (!deadline)
        return now + kLostDatagramTimeout;
    if (now > *deadline)
        throw std::runtime_error("a datagram on 127.0.0.1 was lost");
    return *deadline;
}

// ---- Controls -----------------------------------------------------------------------

ControlEndpoint::ControlEndpoint() : control(port_control::loadDesignSurface(), site) {}

int32_t ControlEndpoint::listen() {
    control.put_UDPUse(platform::kTrue);
    control.put_LocalPort(0);
    control.put_RThreshold(1);
    control.put_PortOpen(platform::kTrue);
    return control.get_LocalPort();
}

void ControlEndpoint::sendTo(int32_t port) {
    control.put_UDPUse(platform::kTrue);
    control.put_RemoteHost(u"127.0.0.1");
    control.put_RemotePort(port);
}

ControlStream::ControlStream() {
    m_sender.sendTo(m_receiver.listen());
    m_receiver.site.onComm = [this] {
        m_characters += m_receiver.control.get_Input2().stringValue().size();
        ++m_arrivals;
    };
}

double ControlStream::run(const platform::Variant& payload, size_t count) {
    const auto start = Clock::now();
    for (size_t i = 0; i < count; ++i) {
        const size_t expected = m_arrivals + 1;
        m_sender.control.put_Output(payload);
        dispatchUntil(m_loop, [&] { return m_arrivals >= expected; });
    }
    return secondsSince(start);
}

ControlPingPong::ControlPingPong() {
    const int32_t portA = m_a.listen();
    const int32_t portB = m_b.listen();
    m_a.sendTo(portB);
    m_b.sendTo(portA);
    // B echoes what it reads; A counts what comes back.
    m_b.site.onComm = [this] { m_b.control.put_Output(m_b.control.get_Input2()); };
    m_a.site.onComm = [this] {
        m_a.control.get_Input2();
        ++m_returns;
    };
}

double ControlPingPong::run(const platform::Variant& payload, size_t count,
                            std::vector<double>& samples) {
    double total = 0;
    for (size_t i = 0; i < count; ++i) {
        const size_t expected = m_returns + 1;
        const auto start = Clock::now();
        m_a.control.put_Output(payload);
        dispatchUntil(m_loop, [&] { return m_returns >= expected; });
        const double seconds = secondsSince(start);
        samples.push_back(seconds);
        total += seconds;
    }
    return total;
}

// ---- Raw sockets ----------------------------------------------------------------------

RawStream::RawStream(bool connected) : m_connected(connected), m_buffer(64 * 1024) {
    int port = 0;
    m_receiver = openLoopbackSocket(port);
    m_receiverPort = port;
    m_sender = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_sender < 0)
        fail("socket");
    const sockaddr_in destination = loopback(m_receiverPort);
    if (m_connected && ::connect(m_sender, reinterpret_cast<const sockaddr*>(&destination),
                                 sizeof destination) != 0)
        fail("connect");
    m_epoll = newEpoll();
    watchReadable(m_epoll, m_receiver);
}

RawStream::~RawStream() {
    ::close(m_epoll);
    ::close(m_sender);
    ::close(m_receiver);
}

double RawStream::run(const std::string& payload, size_t count) {
    const auto start = Clock::now();
    const sockaddr_in destination = loopback(m_receiverPort);
    const auto* address = m_connected ? nullptr : reinterpret_cast<const sockaddr*>(&destination);
    const socklen_t length = m_connected ? 0 : sizeof destination;
    size_t received = 0;
    for (size_t i = 0; i < count; ++i) {
        if (::sendto(m_sender, payload.data(), payload.size(), 0, address, length) < 0)
            fail("sendto");
        waitReadable(m_epoll);
        const ssize_t n =
            ::recvfrom(m_receiver, m_buffer.data(), m_buffer.size(), 0, nullptr, nullptr);
        if (n < 0)
            fail("recvfrom");
        received += static_cast<size_t>(n);
    }
    if (received != payload.size() * count)
        throw std::runtime_error("short datagrams");
    return secondsSince(start);
}

RawPingPong::RawPingPong() : m_buffer(64 * 1024) {
    m_a = openLoopbackSocket(m_portA);
    m_b = openLoopbackSocket(m_portB);
    m_epoll = newEpoll();
    watchReadable(m_epoll, m_a);
    watchReadable(m_epoll, m_b);
}

RawPingPong::~RawPingPong() {
    ::close(m_epoll);
    ::close(m_a);
    ::close(m_b);
}

double RawPingPong::run(const std::string& payload, size_t count, std::vector<double>& samples) {
    const sockaddr_in toA = loopback(m_portA);
    const sockaddr_in toB = loopback(m_portB);
    double total = 0;
    for (size_t i = 0; i < count; ++i) {
        const auto start = Clock::now();
        if (::sendto(m_a, payload.data(), payload.size(), 0,
                     reinterpret_cast<const sockaddr*>(&toB), sizeof toB) < 0)
            fail("sendto");
        // Served as an event loop would: whichever socket is ready is handled.
        for (bool back = false; !back;) {
            const int ready = waitReadable(m_epoll);
            const ssize_t n =
                ::recvfrom(ready, m_buffer.data(), m_buffer.size(), 0, nullptr, nullptr);
            if (n < 0)
                fail("recvfrom");
            if (ready == m_b) {
                if (::sendto(m_b, m_buffer.data(), static_cast<size_t>(n), 0,
                             reinterpret_cast<const sockaddr*>(&toA), sizeof toA) < 0)
                    fail("sendto");
            } else {
                back = true;
            }
        }
        const double seconds = secondsSince(start);
        samples.push_back(seconds);
        total += seconds;
    }
    return total;
}

}  // namespace bench
