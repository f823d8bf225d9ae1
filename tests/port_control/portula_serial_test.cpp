// The control in serial mode over a pseudo-terminal standing in for the device.
#include <gtest/gtest.h>

#include "design_surface.h"
#include "platform/message_loop.h"
#include "support/fake_components.h"
#include "support/pty_pair.h"

namespace port_control::testing {
namespace {

using platform::kTrue;
using platform::Variant;
using namespace std::chrono_literals;

class PortulaSerialTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_device.mapToPort(5);
        control.put_CommPort(5);
        control.put_Settings(u"38400,n,8,1");
        control.put_RThreshold(1);
        control.put_PortOpen(kTrue);
        ASSERT_EQ(control.get_PortOpen(), kTrue);
    }

    bool pumpUntil(const std::function<bool()>& done) {
        return platform::MessageLoop::current().runUntil(done, 5s);
    }
    // Sends from the device's side and waits for the receive event.
    void arrive(std::string_view bytes) {
        const int before = site.onCommCount;
        ASSERT_TRUE(m_device.sendFromPeer(bytes));
        ASSERT_TRUE(pumpUntil([&] { return site.onCommCount > before; }));
    }

    TemporaryPlatformHome m_home;
    PtyPair m_device;
    RecordingSite site;
    Portula control{loadDesignSurface(), site};
};

TEST_F(PortulaSerialTest, OutputReachesTheDeviceAsTextOrBytes) {
    control.put_Output(Variant::fromString(u"AT\r"));
    EXPECT_EQ(m_device.receiveAtPeer(3), "AT\r");
    control.put_Output(Variant::fromBytes({0x00, 0x11, 0x13, 0xFF, 0x0D, 0x0A}));
    EXPECT_EQ(m_device.receiveAtPeer(6), std::string("\x00\x11\x13\xFF\r\n", 6));
    control.put_Output(
        Variant::fromString(u"\x01\x02\x1F"
                            u"1\x03\x04\uF8F3"));
    EXPECT_EQ(m_device.receiveAtPeer(7),
              "\x01\x02\x1F"
              "1\x03\x04\xFF");
}

TEST_F(PortulaSerialTest, InputArrivesAsTextOrBytesInInputLenPieces) {
    arrive("OK\r\n");
    EXPECT_EQ(control.get_CommEvent(), 2);
    EXPECT_EQ(control.get_Input2(), Variant::fromString(u"OK\r\n"));

    control.put_InputMode(1);
    control.put_InputLen(2);
    arrive(std::string("\x00\xFF\x82", 3));
    EXPECT_EQ(control.get_Input2(), Variant::fromBytes({0x00, 0xFF}));
    EXPECT_EQ(control.get_Input2(), Variant::fromBytes({0x82}));
}

TEST_F(PortulaSerialTest, NullDiscardAndEofEnableAreTheSerialComponents) {
    control.put_NullDiscard(kTrue);
    control.put_EOFEnable(kTrue);
    int eofEvents = 0;
    site.onComm = [&] { eofEvents += control.get_CommEvent() == 7; };
    ASSERT_TRUE(m_device.sendFromPeer(std::string("a\0b\x1A", 4)));
    ASSERT_TRUE(pumpUntil([&] { return eofEvents == 1; }));
    EXPECT_EQ(control.get_Input2(), Variant::fromString(u"ab\x1A"));
}

TEST_F(PortulaSerialTest, AHandlerMayReadAndReplyFromInsideOnComm) {
    site.onComm = [&] {
        if (control.get_CommEvent() != 2)
            return;
        control.put_Output(Variant::fromString(u"echo:" + control.get_Input2().stringValue()));
    };
    ASSERT_TRUE(m_device.sendFromPeer("hi"));
    EXPECT_EQ(m_device.receiveAtPeer(7), "echo:hi");
}

TEST_F(PortulaSerialTest, InUdpModeTheSerialPortStaysOpenAndKeepsRaisingEvents) {
    control.put_UDPUse(kTrue);
    EXPECT_EQ(control.get_PortOpen(), platform::kFalse);  // the UDP receiver's state now
    arrive("late");
    EXPECT_EQ(control.get_CommEvent(), 0);  // the control's own code in UDP mode
    control.put_UDPUse(platform::kFalse);
    EXPECT_EQ(control.get_Input2(), Variant::fromString(u"late"));
}

TEST_F(PortulaSerialTest, OpeningTwiceAndClosingTwiceThroughTheControlIsQuiet) {
    control.put_PortOpen(kTrue);
    control.put_PortOpen(platform::kFalse);
    control.put_PortOpen(platform::kFalse);
    EXPECT_EQ(control.get_PortOpen(), platform::kFalse);
    control.put_PortOpen(kTrue);
    EXPECT_EQ(control.get_PortOpen(), kTrue);
}

}  // namespace
}  // namespace port_control::testing
