// The serial port on a network serial server: Debian's ser2net and the RFC 2217 server of
// Python's serial library, each serving a pseudo-terminal whose other end the test plays.
#include <termios.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "components/rfc2217_serial_line.h"
#include "components/serial_errors.h"
#include "components/serial_port.h"
#include "platform/error.h"
#include "platform/message_loop.h"
#include "platform/port_map.h"
#include "port_control/support/pty_pair.h"
#include "port_control/support/rfc2217_servers.h"

namespace port_control {
namespace {

using namespace std::chrono_literals;
using platform::kFalse;
using platform::kTrue;
using platform::MessageLoop;
using testing::PtyPair;
using testing::Rfc2217Server;
using testing::TemporaryPlatformHome;

constexpr int16_t kPort = 5;

bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5s) {
    return MessageLoop::current().runUntil(done, timeout);
}

std::string everyByteValue(int times) {
    std::string bytes;
    for (int i = 0; i < times * 256; ++i)
        bytes.push_back(static_cast<char>(i % 256));
    return bytes;
}

std::string bytesOf(const platform::Variant& value) {
    const platform::ByteArray& bytes = value.bytesValue();
    return std::string(bytes.begin(), bytes.end());
}

// The error a call fails with (number 0 if it succeeds).
platform::Error errorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const platform::Error& error) {
        return error;
    }
    return platform::Error(0, u"");
}

std::string kindName(const ::testing::TestParamInfo<Rfc2217Server::Kind>& info) {
    return info.param == Rfc2217Server::Kind::Ser2net ? "Ser2net" : "Python";
}

class Rfc2217PortTest : public ::testing::TestWithParam<Rfc2217Server::Kind> {
  protected:
    void SetUp() override {
        m_server = std::make_unique<Rfc2217Server>(GetParam(), m_pty.slavePath());
        platform::setPortDevice(kPort, m_server->address());
        m_port.put_CommPort(kPort);
        m_port.setOnComm([this] { m_events.push_back(m_port.get_CommEvent()); });
    }
    bool sawEvent(int16_t code) const {
        return std::find(m_events.begin(), m_events.end(), code) != m_events.end();
    }
    // What the port receives, in binary mode, until `count` bytes have come.
    std::string receive(size_t count) {
        std::string received;
        pumpUntil([&] {
            received += bytesOf(m_port.get_Input());
            return received.size() >= count;
        });
        return received;
    }

    TemporaryPlatformHome m_home;
    PtyPair m_pty;
    std::unique_ptr<Rfc2217Server> m_server;
    SerialPort m_port;
    std::vector<int16_t> m_events;
};

TEST_P(Rfc2217PortTest, SettingsReachTheFarPseudoTerminal) {
    // A pseudo-terminal keeps speed and stop bits; Linux holds its data bits at 8 and its
    // parity off whatever is asked (the scripted server's test checks those requests).
    struct Row {
        const char16_t* settings;
        speed_t speed;
        bool twoStopBits;
    };
    const Row rows[] = {
        {u"19200,e,7,2", B19200, true},
        {u"57600,o,8,1", B57600, false},
        {u"1200,n,6,2", B1200, true},
        {u"9600,n,8,1", B9600, false},
    };
    bool first = true;
    for (const Row& row : rows) {
        SCOPED_TRACE(platform::toUtf8(row.settings));
        m_port.put_Settings(row.settings);
        if (first)
            m_port.put_PortOpen(kTrue);  // the first row at opening, the rest on the open port
        first = false;
        termios far{};
        // The server has applied the settings by the time it confirms them.
        ASSERT_EQ(::tcgetattr(m_pty.slave(), &far), 0);
        EXPECT_EQ(::cfgetospeed(&far), row.speed);
        EXPECT_EQ((far.c_cflag & CSTOPB) != 0, row.twoStopBits);
    }
    // Requests for modem lines and flow control go unanswered here: nothing fails.
    m_port.put_DTREnable(kTrue);
    m_port.put_RTSEnable(kTrue);
    m_port.put_Handshaking(2);
    EXPECT_EQ(m_port.get_DTREnable(), kTrue);
    EXPECT_EQ(m_port.get_CTSHolding(), kFalse);
}

TEST_P(Rfc2217PortTest, EveryByteValueCrossesBothWays) {
    const std::string bytes = everyByteValue(8);
    m_port.put_InputMode(1);
    m_port.put_InBufferSize(8192);
    m_port.put_RThreshold(1);
    m_port.put_PortOpen(kTrue);

    m_port.put_Output(
        platform::Variant::fromBytes(platform::ByteArray(bytes.begin(), bytes.end())));
    EXPECT_EQ(m_pty.receiveAtPeer(bytes.size()), bytes);

    ASSERT_TRUE(m_pty.sendFromPeer(bytes));
    EXPECT_EQ(receive(bytes.size()), bytes);
    EXPECT_TRUE(sawEvent(comm_events::kReceive));
}

TEST_P(Rfc2217PortTest, ServerGoingAwayIsAnUnpluggedDeviceAndReopeningWorks) {
    m_port.put_PortOpen(kTrue);
    m_server->stop();
    ASSERT_TRUE(pumpUntil([&] { return m_port.get_PortOpen() == kFalse; }));
    EXPECT_EQ(m_events, std::vector<int16_t>{comm_events::kDeviceLost});

    m_server->start();
    m_port.put_PortOpen(kTrue);
    m_port.put_Output(platform::Variant::fromString(u"again"));
    EXPECT_EQ(m_pty.receiveAtPeer(5), "again");
}

TEST_P(Rfc2217PortTest, ServerWithoutTheOptionFailsTheOpenNamingIt) {
    Rfc2217Server raw(GetParam(), m_pty.slavePath(), false);
    platform::setPortDevice(kPort, raw.address());
    const auto started = std::chrono::steady_clock::now();
    platform::Error error = errorOf([&] { m_port.put_PortOpen(kTrue); });
    EXPECT_LT(std::chrono::steady_clock::now() - started, Rfc2217SerialLine::kOpenWait + 2s);
    EXPECT_EQ(error.number(), serial_errors::kDeviceUnavailable);
    const std::string where = "127.0.0.1:" + std::to_string(raw.port());
    EXPECT_NE(error.description().find(std::u16string(where.begin(), where.end())),
              std::u16string::npos);
    EXPECT_EQ(m_port.get_PortOpen(), kFalse);
}

INSTANTIATE_TEST_SUITE_P(Servers, Rfc2217PortTest,
                         ::testing::Values(Rfc2217Server::Kind::Ser2net,
                                           Rfc2217Server::Kind::Python),
                         kindName);

// Addresses that lead nowhere fail at once with the entry or the server in the description.
TEST(Rfc2217AddressFailureTest, NamesWhatCouldNotBeOpened) {
    TemporaryPlatformHome home;
    const std::string closed = "127.0.0.1:" + std::to_string(testing::freeTcpPort());
    const std::string rows[][2] = {
        {"rfc2217://" + closed, closed},
        {"rfc2217://127.0.0.1:99999", "rfc2217://127.0.0.1:99999"},
        {"rfc2217://127.0.0.1", "rfc2217://127.0.0.1"},
        {"telnet://127.0.0.1:23", "telnet://127.0.0.1:23"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row[0]);
        platform::setPortDevice(kPort, row[0]);
        SerialPort port;
        port.put_CommPort(kPort);
        platform::Error error = errorOf([&] { port.put_PortOpen(kTrue); });
        EXPECT_EQ(error.number(), serial_errors::kDeviceUnavailable);
        EXPECT_NE(error.description().find(std::u16string(row[1].begin(), row[1].end())),
                  std::u16string::npos);
    }
}

}  // namespace
}  // namespace port_control
