// Transport selection, opening and closing, and the UDP endpoint properties.
#include "support/portula_fixture.h"

namespace port_control::testing {
namespace {

using platform::kFalse;
using platform::kTrue;

class TransportTest : public PortulaFixture {};

TEST_F(TransportTest, NewControlIsSerialAndOpensNothing) {
    EXPECT_EQ(control->get_UDPUse(), kFalse);
    EXPECT_TRUE(log.calls.empty());
    serial->commEvent = 1010;
    EXPECT_EQ(control->get_CommEvent(), 1010);
    control->put_UDPUse(kTrue);
    EXPECT_EQ(control->get_Input2().stringValue(), u"");
}

TEST_F(TransportTest, UdpUseStoresTheValueUnchangedAndNotifies) {
    control->put_UDPUse(1);
    EXPECT_EQ(control->get_UDPUse(), 1);
    EXPECT_EQ(site.notifications, Names{u"UDPUse"});
    // Switching the mode opens and closes nothing.
    EXPECT_TRUE(log.calls.empty());
}

TEST_F(TransportTest, SerialOpenWritesOnlyWhenTheStateDiffers) {
    control->put_PortOpen(kTrue);
    control->put_PortOpen(kTrue);
    EXPECT_EQ(log.count("put PortOpen"), 1u);
    EXPECT_EQ(control->get_PortOpen(), kTrue);
    control->put_PortOpen(kFalse);
    control->put_PortOpen(kFalse);
    EXPECT_EQ(log.count("put PortOpen"), 2u);
    EXPECT_EQ(site.notifications, (Names(4, u"PortOpen")));
}

TEST_F(TransportTest, UdpOpenBindsToTheCurrentLocalPortOnce) {
    receiver->localPort = 10001;
    useUdp();
    control->put_PortOpen(kTrue);
    EXPECT_EQ(log.calls, (Calls{"Winsock2 get State", "Winsock2 get LocalPort", "Winsock2 Bind"}));
    EXPECT_EQ(receiver->boundPort, 10001);
    log.calls.clear();
    control->put_PortOpen(kTrue);
    EXPECT_EQ(log.calls, Calls{"Winsock2 get State"});
    control->put_PortOpen(kFalse);
    EXPECT_EQ(log.count("Winsock2 Close"), 1u);
    control->put_PortOpen(kFalse);
    EXPECT_EQ(log.count("Winsock2 Close"), 1u);
    EXPECT_EQ(site.notifications, (Names(4, u"PortOpen")));
    EXPECT_EQ(serial->portOpen, kFalse);
}

TEST_F(TransportTest, UdpOpenWithANonCanonicalTrueCloses) {
    useUdp();
    control->put_PortOpen(kTrue);
    control->put_PortOpen(1);
    EXPECT_EQ(receiver->state, 0);
    EXPECT_EQ(control->get_PortOpen(), kFalse);
}

TEST_F(TransportTest, UdpOpenStateCountsEveryNonZeroState) {
    useUdp();
    for (int16_t state : {1, 2, 7, 9}) {
        receiver->state = state;
        EXPECT_EQ(control->get_PortOpen(), kTrue) << state;
    }
    receiver->state = 0;
    EXPECT_EQ(control->get_PortOpen(), kFalse);
}

TEST_F(TransportTest, SwitchingToUdpLeavesTheSerialPortOpen) {
    control->put_PortOpen(kTrue);
    control->put_UDPUse(kTrue);
    EXPECT_EQ(serial->portOpen, kTrue);
    EXPECT_EQ(control->get_PortOpen(), kFalse);  // now the receiver's state
}

TEST_F(TransportTest, EndpointWritesCloseAnInUseSocketAndSelectUdp) {
    sender->state = 1;
    sender->protocol = 0;
    control->put_RemoteHost(u"example.test");
    EXPECT_EQ(log.calls, (Calls{"Winsock1 get State", "Winsock1 Close", "Winsock1 put Protocol",
                                "Winsock1 put RemoteHost"}));
    EXPECT_EQ(sender->protocol, 1);
    EXPECT_EQ(control->get_RemoteHost(), u"example.test");

    log.calls.clear();
    control->put_RemotePort(10002);
    EXPECT_EQ(log.calls,
              (Calls{"Winsock1 get State", "Winsock1 put Protocol", "Winsock1 put RemotePort"}));
    EXPECT_EQ(control->get_RemotePort(), 10002);
    EXPECT_EQ(site.notifications, (Names{u"UDPRemoteHost", u"UDPRemotePort"}));
}

TEST_F(TransportTest, LocalPortWrittenWhileBoundLeavesTheReceiverClosed) {
    useUdp();
    control->put_PortOpen(kTrue);
    control->put_LocalPort(20000);
    EXPECT_EQ(control->get_PortOpen(), kFalse);
    EXPECT_EQ(control->get_LocalPort(), 20000);
    EXPECT_EQ(site.notifications, (Names{u"PortOpen", u"UDPLocalPort"}));
    control->put_PortOpen(kTrue);
    EXPECT_EQ(receiver->boundPort, 20000);
}

TEST_F(TransportTest, EndpointWritesActInSerialModeToo) {
    receiver->protocol = 0;
    control->put_LocalPort(5);
    EXPECT_EQ(receiver->protocol, 1);
    EXPECT_EQ(receiver->localPort, 5);
}

TEST_F(TransportTest, AFailedStepEndsTheWriteWithoutNotification) {
    receiver->state = 1;
    log.failOn("Winsock2 put LocalPort", 40020);
    try {
        control->put_LocalPort(7);
        FAIL() << "no error";
    } catch (const platform::Error& e) {
        EXPECT_EQ(e.number(), 40020);
        EXPECT_EQ(e.description(), u"fake failure");
    }
    EXPECT_EQ(receiver->state, 0);  // the close before the failing step stays done
    EXPECT_TRUE(site.notifications.empty());

    log.failOn("put PortOpen", 8002);
    EXPECT_THROW(control->put_PortOpen(kTrue), platform::Error);
    EXPECT_TRUE(site.notifications.empty());
}

TEST_F(TransportTest, AFailingNotificationReachesTheCallerAfterTheWork) {
    site.failNotification = [](std::u16string_view) { throw platform::Error(5); };
    EXPECT_THROW(control->put_RemotePort(99), platform::Error);
    EXPECT_EQ(sender->remotePort, 99);
}

TEST_F(TransportTest, ReadsNeverNotify) {
    control->get_UDPUse();
    control->get_PortOpen();
    control->get_RemoteHost();
    control->get_RemotePort();
    control->get_LocalPort();
    control->get_LogFile();
    EXPECT_TRUE(site.notifications.empty());
}

TEST_F(TransportTest, ResizeKeepsTheControlAt435Twips) {
    control->Resize();
    control->Resize();
    ASSERT_EQ(site.extents.size(), 2u);
    EXPECT_EQ(site.extents[0], (std::pair<float, float>{435.0f, 435.0f}));
    // The host's refusal goes back to the host as the resize's own error.
    site.failExtent = [] { throw platform::Error(5); };
    EXPECT_THROW(control->Resize(), platform::Error);
}

}  // namespace
}  // namespace port_control::testing
