// A serial port across the network: 1 MiB through the control on a port served by ser2net
// over RFC 2217 (Telnet, every 0xFF doubled on the wire), sent by the control (one Output,
// the peer reads the pseudo-terminal behind the server) and received by it (the peer writes,
// the OnComm handler reads Input2), against the same 1 MiB through a plain TCP socket to
// the same ser2net serving the same pseudo-terminal without Telnet. Every byte value is in
// the payload. Connecting (the control's PortOpen, the raw socket's connect) stays out of
// the measured time.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

#include "platform/port_map.h"
#include "port_control/support/pty_pair.h"
#include "port_control/support/rfc2217_servers.h"
#include "support/comparison.h"
#include "support/port_transfer.h"
#include "support/raw_stream.h"
#include "support/udp_endpoints.h"

namespace {

using port_control::testing::Rfc2217Server;
constexpr int16_t kPort = 11;
constexpr int32_t kBinaryMode = 1;

int connectRaw(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        bench::failWithErrno("connect");
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    return fd;
}

class NetworkTransfer {
  public:
    NetworkTransfer() : m_server(Rfc2217Server::Kind::Ser2net, m_pair.slavePath()) {
        platform::setPortDevice(kPort, m_server.address());
        port_control::Portula& c = m_endpoint.control;
        c.put_CommPort(kPort);
        c.put_Settings(u"115200,n,8,1");
        c.put_InBufferSize(32767);
        // Hold the sender while the buffer is full (the server then waits on TCP), so that
        // no byte is dropped.
        c.put_Handshaking(2);
        c.put_RThreshold(1);
        c.put_InputMode(kBinaryMode);
    }

    double controlSends(const std::string& bytes) {
        const platform::Variant value =
            platform::Variant::fromBytes(platform::ByteArray(bytes.begin(), bytes.end()));
        return finish(bench::transferFromControl(m_endpoint, m_pair.master(), value, bytes.size()),
                      bytes.size());
    }

    double controlReceives(const std::string& bytes) {
        return finish(bench::transferToControl(m_endpoint, m_pair.master(), bytes), bytes.size());
    }

    // The same through a plain TCP connection to the server's raw port, with an epoll loop.
    double rawTransfer(const std::string& bytes, bool fromPeer) {
        const int socket = connectRaw(m_server.rawPort());
        // The server opens the device for the connection: let it settle.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const int writer = fromPeer ? m_pair.master() : socket;
        const int reader = fromPeer ? socket : m_pair.master();
        const double seconds = bench::rawStreamTransfer(writer, reader, bytes);
        ::close(socket);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the server closes the device
        return seconds;
    }

  private:
    double finish(bench::PortTransfer transfer, size_t expected) {
        m_endpoint.control.put_PortOpen(platform::kFalse);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the server closes the device
        if (transfer.received != expected)
            throw std::runtime_error("the control moved " + std::to_string(transfer.received) +
                                     " of " + std::to_string(expected) + " bytes");
        return transfer.seconds;
    }

    port_control::testing::TemporaryPlatformHome m_home;
    port_control::testing::PtyPair m_pair;
    Rfc2217Server m_server;
    bench::ControlEndpoint m_endpoint;
};

void BM_Rfc2217Bulk(benchmark::State& state) {
    const bool controlSends = state.range(0) != 0;
    const size_t size = bench::pick<size_t>(1024 * 1024, 16 * 1024);
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(i % 256);
    NetworkTransfer transfer;
    bench::Rounds rounds;
    for (auto _ : state) {
        rounds =
            bench::runRounds({[&](size_t) {
                                  return controlSends ? transfer.controlSends(bytes)
                                                      : transfer.controlReceives(bytes);
                              },
                              [&](size_t) { return transfer.rawTransfer(bytes, !controlSends); }},
                             1, 7, 3.0);
    }
    auto rate = [&](size_t side) {
        return bench::formatRate(static_cast<double>(size) / rounds.medianSeconds(side));
    };
    bench::recordRow(state, {std::string("6b. Serial ") + (controlSends ? "send" : "receive") +
                                 " 1 MiB over RFC 2217 (ser2net)",
                             rate(0), rate(1), rounds.medianRatio(1, 0),
                             bench::atLeast(0.8, ">= 0.80 x raw TCP")});
}
BENCHMARK(BM_Rfc2217Bulk)
    ->ArgNames({"send"})
    ->Arg(1)
    ->Arg(0)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

CORVANE_BENCH_MAIN()
