#include "components/udp_socket.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "components/preferred_address.h"
#include "components/socket_errors.h"
#include "platform/codepage932.h"
#include "platform/error.h"
#include "platform/message_loop.h"
#include "support/loopback_sender.h"

namespace {

using namespace std::chrono_literals;
using platform::ByteArray;
using platform::Variant;
using port_control::UdpSocket;
using port_control::testing::LoopbackSender;

constexpr auto kPatience = 5s;  // only reached when something is broken

platform::MessageLoop& loop() {
    return platform::MessageLoop::current();
}

// A plain socket on the loopback address, the peer the component talks to.
class Peer {
  public:
    explicit Peer(int family = AF_INET) : m_family(family) {
        m_fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_storage address{};
        socklen_t length = makeAddress(address, 0);
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), length) < 0) {
            closeNow();
            return;
        }
        length = sizeof address;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(address).sin6_port
                                          : reinterpret_cast<sockaddr_in&>(address).sin_port);
    }
    ~Peer() { closeNow(); }

    bool ok() const { return m_fd >= 0; }
    int32_t port() const { return m_port; }
    void closeNow() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    void sendTo(int32_t port, const std::string& bytes) const {
        sockaddr_storage address{};
        socklen_t length = makeAddress(address, port);
        ASSERT_EQ(::sendto(m_fd, bytes.data(), bytes.size(), 0,
                           reinterpret_cast<sockaddr*>(&address), length),
                  static_cast<ssize_t>(bytes.size()));
    }

    bool readable() const {
        pollfd p{m_fd, POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    }

    // Keeps the thread's loop running while waiting, for replies sent from a handler.
    std::optional<std::string> receiveDispatching() const {
        loop().runUntil([&] { return readable(); }, kPatience);
        return receive(0);
    }

    std::optional<std::string> receive(int timeoutMs = 5000) const {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) != 1)
            return std::nullopt;
        std::string buffer(70000, '\0');
        ssize_t n = ::recv(m_fd, buffer.data(), buffer.size(), 0);
        if (n < 0)
            return std::nullopt;
        buffer.resize(static_cast<size_t>(n));
        return buffer;
    }

  private:
    socklen_t makeAddress(sockaddr_storage& address, int32_t port) const {
        if (m_family == AF_INET6) {
            auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
            in6.sin6_family = AF_INET6;
            in6.sin6_addr = in6addr_loopback;
            in6.sin6_port = htons(static_cast<uint16_t>(port));
            return sizeof in6;
        }
        auto& in4 = reinterpret_cast<sockaddr_in&>(address);
        in4.sin_family = AF_INET;
        in4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        in4.sin_port = htons(static_cast<uint16_t>(port));
        return sizeof in4;
    }

    int m_family;
    int m_fd = -1;
    int32_t m_port = 0;
};

// A port nobody listens on: bound once to learn it, then let go.
int32_t closedPort() {
    Peer probe;
    return probe.port();
}

template <typename Call>
int32_t errorNumberOf(Call&& call) {
    try {
        call();
    } catch (const platform::Error& e) {
        EXPECT_FALSE(e.description().empty());
        return e.number();
    }
    return 0;
}

std::string allByteValues() {
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes += static_cast<char>(i);
    return bytes;
}

ByteArray asByteArray(const std::string& s) {
    return ByteArray(s.begin(), s.end());
}

size_t openFdCount() {
    size_t count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir))
            ++count;
        ::closedir(dir);
    }
    return count;
}

// A bound receiver that records each DataArrival and, by default, takes the datagram.
struct Receiver {
    UdpSocket socket;
    std::vector<int32_t> counts;
    std::vector<std::u16string> data;
    bool take = true;

    Receiver() {
        socket.setDataArrival([this](int32_t bytes) {
            counts.push_back(bytes);
            if (take) {
                std::u16string text;
                socket.GetData(text);
                data.push_back(text);
            }
        });
        socket.Bind(0);
    }
    bool waitFor(size_t events) {
        return loop().runUntil([&] { return counts.size() >= events; }, kPatience);
    }
    std::string bytes(size_t i) const { return platform::cp932::encode(data.at(i)); }
};

TEST(UdpSocketProperties, NewSocketIsAClosedUdpSocketWithEmptyEndpoints) {
    UdpSocket socket;
    EXPECT_EQ(socket.get_Protocol(), 1);
    EXPECT_EQ(socket.get_State(), 0);
    EXPECT_EQ(socket.get_RemoteHost(), u"");
    EXPECT_EQ(socket.get_RemotePort(), 0);
    EXPECT_EQ(socket.get_LocalPort(), 0);
    std::u16string data = u"stale";
    socket.GetData(data);
    EXPECT_EQ(data, u"") << "nothing waiting reads as empty text";
}

TEST(UdpSocketProperties, ClosedSocketKeepsWhatIsWrittenAndRefusesInvalidValues) {
    UdpSocket socket;
    socket.put_RemoteHost(u"peer.example");
    socket.put_RemotePort(65535);
    socket.put_LocalPort(0);
    socket.put_Protocol(1);
    EXPECT_EQ(socket.get_RemoteHost(), u"peer.example");
    EXPECT_EQ(socket.get_RemotePort(), 65535);
    EXPECT_EQ(socket.get_LocalPort(), 0);

    EXPECT_EQ(errorNumberOf([&] { socket.put_Protocol(0); }), 40006) << "no TCP here";
    EXPECT_EQ(errorNumberOf([&] { socket.put_Protocol(2); }), 380);
    EXPECT_EQ(errorNumberOf([&] { socket.put_RemotePort(65536); }), 380);
    EXPECT_EQ(errorNumberOf([&] { socket.put_RemotePort(-1); }), 380);
    EXPECT_EQ(errorNumberOf([&] { socket.put_LocalPort(70000); }), 380);
    EXPECT_EQ(socket.get_Protocol(), 1);
    EXPECT_EQ(socket.get_RemotePort(), 65535) << "a refused write changes nothing";
    EXPECT_EQ(socket.get_LocalPort(), 0);
}

TEST(UdpSocketProperties, OpenSocketRefusesProtocolAndEndpointWrites) {
    UdpSocket bound;
    bound.Bind(0);
    const int32_t port = bound.get_LocalPort();
    EXPECT_EQ(errorNumberOf([&] { bound.put_Protocol(1); }), 40020);
    EXPECT_EQ(errorNumberOf([&] { bound.put_RemoteHost(u"127.0.0.1"); }), 40020);
    EXPECT_EQ(errorNumberOf([&] { bound.put_RemotePort(1); }), 40020);
    EXPECT_EQ(errorNumberOf([&] { bound.put_LocalPort(1); }), 40020);
    EXPECT_EQ(bound.get_LocalPort(), port);
    EXPECT_EQ(bound.get_RemoteHost(), u"");

    Peer peer;
    UdpSocket sender;
    sender.put_RemoteHost(u"127.0.0.1");
    sender.put_RemotePort(peer.port());
    sender.SendData(Variant::fromString(u"x"));
    EXPECT_EQ(sender.get_State(), 1) << "opened by its send";
    EXPECT_EQ(errorNumberOf([&] { sender.put_RemotePort(1); }), 40020);
    sender.Close();
    sender.put_RemotePort(1);
    EXPECT_EQ(sender.get_RemotePort(), 1);
}

TEST(UdpSocketBind, BindOpensOnTheChosenPortAndRefusesASecondBind) {
    UdpSocket socket;
    socket.Bind(0);
    EXPECT_EQ(socket.get_State(), 1);
    EXPECT_GT(socket.get_LocalPort(), 0) << "the port the system chose";
    EXPECT_EQ(errorNumberOf([&] { socket.Bind(0); }), 40020);
    socket.Close();
    EXPECT_EQ(socket.get_State(), 0);
    socket.Close();  // closing a closed socket is harmless
    EXPECT_EQ(errorNumberOf([&] { socket.Bind(-1); }), 40021);
    EXPECT_EQ(errorNumberOf([&] { socket.Bind(65536); }), 40021);
    EXPECT_EQ(socket.get_State(), 0);
}

TEST(UdpSocketBind, PortInUseFailsWithAddressInUse) {
    UdpSocket first;
    first.Bind(0);
    UdpSocket second;
    EXPECT_EQ(errorNumberOf([&] { second.Bind(first.get_LocalPort()); }), 10048);
    EXPECT_EQ(second.get_State(), 0);

    Peer ipv4Only;  // an IPv4 socket holding the port blocks it too
    EXPECT_EQ(errorNumberOf([&] { second.Bind(ipv4Only.port()); }), 10048);
}

TEST(UdpSocketBind, CloseAndRebindTheSamePortReceivesAgain) {
    Receiver receiver;
    const int32_t port = receiver.socket.get_LocalPort();
    receiver.socket.Close();
    EXPECT_EQ(receiver.socket.get_LocalPort(), port) << "the bound port stays after Close";
    receiver.socket.Bind(port);
    EXPECT_EQ(receiver.socket.get_LocalPort(), port);
    Peer peer;
    peer.sendTo(port, "again");
    ASSERT_TRUE(receiver.waitFor(1));
    EXPECT_EQ(receiver.data, (std::vector<std::u16string>{u"again"}));
}

TEST(UdpSocketBind, BindCloseCyclesLeakNoDescriptor) {
    platform::MessageLoop::current();  // the thread's loop keeps descriptors of its own
    const size_t before = openFdCount();
    for (int i = 0; i < 500; ++i) {
        UdpSocket socket;
        socket.Bind(0);
        socket.Close();
        socket.Bind(0);  // the destructor closes this one
    }
    EXPECT_EQ(openFdCount(), before);
}

TEST(UdpSocketReceive, OneDatagramRaisesOneEventAndIsTakenWhole) {
    Receiver receiver;
    receiver.take = false;
    Peer peer;
    peer.sendTo(receiver.socket.get_LocalPort(), "hello, world");
    ASSERT_TRUE(receiver.waitFor(1));
    EXPECT_FALSE(loop().dispatch(50));
    EXPECT_EQ(receiver.counts, (std::vector<int32_t>{12}));

    std::u16string data;
    receiver.socket.GetData(data);
    EXPECT_EQ(data, u"hello, world");
    receiver.socket.GetData(data);
    EXPECT_EQ(data, u"") << "taken means gone";
}

TEST(UdpSocketReceive, BurstRaisesOneEventPerDatagramInOrder) {
    Receiver receiver;
    Peer peer;
    for (const char* d : {"1", "22", "333"})
        peer.sendTo(receiver.socket.get_LocalPort(), d);
    ASSERT_TRUE(receiver.waitFor(3));
    EXPECT_FALSE(loop().dispatch(50));
    EXPECT_EQ(receiver.counts, (std::vector<int32_t>{1, 2, 3}));
    EXPECT_EQ(receiver.data, (std::vector<std::u16string>{u"1", u"22", u"333"}));
}

// Datagrams that come one at a time are read one per readiness report; a burst after a long
// quiet exchange must still be read in full within a few reports, or a host that runs the
// loop rarely would see the socket overflow.
TEST(UdpSocketReceive, ABurstAfterAQuietExchangeIsReadWithinAFewLoopRounds) {
    Receiver receiver;
    Peer peer;
    const int32_t port = receiver.socket.get_LocalPort();
    for (size_t i = 1; i <= 40; ++i) {
        peer.sendTo(port, "quiet");
        ASSERT_TRUE(receiver.waitFor(i));
    }
    constexpr size_t kBurst = 100;
    for (size_t i = 0; i < kBurst; ++i)
        peer.sendTo(port, std::to_string(i));
    std::this_thread::sleep_for(20ms);  // the loopback hands them over at once, but to be sure

    constexpr int kMostRounds = 33;  // the longest interval between looks for more, and one
    for (int round = 0; round < kMostRounds && receiver.counts.size() < 40 + kBurst; ++round)
        loop().dispatch(0);
    ASSERT_EQ(receiver.data.size(), 40 + kBurst);
    for (size_t i = 0; i < kBurst; ++i)
        EXPECT_EQ(receiver.bytes(40 + i), std::to_string(i));
}

TEST(UdpSocketReceive, EventsWithoutGetDataLeaveTheDatagramsQueuedOldestFirst) {
    Receiver receiver;
    receiver.take = false;
    Peer peer;
    peer.sendTo(receiver.socket.get_LocalPort(), "first");
    peer.sendTo(receiver.socket.get_LocalPort(), "second");
    ASSERT_TRUE(receiver.waitFor(2));
    std::u16string data;
    receiver.socket.GetData(data);
    EXPECT_EQ(data, u"first");
    receiver.socket.GetData(data);
    EXPECT_EQ(data, u"second");
}

TEST(UdpSocketReceive, EveryByteValueArrivesUnchanged) {
    Receiver receiver;
    Peer peer;
    peer.sendTo(receiver.socket.get_LocalPort(), allByteValues());
    ASSERT_TRUE(receiver.waitFor(1));
    EXPECT_EQ(receiver.counts[0], 256);
    EXPECT_EQ(receiver.bytes(0), allByteValues()) << "text taken encodes back to the bytes";
}

TEST(UdpSocketReceive, EmptyAndLargestDatagramsArriveWhole) {
    Receiver receiver;
    Peer peer;
    std::string largest(65507, '\0');
    for (size_t i = 0; i < largest.size(); ++i)
        largest[i] = static_cast<char>('A' + i % 26);
    peer.sendTo(receiver.socket.get_LocalPort(), "");
    peer.sendTo(receiver.socket.get_LocalPort(), largest);
    ASSERT_TRUE(receiver.waitFor(2));
    EXPECT_EQ(receiver.counts, (std::vector<int32_t>{0, 65507}));
    EXPECT_EQ(receiver.data[0], u"");
    EXPECT_EQ(receiver.bytes(1), largest);
}

TEST(UdpSocketReceive, CloseInsideTheHandlerStopsTheRestOfTheBurst) {
    UdpSocket socket;
    int events = 0;
    socket.setDataArrival([&](int32_t) {
        ++events;
        socket.Close();
    });
    socket.Bind(0);
    Peer peer;
    for (const char* d : {"a", "b", "c"})
        peer.sendTo(socket.get_LocalPort(), d);
    ASSERT_TRUE(loop().runUntil([&] { return events > 0; }, kPatience));
    EXPECT_FALSE(loop().dispatch(50));
    EXPECT_EQ(events, 1);
    EXPECT_EQ(socket.get_State(), 0);
    std::u16string data = u"stale";
    socket.GetData(data);
    EXPECT_EQ(data, u"") << "Close dropped what was waiting";
}

TEST(UdpSocketReceive, HandlerMayReplyAndEvenDestroyTheSocket) {
    auto socket = std::make_unique<UdpSocket>();
    Peer peer;
    socket->put_RemoteHost(u"127.0.0.1");
    socket->put_RemotePort(peer.port());
    int events = 0;
    socket->setDataArrival([&](int32_t) {
        ++events;
        std::u16string text;
        socket->GetData(text);
        socket->SendData(Variant::fromString(u"re:" + text));
        if (text == u"bye")
            socket.reset();
    });
    socket->Bind(0);
    const int32_t port = socket->get_LocalPort();
    peer.sendTo(port, "hi");
    EXPECT_EQ(peer.receiveDispatching(), "re:hi");
    peer.sendTo(port, "bye");
    peer.sendTo(port, "unheard");
    EXPECT_EQ(peer.receiveDispatching(), "re:bye");
    EXPECT_FALSE(loop().dispatch(50));
    EXPECT_EQ(events, 2);
    EXPECT_EQ(socket, nullptr);
}

TEST(UdpSocketReceive, ThrowingHandlerReachesTheLoopAndLaterEventsStillCome) {
    Receiver receiver;
    std::vector<int32_t> counts;
    receiver.socket.setDataArrival([&](int32_t bytes) {
        counts.push_back(bytes);
        if (bytes == 1)
            throw platform::Error(5, u"handler failed");
    });
    Peer peer;
    for (const char* d : {"1", "22", "333"})
        peer.sendTo(receiver.socket.get_LocalPort(), d);
    testing::internal::CaptureStderr();
    bool all = loop().runUntil([&] { return counts.size() == 3; }, kPatience);
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(all);
    EXPECT_EQ(counts, (std::vector<int32_t>{1, 2, 3}));
    EXPECT_NE(err.find("handler failed"), std::string::npos);
}

// Datagrams nobody takes are held up to 1 MiB, each counted with 64 bytes of bookkeeping
// on top of its own, so that empty ones fill it too; then reading stops until GetData makes
// room, and what comes meanwhile waits in the system.
TEST(UdpSocketReceive, UntakenDatagramsPauseReadingUntilGetDataMakesRoom) {
    const struct {
        const char* what;
        size_t size;
        size_t burst;  // sent between loop rounds: well within the system's buffer
        size_t held;   // the datagrams read: the last is the first to reach 1 MiB
    } rows[] = {
        {"50,000 bytes", 50000, 1, 21},
        {"the largest", LoopbackSender::kLargestDatagram, 1, 16},
        {"empty", 0, 64, 16384},
    };
    for (const auto& row : rows) {
        Receiver receiver;
        receiver.take = false;
        const int32_t port = receiver.socket.get_LocalPort();
        const LoopbackSender sender;
        const std::string datagram(row.size, 'z');
        for (size_t sent = 0; sent < row.held;) {
            const size_t burst = std::min(row.burst, row.held - sent);
            ASSERT_TRUE(sender.send(port, datagram, burst));
            sent += burst;
            ASSERT_TRUE(receiver.waitFor(sent)) << row.what;
        }
        ASSERT_TRUE(sender.send(port, datagram, 2));
        loop().runUntil([] { return false; }, 100ms);
        EXPECT_EQ(receiver.counts.size(), row.held) << row.what << ": read past the limit";
        std::u16string data = u"stale";
        receiver.socket.GetData(data);
        EXPECT_EQ(data.size(), row.size);
        EXPECT_TRUE(receiver.waitFor(row.held + 1)) << row.what << ": reading resumes";
        EXPECT_FALSE(loop().dispatch(50));
        EXPECT_EQ(receiver.counts.size(), row.held + 1) << row.what;
    }
}

TEST(UdpSocketSend, TextGoesAsCodePage932AndBytesAsTheyAre) {
    Peer peer;
    UdpSocket sender;
    sender.put_RemoteHost(u"127.0.0.1");
    sender.put_RemotePort(peer.port());
    EXPECT_EQ(sender.get_State(), 0);
    sender.SendData(Variant::fromString(u"A\u65E5\uFF71"));  // A, 日, halfwidth ｱ
    EXPECT_EQ(sender.get_State(), 1) << "a closed sender opens itself";
    EXPECT_EQ(sender.get_LocalPort(), 0) << "an implicitly opened sender is not bound";
    EXPECT_EQ(peer.receive(), std::string("A\x93\xfa\xb1"));

    sender.SendData(Variant::fromBytes(asByteArray(allByteValues())));
    EXPECT_EQ(peer.receive(), allByteValues());

    // The room text is encoded in is kept: a shorter text after a longer one is itself.
    sender.SendData(Variant::fromString(u"ABCDEFGH\u65E5"));
    EXPECT_EQ(peer.receive(), std::string("ABCDEFGH\x93\xfa"));
    sender.SendData(Variant::fromString(u"xy"));
    EXPECT_EQ(peer.receive(), std::string("xy"));

    sender.SendData(Variant::fromString(u""));
    EXPECT_EQ(peer.receive(), std::string()) << "an empty datagram";
    sender.SendData(Variant::fromBytes({}));
    EXPECT_EQ(peer.receive(), std::string());
}

TEST(UdpSocketSend, TextSentByOneSocketArrivesUnchangedAtAnother) {
    Receiver receiver;
    UdpSocket sender;
    sender.put_RemoteHost(u"localhost");
    sender.put_RemotePort(receiver.socket.get_LocalPort());
    // The test frame: its last character is the one code page 932 gives byte 255.
    const std::string wire(
        "\x01\x02\x1f"
        "1\x03\x04\xff");
    const std::u16string frame = platform::cp932::decode(wire);
    sender.SendData(Variant::fromString(frame));
    ASSERT_TRUE(receiver.waitFor(1));
    EXPECT_EQ(receiver.counts[0], 7);
    EXPECT_EQ(receiver.data[0], frame);
    EXPECT_EQ(receiver.bytes(0), wire);
}

TEST(UdpSocketSend, BoundSocketSendsToIpv4AndIpv6Peers) {
    UdpSocket socket;
    Peer peer4;
    socket.put_RemoteHost(u"127.0.0.1");
    socket.put_RemotePort(peer4.port());
    socket.Bind(0);
    socket.SendData(Variant::fromString(u"v4"));
    EXPECT_EQ(peer4.receive(), "v4");

    Peer peer6(AF_INET6);
    if (!peer6.ok())
        GTEST_SKIP() << "no IPv6 loopback on this host";
    socket.Close();
    socket.put_RemoteHost(u"::1");
    socket.put_RemotePort(peer6.port());
    socket.Bind(0);
    socket.SendData(Variant::fromString(u"v6"));
    EXPECT_EQ(peer6.receive(), "v6");
    peer6.sendTo(socket.get_LocalPort(), "back");  // and IPv6 arrives at the bound socket
    std::u16string data;
    ASSERT_TRUE(loop().runUntil(
        [&] {
            socket.GetData(data);
            return !data.empty();
        },
        kPatience));
    EXPECT_EQ(data, u"back");
}

TEST(UdpSocketSend, RefusedEarlierDatagramsNeverBreakSendingOrReceiving) {
    UdpSocket socket;
    socket.put_RemoteHost(u"127.0.0.1");
    socket.put_RemotePort(closedPort());
    int events = 0;
    socket.setDataArrival([&](int32_t) { ++events; });
    socket.Bind(0);
    for (int i = 0; i < 20; ++i) {
        EXPECT_NO_THROW(socket.SendData(Variant::fromString(u"anyone?")));
        loop().dispatch(5);  // lets refusals come back between sends
    }
    EXPECT_EQ(events, 0);
    Peer peer;
    peer.sendTo(socket.get_LocalPort(), "still here");
    ASSERT_TRUE(loop().runUntil([&] { return events == 1; }, kPatience));
    std::u16string data;
    socket.GetData(data);
    EXPECT_EQ(data, u"still here");

    // An unbound sender likewise. One that only sends is connected to its destination and so
    // hears of every refusal: at its next send, or from the loop in between.
    for (const auto incoming : {UdpSocket::Incoming::Deliver, UdpSocket::Incoming::Discard}) {
        UdpSocket sender(incoming);
        sender.put_RemoteHost(u"127.0.0.1");
        sender.put_RemotePort(closedPort());
        for (int i = 0; i < 20; ++i) {
            EXPECT_NO_THROW(sender.SendData(Variant::fromString(u"anyone?")));
            if (i % 2 == 1)
                loop().dispatch(5);
        }
        EXPECT_EQ(sender.get_State(), 1);
    }
}

// Datagram sockets hear of a refused datagram (ICMP port unreachable) only while
// connected; connecting the component's descriptor makes refusals arrive for real.
class RefusalTest : public testing::Test {
  protected:
    void SetUp() override {
        socket.put_RemoteHost(u"127.0.0.1");
        socket.put_RemotePort(peer.port());
        socket.setDataArrival([this](int32_t) { ++events; });
        // Bound to a port given by number: the system keeps only such a port across the
        // disconnect below.
        socket.Bind(0);
        const int32_t port = socket.get_LocalPort();
        socket.Close();
        socket.Bind(port);
        fd = socket.nativeHandle();
        ASSERT_GE(fd, 0);
        sockaddr_storage own{};
        socklen_t length = sizeof own;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&own), &length);
        sockaddr_storage dead{};
        length = loopbackAddress(own.ss_family, closedPort(), dead);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&dead), length), 0);
    }

    static socklen_t loopbackAddress(int family, int32_t port, sockaddr_storage& address) {
        if (family == AF_INET6) {
            auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
            in6.sin6_family = AF_INET6;
            in6.sin6_port = htons(static_cast<uint16_t>(port));
            inet_pton(AF_INET6, "::ffff:127.0.0.1", &in6.sin6_addr);
            return sizeof in6;
        }
        auto& in4 = reinterpret_cast<sockaddr_in&>(address);
        in4.sin_family = AF_INET;
        in4.sin_port = htons(static_cast<uint16_t>(port));
        in4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return sizeof in4;
    }

    // Sends to the dead port and waits until its refusal is pending on the socket.
    bool leaveRefusalPending() {
        if (::send(fd, "?", 1, 0) != 1)
            return false;
        pollfd p{fd, 0, 0};
        return ::poll(&p, 1, 5000) == 1 && (p.revents & POLLERR);
    }

    void disconnect() {
        sockaddr unspecified{};
        unspecified.sa_family = AF_UNSPEC;
        EXPECT_EQ(::connect(fd, &unspecified, sizeof unspecified), 0);
    }

    Peer peer;
    UdpSocket socket;
    int fd = -1;
    int events = 0;
};

TEST_F(RefusalTest, RefusalOfAnEarlierDatagramDoesNotFailTheNextSend) {
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(leaveRefusalPending());
        EXPECT_NO_THROW(socket.SendData(Variant::fromString(u"next")));
        EXPECT_EQ(peer.receive(), "next") << "the send after a refusal still goes out";
    }
}

TEST_F(RefusalTest, RefusalReportedToTheLoopIsConsumedAndReceivingGoesOn) {
    ASSERT_TRUE(leaveRefusalPending());
    EXPECT_TRUE(loop().dispatch(1000));
    EXPECT_FALSE(loop().dispatch(50)) << "consumed: no busy loop on a pending error";
    EXPECT_EQ(events, 0);

    disconnect();
    peer.sendTo(socket.get_LocalPort(), "still here");
    ASSERT_TRUE(loop().runUntil([&] { return events == 1; }, kPatience));
    std::u16string data;
    socket.GetData(data);
    EXPECT_EQ(data, u"still here");
}

// A socket that only sends is connected to an address written out, of either family, so that
// no other peer reaches it; a name is looked up at every send and sent to unconnected.
TEST(UdpSocketSend, ASenderIsConnectedToAnAddressWrittenOutAndNotToAName) {
    const struct {
        const char16_t* host;
        int family;
        bool connected;
    } rows[] = {
        {u"127.0.0.1", AF_INET, true},
        {u"::1", AF_INET6, true},
        {u"localhost", AF_INET, false},
    };
    for (const auto& row : rows) {
        Peer peer(row.family);
        if (!peer.ok())
            continue;  // no IPv6 loopback on this host
        UdpSocket sender(UdpSocket::Incoming::Discard);
        sender.put_RemoteHost(row.host);
        sender.put_RemotePort(peer.port());
        sender.SendData(Variant::fromString(u"x"));
        EXPECT_EQ(peer.receive(), "x");
        sockaddr_storage remote{};
        socklen_t length = sizeof remote;
        const bool connected = ::getpeername(sender.nativeHandle(),
                                             reinterpret_cast<sockaddr*>(&remote), &length) == 0;
        EXPECT_EQ(connected, row.connected) << platform::toUtf8(row.host);
    }
}

// The Internet checksum of `bytes` (RFC 1071).
uint16_t internetChecksum(const std::vector<uint8_t>& bytes) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        sum += static_cast<uint32_t>(bytes[i] << 8 | bytes[i + 1]);
    if (bytes.size() % 2 != 0)
        sum += static_cast<uint32_t>(bytes.back() << 8);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

// Sends the loopback address of `family` an ICMP "destination unreachable" with `code` about
// a datagram from local port `from` to port `to` there, as a router or firewall on the way
// would. Needs a raw socket: nullopt where the process may not open one.
std::optional<bool> reportUnreachable(int family, uint8_t code, int32_t from, int32_t to) {
    const bool v6 = family == AF_INET6;
    const int protocol = v6 ? static_cast<int>(IPPROTO_ICMPV6) : static_cast<int>(IPPROTO_ICMP);
    const int raw = ::socket(family, SOCK_RAW | SOCK_CLOEXEC, protocol);
    if (raw < 0)
        return std::nullopt;
    // The datagram it speaks of: its IP header and the first 8 bytes (the UDP header).
    std::vector<uint8_t> inner;
    if (v6) {
        inner = {0x60, 0, 0, 0, 0, 8, IPPROTO_UDP, 64};
        for (int address = 0; address < 2; ++address) {  // ::1 to ::1
            inner.insert(inner.end(), 15, 0);
            inner.push_back(1);
        }
    } else {
        inner = {0x45, 0, 0, 29, 0, 0, 0x40, 0, 64, IPPROTO_UDP, 0, 0, 127, 0, 0, 1, 127, 0, 0, 1};
        const uint16_t headerSum = internetChecksum(inner);
        inner[10] = static_cast<uint8_t>(headerSum >> 8);
        inner[11] = static_cast<uint8_t>(headerSum);
    }
    for (const int32_t port : {from, to}) {
        inner.push_back(static_cast<uint8_t>(port >> 8));
        inner.push_back(static_cast<uint8_t>(port));
    }
    inner.insert(inner.end(), {0, 9, 0, 0});
    // Type 3 for IPv4, 1 for IPv6; the system fills in an ICMPv6 checksum itself.
    std::vector<uint8_t> message = {static_cast<uint8_t>(v6 ? 1 : 3), code, 0, 0, 0, 0, 0, 0};
    message.insert(message.end(), inner.begin(), inner.end());
    if (!v6) {
        const uint16_t sum = internetChecksum(message);
        message[2] = static_cast<uint8_t>(sum >> 8);
        message[3] = static_cast<uint8_t>(sum);
    }
    sockaddr_storage loopback{};
    socklen_t length = sizeof(sockaddr_in);
    if (v6) {
        auto& in6 = reinterpret_cast<sockaddr_in6&>(loopback);
        in6.sin6_family = AF_INET6;
        in6.sin6_addr = in6addr_loopback;
        length = sizeof in6;
    } else {
        auto& in4 = reinterpret_cast<sockaddr_in&>(loopback);
        in4.sin_family = AF_INET;
        in4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    const bool sent =
        ::sendto(raw, message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&loopback),
                 length) == static_cast<ssize_t>(message.size());
    ::close(raw);
    return sent;
}

// The control's sender is connected to its destination, and a connected socket hears of
// the ICMP reports the system counts as final (not "host unreachable", which may pass): each
// comes back from a later send, in place of that send. None of them may fail the send it
// comes back from, and that datagram still goes.
TEST(UdpSocketSend, IcmpReportsAboutEarlierDatagramsNeverFailASend) {
    const struct {
        int family;
        uint8_t code;
        const char* what;
    } rows[] = {
        {AF_INET, 3, "port unreachable"},
        {AF_INET, 2, "protocol unreachable"},
        {AF_INET, 6, "destination network unknown"},
        {AF_INET, 7, "destination host unknown"},
        {AF_INET, 8, "source host isolated"},
        {AF_INET, 13, "communication administratively prohibited"},
        {AF_INET6, 4, "IPv6 port unreachable"},
        {AF_INET6, 1, "IPv6 communication administratively prohibited"},
    };
    for (const auto& row : rows) {
        Peer peer(row.family);
        if (!peer.ok())
            continue;  // no IPv6 loopback on this host
        UdpSocket sender(UdpSocket::Incoming::Discard);
        sender.put_RemoteHost(row.family == AF_INET6 ? u"::1" : u"127.0.0.1");
        sender.put_RemotePort(peer.port());
        sender.SendData(Variant::fromString(u"first"));
        ASSERT_EQ(peer.receive(), "first") << row.what;
        sockaddr_storage own{};
        socklen_t length = sizeof own;
        ASSERT_EQ(::getsockname(sender.nativeHandle(), reinterpret_cast<sockaddr*>(&own), &length),
                  0);
        const int32_t ownPort =
            ntohs(row.family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(own).sin6_port
                                         : reinterpret_cast<sockaddr_in&>(own).sin_port);
        const std::optional<bool> reported =
            reportUnreachable(row.family, row.code, ownPort, peer.port());
        if (!reported)
            GTEST_SKIP() << "no raw socket here (CAP_NET_RAW) to send ICMP with";
        ASSERT_TRUE(*reported) << row.what;
        pollfd p{sender.nativeHandle(), 0, 0};
        ASSERT_EQ(::poll(&p, 1, 5000), 1) << row.what << ": the report is pending";
        EXPECT_NO_THROW(sender.SendData(Variant::fromString(u"next"))) << row.what;
        EXPECT_EQ(peer.receive(), "next") << row.what;
    }
}

TEST(UdpSocketSend, ANewRemoteEndpointTakesEffectAtTheNextSend) {
    Peer first, second;
    UdpSocket sender;
    sender.put_RemoteHost(u"127.0.0.1");
    sender.put_RemotePort(first.port());
    sender.SendData(Variant::fromString(u"1"));
    EXPECT_EQ(first.receive(), "1");

    sender.Close();
    sender.put_RemotePort(second.port());
    sender.SendData(Variant::fromString(u"2"));
    EXPECT_EQ(second.receive(), "2");

    sender.Close();
    sender.put_RemoteHost(u"localhost");  // a name now, looked up
    sender.SendData(Variant::fromString(u"3"));
    EXPECT_EQ(second.receive(), "3");

    sender.Close();
    sender.put_RemoteHost(u"127.0.0.1");
    sender.put_RemotePort(first.port());
    sender.SendData(Variant::fromString(u"4"));
    EXPECT_EQ(first.receive(), "4");
    EXPECT_FALSE(second.readable());
}

// A name's addresses as the resolver lists them, read from text without any lookup.
std::vector<port_control::SocketAddress> resolverAnswer(std::initializer_list<const char*> texts) {
    std::vector<port_control::SocketAddress> candidates;
    for (const char* text : texts) {
        addrinfo hints{};
        hints.ai_socktype = SOCK_DGRAM;
        hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
        addrinfo* found = nullptr;
        EXPECT_EQ(::getaddrinfo(text, "4000", &hints, &found), 0) << text;
        if (!found)
            continue;
        port_control::SocketAddress a;
        std::memcpy(&a.address, found->ai_addr, found->ai_addrlen);
        a.length = found->ai_addrlen;
        a.family = found->ai_family;
        candidates.push_back(a);
        ::freeaddrinfo(found);
    }
    return candidates;
}

TEST(PreferredAddress, ANameGoesToItsFirstIpv4AddressAndToIpv6OnlyWithoutOne) {
    const struct {
        const char* what;
        std::initializer_list<const char*> answer;
        size_t chosen;
    } rows[] = {
        {"IPv6 first (the usual hosts file)", {"::1", "127.0.0.1"}, 1},
        {"IPv4 first", {"127.0.0.1", "::1"}, 0},
        {"IPv6 only", {"2001:db8::7", "::1"}, 0},
        {"IPv4 only, the first of two", {"192.0.2.7", "127.0.0.1"}, 0},
        {"link-local and global IPv6 before IPv4", {"fe80::1%1", "2001:db8::7", "192.0.2.7"}, 2},
        {"link-local IPv6 only", {"fe80::1%1", "fe80::2%1"}, 0},
    };
    for (const auto& row : rows) {
        const auto candidates = resolverAnswer(row.answer);
        ASSERT_EQ(candidates.size(), row.answer.size()) << row.what;
        const auto& chosen = port_control::preferredAddress(candidates);
        EXPECT_EQ(&chosen - candidates.data(), static_cast<ptrdiff_t>(row.chosen)) << row.what;
    }
}

TEST(UdpSocketSend, SendFailuresCarryTheirNumbers) {
    Peer peer;
    UdpSocket sender;
    sender.put_RemoteHost(u"127.0.0.1");
    EXPECT_EQ(errorNumberOf([&] { sender.SendData(Variant::fromString(u"x")); }), 40021)
        << "RemotePort 0";
    sender.put_RemotePort(peer.port());
    EXPECT_EQ(errorNumberOf([&] { sender.SendData(Variant::fromLong(7)); }), 40018);
    EXPECT_EQ(errorNumberOf([&] { sender.SendData(Variant()); }), 40018);
    EXPECT_EQ(sender.get_State(), 0) << "nothing was sent, nothing opened";

    const std::string tooLarge(70000, 'x');
    EXPECT_EQ(errorNumberOf([&] { sender.SendData(Variant::fromBytes(asByteArray(tooLarge))); }),
              10040);
    const std::u16string tooLargeText(70000, u'\u65E5');
    EXPECT_EQ(errorNumberOf([&] { sender.SendData(Variant::fromString(tooLargeText)); }), 10040);
    sender.SendData(Variant::fromString(u"after"));
    EXPECT_EQ(peer.receive(), "after");

    sender.Close();
    sender.put_RemoteHost(u"no-such-host.invalid");
    EXPECT_EQ(errorNumberOf([&] { sender.SendData(Variant::fromString(u"x")); }), 11001);
    EXPECT_EQ(sender.get_State(), 0);
    sender.put_RemoteHost(u"");
    EXPECT_EQ(errorNumberOf([&] { sender.SendData(Variant::fromString(u"x")); }), 11001);
}

TEST(SocketErrors, SystemCodesMapToTheSocketNumbers) {
    using port_control::socketErrorFromErrno;
    using port_control::socketErrorFromResolver;
    const std::pair<int, int32_t> errnoRows[] = {
        {EADDRINUSE, 10048},  {EADDRNOTAVAIL, 10049}, {EMSGSIZE, 10040},
        {ENETUNREACH, 10051}, {ECONNREFUSED, 10054},  {ENOBUFS, 10055},
        {EAGAIN, 10055},      {EACCES, 10013},        {EMFILE, 10024},
        {ENOMEM, 7},
    };
    for (auto [err, number] : errnoRows)
        EXPECT_EQ(socketErrorFromErrno(err).number(), number) << err;

    EXPECT_EQ(socketErrorFromResolver(EAI_NONAME, 0).number(), 11001);
    EXPECT_EQ(socketErrorFromResolver(EAI_FAIL, 0).number(), 11001);
    EXPECT_EQ(socketErrorFromResolver(EAI_AGAIN, 0).number(), 11002);
    EXPECT_EQ(socketErrorFromResolver(EAI_SYSTEM, EMFILE).number(), 10024);

    platform::Error other = socketErrorFromErrno(EXDEV);
    EXPECT_EQ(other.number(), port_control::kSocketSystemErrorNumber);
    EXPECT_NE(other.description().find(u"errno " +
                                       [] {
                                           std::u16string digits;
                                           for (char c : std::to_string(EXDEV))
                                               digits += static_cast<char16_t>(c);
                                           return digits;
                                       }()),
              std::u16string::npos)
        << "a system error without a number of its own names its errno";
}

}  // namespace
