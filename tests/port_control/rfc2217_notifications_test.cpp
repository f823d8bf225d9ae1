// The network serial port against a server the test plays from a second thread, for what
// real servers in front of a pseudo-terminal never do: modem-line and line-error
// notifications, flow control, answers to every request, a signature too long to keep,
// resets, floods and a server that does not read.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "components/rfc2217_protocol.h"
#include "components/serial_errors.h"
#include "components/serial_port.h"
#include "platform/error.h"
#include "platform/message_loop.h"
#include "platform/port_map.h"
#include "port_control/support/pty_pair.h"
#include "port_control/support/rfc2217_scripted_server.h"

namespace port_control {
namespace {

using namespace std::chrono_literals;
using platform::kFalse;
using platform::kTrue;
using testing::ScriptedRfc2217Server;
using testing::TemporaryPlatformHome;
namespace rfc = rfc2217;

constexpr int16_t kPort = 6;

std::string sub(uint8_t code, std::string value) {
    return rfc::comPortCommand(code, value);
}

// `size` data bytes with every byte value among them, and the same as the server sends them.
std::string dataOf(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(i * 7 % 256);
    return bytes;
}
std::string escaped(const std::string& data) {
    std::string wire;
    rfc::appendEscaped(data, wire);
    return wire;
}

std::string bytesOf(const platform::Variant& value) {
    const platform::ByteArray& bytes = value.bytesValue();
    return std::string(bytes.begin(), bytes.end());
}

class Rfc2217NotificationsTest : public ::testing::Test {
  protected:
    Rfc2217NotificationsTest() {
        platform::setPortDevice(kPort, m_server.address());
        m_port.put_CommPort(kPort);
        m_port.setOnComm([this] { m_events.push_back(m_port.get_CommEvent()); });
        m_port.put_PortOpen(kTrue);
    }
    // The server's thread does not wake this loop: look every few milliseconds.
    bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 3s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            platform::MessageLoop::current().runUntil([] { return false; }, 5ms);
        }
        return true;
    }

    // Waits for the server without running the client's loop, so that what it sent stays in
    // the client's socket.
    static bool waitFor(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!done() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
        return done();
    }

    TemporaryPlatformHome m_home;
    ScriptedRfc2217Server m_server;
    SerialPort m_port;
    std::vector<int16_t> m_events;
};

TEST_F(Rfc2217NotificationsTest, NotificationsRaiseTheEventsOfALocalPort) {
    struct Row {
        const char* name;
        std::string notification;
        int16_t event;
    };
    const Row rows[] = {
        {"CTS rose", sub(107, "\x11"), comm_events::kCtsChange},
        {"DSR fell", sub(107, std::string("\x12", 1)), comm_events::kDsrFell},
        {"CD changed", sub(107, "\x98"), comm_events::kCdChange},
        {"ring ended", sub(107, "\x94"), comm_events::kRing},
        {"break", sub(106, "\x10"), comm_events::kBreak},
        {"framing error", sub(106, "\x08"), comm_events::kFraming},
        {"overrun", sub(106, "\x02"), comm_events::kOverrun},
        {"parity error", sub(106, "\x04"), comm_events::kParity},
    };
    // Each keeps CTS on, so that only the named line changes.
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        m_events.clear();
        m_server.send(row.notification);
        EXPECT_TRUE(pumpUntil([&] { return !m_events.empty(); }));
        EXPECT_EQ(m_events, std::vector<int16_t>{row.event});
    }
    m_server.send(sub(107, "\xb0"));  // CTS, DSR and CD held
    pumpUntil([&] { return m_port.get_DSRHolding() == kTrue; });
    EXPECT_EQ(m_port.get_CTSHolding(), kTrue);
    EXPECT_EQ(m_port.get_CDHolding(), kTrue);
}

TEST_F(Rfc2217NotificationsTest, MembersBecomeTheirRequests) {
    struct Row {
        const char* name;
        std::function<void()> action;
        uint8_t code;
        std::string value;
    };
    const Row rows[] = {
        {"DTR on", [&] { m_port.put_DTREnable(kTrue); }, 5, "\x08"},
        {"RTS off", [&] { m_port.put_RTSEnable(kFalse); }, 5, "\x0c"},
        {"XON/XOFF", [&] { m_port.put_Handshaking(1); }, 5, "\x02"},
        {"break on", [&] { m_port.put_Break(kTrue); }, 5, "\x05"},
        {"break off", [&] { m_port.put_Break(kFalse); }, 5, "\x06"},
        {"input purged", [&] { m_port.put_InBufferCount(0); }, 12, "\x01"},
        {"output purged", [&] { m_port.put_OutBufferCount(0); }, 12, "\x02"},
        {"speed", [&] { m_port.put_Settings(u"4800,e,7,2"); }, 1, rfc::baudRateValue(4800)},
        {"data bits", [] {}, 2, "\x07"},
        {"parity", [] {}, 3, "\x03"},
        {"stop bits", [] {}, 4, "\x02"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        row.action();
        EXPECT_TRUE(pumpUntil([&] { return m_server.receivedCommand(row.code, row.value); }));
    }
}

TEST_F(Rfc2217NotificationsTest, SuspendedSendingWaitsForResume) {
    m_server.send(sub(108, ""));
    pumpUntil([] { return false; }, 200ms);
    const std::string held = "held\xff";
    m_port.put_Output(platform::Variant::fromBytes(platform::ByteArray(held.begin(), held.end())));
    pumpUntil([] { return false; }, 300ms);
    EXPECT_EQ(m_server.data(), "");
    EXPECT_GT(m_port.get_OutBufferCount(), 0);

    m_server.send(sub(109, ""));
    EXPECT_TRUE(pumpUntil([&] { return m_server.data().size() == 5; }));
    EXPECT_EQ(m_server.data(), "held\xff");
}

TEST_F(Rfc2217NotificationsTest, ALongSignatureIsSkippedAndTheStreamGoesOn) {
    m_server.send(sub(100, std::string(200 * 1024, '\xff')) + "after" + sub(107, "\x11"));
    std::string received;
    EXPECT_TRUE(pumpUntil([&] {
        received += platform::toUtf8(m_port.get_Input().stringValue());
        return received.size() >= 5 && !m_events.empty();
    }));
    EXPECT_EQ(received, "after");
    EXPECT_EQ(m_events, std::vector<int16_t>{comm_events::kCtsChange});
    EXPECT_EQ(m_port.get_PortOpen(), kTrue);
}

// A reset ends the port only once everything that had arrived before it has been read, the
// reader held back by handshaking and a small buffer meanwhile.
TEST_F(Rfc2217NotificationsTest, ResetDeliversWhatHadArrivedBeforeTheLostDevice) {
    const std::string sent = dataOf(102000);
    std::string received;
    m_port.setOnComm([&] {
        m_events.push_back(m_port.get_CommEvent());
        if (m_port.get_CommEvent() == comm_events::kReceive)
            received += bytesOf(m_port.get_Input());
    });
    m_port.put_InputMode(1);
    m_port.put_Handshaking(2);
    m_port.put_InBufferSize(4096);
    m_port.put_RThreshold(1);
    m_server.send(escaped(sent));
    m_server.resetWhenSent();
    ASSERT_TRUE(waitFor([&] { return m_server.hasReset(); }));

    EXPECT_TRUE(pumpUntil([&] { return m_port.get_PortOpen() == kFalse; }, 10s));
    EXPECT_EQ(received.size(), sent.size());
    EXPECT_TRUE(received == sent);
    ASSERT_FALSE(m_events.empty());
    EXPECT_EQ(m_events.back(), comm_events::kDeviceLost);
}

// As on a local port, emptying the input discards what has arrived, not only what was read.
TEST_F(Rfc2217NotificationsTest, EmptyingTheInputDiscardsWhatHadArrived) {
    m_port.put_InputMode(1);
    m_server.send("stale");
    ASSERT_TRUE(waitFor([&] { return m_server.delivered(); }));
    m_port.put_InBufferCount(0);
    m_server.send("fresh");
    std::string received;
    pumpUntil([&] {
        received += bytesOf(m_port.get_Input());
        return received.size() >= 5;
    });
    EXPECT_EQ(received, "fresh");
    EXPECT_TRUE(m_server.receivedCommand(12, "\x01"));
}

// A change of settings that waits behind output the server has not read yet is taken as made;
// the server's late confirmation is its answer.
TEST_F(Rfc2217NotificationsTest, SettingsQueuedBehindOutputTakeEffect) {
    const std::string sent = dataOf(100 * 1024);
    m_server.readAtMost(0);
    m_port.put_Output(platform::Variant::fromBytes(platform::ByteArray(sent.begin(), sent.end())));
    platform::Error error(0, u"");
    try {
        m_port.put_Settings(u"19200,n,8,1");
    } catch (const platform::Error& thrown) {
        error = thrown;
    }
    m_server.readAtMost(SIZE_MAX);
    EXPECT_EQ(error.number(), 0);
    EXPECT_EQ(m_port.get_Settings(), u"19200,n,8,1");
    EXPECT_TRUE(pumpUntil(
        [&] {
            return m_server.data().size() == sent.size() &&
                   m_server.receivedCommand(1, rfc::baudRateValue(19200));
        },
        10s));
    EXPECT_TRUE(m_server.data() == sent);
    // The late confirmation answers the first change, not the next one.
    m_port.put_Settings(u"9600,n,8,1");
    EXPECT_EQ(m_port.get_Settings(), u"9600,n,8,1");
    EXPECT_EQ(m_port.get_PortOpen(), kTrue);
    EXPECT_EQ(m_events, std::vector<int16_t>{});
}

// A server that asks and asks but never reads the answers cannot grow the client's memory:
// past a bound the port ends as a lost device.
TEST_F(Rfc2217NotificationsTest, ServerThatNeverReadsIsALostDevice) {
    m_server.readAtMost(0);
    m_server.flood("\xff\xfb\x99", 16 * 1024 * 1024);
    EXPECT_TRUE(pumpUntil([&] { return m_port.get_PortOpen() == kFalse; }, 10s));
    EXPECT_EQ(m_events, std::vector<int16_t>{comm_events::kDeviceLost});
}

}  // namespace
}  // namespace port_control
