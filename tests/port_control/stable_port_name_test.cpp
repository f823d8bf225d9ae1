// A port number mapped to an adapter's stable name follows the adapter to whatever node it
// gets, on the made-up machine of platform/fixtures/serial_ports.umockdev (run under
// umockdev-wrapper).
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "components/serial_errors.h"
#include "components/serial_port.h"
#include "platform/message_loop.h"
#include "platform/port_map.h"
#include "platform/support/mock_serial_ports.h"
#include "platform/utf8.h"
#include "port_control/support/pty_pair.h"

namespace port_control {
namespace {

using namespace std::chrono_literals;
using platform::kTrue;
using platform::MessageLoop;
using platform::testing::byIdName;
using platform::testing::kFirstAdapter;
using platform::testing::kSecondAdapter;
using platform::testing::MockSerialPorts;

class StablePortNameTest : public ::testing::Test {
  protected:
    // Reads at the device's side of `node` until `count` bytes came, running the loop.
    std::string receiveAtDevice(const std::string& node, size_t count) {
        const int device = m_machine.masterFd(node);
        ::fcntl(device, F_SETFL, ::fcntl(device, F_GETFL) | O_NONBLOCK);
        std::string received;
        MessageLoop::current().runUntil(
            [&] {
                char buffer[64];
                const ssize_t n = ::read(device, buffer, sizeof buffer);
                if (n > 0)
                    received.append(buffer, static_cast<size_t>(n));
                return received.size() >= count;
            },
            5s);
        return received;
    }

    testing::TemporaryPlatformHome m_home;
    MockSerialPorts m_machine;
    SerialPort m_port;
};

TEST_F(StablePortNameTest, TheNumberOfAByIdNameOpensTheAdapterOnItsNewNode) {
    platform::setPortDevice(3, byIdName(kSecondAdapter));
    m_machine.unplug(kSecondAdapter, "ttyUSB1");
    m_machine.plug(kSecondAdapter, "ttyUSB2", 2);

    m_port.put_CommPort(3);
    m_port.put_InputMode(1);
    m_port.put_PortOpen(kTrue);
    m_port.put_Output(platform::Variant::fromBytes({'A', 'T', 0x00, 0xFF, '\r'}));
    EXPECT_EQ(receiveAtDevice("/dev/ttyUSB2", 5), std::string("AT\0\xFF\r", 5));

    const int device = m_machine.masterFd("/dev/ttyUSB2");
    ASSERT_EQ(::write(device, "OK\r\n", 4), 4);
    ASSERT_TRUE(
        MessageLoop::current().runUntil([&] { return m_port.get_InBufferCount() >= 4; }, 5s));
    const platform::ByteArray input = m_port.get_Input().bytesValue();
    EXPECT_EQ(std::string(input.begin(), input.end()), "OK\r\n");
}

TEST_F(StablePortNameTest, AnAbsentDeviceFailsNamingIt) {
    m_machine.unplug(kFirstAdapter, "ttyUSB0");
    const std::string rows[] = {byIdName(kFirstAdapter), "/dev/ttyUSB0"};
    for (const std::string& device : rows) {
        platform::setPortDevice(4, device);
        m_port.put_CommPort(4);
        try {
            m_port.put_PortOpen(kTrue);
            ADD_FAILURE() << device << " opened";
        } catch (const platform::Error& error) {
            EXPECT_EQ(error.number(), serial_errors::kDeviceUnavailable);
            EXPECT_NE(platform::toUtf8(error.description()).find(device), std::string::npos)
                << platform::toUtf8(error.description());
        }
    }
}

}  // namespace
}  // namespace port_control
