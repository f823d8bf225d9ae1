// Virtual serial devices. A null-modem pair without pacing carries 1 MiB of every byte value
// each way between two controls, against the same bytes relayed between two raw TCP
// sockets on 127.0.0.1 by one process (what a user-space relay can do at best), both in the
// same run. A paced pair takes 10,000 bytes at 9600 and at 115200 bit/s, 8N1, against the
// character time (10 bits a character). An idle pair, in a process of its own, uses no CPU
// and little memory.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/file_descriptor.h"
#include "platform/port_map.h"
#include "port_control/support/pty_pair.h"
#include "support/comparison.h"
#include "support/raw_stream.h"
#include "support/udp_endpoints.h"
#include "virtual_device/device_server.h"

namespace {

using Clock = std::chrono::steady_clock;
using port_control::virtual_device::BackgroundDevice;
using port_control::virtual_device::DeviceKind;
using port_control::virtual_device::DeviceOptions;
constexpr int16_t kFirst = 21;
constexpr int16_t kSecond = 22;
constexpr int32_t kBinaryMode = 1;

std::string everyByteValue(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(i % 256);
    return bytes;
}

size_t sizeOf(const platform::Variant& value) {
    return value.type() == platform::VarType::ByteArray ? value.bytesValue().size() : 0;
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Two controls, one on each end of a pair.
class ControlsOnAPair {
  public:
    explicit ControlsOnAPair(bool pace, const char16_t* settings) {
        DeviceOptions options;
        options.kind = DeviceKind::Pair;
        options.pace = pace;
        m_device.emplace(options);
        platform::setPortDevice(kFirst, m_device->addresses().at(0));
        platform::setPortDevice(kSecond, m_device->addresses().at(1));
        int16_t number = kFirst;
        for (bench::ControlEndpoint& end : m_ends) {
            port_control::Portula& c = end.control;
            c.put_CommPort(number++);
            c.put_Settings(settings);
            c.put_InBufferSize(32767);
            c.put_Handshaking(2);  // the receiver holds the sender: nothing is dropped
            c.put_RThreshold(1);
            c.put_InputMode(kBinaryMode);
        }
    }

    // Sends `bytes` from each end listed (both, or the first only) and returns the seconds
    // until the other end has them all.
    double transfer(const std::string& bytes, bool bothWays) {
        size_t received[2] = {0, 0};
        for (int i = 0; i < 2; ++i) {
            m_ends[i].control.put_PortOpen(platform::kTrue);
            m_ends[i].site.onComm = [&, i] {
                received[i] += sizeOf(m_ends[i].control.get_Input2());
            };
        }
        const platform::Variant value =
            platform::Variant::fromBytes(platform::ByteArray(bytes.begin(), bytes.end()));
        const auto start = Clock::now();
        m_ends[0].control.put_Output(value);
        if (bothWays)
            m_ends[1].control.put_Output(value);
        bench::dispatchUntil([&] {
            return received[1] >= bytes.size() && (!bothWays || received[0] >= bytes.size());
        });
        const double seconds = secondsSince(start);
        for (bench::ControlEndpoint& end : m_ends) {
            end.site.onComm = nullptr;
            end.control.put_PortOpen(platform::kFalse);
        }
        if (received[1] != bytes.size() || (bothWays && received[0] != bytes.size()))
            throw std::runtime_error("the pair changed the amount of data");
        return seconds;
    }

  private:
    port_control::testing::TemporaryPlatformHome m_home;
    std::optional<BackgroundDevice> m_device;
    bench::ControlEndpoint m_ends[2];
};

// The reference: a relay thread joins two TCP connections on 127.0.0.1 with an epoll
// loop; the two clients each send `bytes` and read as many.
class RawRelay {
  public:
    RawRelay() {
        m_listener.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(m_listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(m_listener.get(), 2) != 0 ||
            ::getsockname(m_listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
            bench::failWithErrno("relay listener");
        m_port = ntohs(address.sin_port);
    }

    double transfer(const std::string& bytes) {
        platform::FileDescriptor clients[2] = {connect(), connect()};
        std::thread relay([this] { relayTwo(); });
        const auto start = Clock::now();
        size_t sent[2] = {0, 0};
        size_t received[2] = {0, 0};
        char buffer[64 * 1024];
        while (received[0] < bytes.size() || received[1] < bytes.size()) {
            bool moved = false;
            for (int i = 0; i < 2; ++i) {
                if (sent[i] < bytes.size()) {
                    const size_t n =
                        bench::writeSome(clients[i].get(), std::string_view(bytes).substr(sent[i]));
                    sent[i] += n;
                    moved = moved || n > 0;
                }
                if (received[i] < bytes.size()) {
                    const size_t n = bench::readSome(clients[i].get(), buffer, sizeof buffer);
                    received[i] += n;
                    moved = moved || n > 0;
                }
            }
            if (!moved)
                waitForEither(clients[0].get(), clients[1].get());
        }
        const double seconds = secondsSince(start);
        clients[0].reset();
        clients[1].reset();
        relay.join();
        return seconds;
    }

  private:
    platform::FileDescriptor connect() const {
        platform::FileDescriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(m_port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            bench::failWithErrno("connect");
        const int on = 1;
        ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        ::fcntl(fd.get(), F_SETFL, O_NONBLOCK);
        return fd;
    }

    static void waitForEither(int a, int b) {
        pollfd fds[2] = {{a, POLLIN | POLLOUT, 0}, {b, POLLIN | POLLOUT, 0}};
        ::poll(fds, 2, 1000);
    }

    // Forwards each connection's bytes to the other until both have closed: a poll loop
    // that reads an end while the other has room and writes what waits.
    void relayTwo() {
        platform::FileDescriptor ends[2] = {
            platform::FileDescriptor(::accept4(m_listener.get(), nullptr, nullptr, SOCK_NONBLOCK)),
            platform::FileDescriptor(::accept4(m_listener.get(), nullptr, nullptr, SOCK_NONBLOCK))};
        std::string pending[2];  // toward each end
        size_t taken[2] = {0, 0};
        bool open[2] = {true, true};
        char buffer[64 * 1024];
        while (open[0] || open[1]) {
            pollfd fds[2];
            for (int i = 0; i < 2; ++i) {
                const bool room = pending[1 - i].size() - taken[1 - i] < sizeof buffer;
                fds[i] = {ends[i].get(),
                          static_cast<short>((open[i] && room ? POLLIN : 0) |
                                             (taken[i] < pending[i].size() ? POLLOUT : 0)),
                          0};
            }
            if (::poll(fds, 2, 1000) <= 0)
                continue;
            for (int i = 0; i < 2; ++i) {
                const int other = 1 - i;
                if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                    const ssize_t n = ::read(ends[i].get(), buffer, sizeof buffer);
                    if (n == 0 || (n < 0 && errno != EAGAIN))
                        open[i] = false;
                    if (n > 0) {
                        pending[other].append(buffer, static_cast<size_t>(n));
                        flush(ends[other].get(), pending[other], taken[other]);
                    }
                }
                if (fds[i].revents & POLLOUT)
                    flush(ends[i].get(), pending[i], taken[i]);
            }
        }
    }

    static void flush(int fd, std::string& pending, size_t& taken) {
        while (taken < pending.size()) {
            const ssize_t n =
                ::send(fd, pending.data() + taken, pending.size() - taken, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            taken += static_cast<size_t>(n);
        }
        if (taken == pending.size()) {
            pending.clear();
            taken = 0;
        }
    }

    platform::FileDescriptor m_listener;
    uint16_t m_port = 0;
};

void BM_PairThroughput(benchmark::State& state) {
    const std::string bytes = everyByteValue(bench::pick<size_t>(1024 * 1024, 16 * 1024));
    ControlsOnAPair pair(false, u"115200,n,8,1");
    RawRelay relay;
    bench::Rounds rounds;
    for (auto _ : state) {
        rounds = bench::runRounds({[&](size_t) { return pair.transfer(bytes, true); },
                                   [&](size_t) { return relay.transfer(bytes); }},
                                  1, 7, 3.0);
    }
    auto rate = [&](size_t side) {
        return bench::formatRate(2.0 * static_cast<double>(bytes.size()) /
                                 rounds.medianSeconds(side));
    };
    bench::recordRow(state, {"V1. Pair, no pacing: 1 MiB each way between two controls", rate(0),
                             rate(1) + " raw relay", rounds.medianRatio(1, 0),
                             bench::atLeast(0.8, ">= 0.80 x raw TCP relay")});
}
BENCHMARK(BM_PairThroughput)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_Pacing(benchmark::State& state) {
    const bool fast = state.range(0) != 0;
    const uint32_t baud = fast ? 115200 : 9600;
    const std::string settings = std::to_string(baud) + ",n,8,1";
    const std::u16string wide(settings.begin(), settings.end());
    const std::string bytes = everyByteValue(bench::pick<size_t>(10000, fast ? 1000 : 100));
    ControlsOnAPair pair(true, wide.c_str());
    double seconds = 0;
    for (auto _ : state)
        seconds = pair.transfer(bytes, false);
    const double expected = static_cast<double>(bytes.size()) * 10 / baud;
    const double ratio = seconds / expected;
    bench::recordRow(state,
                     {"V2. Pacing: " + std::to_string(bytes.size()) + " bytes at " + settings,
                      bench::formatFixed(seconds, 3) + " s",
                      bench::formatFixed(expected, 3) + " s character time", ratio,
                      bench::atMost(2.0, "within 2 %").on(std::fabs(ratio - 1) * 100)});
}
BENCHMARK(BM_Pacing)->ArgNames({"fast"})->Arg(0)->Arg(1)->Iterations(1)->Unit(
    benchmark::kMillisecond);

// ---- An idle pair in a process of its own ---------------------------------------------

double residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stod(line.substr(6));
    }
    return 0;
}

double cpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int idleChild() {
    DeviceOptions options;
    options.kind = DeviceKind::Pair;
    port_control::virtual_device::DeviceServer server(options);
    platform::MessageLoop& loop = platform::MessageLoop::current();
    loop.runUntil([] { return false; }, std::chrono::milliseconds(200));
    const double before = cpuSeconds();
    const double idle = bench::pick(3.0, 0.5);
    loop.runUntil([] { return false; }, std::chrono::milliseconds(static_cast<int>(idle * 1000)));
    std::printf("cpu_percent=%f\nrss_kib=%f\n", (cpuSeconds() - before) / idle * 100,
                residentKiB());
    return 0;
}

std::string g_self;

void BM_IdlePair(benchmark::State& state) {
    std::map<std::string, double> figures;
    for (auto _ : state)
        figures = bench::childFigures(
            "'" + g_self + "' --idle-pair-child" + (bench::smokeRun() ? " --smoke" : ""),
            "idle pair");
    bench::recordRow(state, {"V3. Idle pair: CPU while idle",
                             bench::formatFixed(figures["cpu_percent"], 2) + " %", "no polling",
                             figures["cpu_percent"], bench::atMost(0.1, "<= 0.1 % (no polling)")});
    bench::recordRow(
        state, {"V3. Idle pair: resident memory", bench::formatBytes(figures["rss_kib"] * 1024),
                "8 MiB", figures["rss_kib"] / 8192, bench::atMost(1.0, "< 8 MiB")});
}
BENCHMARK(BM_IdlePair)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    g_self = bench::ownExecutable();
    argc = bench::takeOwnFlags(argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--idle-pair-child") == 0)
            return idleChild();
    }
    return bench::runBenchmarks(argc, argv);
}
