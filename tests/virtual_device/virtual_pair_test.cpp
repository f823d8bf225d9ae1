// Two serial ports of the control joined by a virtual null-modem pair, each reaching its end
// through the port map as a network serial port: data, modem lines, BREAK, settings that
// differ between the ends, and a device that is unplugged and comes back.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "components/serial_errors.h"
#include "components/serial_port.h"
#include "platform/error.h"
#include "platform/file_descriptor.h"
#include "platform/message_loop.h"
#include "platform/port_map.h"
#include "port_control/support/pty_pair.h"
#include "virtual_device/device_server.h"

namespace port_control::virtual_device {
namespace {

using namespace std::chrono_literals;
using platform::kFalse;
using platform::kTrue;

constexpr int16_t kFirst = 5;
constexpr int16_t kSecond = 6;

bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5s) {
    return platform::MessageLoop::current().runUntil(done, timeout);
}

std::string bytesOf(const platform::Variant& value) {
    const platform::ByteArray& bytes = value.bytesValue();
    return std::string(bytes.begin(), bytes.end());
}

// A port of the control on one end, with the events it raised and how many bytes had
// arrived (read or still held) when each was raised.
struct Port {
    SerialPort port;
    std::vector<int16_t> events;
    std::vector<size_t> heldAtEvent;
    size_t taken = 0;  // bytes read so far

    void open(int16_t number, const char16_t* settings) {
        port.put_CommPort(number);
        port.put_Settings(settings);
        port.put_InputMode(1);
        port.put_RThreshold(0);
        port.setOnComm([this] {
            events.push_back(port.get_CommEvent());
            heldAtEvent.push_back(taken + static_cast<size_t>(port.get_InBufferCount()));
        });
        port.put_PortOpen(kTrue);
    }
    bool saw(int16_t code) const {
        return std::find(events.begin(), events.end(), code) != events.end();
    }
    std::string receive(size_t count) {
        std::string received;
        pumpUntil([&] {
            const std::string more = bytesOf(port.get_Input());
            received += more;
            taken += more.size();
            return received.size() >= count;
        });
        return received;
    }
};

class VirtualPairTest : public ::testing::Test {
  protected:
    void start(DeviceKind kind = DeviceKind::Pair) {
        DeviceOptions options;
        options.kind = kind;
        options.pace = false;
        m_device = std::make_unique<BackgroundDevice>(options);
        const std::vector<std::string> addresses = m_device->addresses();
        platform::setPortDevice(kFirst, addresses.at(0));
        if (addresses.size() > 1)
            platform::setPortDevice(kSecond, addresses.at(1));
    }

    testing::TemporaryPlatformHome m_home;
    std::unique_ptr<BackgroundDevice> m_device;
};

TEST_F(VirtualPairTest, EveryByteValueAndEveryLineCrossTheCableBothWays) {
    start();
    Port ends[2];
    ends[0].open(kFirst, u"115200,n,8,1");
    ends[1].open(kSecond, u"115200,n,8,1");
    std::string everyByte;
    for (int i = 0; i < 4 * 256; ++i)
        everyByte.push_back(static_cast<char>(i % 256));

    for (int from = 0; from < 2; ++from) {
        SCOPED_TRACE(from);
        Port& sender = ends[from];
        Port& receiver = ends[1 - from];
        sender.port.put_Output(
            platform::Variant::fromBytes(platform::ByteArray(everyByte.begin(), everyByte.end())));
        EXPECT_EQ(receiver.receive(everyByte.size()), everyByte);

        // DTR is the other end's DSR and DCD, RTS its CTS.
        sender.port.put_DTREnable(kTrue);
        EXPECT_TRUE(pumpUntil([&] {
            return receiver.port.get_DSRHolding() == kTrue &&
                   receiver.port.get_CDHolding() == kTrue;
        }));
        EXPECT_EQ(receiver.port.get_CTSHolding(), kFalse);
        sender.port.put_RTSEnable(kTrue);
        EXPECT_TRUE(pumpUntil([&] { return receiver.port.get_CTSHolding() == kTrue; }));
        sender.port.put_DTREnable(kFalse);
        EXPECT_TRUE(pumpUntil([&] { return receiver.port.get_DSRHolding() == kFalse; }));
        EXPECT_TRUE(receiver.saw(comm_events::kDsrFell));

        sender.port.put_Break(kTrue);
        EXPECT_TRUE(pumpUntil([&] { return receiver.saw(comm_events::kBreak); }));
        sender.port.put_Break(kFalse);
    }
}

TEST_F(VirtualPairTest, SettingsThatDifferRaiseTheLineErrorAtItsByte) {
    // With 7 data bits the receiver takes the eighth data bit as its stop bit (a framing
    // error where it is 0), and with 7 data bits and even parity as its parity bit.
    const struct {
        const char16_t* receiverSettings;
        std::string sent;
        std::string received;
        int16_t event;
    } rows[] = {
        {u"9600,n,7,1", "\xC1\xC2\x43\xC4", "ABCD", comm_events::kFraming},
        {u"9600,e,7,1", "ABCD", "ABCD", comm_events::kParity},
    };
    start();
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.sent));
        Port sender;
        Port receiver;
        sender.open(kFirst, u"9600,n,8,1");
        receiver.open(kSecond, row.receiverSettings);
        sender.port.put_Output(
            platform::Variant::fromBytes(platform::ByteArray(row.sent.begin(), row.sent.end())));
        EXPECT_EQ(receiver.receive(row.received.size()), row.received);
        // Raised once, when the two bytes before the faulty one had arrived and it had not.
        ASSERT_EQ(std::count(receiver.events.begin(), receiver.events.end(), row.event), 1);
        const size_t at = static_cast<size_t>(
            std::find(receiver.events.begin(), receiver.events.end(), row.event) -
            receiver.events.begin());
        EXPECT_EQ(receiver.heldAtEvent[at], 2u);
        sender.port.put_PortOpen(kFalse);
        receiver.port.put_PortOpen(kFalse);
    }
}

// A TCP connection to an end, on 127.0.0.1.
platform::FileDescriptor connectTo(const std::string& address) {
    const uint16_t port = static_cast<uint16_t>(std::stoi(address.substr(address.rfind(':') + 1)));
    platform::FileDescriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd.get(), reinterpret_cast<sockaddr*>(&peer), sizeof peer), 0);
    return fd;
}

TEST_F(VirtualPairTest, ClientGoneWhileItsDataIsHeldUpFreesItsEnd) {
    start();
    // The second end's client never reads; the first floods until the device holds it up,
    // then hangs up.
    platform::FileDescriptor reader = connectTo(m_device->addresses().at(1));
    {
        platform::FileDescriptor flooder = connectTo(m_device->addresses().at(0));
        ::fcntl(flooder.get(), F_SETFL, O_NONBLOCK);
        const std::string chunk(64 * 1024, 'x');
        size_t stalls = 0;
        while (stalls < 20) {
            if (::send(flooder.get(), chunk.data(), chunk.size(), MSG_NOSIGNAL) > 0) {
                stalls = 0;
                continue;
            }
            ++stalls;
            std::this_thread::sleep_for(20ms);
        }
    }
    // The first end opens for the next program, as a closed serial port does.
    Port port;
    bool opened = false;
    for (int attempt = 0; attempt < 20 && !opened; ++attempt) {
        try {
            port.open(kFirst, u"9600,n,8,1");
            opened = true;
        } catch (const platform::Error&) {
            std::this_thread::sleep_for(100ms);
        }
    }
    EXPECT_TRUE(opened);
}

TEST_F(VirtualPairTest, UnpluggedDeviceIsLostAndOpensAgainAfterTheReplug) {
    start(DeviceKind::Echo);
    Port port;
    port.open(kFirst, u"9600,n,8,1");
    Fault unplug;
    unplug.kind = Fault::Kind::Unplug;
    unplug.pause = 1500ms;
    m_device->inject(unplug);
    EXPECT_TRUE(pumpUntil([&] { return port.saw(comm_events::kDeviceLost); }));
    EXPECT_EQ(port.port.get_PortOpen(), kFalse);
    // Refused while unplugged, then open again once it is back.
    try {
        port.port.put_PortOpen(kTrue);
        ADD_FAILURE() << "opened while unplugged";
    } catch (const platform::Error& error) {
        EXPECT_EQ(error.number(), serial_errors::kDeviceUnavailable);
    }
    bool reopened = false;
    for (int attempt = 0; attempt < 100 && !reopened; ++attempt) {
        try {
            port.port.put_PortOpen(kTrue);
            reopened = true;
        } catch (const platform::Error&) {
            std::this_thread::sleep_for(100ms);
        }
    }
    EXPECT_TRUE(reopened);
    port.port.put_Output(platform::Variant::fromBytes(platform::ByteArray{'o', 'k'}));
    EXPECT_EQ(port.receive(2), "ok");
    ASSERT_FALSE(m_device->status().faults.empty());
    EXPECT_EQ(m_device->status().faults.back().fault.kind, Fault::Kind::Unplug);
}

}  // namespace
}  // namespace port_control::virtual_device
