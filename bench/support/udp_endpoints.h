// The two sides of the UDP workloads, shared by the UDP and the memory benchmarks: two
// controls talking through the platform loop, and the same exchange on raw sockets with an
// epoll loop. Everything is on 127.0.0.1, on ports the system chooses.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "components/host_site.h"
#include "platform/message_loop.h"
#include "portula.h"

namespace bench {

// A host that carries a control and runs its OnComm handler; it keeps nothing.
class BenchSite : public port_control::HostSite {
  public:
    std::function<void()> onComm;

    void PropertyChanged(std::u16string_view) override {}
    void SetExtent(float, float) override {}
    void RaiseOnComm() override {
        if (onComm)
            onComm();
    }
};

// A control over the real design surface (termios serial port, UDP sockets).
struct ControlEndpoint {
    ControlEndpoint();
    // Binds the receiver to a port the system chooses, raises OnComm from one character on,
    // and returns the port.
    int32_t listen();
    void sendTo(int32_t port);

    BenchSite site;
    port_control::Portula control;
};

// Throws the failure of a wait that found nothing for five seconds: a lost datagram fails
// the benchmark instead of hanging it. Returns the deadline to keep.
std::chrono::steady_clock::time_point checkDeadline(
    std::optional<std::chrono::steady_clock::time_point> deadline);

// Waits on `loop` until `done()`. A template, not a std::function: the raw loops it is
// compared with call nothing between their system calls either, and hold their epoll
// descriptor as the streams below hold their loop (finding the thread's loop is a
// thread-local look-up, not part of the control's work).
template <typename Done>
void dispatchUntil(platform::MessageLoop& loop, Done&& done) {
    // The clock is read only once a wait has found nothing, as the raw loop leaves its
    // timeout to epoll_wait.
    std::optional<std::chrono::steady_clock::time_point> deadline;
    while (!done()) {
        if (!loop.dispatch(1000))
            deadline = checkDeadline(deadline);
    }
}

// The same on the thread's own loop.
template <typename Done>
void dispatchUntil(Done&& done) {
    dispatchUntil(platform::MessageLoop::current(), std::forward<Done>(done));
}

// Throughput: control A sends, control B's OnComm handler reads Input2; one datagram at a
// time, each read before the next is sent.
class ControlStream {
  public:
    ControlStream();
    // Sends `count` datagrams of `payload`; returns the seconds taken.
    double run(const platform::Variant& payload, size_t count);

  private:
    platform::MessageLoop& m_loop = platform::MessageLoop::current();
    ControlEndpoint m_sender;
    ControlEndpoint m_receiver;
    size_t m_arrivals = 0;
    size_t m_characters = 0;
};

// The same with plain sockets: sendto, epoll_wait, recvfrom. With `connected`, the sender is
// connected to the receiver first and sends with no address, as the control's sender does.
class RawStream {
  public:
    explicit RawStream(bool connected = false);
    ~RawStream();
    RawStream(const RawStream&) = delete;
    RawStream& operator=(const RawStream&) = delete;
    double run(const std::string& payload, size_t count);

  private:
    int m_sender = -1;
    int m_receiver = -1;
    int m_receiverPort = 0;
    int m_epoll = -1;
    bool m_connected = false;
    std::vector<char> m_buffer;
};

// Latency: control A sends, B's handler reads and sends the same back, A's handler reads.
class ControlPingPong {
  public:
    ControlPingPong();
    // Appends the seconds of each of `count` round trips to `samples`; returns their sum.
    double run(const platform::Variant& payload, size_t count, std::vector<double>& samples);

  private:
    platform::MessageLoop& m_loop = platform::MessageLoop::current();
    ControlEndpoint m_a;
    ControlEndpoint m_b;
    size_t m_returns = 0;
};

class RawPingPong {
  public:
    RawPingPong();
    ~RawPingPong();
    RawPingPong(const RawPingPong&) = delete;
    RawPingPong& operator=(const RawPingPong&) = delete;
    double run(const std::string& payload, size_t count, std::vector<double>& samples);

  private:
    int m_a = -1;
    int m_b = -1;
    int m_epoll = -1;
    int m_portA = 0;
    int m_portB = 0;
    std::vector<char> m_buffer;
};

// A bound, non-blocking UDP socket on 127.0.0.1 (port chosen by the system); throws on
// failure. Returns the descriptor and sets `port`.
int openLoopbackSocket(int& port);

}  // namespace bench
