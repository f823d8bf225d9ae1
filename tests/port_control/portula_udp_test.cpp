// Two controls over real UDP sockets on 127.0.0.1.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "components/udp_socket.h"
#include "design_surface.h"
#include "platform/message_loop.h"
#include "support/fake_components.h"
#include "support/loopback_sender.h"
#include "support/process_probes.h"

namespace port_control::testing {
namespace {

using platform::kTrue;
using platform::Variant;
using namespace std::chrono_literals;

bool pumpUntil(const std::function<bool()>& done) {
    return platform::MessageLoop::current().runUntil(done, 5s);
}

// A control with the real design surface and a recording host.
struct Endpoint {
    RecordingSite site;
    Portula control{loadDesignSurface(), site};

    // Binds the receiver on a port the system chooses and returns it.
    int32_t listen() {
        control.put_UDPUse(kTrue);
        control.put_LocalPort(0);
        control.put_RThreshold(1);
        control.put_PortOpen(kTrue);
        return control.get_LocalPort();
    }
    void sendTo(int32_t port) {
        control.put_UDPUse(kTrue);
        control.put_RemoteHost(u"127.0.0.1");
        control.put_RemotePort(port);
    }
};

// A plain socket for checking bytes on the wire.
class RawSocket {
  public:
    RawSocket() {
        m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        socklen_t length = sizeof address;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        timeval timeout{5, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    ~RawSocket() { ::close(m_fd); }
    int32_t port() const { return m_port; }
    std::string receive() {
        char buffer[65536];
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        return n < 0 ? std::string("<timeout>") : std::string(buffer, static_cast<size_t>(n));
    }

  private:
    int m_fd = -1;
    int32_t m_port = 0;
};

TEST(PortulaUdpTest, DatagramsAreConcatenatedAndSplitByInputLen) {
    Endpoint a, b;
    a.sendTo(b.listen());
    a.control.put_Output(Variant::fromString(u"AB"));
    a.control.put_Output(Variant::fromString(u"CD"));
    ASSERT_TRUE(pumpUntil([&] { return b.site.onCommCount == 2; }));
    EXPECT_EQ(b.control.get_Input2().stringValue(), u"ABCD");
    EXPECT_EQ(b.control.get_Input2().stringValue(), u"");

    b.control.put_InputLen(3);
    a.control.put_Output(Variant::fromString(u"ABCDE"));
    ASSERT_TRUE(pumpUntil([&] { return b.site.onCommCount == 3; }));
    EXPECT_EQ(b.control.get_Input2().stringValue(), u"ABC");
    EXPECT_EQ(b.control.get_Input2().stringValue(), u"DE");
}

TEST(PortulaUdpTest, WithoutRThresholdDataIsBufferedSilently) {
    Endpoint a, b;
    a.sendTo(b.listen());
    b.control.put_RThreshold(0);
    a.control.put_Output(Variant::fromString(u"x"));
    platform::MessageLoop::current().runUntil([] { return false; }, 200ms);
    EXPECT_EQ(b.site.onCommCount, 0);
    EXPECT_EQ(b.control.get_CommEvent(), 0);
    b.control.put_RThreshold(1);
    a.control.put_Output(Variant::fromString(u"y"));
    ASSERT_TRUE(pumpUntil([&] { return b.site.onCommCount >= 1; }));
    EXPECT_EQ(b.site.onCommCount, 1);
    EXPECT_EQ(b.control.get_Input2().stringValue(), u"xy");
}

TEST(PortulaUdpTest, CommEventGoesFromZeroToSentToReceived) {
    Endpoint a, b;
    const int32_t portB = b.listen();
    const int32_t portA = a.listen();
    a.sendTo(portB);
    b.sendTo(portA);
    EXPECT_EQ(a.control.get_CommEvent(), 0);
    a.control.put_SThreshold(1);
    a.control.put_Output(Variant::fromString(u"ping"));
    EXPECT_EQ(a.site.onCommCount, 1);
    EXPECT_EQ(a.control.get_CommEvent(), 1);
    ASSERT_TRUE(pumpUntil([&] { return b.site.onCommCount == 1; }));
    b.control.put_Output(b.control.get_Input2());
    ASSERT_TRUE(pumpUntil([&] { return a.site.onCommCount == 2; }));
    EXPECT_EQ(a.control.get_CommEvent(), 2);
    EXPECT_EQ(a.control.get_Input2().stringValue(), u"ping");
}

TEST(PortulaUdpTest, EveryByteValueSurvivesBeingReadAsTextAndSentOn) {
    Endpoint a, b;
    RawSocket peer;
    a.sendTo(b.listen());
    b.sendTo(peer.port());
    platform::ByteArray all(256);
    for (int i = 0; i < 256; ++i)
        all[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    // Also bytes that form no character: lone lead bytes and a lead byte at the end.
    const platform::ByteArray awkward{0x81, 0x20, 0xE0, 0x7F, 0xFC, 0xFC, 0x82};
    for (const platform::ByteArray& payload : {all, awkward}) {
        const int before = b.site.onCommCount;
        a.control.put_Output(Variant::fromBytes(payload));
        ASSERT_TRUE(pumpUntil([&] { return b.site.onCommCount > before; }));
        const Variant text = b.control.get_Input2();
        ASSERT_EQ(text.type(), platform::VarType::String);
        b.control.put_Output(text);
        EXPECT_EQ(peer.receive(), std::string(payload.begin(), payload.end()));
    }
}

TEST(PortulaUdpTest, AHandlerMayReadAndReplyFromInsideOnComm) {
    Endpoint server, client;
    const int32_t serverPort = server.listen();
    const int32_t clientPort = client.listen();
    client.sendTo(serverPort);
    server.sendTo(clientPort);
    server.control.put_SThreshold(1);
    int sendEvents = 0;
    server.site.onComm = [&] {
        if (server.control.get_CommEvent() == 2) {
            const Variant request = server.control.get_Input2();
            server.control.put_Output(Variant::fromString(u"re:" + request.stringValue()));
        } else {
            ++sendEvents;
        }
    };
    client.control.put_Output(Variant::fromString(u"hello"));
    ASSERT_TRUE(pumpUntil([&] { return client.site.onCommCount == 1; }));
    EXPECT_EQ(client.control.get_Input2().stringValue(), u"re:hello");
    EXPECT_EQ(sendEvents, 1);
}

TEST(PortulaUdpTest, ALocalPortInUseFailsTheOpenWithItsError) {
    Endpoint a, b;
    const int32_t port = a.listen();
    b.control.put_UDPUse(kTrue);
    b.control.put_LocalPort(port);
    b.site.notifications.clear();
    try {
        b.control.put_PortOpen(kTrue);
        FAIL() << "bound twice";
    } catch (const platform::Error& e) {
        EXPECT_EQ(e.number(), 10048);
    }
    EXPECT_TRUE(b.site.notifications.empty());
    EXPECT_EQ(b.control.get_PortOpen(), platform::kFalse);
}

// The control's sending socket only sends: what its peer sends back to its port raises no
// event, and the system holds no more of it than its smallest receive buffer and one
// datagram, whatever comes. (Other peers never reach it: it is connected to the one it
// sends to.)
TEST(PortulaUdpTest, WhatArrivesAtTheSendingSocketIsHeldWithinABoundAndNeverRaised) {
    Components components = loadDesignSurface();
    const auto* sendingSocket = dynamic_cast<UdpSocket*>(components.Winsock1.get());
    ASSERT_NE(sendingSocket, nullptr);
    RecordingSite site;
    Portula control{std::move(components), site};
    const LoopbackSender sender;
    ASSERT_NE(sender.port(), 0);
    control.put_UDPUse(kTrue);
    control.put_RThreshold(1);
    control.put_RemoteHost(u"127.0.0.1");
    control.put_RemotePort(sender.port());
    control.put_Output(Variant::fromString(u"hello"));  // opens on a port the system chooses
    const int fd = sendingSocket->nativeHandle();
    ASSERT_GE(fd, 0);
    sockaddr_in own{};
    socklen_t length = sizeof own;
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&own), &length), 0);
    const int32_t port = ntohs(own.sin_port);
    int receiveBuffer = 0;
    length = sizeof receiveBuffer;
    ASSERT_EQ(::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, &length), 0);
    EXPECT_LE(receiveBuffer, 16 * 1024) << "the smallest the system allows";
    // One datagram of the largest size as the system counts it: its buffer, rounded up to a
    // power of two, and the bookkeeping.
    const uint64_t bound = static_cast<uint64_t>(receiveBuffer) + 2 * 65536 + 4096;

    const struct {
        const char* what;
        size_t size;
        size_t count;
    } rows[] = {
        {"small", 16, 20000},
        {"empty", 0, 20000},
        {"the largest", LoopbackSender::kLargestDatagram, 20},
    };
    for (const auto& row : rows) {
        ASSERT_TRUE(sender.send(port, std::string(row.size, 'x'), row.count)) << row.what;
        platform::MessageLoop::current().dispatch(0);
        ASSERT_TRUE(udpSocketRow(fd).has_value());
        EXPECT_LE(udpSocketRow(fd).value().receiveQueue, bound) << row.what;
        EXPECT_EQ(sendingSocket->heldBytes(), 0u) << row.what;
    }
    EXPECT_EQ(site.onCommCount, 0);
    control.put_Output(Variant::fromString(u"still sending"));
}

}  // namespace
}  // namespace port_control::testing
