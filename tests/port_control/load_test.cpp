// The control under sustained load, bounded in count and time so that it runs in CI.
//
// UDP: 200,000 datagrams of 1 to 1400 bytes reach a control on 127.0.0.1 in bursts, some
// larger than the socket's receive buffer, interleaved with rounds of the message loop.
// Every datagram the kernel delivered must come out of Input2 whole and in order; every one
// it did not deliver must be counted by the kernel as dropped. Afterwards memory returns to
// its level before the load and the idle loop uses no CPU.
//
// Serial: 100,000 sends through a pseudo-terminal whose far end reads a little at a time:
// every byte arrives in order, and event 1010 comes exactly when the port's own queue first
// grows past OutBufferSize (again only after it has fallen back to that size).
#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "components/serial_errors.h"
#include "components/udp_socket.h"
#include "design_surface.h"
#include "platform/codepage932.h"
#include "platform/message_loop.h"
#include "support/fake_components.h"
#include "support/process_probes.h"
#include "support/pty_pair.h"

namespace port_control::testing {
namespace {

using platform::kTrue;
using platform::Variant;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer keeps freed memory in quarantine, so resident size says nothing there.
constexpr bool kResidentSizeMeaningful = false;
#else
constexpr bool kResidentSizeMeaningful = true;
#endif

uint64_t mix(uint64_t x) {  // splitmix64
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// ---- UDP ---------------------------------------------------------------------------------

// The datagrams of the load, each one a function of its sequence number alone, so that the
// receiving side can check what arrives without a copy of what was sent.
//
// Datagrams of 10 bytes or more: the size (2 bytes, big-endian; its first byte is 0..5), the
// sequence number (4 bytes), an FNV-1a checksum of the payload (4 bytes), the payload.
// Datagrams of 1 to 9 bytes: 0xE0 plus the size, then as many low bytes of the sequence
// number as fit. Input2 concatenates datagrams, so these headers are what frames them again.
namespace frames {
constexpr size_t kMaxSize = 1400;
constexpr size_t kHeaderSize = 10;
constexpr uint8_t kSmallMark = 0xE0;

size_t sizeOf(uint64_t sequence) {
    return 1 + mix(sequence) % kMaxSize;
}

uint32_t checksum(std::string_view bytes) {
    uint32_t hash = 2166136261u;
    for (unsigned char c : bytes)
        hash = (hash ^ c) * 16777619u;
    return hash;
}

void putLittleEndian(std::string& out, uint64_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

uint32_t littleEndian32(std::string_view bytes) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i)
        value |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) << (8 * i);
    return value;
}

std::string make(uint64_t sequence) {
    const size_t size = sizeOf(sequence);
    std::string frame;
    frame.reserve(size);
    if (size < kHeaderSize) {
        frame.push_back(static_cast<char>(kSmallMark | size));
        putLittleEndian(frame, sequence, size - 1);
        return frame;
    }
    std::string payload;
    payload.reserve(size - kHeaderSize);
    for (uint64_t state = mix(sequence ^ 0x5A5A5A5A5A5A5A5Aull);
         payload.size() < size - kHeaderSize; state = mix(state))
        for (int i = 0; i < 8 && payload.size() < size - kHeaderSize; ++i)
            payload.push_back(static_cast<char>((state >> (8 * i)) & 0xFF));
    frame.push_back(static_cast<char>(size >> 8));
    frame.push_back(static_cast<char>(size & 0xFF));
    putLittleEndian(frame, sequence, 4);
    putLittleEndian(frame, checksum(payload), 4);
    return frame + payload;
}
}  // namespace frames

// Splits the byte stream Input2 hands out back into datagrams and checks each: intact
// (checksum and content), of the size its number gives, and later than the one before.
class StreamChecker {
  public:
    explicit StreamChecker(uint64_t limit) : m_limit(limit) {}

    void feed(std::string_view bytes) {
        if (!m_error.empty())
            return;
        m_buffer.append(bytes);
        while (parseOne()) {
        }
        if (m_position > 65536) {
            m_buffer.erase(0, m_position);
            m_position = 0;
        }
    }

    uint64_t delivered() const { return m_delivered; }
    const std::string& error() const { return m_error; }
    size_t unparsedBytes() const { return m_buffer.size() - m_position; }

  private:
    bool parseOne() {
        const std::string_view rest = std::string_view(m_buffer).substr(m_position);
        if (rest.empty())
            return false;
        const auto first = static_cast<uint8_t>(rest[0]);
        size_t size;
        if ((first & 0xF0) == frames::kSmallMark) {
            size = first & 0x0F;
            if (size < 1 || size >= frames::kHeaderSize)
                return fail("a bad small-datagram mark");
        } else if (first <= frames::kMaxSize >> 8) {
            if (rest.size() < 2)
                return false;
            size = (size_t{first} << 8) | static_cast<uint8_t>(rest[1]);
            if (size < frames::kHeaderSize || size > frames::kMaxSize)
                return fail("a bad datagram size");
        } else {
            return fail("bytes that start no datagram");
        }
        if (rest.size() < size)
            return false;
        const std::string_view frame = rest.substr(0, size);
        uint64_t sequence;
        if (size >= frames::kHeaderSize) {
            sequence = frames::littleEndian32(frame.substr(2));
            if (frames::littleEndian32(frame.substr(6)) !=
                frames::checksum(frame.substr(frames::kHeaderSize)))
                return fail("a checksum mismatch");
            if (sequence < m_next)
                return fail("a datagram out of order or twice");
            if (frames::sizeOf(sequence) != size || frames::make(sequence) != frame)
                return fail("a datagram that is not what was sent");
        } else {
            // Small datagrams carry only part of their number: the first one not yet seen
            // that looks exactly like this is it.
            sequence = m_next;
            while (sequence < m_limit &&
                   (frames::sizeOf(sequence) != size || frames::make(sequence) != frame))
                ++sequence;
            if (sequence == m_limit)
                return fail("a small datagram that was never sent");
        }
        m_next = sequence + 1;
        ++m_delivered;
        m_position += size;
        return true;
    }

    bool fail(const std::string& what) {
        m_error = what + " after datagram " + std::to_string(m_next) + " (" +
                  std::to_string(m_delivered) + " delivered)";
        return false;
    }

    uint64_t m_limit;
    std::string m_buffer;
    size_t m_position = 0;
    uint64_t m_next = 0;
    uint64_t m_delivered = 0;
    std::string m_error;
};

// A plain non-blocking socket connected to the control's port on 127.0.0.1.
class FloodSender {
  public:
    explicit FloodSender(int32_t port) {
        m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port));
        EXPECT_EQ(::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    ~FloodSender() { ::close(m_fd); }
    FloodSender(const FloodSender&) = delete;
    FloodSender& operator=(const FloodSender&) = delete;

    // False when the socket's own send buffer is full: try again after a loop round.
    bool send(const std::string& datagram) {
        return ::send(m_fd, datagram.data(), datagram.size(), 0) ==
               static_cast<ssize_t>(datagram.size());
    }

  private:
    int m_fd = -1;
};

struct LoadFigures {
    uint64_t sent = 0;
    uint64_t delivered = 0;
    uint64_t socketDrops = 0;
    uint64_t backlogDrops = 0;
    int64_t rcvbufErrors = 0;
    int64_t inErrors = 0;
    Clock::duration elapsed{};
    size_t peakResident = 0;
};

class UdpLoad : public ::testing::Test {
  protected:
    void SetUp() override {
        Components components = loadDesignSurface();
        m_receiver = dynamic_cast<UdpSocket*>(components.Winsock2.get());
        ASSERT_NE(m_receiver, nullptr);
        m_control = std::make_unique<Portula>(std::move(components), m_site);
        m_control->put_UDPUse(kTrue);
        m_control->put_LocalPort(0);
        m_control->put_RThreshold(1);
        m_control->put_PortOpen(kTrue);
        m_port = m_control->get_LocalPort();
        m_site.onComm = [this] {
            const std::u16string text = m_control->get_Input2().stringValue();
            if (m_checker)
                m_checker->feed(platform::cp932::encode(text));
        };
    }

    uint64_t socketDrops() const {
        return udpSocketDrops(m_receiver->nativeHandle()).value_or(UINT64_MAX);
    }

    // Sends `count` datagrams in bursts of 1 to 256, one loop round after each, stopping
    // early at `deadline`; then runs the loop until every datagram sent is delivered or
    // counted as dropped.
    LoadFigures run(uint64_t count, Clock::time_point deadline) {
        StreamChecker checker(count);
        m_checker = &checker;
        FloodSender sender(m_port);
        LoadFigures figures;
        const uint64_t dropsBefore = socketDrops();
        const uint64_t backlogBefore = backlogDrops();
        auto udpBefore = snmpCounters("Udp");
        platform::MessageLoop& loop = platform::MessageLoop::current();
        const Clock::time_point start = Clock::now();
        uint64_t burstState = 12345;
        while (figures.sent < count && Clock::now() < deadline) {
            burstState = mix(burstState);
            const uint64_t burst = std::min<uint64_t>(1 + burstState % 256, count - figures.sent);
            for (uint64_t i = 0; i < burst && sender.send(frames::make(figures.sent)); ++i)
                ++figures.sent;
            loop.dispatch(0);
            if (figures.sent % 4096 < burst)
                figures.peakResident = std::max(figures.peakResident, residentBytes());
        }
        // Whatever is still on its way arrives or is counted dropped; the kernel is done
        // with the loopback traffic almost at once, so this is bounded tightly.
        auto accounted = [&] { return checker.delivered() + socketDrops() - dropsBefore; };
        loop.runUntil([&] { return accounted() >= figures.sent; }, 5s);
        figures.elapsed = Clock::now() - start;
        figures.delivered = checker.delivered();
        figures.socketDrops = socketDrops() - dropsBefore;
        figures.backlogDrops = backlogDrops() - backlogBefore;
        auto udpAfter = snmpCounters("Udp");
        figures.rcvbufErrors = udpAfter["RcvbufErrors"] - udpBefore["RcvbufErrors"];
        figures.inErrors = udpAfter["InErrors"] - udpBefore["InErrors"];

        EXPECT_EQ(checker.error(), "");
        EXPECT_EQ(checker.unparsedBytes(), 0u) << "a datagram arrived in part";
        m_checker = nullptr;
        return figures;
    }

    RecordingSite m_site;
    std::unique_ptr<Portula> m_control;
    UdpSocket* m_receiver = nullptr;
    int32_t m_port = 0;
    StreamChecker* m_checker = nullptr;
};

TEST_F(UdpLoad, EveryDeliveredDatagramReachesInput2WholeAndInOrderAndTheRestAreCounted) {
    ASSERT_NE(socketDrops(), UINT64_MAX) << "the receiver's socket is not listed in /proc";
    const Clock::time_point deadline = Clock::now() + 60s;

    // A first round warms up what stays allocated for the thread's life.
    run(2000, deadline);
    ::malloc_trim(0);
    const size_t baseline = residentBytes();

    constexpr uint64_t kDatagrams = 200000;
    const LoadFigures figures = run(kDatagrams, deadline);
    // How many are sent by the deadline, and how many the kernel delivers rather than drops,
    // depend on the machine and its load; that the first ones get through does not, as the
    // socket's buffer is empty then. run() has checked every delivered one.
    EXPECT_GT(figures.delivered, 0u) << "nothing got through";

    // Every datagram sent was delivered, dropped by our socket (its count is exact), or, if
    // the socket's count falls short, lost in the loopback backlog before reaching it.
    const uint64_t accounted = figures.delivered + figures.socketDrops;
    EXPECT_LE(accounted, figures.sent) << "more arrived than was sent";
    EXPECT_GE(accounted + figures.backlogDrops, figures.sent) << "datagrams vanished unaccounted";
    // The system-wide counters include our drops (and whatever other programs lost).
    EXPECT_GE(figures.rcvbufErrors, static_cast<int64_t>(figures.socketDrops));
    EXPECT_GE(figures.inErrors, static_cast<int64_t>(figures.socketDrops));

    // Drained: nothing waits, and the memory of the burst has been given back.
    EXPECT_EQ(m_control->get_Input2(), Variant::fromString(u""));
    ::malloc_trim(0);
    const size_t after = residentBytes();
    if (kResidentSizeMeaningful) {
        EXPECT_LE(after, baseline + 2 * 1024 * 1024)
            << "resident size grew from " << baseline << " to " << after;
    }

    // Idle: the open port's loop waits without spinning.
    platform::MessageLoop& loop = platform::MessageLoop::current();
    EXPECT_FALSE(loop.dispatch(100)) << "something was ready with no traffic";
    const auto cpuBefore = cpuTime();
    const Clock::time_point idleStart = Clock::now();
    loop.runUntil([] { return false; }, 1s);
    const auto idleCpu = cpuTime() - cpuBefore;
    const auto idleWall = Clock::now() - idleStart;
    EXPECT_LT(idleCpu, 50ms) << "the loop used CPU while idle";

    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    std::printf(
        "udp load: sent %llu, delivered %llu, dropped by the socket %llu, backlog drops %llu "
        "(system-wide RcvbufErrors +%lld, InErrors +%lld) in %lld ms; resident %zu KiB before, "
        "%zu KiB peak, %zu KiB after; idle CPU %lld us over %lld ms\n",
        static_cast<unsigned long long>(figures.sent),
        static_cast<unsigned long long>(figures.delivered),
        static_cast<unsigned long long>(figures.socketDrops),
        static_cast<unsigned long long>(figures.backlogDrops),
        static_cast<long long>(figures.rcvbufErrors), static_cast<long long>(figures.inErrors),
        static_cast<long long>(duration_cast<milliseconds>(figures.elapsed).count()),
        baseline / 1024, figures.peakResident / 1024, after / 1024,
        static_cast<long long>(idleCpu.count()),
        static_cast<long long>(duration_cast<milliseconds>(idleWall).count()));
}

// ---- Serial ------------------------------------------------------------------------------

// Bytes the driver holds for the device (none for a pseudo-terminal, but counted anyway).
int driverQueue(int fd) {
    int queued = 0;
    return ::ioctl(fd, TIOCOUTQ, &queued) == 0 ? queued : 0;
}

TEST(SerialLoad, SendsToASlowReaderArriveWholeAndInOrderWithTransmitFullWhereDocumented) {
    constexpr int16_t kPort = 9;
    constexpr int kSends = 100000;
    constexpr int kPhase = 4000;  // sends per phase; the reader is slow in every other phase
    TemporaryPlatformHome home;
    PtyPair device;
    device.mapToPort(kPort);
    RecordingSite site;
    Portula control{loadDesignSurface(), site};
    control.put_CommPort(kPort);
    control.put_PortOpen(kTrue);
    const int outBufferSize = control.get_OutBufferSize();

    int sends = 0;
    std::vector<int> transmitFullAfter;  // the number of the send each 1010 followed
    std::vector<int16_t> otherEvents;
    site.onComm = [&] {
        const int16_t event = control.get_CommEvent();
        if (event == comm_events::kTransmitFull)
            transmitFullAfter.push_back(sends);
        else
            otherEvents.push_back(event);
    };

    // The port's own queue: what it holds beyond the driver.
    auto portQueue = [&] { return control.get_OutBufferCount() - driverQueue(device.slave()); };
    std::string expected, received;
    std::vector<int> expectedTransmitFull;
    bool reportDue = true;  // the queue has been at or below OutBufferSize since the last 1010
    int largestQueue = 0;
    char chunk[65536];
    platform::MessageLoop& loop = platform::MessageLoop::current();
    const Clock::time_point start = Clock::now();
    for (uint64_t state = 777; sends < kSends; ++sends) {
        state = mix(state);
        std::string data = "#" + std::to_string(sends) + ":";
        data.append(state % 80, static_cast<char>(state >> 56));
        expected += data;

        if (portQueue() <= outBufferSize)
            reportDue = true;
        control.put_Output(Variant::fromBytes(platform::ByteArray(data.begin(), data.end())));
        const int queue = portQueue();
        largestQueue = std::max(largestQueue, queue);
        if (queue > outBufferSize && reportDue) {
            expectedTransmitFull.push_back(sends);
            reportDue = false;
        }
        loop.dispatch(0);  // the port writes what the driver takes; deferred events come

        // The reader takes a little now and then; in every other phase it keeps up.
        const bool slow = (sends / kPhase) % 2 == 0;
        if (sends % 8 == 0) {
            const ssize_t n = ::read(device.master(), chunk, slow ? 64 : sizeof chunk);
            if (n > 0)
                received.append(chunk, static_cast<size_t>(n));
        }
        if (sends % 1000 == 999)
            loop.runUntil([] { return false; }, 1ms);  // a pause with the loop running
    }
    received += device.receiveAtPeer(expected.size() - received.size(), 30s);
    const auto elapsed = Clock::now() - start;
    ASSERT_TRUE(loop.runUntil([&] { return control.get_OutBufferCount() == 0; }, 5s));

    ASSERT_EQ(received.size(), expected.size()) << "bytes were lost";
    const auto mismatch = std::mismatch(received.begin(), received.end(), expected.begin());
    EXPECT_TRUE(mismatch.first == received.end())
        << "first difference at byte " << (mismatch.first - received.begin());
    EXPECT_GT(expectedTransmitFull.size(), 1u) << "the queue never outgrew OutBufferSize";
    EXPECT_EQ(transmitFullAfter, expectedTransmitFull);
    EXPECT_TRUE(otherEvents.empty());
    std::printf(
        "serial load: %d sends, %zu bytes in %lld ms; largest port queue %d bytes; "
        "%zu events 1010\n",
        kSends, expected.size(),
        static_cast<long long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()),
        largestQueue, transmitFullAfter.size());
}

}  // namespace
}  // namespace port_control::testing
