// Output, Input2, CommEvent, the buffer counters and OnComm, over fake components.
#include <functional>
#include <string>

#include "components/serial_errors.h"
#include "receive_buffer.h"
#include "support/portula_fixture.h"

namespace port_control::testing {
namespace {

using platform::kTrue;
using platform::Variant;

class DataPathTest : public PortulaFixture {};

TEST_F(DataPathTest, ReceivedDatagramsAreConcatenatedAndDrainedWhole) {
    useUdp();
    control->put_PortOpen(kTrue);
    receiver->deliver(u"AB");
    receiver->deliver(u"CD");
    // Closing the receiver and switching modes keep what was received.
    control->put_PortOpen(platform::kFalse);
    control->put_UDPUse(platform::kFalse);
    control->put_UDPUse(kTrue);
    EXPECT_EQ(control->get_Input2().stringValue(), u"ABCD");
    EXPECT_EQ(control->get_Input2().stringValue(), u"");
}

TEST_F(DataPathTest, InputLenSplitsTheBuffer) {
    useUdp();
    serial->inputLen = 3;
    serial->inputMode = 1;  // binary: the UDP path gives text whatever the serial mode
    receiver->deliver(u"ABCDE");
    EXPECT_EQ(control->get_Input2(), Variant::fromString(u"ABC"));
    EXPECT_EQ(control->get_Input2().stringValue(), u"DE");
    EXPECT_EQ(control->get_Input2().stringValue(), u"");
    serial->inputLen = 32767;
    receiver->deliver(u"XY");
    EXPECT_EQ(control->get_Input2().stringValue(), u"XY");
}

TEST_F(DataPathTest, ANegativeInputLenIsRefusedAndTheBufferKept) {
    useUdp();
    receiver->deliver(u"AB");
    serial->inputLen = -1;
    EXPECT_THROW(control->get_Input2(), platform::Error);
    serial->inputLen = 0;
    EXPECT_EQ(control->get_Input2().stringValue(), u"AB");
}

TEST_F(DataPathTest, ReceiveEventsFollowRThreshold) {
    useUdp();
    receiver->deliver(u"A");
    EXPECT_EQ(site.onCommCount, 0);
    EXPECT_EQ(control->get_CommEvent(), 0);
    serial->rThreshold = 5;
    receiver->deliver(u"B");
    EXPECT_EQ(site.onCommCount, 1);
    EXPECT_EQ(control->get_CommEvent(), 2);
    EXPECT_EQ(control->get_Input2().stringValue(), u"AB");
}

TEST_F(DataPathTest, SendEventFollowsSThresholdBeforeOutputReturnsAndBeforeItsNotification) {
    useUdp();
    control->put_Output(Variant::fromString(u"x"));
    EXPECT_EQ(site.onCommCount, 0);
    EXPECT_EQ(control->get_CommEvent(), 0);

    serial->sThreshold = 7;  // any non-zero threshold: one event per send
    std::vector<std::u16string> notificationsAtEvent;
    site.onComm = [&] { notificationsAtEvent = site.notifications; };
    site.notifications.clear();
    control->put_Output(Variant::fromString(u"y"));
    EXPECT_EQ(site.onCommCount, 1);
    EXPECT_TRUE(notificationsAtEvent.empty());
    EXPECT_EQ(site.notifications, Names{u"Output"});
    EXPECT_EQ(control->get_CommEvent(), 1);
    ASSERT_EQ(sender->sent.size(), 2u);
    EXPECT_EQ(sender->sent[1], Variant::fromString(u"y"));

    // The code stays 1 until a receive event sets 2.
    EXPECT_EQ(control->get_CommEvent(), 1);
    serial->rThreshold = 1;
    receiver->deliver(u"z");
    EXPECT_EQ(control->get_CommEvent(), 2);
}

TEST_F(DataPathTest, OutputHandsTheValueUnchangedToTheCurrentTransport) {
    const Variant bytes = Variant::fromBytes({0, 1, 255});
    control->put_Output(bytes);
    ASSERT_EQ(serial->outputs.size(), 1u);
    EXPECT_EQ(serial->outputs[0], bytes);
    EXPECT_TRUE(sender->sent.empty());
    control->put_UDPUse(kTrue);
    control->put_Output(bytes);
    ASSERT_EQ(sender->sent.size(), 1u);
    EXPECT_EQ(sender->sent[0].type(), platform::VarType::ByteArray);
}

TEST_F(DataPathTest, AFailedSendRaisesNoEventAndNoNotification) {
    useUdp();
    serial->sThreshold = 1;
    log.failOn("Winsock1 SendData", 10051);
    EXPECT_THROW(control->put_Output(Variant::fromString(u"x")), platform::Error);
    EXPECT_EQ(site.onCommCount, 0);
    EXPECT_TRUE(site.notifications.empty());
}

TEST_F(DataPathTest, SerialModeReadsTheComponentsInputAndEvent) {
    serial->inputs.push_back(Variant::fromBytes({65, 66}));
    serial->commEvent = 7;
    EXPECT_EQ(control->get_Input2(), Variant::fromBytes({65, 66}));
    EXPECT_EQ(control->get_CommEvent(), 7);
}

TEST_F(DataPathTest, ADatagramArrivingInSerialModeIsBufferedAndRaisesOnComm) {
    serial->rThreshold = 1;
    serial->commEvent = 3;
    receiver->deliver(u"late");
    EXPECT_EQ(site.onCommCount, 1);
    EXPECT_EQ(control->get_CommEvent(), 3);  // the serial component's code in serial mode
    control->put_UDPUse(kTrue);
    EXPECT_EQ(control->get_CommEvent(), 2);
    EXPECT_EQ(control->get_Input2().stringValue(), u"late");
}

TEST_F(DataPathTest, SerialOnCommIsForwardedInEitherMode) {
    serial->onComm();
    control->put_UDPUse(kTrue);
    serial->onComm();
    EXPECT_EQ(site.onCommCount, 2);
}

TEST_F(DataPathTest, FailedArrivalStepsKeepWhatWasDone) {
    useUdp();
    serial->rThreshold = 1;
    log.failOn("get RThreshold");
    EXPECT_THROW(receiver->deliver(u"kept"), platform::Error);
    EXPECT_EQ(site.onCommCount, 0);
    log.failures.clear();
    EXPECT_EQ(control->get_Input2().stringValue(), u"kept");

    log.failOn("Winsock2 GetData");
    EXPECT_THROW(receiver->deliver(u"lost"), platform::Error);
    log.failures.clear();
    EXPECT_EQ(control->get_Input2().stringValue(), u"");
}

TEST_F(DataPathTest, InBufferCountZeroEmptiesTheReceiveBufferOnceAccepted) {
    useUdp();
    receiver->deliver(u"data");
    serial->inBufferCount = 9;
    EXPECT_EQ(control->get_InBufferCount(), 9);  // never the receive buffer's length
    control->put_InBufferCount(5);
    EXPECT_EQ(serial->inBufferCount, 5);
    log.failOn("put InBufferCount");
    EXPECT_THROW(control->put_InBufferCount(0), platform::Error);
    EXPECT_EQ(site.notifications, Names{u"InBufferCount"});
    log.failures.clear();
    serial->inputLen = 1;
    EXPECT_EQ(control->get_Input2().stringValue(), u"d") << "a refused write keeps the buffer";
    control->put_InBufferCount(0);
    EXPECT_EQ(control->get_Input2().stringValue(), u"");
    EXPECT_EQ(site.notifications, (Names{u"InBufferCount", u"InBufferCount"}));
}

// A host that does not read cannot make the receive buffer grow past its cap: datagrams
// that do not fit are dropped whole, with one event 1008 per overflow whatever RThreshold,
// and reading Input2 or clearing the buffer starts a new overflow.
TEST_F(DataPathTest, DatagramsPastTheReceiveCapAreDroppedWholeWithOneOverflowEvent) {
    constexpr size_t kLargest = 65507;  // the largest datagram
    constexpr size_t kFit = ReceiveBuffer::kMaxCharacters / kLargest;
    auto datagram = [](size_t i) {
        return std::u16string(kLargest, static_cast<char16_t>(u'A' + i % 26));
    };
    auto deliverLargest = [&](size_t count) {
        for (size_t i = 0; i < count; ++i)
            receiver->deliver(datagram(i));
    };
    useUdp();
    const struct {
        const char* what;
        int16_t rThreshold;
        std::function<void()> read;  // what ends the overflow
    } rows[] = {
        {"unannounced, read by Input2", 0, [&] { control->get_Input2(); }},
        {"announced, cleared by InBufferCount 0", 1, [&] { control->put_InBufferCount(0); }},
    };
    for (const auto& row : rows) {
        serial->rThreshold = row.rThreshold;
        site.onCommCount = 0;
        const int receiveEvents = row.rThreshold != 0 ? static_cast<int>(kFit) : 0;
        deliverLargest(kFit + 3);
        EXPECT_EQ(site.onCommCount, receiveEvents + 1) << row.what;
        EXPECT_EQ(control->get_CommEvent(), comm_events::kReceiveOverflow) << row.what;

        row.read();
        deliverLargest(kFit + 1);
        EXPECT_EQ(site.onCommCount, 2 * (receiveEvents + 1)) << row.what << ": a new overflow";
        const std::u16string kept = control->get_Input2().stringValue();
        ASSERT_EQ(kept.size(), kFit * kLargest) << row.what;
        for (size_t i = 0; i < kFit; ++i) {
            ASSERT_EQ(kept[i * kLargest], datagram(i)[0]) << row.what << " " << i;
            ASSERT_EQ(kept[(i + 1) * kLargest - 1], datagram(i)[0]) << row.what << " " << i;
        }
    }
}

TEST_F(DataPathTest, OutBufferCountPassesThroughInEitherMode) {
    useUdp();
    serial->outBufferCount = 4;
    EXPECT_EQ(control->get_OutBufferCount(), 4);
    control->put_OutBufferCount(0);
    EXPECT_EQ(serial->outBufferCount, 0);
    EXPECT_EQ(site.notifications, Names{u"OutBufferCount"});
}

TEST_F(DataPathTest, HostHandlerMayReadAndSendFromInsideOnComm) {
    useUdp();
    serial->rThreshold = 1;
    serial->sThreshold = 1;
    std::vector<std::u16string> received;
    int nested = 0;
    site.onComm = [&] {
        if (control->get_CommEvent() == 2) {
            received.push_back(control->get_Input2().stringValue());
            control->put_Output(Variant::fromString(u"echo:" + received.back()));
        } else {
            ++nested;
        }
    };
    receiver->deliver(u"ping");
    EXPECT_EQ(received, (Names{u"ping"}));
    EXPECT_EQ(nested, 1);  // the send event of the echo, nested inside the receive event
    ASSERT_EQ(sender->sent.size(), 1u);
    EXPECT_EQ(sender->sent[0].stringValue(), u"echo:ping");
}

}  // namespace
}  // namespace port_control::testing
