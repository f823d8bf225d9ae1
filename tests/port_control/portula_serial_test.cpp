// The control in serial mode over a pseudo-terminal standing in for the device.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <functional>

#include "design_surface.h"
#include "platform/message_loop.h"
#include "support/fake_components.h"
#include "support/memory_property_bag.h"
#include "support/pty_pair.h"

namespace port_control::testing {
namespace {

using platform::kFalse;
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

// A control nobody configured holds the saved defaults: saving it stores nothing, a control
// loaded from that is the same, and opening its port raises DTR as serial programs do.
TEST(NewPortula, EqualsTheSavedDefaultsAndOpensItsPortWithDtrRaised) {
    auto text = [](auto get) {
        return [get](Portula& c) { return Variant::fromString((c.*get)()); };
    };
    auto integer = [](auto get) {
        return [get](Portula& c) { return Variant::fromInteger((c.*get)()); };
    };
    auto longValue = [](auto get) {
        return [get](Portula& c) { return Variant::fromLong((c.*get)()); };
    };
    auto boolean = [](auto get) {
        return [get](Portula& c) { return Variant::fromBoolean((c.*get)()); };
    };
    const struct {
        const char* key;
        Variant expected;
        std::function<Variant(Portula&)> read;
    } rows[] = {
        {"Settings", Variant::fromString(u"9600,n,8,1"), text(&Portula::get_Settings)},
        {"CommPort", Variant::fromInteger(1), integer(&Portula::get_CommPort)},
        {"DTREnable", Variant::fromBoolean(kTrue), boolean(&Portula::get_DTREnable)},
        {"Handshaking", Variant::fromLong(0), longValue(&Portula::get_Handshaking)},
        {"InBufferSize", Variant::fromInteger(1024), integer(&Portula::get_InBufferSize)},
        {"InputLen", Variant::fromInteger(0), integer(&Portula::get_InputLen)},
        {"NullDiscard", Variant::fromBoolean(kFalse), boolean(&Portula::get_NullDiscard)},
        {"OutBufferSize", Variant::fromInteger(512), integer(&Portula::get_OutBufferSize)},
        {"ParityReplace", Variant::fromString(u"?"), text(&Portula::get_ParityReplace)},
        {"RThreshold", Variant::fromInteger(0), integer(&Portula::get_RThreshold)},
        {"RTSEnable", Variant::fromBoolean(kFalse), boolean(&Portula::get_RTSEnable)},
        {"SThreshold", Variant::fromInteger(0), integer(&Portula::get_SThreshold)},
        {"EOFEnable", Variant::fromBoolean(kFalse), boolean(&Portula::get_EOFEnable)},
        {"InputMode", Variant::fromLong(0), longValue(&Portula::get_InputMode)},
        {"RemoteHost", Variant::fromString(u""), text(&Portula::get_RemoteHost)},
        {"RemotePort", Variant::fromLong(0), longValue(&Portula::get_RemotePort)},
        {"LocalPort", Variant::fromLong(0), longValue(&Portula::get_LocalPort)},
        {"UDPUse", Variant::fromBoolean(kFalse),
         [](Portula& c) { return Variant::fromBoolean(c.get_UDPUse()); }},
        {"LogFile", Variant::fromString(u""),
         [](Portula& c) { return Variant::fromString(c.get_LogFile()); }},
    };
    TemporaryPlatformHome home;
    PtyPair device;
    RecordingSite site;
    Portula created{loadDesignSurface(), site};
    MemoryPropertyBag saved(/*omitDefaults=*/true);
    created.Save(saved);
    EXPECT_EQ(saved.writes.size(), 19u);
    for (const auto& [key, value] : saved.values)
        ADD_FAILURE() << platform::toUtf8(key) << " differs from its saved default";

    Portula loaded{loadDesignSurface(), site};
    loaded.Load(saved);
    for (const auto& row : rows) {
        EXPECT_EQ(row.read(created), row.expected) << row.key << " of a new control";
        EXPECT_EQ(row.read(loaded), row.expected) << row.key << " loaded from nothing";
    }

    device.mapToPort(1);  // the new control's port is a pseudo-terminal here
    created.put_PortOpen(kTrue);
    ASSERT_EQ(created.get_PortOpen(), kTrue);
    int lines = 0;
    if (::ioctl(device.slave(), TIOCMGET, &lines) == 0)
        EXPECT_NE(lines & TIOCM_DTR, 0) << "DTR low on the line";
    else  // a pseudo-terminal without modem lines: what the port applied when it opened
        EXPECT_EQ(created.get_DTREnable(), kTrue);
}

}  // namespace
}  // namespace port_control::testing
