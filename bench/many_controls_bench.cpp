// Many controls in one process (workload 11): 1,000 UDP Portula controls, created through
// the platform registry from the freshly built Corvane.so and driven through IDispatch as any
// host drives them, each bound to a port of its own that the system chooses, all open on the
// thread's one platform loop.
//
// - Cost per event: a raw socket sends one datagram to each control in turn and that
//   control's OnComm handler reads Input2, each read before the next is sent; against the same
//   with one control alone on a loop of its own (a second thread, so that nothing of the
//   thousand is in its loop), in alternating rounds. Target: at most 1.2 x. Beside it, the
//   same traffic on raw sockets (IPv4, and bound as the controls bind): what the kernel's
//   own part of an event grows by with a thousand sockets.
// - Memory (M), in fresh child processes: the RSS that 1,000 more idle open controls add to a
//   process that has one already (the module loaded), per control. Target: at most 64 KiB.
//
// The process raises its descriptor limit (RLIMIT_NOFILE) to what the controls need, up to
// the hard limit; below that it runs as many controls as the limit allows and says so.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/control_site.h"
#include "platform/message_loop.h"
#include "platform/module_loader.h"
#include "platform/variant.h"
#include "portula/portula_ids.h"
#include "sample_app/support/registered_corvane.h"
#include "support/comparison.h"
#include "support/udp_endpoints.h"

namespace {

namespace ids = port_control::ids;
namespace dispid = port_control::ids::dispid;

constexpr size_t kControls = 1000;
constexpr size_t kSmokeControls = 50;
// Descriptors the process needs besides one per control: the standard three, the loops,
// the sender, the registry, the module, the benchmark library's own.
constexpr rlim_t kSpareDescriptors = 64;
constexpr size_t kEventsPerRound = 4000;
constexpr double kMemoryPerControl = 64 * 1024;

std::string g_self;

// Raises the soft descriptor limit for `controls` controls, up to the hard limit; returns
// how many controls the limit allows (`controls` when it allows them all).
size_t controlsTheLimitAllows(size_t controls) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        throw std::system_error(errno, std::generic_category(), "getrlimit");
    const rlim_t wanted = controls + kSpareDescriptors;
    if (limit.rlim_cur < wanted) {
        limit.rlim_cur =
            limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
            throw std::system_error(errno, std::generic_category(), "setrlimit");
    }
    if (limit.rlim_cur >= wanted)
        return controls;
    const size_t allowed =
        limit.rlim_cur > kSpareDescriptors ? limit.rlim_cur - kSpareDescriptors : 0;
    std::fprintf(stderr,
                 "many_controls_bench: the descriptor limit (hard %llu) allows %zu controls, "
                 "not %zu\n",
                 static_cast<unsigned long long>(limit.rlim_max), allowed, controls);
    return allowed;
}

// Controls open for UDP on the calling thread's loop, each receiving on a port of its own
// and counting the characters its OnComm handler reads from Input2.
class OpenControls {
  public:
    explicit OpenControls(size_t count) {
        m_controls.reserve(count);
        for (size_t i = 0; i < count; ++i)
            add();
        int senderPort = 0;
        m_sender = bench::openLoopbackSocket(senderPort);
    }
    ~OpenControls() {
        if (m_sender >= 0)
            ::close(m_sender);
    }
    OpenControls(const OpenControls&) = delete;
    OpenControls& operator=(const OpenControls&) = delete;

    // One datagram of `payload` to each control in turn, `count` in all, each read before
    // the next is sent; returns the seconds taken.
    double run(const std::string& payload, size_t count) {
        const auto start = std::chrono::steady_clock::now();
        for (size_t i = 0; i < count; ++i) {
            Hosted& target = m_controls[m_next];
            m_next = (m_next + 1) % m_controls.size();
            const size_t expected = m_arrivals + 1;
            if (::sendto(m_sender, payload.data(), payload.size(), 0,
                         reinterpret_cast<const sockaddr*>(&target.address),
                         sizeof target.address) < 0)
                throw std::system_error(errno, std::generic_category(), "sendto");
            bench::dispatchUntil([&] { return m_arrivals >= expected; });
        }
        if (m_characters != m_arrivals * payload.size())
            throw std::runtime_error("a control read other than the datagram sent");
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }

    size_t size() const { return m_controls.size(); }

  private:
    struct Hosted {
        std::unique_ptr<platform::ControlSite> site;
        sockaddr_in address{};
    };

    void add() {
        const auto object =
            platform::createObject<platform::IUnknown>(ids::kProgId, platform::IID_IUnknown);
        auto site = std::make_unique<platform::ControlSite>(object.get());
        site->setUserMode(true);
        site->activate(435.0f, 435.0f);
        site->putProperty(dispid::UDPUse, platform::Variant::fromBoolean(platform::kTrue));
        site->putProperty(dispid::LocalPort, platform::Variant::fromLong(0));
        site->putProperty(dispid::RThreshold, platform::Variant::fromInteger(1));
        site->putProperty(dispid::PortOpen, platform::Variant::fromBoolean(platform::kTrue));
        const int32_t port = platform::toLong(site->getProperty(dispid::LocalPort));
        platform::ControlSite* raw = site.get();
        site->setEventHandler([this, raw](int32_t id, std::span<const platform::Variant>) {
            if (id != dispid::OnComm)
                return;
            m_characters += platform::toString(raw->getProperty(dispid::Input2)).size();
            ++m_arrivals;
        });
        Hosted hosted;
        hosted.site = std::move(site);
        hosted.address.sin_family = AF_INET;
        hosted.address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        hosted.address.sin_port = htons(static_cast<uint16_t>(port));
        m_controls.push_back(std::move(hosted));
    }

    std::vector<Hosted> m_controls;
    size_t m_next = 0;
    size_t m_arrivals = 0;
    size_t m_characters = 0;
    int m_sender = -1;
};

// A socket bound as a control binds its receiver: IPv6 carrying IPv4 too, on every local
// address, with a 4 MiB receive buffer asked for. Returns the descriptor and sets `port`.
int openDualStackSocket(int& port) {
    const int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0)
        throw std::system_error(errno, std::generic_category(), "socket");
    const int v6only = 0;
    const int receiveBuffer = 4 * 1024 * 1024;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_any;
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::system_error(errno, std::generic_category(), "bind");
    port = ntohs(address.sin6_port);
    return fd;
}

// The same traffic on plain sockets: `count` bound sockets on one epoll set, a datagram to
// each in turn, each read with recv once epoll_wait reports it. What the system itself pays
// for many sockets, the floor under the controls' figure: IPv4 sockets on 127.0.0.1, or with
// `asControls` sockets bound as the controls bind theirs.
class OpenSockets {
  public:
    explicit OpenSockets(size_t count, bool asControls = false)
        : m_epoll(::epoll_create1(EPOLL_CLOEXEC)) {
        if (m_epoll < 0)
            throw std::system_error(errno, std::generic_category(), "epoll_create1");
        for (size_t i = 0; i < count; ++i) {
            int port = 0;
            const int fd = asControls ? openDualStackSocket(port) : bench::openLoopbackSocket(port);
            m_sockets.push_back(fd);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(static_cast<uint16_t>(port));
            m_addresses.push_back(address);
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.fd = fd;
            if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event) != 0)
                throw std::system_error(errno, std::generic_category(), "epoll_ctl");
        }
        int senderPort = 0;
        m_sender = bench::openLoopbackSocket(senderPort);
    }
    ~OpenSockets() {
        for (int fd : m_sockets)
            ::close(fd);
        ::close(m_sender);
        ::close(m_epoll);
    }
    OpenSockets(const OpenSockets&) = delete;
    OpenSockets& operator=(const OpenSockets&) = delete;

    double run(const std::string& payload, size_t count) {
        const auto start = std::chrono::steady_clock::now();
        char buffer[65536];
        for (size_t i = 0; i < count; ++i) {
            const sockaddr_in& target = m_addresses[m_next];
            m_next = (m_next + 1) % m_addresses.size();
            if (::sendto(m_sender, payload.data(), payload.size(), 0,
                         reinterpret_cast<const sockaddr*>(&target), sizeof target) < 0)
                throw std::system_error(errno, std::generic_category(), "sendto");
            epoll_event event{};
            if (::epoll_wait(m_epoll, &event, 1, 5000) != 1)
                throw std::runtime_error("a datagram on 127.0.0.1 was lost");
            if (::recv(event.data.fd, buffer, sizeof buffer, 0) !=
                static_cast<ssize_t>(payload.size()))
                throw std::runtime_error("a socket read other than the datagram sent");
        }
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }

  private:
    int m_epoll;
    int m_sender = -1;
    std::vector<int> m_sockets;
    std::vector<sockaddr_in> m_addresses;
    size_t m_next = 0;
};

// One control alone on the platform loop of a thread of its own; run() hands the work to
// that thread and waits for it.
class LoneControl {
  public:
    LoneControl() : m_thread([this] { serve(); }) {
        call([this] {
            m_controls = std::make_unique<OpenControls>(1);
            return 0.0;
        });
    }
    ~LoneControl() {
        call([this] {
            m_controls.reset();
            return 0.0;
        });
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }
    LoneControl(const LoneControl&) = delete;
    LoneControl& operator=(const LoneControl&) = delete;

    double run(const std::string& payload, size_t count) {
        return call([&] { return m_controls->run(payload, count); });
    }

  private:
    double call(std::function<double()> work) {
        std::unique_lock lock(m_mutex);
        m_work = std::move(work);
        m_error = nullptr;
        m_wake.notify_all();
        m_wake.wait(lock, [this] { return !m_work; });
        if (m_error)
            std::rethrow_exception(m_error);
        return m_result;
    }

    void serve() {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_stop || m_work; });
            if (m_stop)
                return;
            try {
                m_result = m_work();
            } catch (...) {
                m_error = std::current_exception();
            }
            m_work = nullptr;
            m_wake.notify_all();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::function<double()> m_work;
    double m_result = 0;
    std::exception_ptr m_error;
    bool m_stop = false;
    std::unique_ptr<OpenControls> m_controls;  // used on m_thread only
    std::thread m_thread;
};

void BM_ManyControlsPerEvent(benchmark::State& state) {
    const size_t controls = controlsTheLimitAllows(bench::pick(kControls, kSmokeControls));
    sample_app::test_support::RegisteredCorvane corvane;
    if (!corvane.available()) {
        state.SkipWithError(corvane.problem().c_str());
        return;
    }
    const std::string payload(16, 'x');
    bench::Rounds rounds;
    bench::Rounds rawRounds[2];  // IPv4 sockets; sockets bound as the controls bind
    for (auto _ : state) {
        for (const bool asControls : {false, true}) {
            OpenSockets many(controls, asControls);
            OpenSockets lone(1, asControls);
            rawRounds[asControls] =
                bench::runRounds({
                                     [&](size_t n) { return many.run(payload, n); },
                                     [&](size_t n) { return lone.run(payload, n); },
                                 },
                                 bench::pick(kEventsPerRound, controls));
        }
        OpenControls many(controls);
        LoneControl lone;
        rounds = bench::runRounds({
                                      [&](size_t n) { return many.run(payload, n); },
                                      [&](size_t n) { return lone.run(payload, n); },
                                  },
                                  bench::pick(kEventsPerRound, controls));
    }
    const char* const rawKinds[] = {" raw UDP sockets on epoll, one after another",
                                    " raw UDP sockets bound as the controls bind (IPv6 and IPv4)"};
    for (const bool asControls : {false, true}) {
        const bench::Rounds& raw = rawRounds[asControls];
        bench::recordRow(state,
                         {"11. " + std::to_string(controls) + rawKinds[asControls],
                          bench::formatNanoseconds(raw.medianSeconds(0)) + "/event",
                          bench::formatNanoseconds(raw.medianSeconds(1)) + "/event, 1 socket",
                          raw.medianRatio(0, 1), bench::reportOnly()});
    }
    bench::recordRow(
        state, {"11. " + std::to_string(controls) + " UDP controls, a datagram to each in turn",
                bench::formatNanoseconds(rounds.medianSeconds(0)) + "/event",
                bench::formatNanoseconds(rounds.medianSeconds(1)) + "/event, 1 control",
                rounds.medianRatio(0, 1), bench::atMost(1.2, "<= 1.20 x one control")});
}
BENCHMARK(BM_ManyControlsPerEvent)->Iterations(1)->Unit(benchmark::kMillisecond);

// ---- Memory ---------------------------------------------------------------------------

long currentKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

// One control (the module loaded, the loop made), then `controls` more, all idle and open.
int memoryChild(size_t controls) {
    sample_app::test_support::RegisteredCorvane corvane;
    if (!corvane.available()) {
        std::fprintf(stderr, "%s\n", corvane.problem().c_str());
        return 1;
    }
    OpenControls first(1);
    const long before = currentKiB();
    OpenControls more(controls);
    platform::MessageLoop::current().dispatch(0);
    const long idle = currentKiB();
    // Then each has received and read one datagram of 1 KiB, as a control in use has.
    more.run(std::string(1024, 'x'), controls);
    const long used = currentKiB();
    std::printf("controls=%zu\nfirst_kib=%ld\ngrowth_kib=%ld\nused_growth_kib=%ld\n", controls,
                before, idle - before, used - before);
    return 0;
}

void BM_IdleControlsMemory(benchmark::State& state) {
    const size_t controls = controlsTheLimitAllows(bench::pick(kControls, kSmokeControls));
    std::map<std::string, double> figures;
    for (auto _ : state) {
        const std::string command = "'" + g_self + "' --memory-child=" + std::to_string(controls);
        figures = bench::childFigures(command, "memory child");
    }
    const double perControl = figures["growth_kib"] * 1024 / figures["controls"];
    bench::recordRow(state,
                     {"M. " + std::to_string(controls) + " idle open UDP controls, RSS per control",
                      bench::formatBytes(perControl),
                      bench::formatBytes(figures["first_kib"] * 1024) + " with the first",
                      perControl / kMemoryPerControl,
                      bench::atMost(kMemoryPerControl, "<= 64 KiB per control").on(perControl)});
    const double usedPerControl = figures["used_growth_kib"] * 1024 / figures["controls"];
    bench::recordRow(state, {"M. The same after a datagram of 1 KiB to each, RSS per control",
                             bench::formatBytes(usedPerControl), "64.0 KiB",
                             usedPerControl / kMemoryPerControl, bench::reportOnly()});
}
BENCHMARK(BM_IdleControlsMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    g_self = bench::ownExecutable();
    if (g_self.empty())
        return 2;
    argc = bench::takeOwnFlags(argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--memory-child=", 15) == 0) {
            const size_t controls = controlsTheLimitAllows(std::stoul(argv[i] + 15));
            return memoryChild(controls);
        }
    }
    return bench::runBenchmarks(argc, argv);
}
