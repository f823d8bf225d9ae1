// The control keeps working through the faults it meets in use: a serial device that hangs
// up or vanishes, a UDP port another process holds, a peer that refuses datagrams, a log
// that cannot be written, a host that refuses property-changed notifications, and property
// bags that fail part way. Each fault ends in the documented error or the documented
// silence, leaves the state the headers promise, and the control works again once the
// fault is gone. Real components throughout: a termios port over pseudo-terminals and UDP
// sockets on the loopback address.
#include <arpa/inet.h>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "components/serial_errors.h"
#include "design_surface.h"
#include "platform/control_site.h"
#include "platform/message_loop.h"
#include "platform/module_loader.h"
#include "platform/port_map.h"
#include "portula/portula_ids.h"
#include "support/fake_components.h"
#include "support/memory_property_bag.h"
#include "support/process_probes.h"
#include "support/pty_pair.h"

namespace port_control::testing {
namespace {

namespace fs = std::filesystem;
using platform::ByteArray;
using platform::kFalse;
using platform::kTrue;
using platform::Variant;
using namespace std::chrono_literals;

bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5s) {
    return platform::MessageLoop::current().runUntil(done, timeout);
}

void pumpFor(std::chrono::milliseconds duration) {
    platform::MessageLoop::current().runUntil([] { return false; }, duration);
}

// The error a call ends with; nullopt when it succeeds.
std::optional<platform::Error> errorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const platform::Error& error) {
        return error;
    }
    return std::nullopt;
}

int32_t errorNumberOf(const std::function<void()>& call) {
    const auto error = errorOf(call);
    return error ? error->number() : 0;
}

// A plain UDP socket on 127.0.0.1: the far end of the control's traffic.
class LoopbackPeer {
  public:
    LoopbackPeer() {
        m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback(0);
        EXPECT_EQ(::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        socklen_t length = sizeof address;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        timeval timeout{5, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    ~LoopbackPeer() { ::close(m_fd); }
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    int32_t port() const { return m_port; }
    void sendTo(int32_t port, std::string_view bytes) const {
        sockaddr_in address = loopback(port);
        ::sendto(m_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&address),
                 sizeof address);
    }
    std::string receive() const {
        char buffer[65536];
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        return n < 0 ? std::string("<nothing>") : std::string(buffer, static_cast<size_t>(n));
    }

    static sockaddr_in loopback(int32_t port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port));
        return address;
    }

  private:
    int m_fd = -1;
    int32_t m_port = 0;
};

// A port on 127.0.0.1 that nobody listens on: bound once to learn it, then let go.
int32_t unusedPort() {
    LoopbackPeer probe;
    return probe.port();
}

std::vector<std::string> linesOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line.substr(std::min<size_t>(20, line.size())));  // after the stamp
    return lines;
}

// ---- Serial devices that go away --------------------------------------------------------

class SerialDeviceFaults : public ::testing::Test {
  protected:
    static constexpr int16_t kPort = 6;

    SerialDeviceFaults() {
        site.onComm = [this] { events.push_back(control.get_CommEvent()); };
    }

    void open() {
        control.put_CommPort(kPort);
        control.put_RThreshold(1);
        control.put_PortOpen(kTrue);
        ASSERT_EQ(control.get_PortOpen(), kTrue);
    }
    void waitUntilClosed() {
        ASSERT_TRUE(pumpUntil([&] { return control.get_PortOpen() == kFalse; }));
        pumpFor(50ms);  // anything still due would come now
    }
    // The peer sends and the control's handler sees the receive event.
    void arrive(PtyPair& device, std::string_view bytes) {
        events.clear();
        ASSERT_TRUE(device.sendFromPeer(bytes));
        ASSERT_TRUE(pumpUntil(
            [&] { return std::count(events.begin(), events.end(), comm_events::kReceive) > 0; }));
    }
    // A new device answers both ways through the control.
    void expectWorking(PtyPair& device) {
        control.put_Output(Variant::fromString(u"again"));
        EXPECT_EQ(device.receiveAtPeer(5), "again");
        arrive(device, "back");
        EXPECT_EQ(control.get_Input2(), Variant::fromString(u"back"));
    }

    TemporaryPlatformHome m_home;
    RecordingSite site;
    Portula control{loadDesignSurface(), site};
    std::vector<int16_t> events;
};

TEST_F(SerialDeviceFaults, AHangUpWithDataWaitingClosesThePortOnceAndTheSamePortOpensAgain) {
    auto device = std::make_unique<PtyPair>();
    device->mapToPort(kPort);
    platform::MessageLoop::current();  // the loop's own descriptors stay for the thread
    const int descriptorsBefore = openDescriptorCount();
    open();
    // The peer reads nothing, so output piles up behind the driver; input waits unread.
    const std::string pending(128 * 1024, 'q');
    control.put_Output(Variant::fromBytes(ByteArray(pending.begin(), pending.end())));
    ASSERT_GT(control.get_OutBufferCount(), 512);
    arrive(*device, "unread");
    site.notifications.clear();
    events.clear();

    device->closeMaster();
    waitUntilClosed();
    EXPECT_EQ(events, std::vector<int16_t>{comm_events::kDeviceLost});
    EXPECT_EQ(control.get_CommEvent(), comm_events::kDeviceLost);
    EXPECT_EQ(control.get_OutBufferCount(), 0);
    EXPECT_EQ(control.get_InBufferCount(), 0);
    EXPECT_TRUE(site.notifications.empty()) << "a lost device is no property write";

    // A closed port refuses the data path, and the dead device refuses to open.
    EXPECT_EQ(errorNumberOf([&] { control.put_Output(Variant::fromString(u"x")); }),
              serial_errors::kPortNotOpen);
    EXPECT_EQ(errorNumberOf([&] { control.get_Input2(); }), serial_errors::kPortNotOpen);
    EXPECT_EQ(errorNumberOf([&] { control.put_PortOpen(kTrue); }),
              serial_errors::kDeviceUnavailable);
    EXPECT_EQ(control.get_PortOpen(), kFalse);
    EXPECT_TRUE(site.notifications.empty()) << "failed writes notify nothing";
    EXPECT_EQ(events.size(), 1u) << "one event per loss";

    {
        // The device comes back under the same port number; nothing of the old session
        // (queued output, unread input) comes with it.
        PtyPair replacement;
        replacement.mapToPort(kPort);
        control.put_PortOpen(kTrue);
        EXPECT_EQ(control.get_PortOpen(), kTrue);
        EXPECT_EQ(control.get_InBufferCount(), 0);
        expectWorking(replacement);
        EXPECT_EQ(replacement.drainPeer(), "");
        control.put_PortOpen(kFalse);
    }
    // Only the old device's master, closed by the test, is missing.
    EXPECT_EQ(openDescriptorCount(), descriptorsBefore - 1);
}

TEST_F(SerialDeviceFaults, ANameThatVanishesAloneLeavesTheOpenPortAndReturnsWithItsDevice) {
    // The port map names a link, as a stable name for an adapter does.
    const fs::path link = m_home.path() / "serial-adapter";
    auto device = std::make_unique<PtyPair>();
    fs::create_symlink(device->slavePath(), link);
    platform::setPortDevice(kPort, link);
    open();

    // The name goes, the device stays: the open descriptor still holds the device.
    fs::remove(link);
    control.put_Output(Variant::fromString(u"still"));
    EXPECT_EQ(device->receiveAtPeer(5), "still");
    arrive(*device, "here");
    EXPECT_EQ(control.get_Input2(), Variant::fromString(u"here"));
    EXPECT_EQ(control.get_PortOpen(), kTrue);

    // Then the device goes too, as when an adapter is pulled out.
    events.clear();
    device->closeMaster();
    waitUntilClosed();
    EXPECT_EQ(events, std::vector<int16_t>{comm_events::kDeviceLost});
    EXPECT_EQ(errorNumberOf([&] { control.put_PortOpen(kTrue); }),
              serial_errors::kDeviceUnavailable);

    // Plugged in again: a new device behind the same name.
    PtyPair replacement;
    fs::create_symlink(replacement.slavePath(), link);
    control.put_PortOpen(kTrue);
    EXPECT_EQ(control.get_PortOpen(), kTrue);
    expectWorking(replacement);
}

// ---- A UDP port held by another process ---------------------------------------------------

// Another process that binds a UDP port the system chooses and holds it until released.
class PortHolder {
  public:
    enum class Binding { Ipv4Any, Ipv4Loopback, Ipv6Any };

    explicit PortHolder(Binding binding) {
        int ready[2], release[2];
        if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(release, O_CLOEXEC) != 0)
            return;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::close(ready[0]);
            ::close(release[1]);
            int32_t port = bindSomewhere(binding);
            (void)!::write(ready[1], &port, sizeof port);
            char byte;
            (void)!::read(release[0], &byte, 1);  // returns once the test closes its end
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        m_release = release[1];
        if (::read(ready[0], &m_port, sizeof m_port) != sizeof m_port)
            m_port = -1;
        ::close(ready[0]);
    }
    ~PortHolder() { release(); }
    PortHolder(const PortHolder&) = delete;
    PortHolder& operator=(const PortHolder&) = delete;

    // The port held, or -1 when the other process could not bind.
    int32_t port() const { return m_port; }

    // The other process lets go of the port and ends.
    void release() {
        if (m_release < 0)
            return;
        ::close(std::exchange(m_release, -1));
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }

  private:
    static int32_t bindSomewhere(Binding binding) {
        const int family = binding == Binding::Ipv6Any ? AF_INET6 : AF_INET;
        const int fd = ::socket(family, SOCK_DGRAM, 0);
        sockaddr_storage address{};
        socklen_t length;
        if (family == AF_INET6) {
            auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
            in6.sin6_family = AF_INET6;
            in6.sin6_addr = in6addr_any;
            length = sizeof in6;
        } else {
            auto& in4 = reinterpret_cast<sockaddr_in&>(address);
            in4.sin_family = AF_INET;
            in4.sin_addr.s_addr =
                htonl(binding == Binding::Ipv4Loopback ? INADDR_LOOPBACK : INADDR_ANY);
            length = sizeof in4;
        }
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0)
            return -1;
        length = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        return ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(address).sin6_port
                                        : reinterpret_cast<sockaddr_in&>(address).sin_port);
    }

    pid_t m_pid = -1;
    int m_release = -1;
    int32_t m_port = -1;
};

class PortHeldElsewhere : public ::testing::TestWithParam<PortHolder::Binding> {};

TEST_P(PortHeldElsewhere, OpeningFailsWithAddressInUseUntilTheOtherProcessLetsGo) {
    PortHolder holder(GetParam());
    if (holder.port() < 0)
        GTEST_SKIP() << "this host cannot bind that address family";
    RecordingSite site;
    Portula control{loadDesignSurface(), site};
    control.put_UDPUse(kTrue);
    control.put_LocalPort(holder.port());
    control.put_RThreshold(1);
    site.notifications.clear();

    const int descriptorsBefore = openDescriptorCount();
    for (int attempt = 0; attempt < 20; ++attempt) {
        const auto error = errorOf([&] { control.put_PortOpen(kTrue); });
        ASSERT_TRUE(error) << "bound a port another process holds";
        EXPECT_EQ(error->number(), 10048);
        EXPECT_EQ(error->description(), u"アドレスが使用されています。");
    }
    EXPECT_EQ(control.get_PortOpen(), kFalse);
    EXPECT_EQ(control.get_LocalPort(), holder.port()) << "the port asked for stays";
    EXPECT_TRUE(site.notifications.empty());
    EXPECT_EQ(openDescriptorCount(), descriptorsBefore) << "failed opens keep no socket";

    holder.release();
    control.put_PortOpen(kTrue);
    EXPECT_EQ(control.get_PortOpen(), kTrue);
    EXPECT_EQ(site.notifications, std::vector<std::u16string>{u"PortOpen"});
    LoopbackPeer peer;
    peer.sendTo(holder.port(), "after");
    ASSERT_TRUE(pumpUntil([&] { return site.onCommCount == 1; }));
    EXPECT_EQ(control.get_Input2(), Variant::fromString(u"after"));
}

INSTANTIATE_TEST_SUITE_P(Bindings, PortHeldElsewhere,
                         ::testing::Values(PortHolder::Binding::Ipv4Any,
                                           PortHolder::Binding::Ipv4Loopback,
                                           PortHolder::Binding::Ipv6Any));

// ---- A peer that refuses every datagram ------------------------------------------------

TEST(RefusingPeer, SendingRepeatedlyToAClosedPortNeverFailsAndReceivingGoesOn) {
    RecordingSite site;
    Portula control{loadDesignSurface(), site};
    control.put_UDPUse(kTrue);
    control.put_LocalPort(0);
    control.put_RThreshold(1);
    control.put_SThreshold(1);
    control.put_PortOpen(kTrue);
    const int32_t ownPort = control.get_LocalPort();
    control.put_RemoteHost(u"127.0.0.1");
    control.put_RemotePort(unusedPort());

    int sendEvents = 0;
    std::u16string received;
    site.onComm = [&] {
        if (control.get_CommEvent() == 1)
            ++sendEvents;
        else
            received += control.get_Input2().stringValue();
    };
    LoopbackPeer peer;
    std::u16string expected;
    const int64_t refusalsBefore = snmpCounters("Icmp")["InDestUnreachs"];
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(errorOf([&] {
                      control.put_Output(
                          Variant::fromString(u"probe " + platform::fromUtf8(std::to_string(i))));
                  }),
                  std::nullopt)
            << "send " << i;
        // Whatever the refusals leave on the loop is handled between the sends.
        platform::MessageLoop::current().dispatch(0);
        if (i % 100 == 99) {
            const std::string text = "between " + std::to_string(i) + ";";
            peer.sendTo(ownPort, text);
            expected += platform::fromUtf8(text);
            ASSERT_TRUE(pumpUntil([&] { return received.size() == expected.size(); }));
        }
    }
    EXPECT_EQ(received, expected);
    EXPECT_EQ(sendEvents, 1000);
    EXPECT_EQ(control.get_PortOpen(), kTrue);
    // The refusals did happen (the kernel limits their rate, so not one per datagram).
    EXPECT_GT(snmpCounters("Icmp")["InDestUnreachs"], refusalsBefore);
}

// ---- A process out of descriptors -------------------------------------------------------

// Lets the process open only `spare` more descriptors while it lives, then gives the limit
// back: the descriptors in use stay, the next ones fail with EMFILE.
class DescriptorLimit {
  public:
    explicit DescriptorLimit(int spare) {
        ::getrlimit(RLIMIT_NOFILE, &m_saved);
        rlimit lowered = m_saved;
        lowered.rlim_cur = limitLeaving(spare);
        EXPECT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    }
    ~DescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &m_saved); }
    DescriptorLimit(const DescriptorLimit&) = delete;
    DescriptorLimit& operator=(const DescriptorLimit&) = delete;

  private:
    // The lowest limit below which exactly `spare` descriptor numbers are free.
    static rlim_t limitLeaving(int spare) {
        std::vector<bool> used;
        DIR* folder = ::opendir("/proc/self/fd");
        while (const dirent* entry = folder ? ::readdir(folder) : nullptr) {
            const int fd = std::atoi(entry->d_name);
            if (entry->d_name[0] == '.' || fd == ::dirfd(folder))
                continue;
            used.resize(std::max(used.size(), static_cast<size_t>(fd) + 1));
            used[static_cast<size_t>(fd)] = true;
        }
        if (folder)
            ::closedir(folder);
        rlim_t number = 0;
        for (int free = 0;; ++number) {
            if (number < used.size() && used[number])
                continue;
            if (free++ == spare)
                return number;
        }
    }

    rlimit m_saved{};
};

// The sanitizers' own checks need descriptors (UBSan's type check probes memory through a
// pipe), so under them a process without any reports faults of its own.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitizersNeedDescriptors = true;
#else
constexpr bool kSanitizersNeedDescriptors = false;
#endif

// What a control opens when the process has no descriptor left for it.
enum class Opening { UdpReceiver, UdpSender, SerialPort, LogFile };

struct OutOfDescriptorsRow {
    const char* what;
    Opening opening;
    int spare;         // descriptors left to the process
    bool freshThread;  // the open is the first use of its thread's loop
    int32_t number;    // the error the open fails with (0: none, the call goes on)
};

const OutOfDescriptorsRow kOutOfDescriptorsRows[] = {
    {"UDP receiver", Opening::UdpReceiver, 0, false, 10024},
    {"UDP sender of a first Output", Opening::UdpSender, 0, false, 10024},
    {"serial port", Opening::SerialPort, 0, false, serial_errors::kTooManyFiles},
    {"log file (never fails a call)", Opening::LogFile, 0, false, 0},
    {"UDP receiver, the thread's loop after it", Opening::UdpReceiver, 1, true, 10024},
    {"serial port, the thread's loop after it", Opening::SerialPort, 1, true,
     serial_errors::kTooManyFiles},
};

// One row on the calling thread: the open fails with its number and a description (nothing
// but a platform::Error reaches the caller), leaves the control closed, and works once the
// descriptors are back. Runs `whileOut` while the limit holds.
void openOutOfDescriptors(const OutOfDescriptorsRow& row, const fs::path& scratch,
                          const std::function<void()>& whileOut) {
    constexpr int16_t kSerialPort = 7;
    RecordingSite site;
    Portula control{loadDesignSurface(), site};
    std::u16string received;
    site.onComm = [&] {
        if (control.get_CommEvent() == comm_events::kReceive)
            received += control.get_Input2().stringValue();
    };
    LoopbackPeer peer;
    PtyPair device;
    const fs::path log = scratch / (std::string("log-") + row.what);
    if (row.opening == Opening::SerialPort) {
        device.mapToPort(kSerialPort);
        control.put_CommPort(kSerialPort);
        control.put_RThreshold(1);
    } else {
        control.put_UDPUse(kTrue);
        control.put_LocalPort(0);
        control.put_RThreshold(1);
        control.put_RemoteHost(u"127.0.0.1");
        control.put_RemotePort(peer.port());
        if (row.opening != Opening::UdpReceiver)
            control.put_PortOpen(kTrue);
        if (row.opening == Opening::LogFile)
            control.put_Output(Variant::fromString(u"sender open"));  // the sender too
        if (row.opening == Opening::LogFile) {
            EXPECT_EQ(peer.receive(), "sender open");
        }
    }
    const auto open = [&] {
        if (row.opening == Opening::UdpSender || row.opening == Opening::LogFile) {
            if (row.opening == Opening::LogFile)
                control.put_LogFile(platform::fromUtf8(log.string()));
            control.put_Output(Variant::fromString(u"out"));
        } else {
            control.put_PortOpen(kTrue);
        }
    };

    {
        DescriptorLimit limit(row.spare);
        const std::optional<platform::Error> error = errorOf(open);
        EXPECT_EQ(error ? error->number() : 0, row.number) << row.what;
        if (error) {
            EXPECT_FALSE(error->description().empty()) << row.what;
        }
        if (row.opening == Opening::UdpReceiver || row.opening == Opening::SerialPort) {
            EXPECT_EQ(control.get_PortOpen(), kFalse) << row.what;
        }
        if (row.opening == Opening::LogFile) {
            EXPECT_EQ(peer.receive(), "out") << "the datagram goes without its log entry";
        }
        whileOut();
    }

    // With descriptors back the same control opens and carries data both ways.
    if (row.opening == Opening::SerialPort) {
        control.put_PortOpen(kTrue);
        control.put_Output(Variant::fromString(u"out"));
        EXPECT_EQ(device.receiveAtPeer(3), "out") << row.what;
        ASSERT_TRUE(device.sendFromPeer("in"));
    } else {
        open();
        if (row.opening != Opening::UdpReceiver) {
            EXPECT_EQ(peer.receive(), "out") << row.what;
        }
        control.put_PortOpen(kTrue);
        peer.sendTo(control.get_LocalPort(), "in");
    }
    EXPECT_TRUE(pumpUntil([&] { return received == u"in"; })) << row.what;
    if (row.opening == Opening::LogFile) {
        EXPECT_EQ(linesOf(log), (std::vector<std::string>{"OUT:out\r", "INP:in\r"}))
            << "the entries after";
    }
}

TEST(OutOfDescriptors, EachOpenFailsWithItsNumberAndTheControlsBeforeKeepWorking) {
    if (kSanitizersNeedDescriptors)
        GTEST_SKIP() << "the sanitizers need descriptors of their own";
    TemporaryPlatformHome home;
    // A control opened before: it needs no new descriptor to go on sending and receiving.
    RecordingSite site;
    Portula earlier{loadDesignSurface(), site};
    std::u16string received;
    site.onComm = [&] {
        if (earlier.get_CommEvent() == comm_events::kReceive)
            received += earlier.get_Input2().stringValue();
    };
    LoopbackPeer peer;
    earlier.put_UDPUse(kTrue);
    earlier.put_LocalPort(0);
    earlier.put_RThreshold(1);
    earlier.put_RemoteHost(u"127.0.0.1");
    earlier.put_RemotePort(peer.port());
    earlier.put_PortOpen(kTrue);
    earlier.put_Output(Variant::fromString(u"first"));
    ASSERT_EQ(peer.receive(), "first");
    const auto exchange = [&](const std::string& tag) {
        earlier.put_Output(Variant::fromString(platform::fromUtf8(tag)));
        EXPECT_EQ(peer.receive(), tag);
        received.clear();
        peer.sendTo(earlier.get_LocalPort(), tag);
        EXPECT_TRUE(pumpUntil([&] { return received == platform::fromUtf8(tag); })) << tag;
    };

    for (const OutOfDescriptorsRow& row : kOutOfDescriptorsRows) {
        const auto whileOut = [&] {
            if (!row.freshThread)
                exchange(std::string("while out: ") + row.what);
        };
        if (!row.freshThread) {
            openOutOfDescriptors(row, home.path(), whileOut);
            continue;
        }
        // Anything but a platform::Error (the loop's own std::system_error) escaping is a
        // failure of the row.
        std::string escaped;
        std::thread thread([&] {
            try {
                openOutOfDescriptors(row, home.path(), whileOut);
            } catch (const std::exception& e) {
                escaped = e.what();
            }
        });
        thread.join();
        EXPECT_EQ(escaped, "") << row.what;
        exchange(std::string("after: ") + row.what);
    }
}

// In a process of its own: a first bind without descriptors, then one with them; 0 when a
// datagram sent to the second over IPv6 arrives.
int bindAfterRunningOut() {
    RecordingSite site;
    Portula control{loadDesignSurface(), site};
    int arrivals = 0;
    site.onComm = [&] { arrivals += control.get_Input2().stringValue() == u"over IPv6"; };
    control.put_UDPUse(kTrue);
    control.put_LocalPort(0);
    control.put_RThreshold(1);
    int32_t number = 0;
    {
        DescriptorLimit limit(0);
        number = errorNumberOf([&] { control.put_PortOpen(kTrue); });
    }
    if (number != 10024)
        return 2;
    control.put_PortOpen(kTrue);
    const int sender = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_addr = in6addr_loopback;
    to.sin6_port = htons(static_cast<uint16_t>(control.get_LocalPort()));
    ::sendto(sender, "over IPv6", 9, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    return pumpUntil([&] { return arrivals == 1; }, 2s) ? 0 : 3;
}

// The first bind of a process that had no descriptor left learns nothing about the host's
// address families from it: the next bind, with descriptors back, takes IPv6 as well. Its
// own process, since the first bind decides.
TEST(OutOfDescriptorsDeathTest, AFirstBindWithoutDescriptorsLeavesTheNextOnBothFamilies) {
    if (kSanitizersNeedDescriptors)
        GTEST_SKIP() << "the sanitizers need descriptors of their own";
    {
        const int probe = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in6 loopback6{};
        loopback6.sin6_family = AF_INET6;
        loopback6.sin6_addr = in6addr_loopback;
        const bool ipv6 = probe >= 0 && ::bind(probe, reinterpret_cast<sockaddr*>(&loopback6),
                                               sizeof loopback6) == 0;
        if (probe >= 0)
            ::close(probe);
        if (!ipv6)
            GTEST_SKIP() << "this host has no IPv6 loopback";
    }
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(::_exit(bindAfterRunningOut()), ::testing::ExitedWithCode(0), "");
}

// ---- A log that cannot be written -------------------------------------------------------

TEST(LogFaults, ALogReplacedByAFolderOrOnAFullDeviceNeverTouchesTheDataPath) {
    std::string pattern = (fs::temp_directory_path() / "corvane-log-faults-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const fs::path folder = pattern;
    RecordingSite site;
    Portula control{loadDesignSurface(), site};
    // The control talks to itself over the loopback address.
    control.put_UDPUse(kTrue);
    control.put_LocalPort(0);
    control.put_RThreshold(1);
    control.put_PortOpen(kTrue);
    control.put_RemoteHost(u"127.0.0.1");
    control.put_RemotePort(control.get_LocalPort());
    auto roundTrip = [&](const std::u16string& text) {
        const int before = site.onCommCount;
        control.put_Output(Variant::fromString(text));
        EXPECT_TRUE(pumpUntil([&] { return site.onCommCount > before; }));
        return control.get_Input2().stringValue();
    };

    const fs::path log = folder / "comm.log";
    control.put_LogFile(platform::fromUtf8(log.string()));
    EXPECT_EQ(roundTrip(u"one"), u"one");
    EXPECT_EQ(linesOf(log), (std::vector<std::string>{"OUT:one\r", "INP:one\r"}));

    // Someone moves the log aside and leaves a folder under its name.
    fs::rename(log, folder / "comm.log.1");
    fs::create_directory(log);
    // The first entry lets go of the file the log held; none after it may keep one.
    ASSERT_EQ(roundTrip(u"two"), u"two");
    const int descriptors = openDescriptorCount();
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(roundTrip(u"two"), u"two");
    EXPECT_TRUE(fs::is_directory(log));
    EXPECT_TRUE(fs::is_empty(log));

    // A device that takes no byte: every write fails after the open succeeds.
    control.put_LogFile(u"/dev/full");
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(roundTrip(u"three"), u"three");
    // A folder that does not exist.
    control.put_LogFile(platform::fromUtf8((folder / "gone" / "comm.log").string()));
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(roundTrip(u"four"), u"four");
    EXPECT_FALSE(fs::exists(folder / "gone"));
    EXPECT_EQ(openDescriptorCount(), descriptors) << "a failed entry keeps no descriptor";

    // Once the folder is gone the next entry creates the log again; the old one is kept.
    fs::remove(log);
    control.put_LogFile(platform::fromUtf8(log.string()));
    EXPECT_EQ(roundTrip(u"five"), u"five");
    EXPECT_EQ(linesOf(log), (std::vector<std::string>{"OUT:five\r", "INP:five\r"}));
    EXPECT_EQ(linesOf(folder / "comm.log.1"), (std::vector<std::string>{"OUT:one\r", "INP:one\r"}));
    fs::remove_all(folder);
}

// ---- A host that refuses property-changed notifications ---------------------------------

// Corvane registered and created through the platform, carried by the platform's site.
class RefusingHost : public ::testing::Test {
  protected:
    void SetUp() override {
        m_module = ::dlopen(CORVANE_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(m_module, nullptr) << ::dlerror();
        auto registerServer =
            reinterpret_cast<platform::DllRegisterServerFn>(::dlsym(m_module, "DllRegisterServer"));
        ASSERT_NE(registerServer, nullptr);
        ASSERT_EQ(registerServer(), platform::S_OK);
        ASSERT_EQ(platform::createInstanceByProgId(ids::kProgId, platform::IID_IUnknown,
                                                   m_object.putVoid()),
                  platform::S_OK);
        site = std::make_unique<platform::ControlSite>(m_object.get());
        site->setEventHandler([this](int32_t dispid, std::span<const Variant>) {
            onComm += dispid == ids::dispid::OnComm;
        });
        site->activate(1000, 1000);
    }
    void TearDown() override {
        site.reset();
        m_object = {};
        platform::freeUnusedLibraries();
        if (m_module)
            ::dlclose(m_module);
    }

    void put(int32_t dispid, Variant value) { site->putProperty(dispid, std::move(value)); }
    Variant get(int32_t dispid) { return site->getProperty(dispid); }

    TemporaryPlatformHome m_home;
    void* m_module = nullptr;
    platform::ComPtr<platform::IUnknown> m_object;
    std::unique_ptr<platform::ControlSite> site;
    int onComm = 0;
};

TEST_F(RefusingHost, APutFailsWithTheHostsErrorAndTheControlAlreadyHoldsTheValue) {
    namespace dispid = ids::dispid;
    const platform::Error refusal(31001, u"ホストが変更を受け付けません。");
    site->setPropertyChangedHandler(
        [&](std::u16string_view) { return platform::reportError(refusal); });
    LoopbackPeer peer;
    const fs::path log = m_home.path() / "refused.log";

    // Each put does its work, then the refusal reaches the caller unchanged.
    const std::pair<int32_t, Variant> puts[] = {
        {dispid::Settings, Variant::fromString(u"19200,n,8,1")},
        {dispid::RThreshold, Variant::fromInteger(1)},
        {dispid::UDPUse, Variant::fromBoolean(kTrue)},
        {dispid::LocalPort, Variant::fromLong(0)},
        {dispid::LogFile, Variant::fromString(platform::fromUtf8(log.string()))},
        {dispid::PortOpen, Variant::fromBoolean(kTrue)},
        {dispid::RemoteHost, Variant::fromString(u"127.0.0.1")},
        {dispid::RemotePort, Variant::fromLong(peer.port())},
        {dispid::Output, Variant::fromString(u"sent anyway")},
    };
    for (const auto& [id, value] : puts) {
        SCOPED_TRACE(id);
        // clang 14 cannot capture a structured binding.
        const auto error = errorOf([&, &id = id, &value = value] { put(id, value); });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->number(), refusal.number());
        EXPECT_EQ(error->description(), refusal.description());
        if (id != dispid::Output) {
            EXPECT_EQ(get(id), value);
        }
    }
    EXPECT_EQ(site->changedProperties(),
              (std::vector<std::u16string>{u"Settings", u"RThreshold", u"UDPUse", u"UDPLocalPort",
                                           u"LogFile", u"PortOpen", u"UDPRemoteHost",
                                           u"UDPRemotePort", u"Output"}));
    // The refused open bound the receiver, and the refused send went out and was logged.
    EXPECT_EQ(get(dispid::PortOpen), Variant::fromBoolean(kTrue));
    const int32_t ownPort = platform::toLong(get(dispid::LocalPort));
    EXPECT_GT(ownPort, 0);
    EXPECT_EQ(peer.receive(), "sent anyway");
    EXPECT_EQ(linesOf(log), std::vector<std::string>{"OUT:sent anyway\r"});

    // Events and reads involve no notification and keep working.
    peer.sendTo(ownPort, "reply");
    ASSERT_TRUE(pumpUntil([&] { return onComm == 1; }));
    EXPECT_EQ(get(dispid::Input2), Variant::fromString(u"reply"));

    // A bare failure code with no description comes back as its runtime error.
    site->setPropertyChangedHandler([](std::u16string_view) { return platform::E_ACCESSDENIED; });
    EXPECT_EQ(errorNumberOf([&] { put(dispid::PortOpen, Variant::fromBoolean(kFalse)); }),
              platform::errors::kPermissionDenied);
    EXPECT_EQ(get(dispid::PortOpen), Variant::fromBoolean(kFalse));

    // Once the host accepts again, so do the puts.
    site->setPropertyChangedHandler(nullptr);
    put(dispid::PortOpen, Variant::fromBoolean(kTrue));
    EXPECT_EQ(get(dispid::PortOpen), Variant::fromBoolean(kTrue));
}

// ---- Property bags that fail part way ---------------------------------------------------

// One persisted row as a test sees it through the control.
struct PersistedRow {
    const char16_t* key;
    Variant stored;  // differs from what a new control holds
    std::function<Variant(Portula&)> read;
};

std::vector<PersistedRow> persistedRows() {
    auto text = [](auto getter) {
        return [getter](Portula& c) { return Variant::fromString((c.*getter)()); };
    };
    auto integer = [](auto getter) {
        return [getter](Portula& c) { return Variant::fromInteger((c.*getter)()); };
    };
    auto boolean = [](auto getter) {
        return [getter](Portula& c) { return Variant::fromBoolean((c.*getter)()); };
    };
    auto longValue = [](auto getter) {
        return [getter](Portula& c) { return Variant::fromLong((c.*getter)()); };
    };
    return {
        {u"Settings", Variant::fromString(u"19200,e,7,2"), text(&Portula::get_Settings)},
        {u"CommPort", Variant::fromInteger(4), integer(&Portula::get_CommPort)},
        {u"DTREnable", Variant::fromBoolean(kFalse), boolean(&Portula::get_DTREnable)},
        {u"Handshaking", Variant::fromLong(2), longValue(&Portula::get_Handshaking)},
        {u"InBufferSize", Variant::fromInteger(2048), integer(&Portula::get_InBufferSize)},
        {u"InputLen", Variant::fromInteger(16), integer(&Portula::get_InputLen)},
        {u"NullDiscard", Variant::fromBoolean(kTrue), boolean(&Portula::get_NullDiscard)},
        {u"OutBufferSize", Variant::fromInteger(1024), integer(&Portula::get_OutBufferSize)},
        {u"ParityReplace", Variant::fromString(u"#"), text(&Portula::get_ParityReplace)},
        {u"RThreshold", Variant::fromInteger(3), integer(&Portula::get_RThreshold)},
        {u"RTSEnable", Variant::fromBoolean(kTrue), boolean(&Portula::get_RTSEnable)},
        {u"SThreshold", Variant::fromInteger(5), integer(&Portula::get_SThreshold)},
        {u"EOFEnable", Variant::fromBoolean(kTrue), boolean(&Portula::get_EOFEnable)},
        {u"InputMode", Variant::fromLong(1), longValue(&Portula::get_InputMode)},
        {u"RemoteHost", Variant::fromString(u"127.0.0.1"), text(&Portula::get_RemoteHost)},
        {u"RemotePort", Variant::fromLong(40001), longValue(&Portula::get_RemotePort)},
        {u"LocalPort", Variant::fromLong(40002), longValue(&Portula::get_LocalPort)},
        {u"UDPUse", Variant::fromBoolean(kTrue),
         [](Portula& c) { return Variant::fromBoolean(c.get_UDPUse()); }},
        {u"LogFile", Variant::fromString(u"/tmp/never-written.log"),
         [](Portula& c) { return Variant::fromString(c.get_LogFile()); }},
    };
}

TEST(FailingPropertyBag, ALoadFailingAtEveryRowKeepsTheRowsBeforeAndNoneAfter) {
    const auto rows = persistedRows();
    ASSERT_EQ(rows.size(), 19u);
    for (size_t failing = 0; failing <= rows.size(); ++failing) {
        SCOPED_TRACE("read " + std::to_string(failing) + " fails");
        RecordingSite site;
        Portula control{loadDesignSurface(), site};
        std::vector<Variant> initial;
        for (const auto& row : rows) {
            initial.push_back(row.read(control));
            ASSERT_NE(initial.back(), row.stored) << "a row that would prove nothing";
        }
        MemoryPropertyBag bag;
        for (const auto& row : rows)
            bag.values[row.key] = row.stored;
        if (failing < rows.size())
            bag.failOnRead = failing;

        const auto error = errorOf([&] { control.Load(bag); });
        if (failing < rows.size()) {
            ASSERT_TRUE(error);
            EXPECT_EQ(error->number(), platform::errors::kOutOfMemory);
        } else {
            EXPECT_FALSE(error);
        }
        EXPECT_EQ(bag.reads.size(), failing);
        for (size_t i = 0; i < rows.size(); ++i)
            EXPECT_EQ(rows[i].read(control), i < failing ? rows[i].stored : initial[i])
                << platform::toUtf8(rows[i].key);
        EXPECT_TRUE(site.notifications.empty());
        EXPECT_EQ(control.get_PortOpen(), kFalse) << "loading opens nothing";
    }
}

TEST(FailingPropertyBag, ASaveFailingAtEveryRowWritesTheRowsBeforeAndNoneAfter) {
    const auto rows = persistedRows();
    RecordingSite site;
    Portula control{loadDesignSurface(), site};
    MemoryPropertyBag source;
    for (const auto& row : rows)
        source.values[row.key] = row.stored;
    control.Load(source);

    for (size_t failing = 0; failing <= rows.size(); ++failing) {
        SCOPED_TRACE("write " + std::to_string(failing) + " fails");
        MemoryPropertyBag bag;
        if (failing < rows.size())
            bag.failOnWrite = failing;
        const auto error = errorOf([&] { control.Save(bag); });
        EXPECT_EQ(error.has_value(), failing < rows.size());
        ASSERT_EQ(bag.writes.size(), failing);
        EXPECT_EQ(bag.values.size(), failing);
        for (size_t i = 0; i < failing; ++i) {
            EXPECT_EQ(bag.writes[i], rows[i].key);
            EXPECT_EQ(platform::toString(bag.values[rows[i].key]),
                      platform::toString(rows[i].stored));
        }
    }
    // Saving changed nothing of the control.
    for (const auto& row : rows)
        EXPECT_EQ(row.read(control), row.stored) << platform::toUtf8(row.key);
    EXPECT_TRUE(site.notifications.empty());
}

}  // namespace
}  // namespace port_control::testing
