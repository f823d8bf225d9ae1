// The serial members that pass straight through to the serial component.
#include <functional>

#include "support/portula_fixture.h"

namespace port_control::testing {
namespace {

using platform::kTrue;

struct Member {
    std::string name;
    std::function<void(Portula&)> put;                 // writes a distinctive value
    std::function<bool(Portula&, FakeSerial&)> check;  // the value arrived and reads back
};

std::vector<Member> settableMembers() {
    return {
        {"Settings", [](Portula& c) { c.put_Settings(u"38400,e,7,2"); },
         [](Portula& c, FakeSerial& s) {
             return s.settings == u"38400,e,7,2" && c.get_Settings() == u"38400,e,7,2";
         }},
        {"Break", [](Portula& c) { c.put_Break(kTrue); },
         [](Portula& c, FakeSerial& s) { return s.breakOn == kTrue && c.get_Break() == kTrue; }},
        {"CommPort", [](Portula& c) { c.put_CommPort(3); },
         [](Portula& c, FakeSerial& s) { return s.commPort == 3 && c.get_CommPort() == 3; }},
        {"DTREnable", [](Portula& c) { c.put_DTREnable(kTrue); },
         [](Portula& c, FakeSerial& s) {
             return s.dtrEnable == kTrue && c.get_DTREnable() == kTrue;
         }},
        {"EOFEnable", [](Portula& c) { c.put_EOFEnable(kTrue); },
         [](Portula& c, FakeSerial& s) {
             return s.eofEnable == kTrue && c.get_EOFEnable() == kTrue;
         }},
        {"Handshaking", [](Portula& c) { c.put_Handshaking(3); },
         [](Portula& c, FakeSerial& s) { return s.handshaking == 3 && c.get_Handshaking() == 3; }},
        {"InBufferSize", [](Portula& c) { c.put_InBufferSize(4096); },
         [](Portula& c, FakeSerial& s) {
             return s.inBufferSize == 4096 && c.get_InBufferSize() == 4096;
         }},
        {"InputLen", [](Portula& c) { c.put_InputLen(5); },
         [](Portula& c, FakeSerial& s) { return s.inputLen == 5 && c.get_InputLen() == 5; }},
        {"InputMode", [](Portula& c) { c.put_InputMode(1); },
         [](Portula& c, FakeSerial& s) { return s.inputMode == 1 && c.get_InputMode() == 1; }},
        {"NullDiscard", [](Portula& c) { c.put_NullDiscard(kTrue); },
         [](Portula& c, FakeSerial& s) {
             return s.nullDiscard == kTrue && c.get_NullDiscard() == kTrue;
         }},
        {"OutBufferSize", [](Portula& c) { c.put_OutBufferSize(2048); },
         [](Portula& c, FakeSerial& s) {
             return s.outBufferSize == 2048 && c.get_OutBufferSize() == 2048;
         }},
        {"ParityReplace", [](Portula& c) { c.put_ParityReplace(u"#"); },
         [](Portula& c, FakeSerial& s) {
             return s.parityReplace == u"#" && c.get_ParityReplace() == u"#";
         }},
        {"RThreshold", [](Portula& c) { c.put_RThreshold(-4); },
         [](Portula& c, FakeSerial& s) { return s.rThreshold == -4 && c.get_RThreshold() == -4; }},
        {"RTSEnable", [](Portula& c) { c.put_RTSEnable(kTrue); },
         [](Portula& c, FakeSerial& s) {
             return s.rtsEnable == kTrue && c.get_RTSEnable() == kTrue;
         }},
        {"SThreshold", [](Portula& c) { c.put_SThreshold(2); },
         [](Portula& c, FakeSerial& s) { return s.sThreshold == 2 && c.get_SThreshold() == 2; }},
    };
}

class PassThroughTest : public PortulaFixture, public ::testing::WithParamInterface<bool> {};

TEST_P(PassThroughTest, EverySetReachesTheSerialComponentAndNotifiesItsOwnName) {
    if (GetParam())
        useUdp();
    for (const Member& member : settableMembers()) {
        SCOPED_TRACE(member.name);
        site.notifications.clear();
        log.calls.clear();
        member.put(*control);
        EXPECT_EQ(site.notifications, Names{platform::fromUtf8(member.name)});
        EXPECT_TRUE(member.check(*control, *serial));
        // No member looks at the UDP side.
        for (const std::string& call : log.calls)
            EXPECT_EQ(call.find("Winsock"), std::string::npos);
    }
}

TEST_P(PassThroughTest, ARefusedValueRaisesNoNotificationAndChangesNothing) {
    if (GetParam())
        useUdp();
    for (const Member& member : settableMembers()) {
        SCOPED_TRACE(member.name);
        site.notifications.clear();
        log.failOn("put " + member.name, 380);
        try {
            member.put(*control);
            ADD_FAILURE() << "no error";
        } catch (const platform::Error& e) {
            EXPECT_EQ(e.number(), 380);
        }
        EXPECT_TRUE(site.notifications.empty());
        EXPECT_FALSE(member.check(*control, *serial));
    }
}

INSTANTIATE_TEST_SUITE_P(SerialAndUdpMode, PassThroughTest, ::testing::Bool());

TEST_F(PortulaFixture, ReadOnlyMembersReadTheLines) {
    serial->cdHolding = kTrue;
    serial->ctsHolding = kTrue;
    serial->dsrHolding = 0;
    serial->commId = 17;
    EXPECT_EQ(control->get_CDHolding(), kTrue);
    EXPECT_EQ(control->get_CTSHolding(), kTrue);
    EXPECT_EQ(control->get_DSRHolding(), 0);
    EXPECT_EQ(control->get_CommID(), 17);
    EXPECT_TRUE(site.notifications.empty());
}

TEST_F(PortulaFixture, AFailingNotificationComesAfterTheComponentHoldsTheValue) {
    site.failNotification = [](std::u16string_view) { throw platform::Error(440); };
    EXPECT_THROW(control->put_CommPort(9), platform::Error);
    EXPECT_EQ(serial->commPort, 9);
}

TEST_F(PortulaFixture, ThresholdsSetInUdpModeGovernTheUdpPath) {
    useUdp();
    serial->rThreshold = 1;
    control->put_RThreshold(0);
    receiver->deliver(u"quiet");
    EXPECT_EQ(site.onCommCount, 0);
    control->put_InputLen(2);
    EXPECT_EQ(control->get_Input2().stringValue(), u"qu");
}

}  // namespace
}  // namespace port_control::testing
