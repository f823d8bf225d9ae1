// Saving and restoring the nineteen persisted properties.
#include "support/memory_property_bag.h"
#include "support/portula_fixture.h"

namespace port_control::testing {
namespace {

using platform::kFalse;
using platform::kTrue;
using platform::Variant;

const Names kKeyOrder{u"Settings",      u"CommPort",   u"DTREnable",   u"Handshaking",
                      u"InBufferSize",  u"InputLen",   u"NullDiscard", u"OutBufferSize",
                      u"ParityReplace", u"RThreshold", u"RTSEnable",   u"SThreshold",
                      u"EOFEnable",     u"InputMode",  u"RemoteHost",  u"RemotePort",
                      u"LocalPort",     u"UDPUse",     u"LogFile"};

class PersistenceTest : public PortulaFixture {
  protected:
    // Gives every persisted value something other than its default.
    void configureEverything() {
        serial->settings = u"19200,e,7,2";
        serial->commPort = 4;
        serial->dtrEnable = kFalse;
        serial->handshaking = 2;
        serial->inBufferSize = 2048;
        serial->inputLen = 16;
        serial->nullDiscard = kTrue;
        serial->outBufferSize = 1024;
        serial->parityReplace = u"*";
        serial->rThreshold = 1;
        serial->rtsEnable = kTrue;
        serial->sThreshold = 3;
        serial->eofEnable = kTrue;
        serial->inputMode = 1;
        sender->remoteHost = u"127.0.0.1";
        sender->remotePort = 10002;
        receiver->localPort = 10001;
        control->put_UDPUse(kTrue);
        control->put_LogFile(u"/tmp/ログ.txt");
    }
};

TEST_F(PersistenceTest, AnEmptyBagGivesEveryDefault) {
    configureEverything();
    site.notifications.clear();
    MemoryPropertyBag bag;
    control->Load(bag);
    EXPECT_EQ(bag.reads, kKeyOrder);
    EXPECT_EQ(serial->settings, u"9600,n,8,1");
    EXPECT_EQ(serial->commPort, 1);
    EXPECT_EQ(serial->dtrEnable, kTrue);
    EXPECT_EQ(serial->handshaking, 0);
    EXPECT_EQ(serial->inBufferSize, 1024);
    EXPECT_EQ(serial->inputLen, 0);
    EXPECT_EQ(serial->nullDiscard, kFalse);
    EXPECT_EQ(serial->outBufferSize, 512);
    EXPECT_EQ(serial->parityReplace, u"?");
    EXPECT_EQ(serial->rThreshold, 0);
    EXPECT_EQ(serial->rtsEnable, kFalse);
    EXPECT_EQ(serial->sThreshold, 0);
    EXPECT_EQ(serial->eofEnable, kFalse);
    EXPECT_EQ(serial->inputMode, 0);
    EXPECT_EQ(sender->remoteHost, u"");
    EXPECT_EQ(sender->remotePort, 0);
    EXPECT_EQ(receiver->localPort, 0);
    EXPECT_EQ(control->get_UDPUse(), kFalse);
    EXPECT_EQ(control->get_LogFile(), u"");
    EXPECT_TRUE(site.notifications.empty());
}

TEST_F(PersistenceTest, SaveWritesEveryKeyInOrderWithItsType) {
    configureEverything();
    MemoryPropertyBag bag;
    control->Save(bag);
    EXPECT_EQ(bag.writes, kKeyOrder);
    EXPECT_EQ(bag.values[u"CommPort"].type(), platform::VarType::Integer);
    EXPECT_EQ(bag.values[u"Handshaking"].type(), platform::VarType::Long);
    EXPECT_EQ(bag.values[u"DTREnable"].type(), platform::VarType::Boolean);
    EXPECT_EQ(bag.values[u"RemotePort"], Variant::fromLong(10002));
    EXPECT_EQ(bag.values[u"LogFile"], Variant::fromString(u"/tmp/ログ.txt"));
}

class RoundTripTest : public PersistenceTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RoundTripTest, SaveThenLoadIntoAFreshControlRestoresAllNineteen) {
    configureEverything();
    MemoryPropertyBag bag(GetParam());
    control->Save(bag);

    CallLog freshLog;
    auto freshSerial = std::make_unique<FakeSerial>(freshLog);
    auto freshSender = std::make_unique<FakeUdp>(freshLog, "Winsock1");
    auto freshReceiver = std::make_unique<FakeUdp>(freshLog, "Winsock2");
    FakeSerial& s = *freshSerial;
    FakeUdp& snd = *freshSender;
    FakeUdp& rcv = *freshReceiver;
    RecordingSite freshSite;
    Portula fresh({std::move(freshSerial), std::move(freshSender), std::move(freshReceiver)},
                  freshSite);
    fresh.Load(bag);

    EXPECT_EQ(s.settings, serial->settings);
    EXPECT_EQ(s.commPort, serial->commPort);
    EXPECT_EQ(s.dtrEnable, serial->dtrEnable);
    EXPECT_EQ(s.handshaking, serial->handshaking);
    EXPECT_EQ(s.inBufferSize, serial->inBufferSize);
    EXPECT_EQ(s.inputLen, serial->inputLen);
    EXPECT_EQ(s.nullDiscard, serial->nullDiscard);
    EXPECT_EQ(s.outBufferSize, serial->outBufferSize);
    EXPECT_EQ(s.parityReplace, serial->parityReplace);
    EXPECT_EQ(s.rThreshold, serial->rThreshold);
    EXPECT_EQ(s.rtsEnable, serial->rtsEnable);
    EXPECT_EQ(s.sThreshold, serial->sThreshold);
    EXPECT_EQ(s.eofEnable, serial->eofEnable);
    EXPECT_EQ(s.inputMode, serial->inputMode);
    EXPECT_EQ(snd.remoteHost, sender->remoteHost);
    EXPECT_EQ(snd.remotePort, sender->remotePort);
    EXPECT_EQ(rcv.localPort, receiver->localPort);
    EXPECT_EQ(fresh.get_UDPUse(), kTrue);
    EXPECT_EQ(fresh.get_LogFile(), u"/tmp/ログ.txt");
    // Loading bypasses the endpoint writes: no close, no protocol change, no notification.
    EXPECT_EQ(freshLog.count("Winsock1 put Protocol") + freshLog.count("Winsock2 put Protocol"),
              0u);
    EXPECT_EQ(freshLog.count("Winsock2 Close"), 0u);
    EXPECT_TRUE(freshSite.notifications.empty());
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutOmittedDefaults, RoundTripTest, ::testing::Bool());

TEST_F(PersistenceTest, DefaultsMayBeSavedAsNothingAtAll) {
    MemoryPropertyBag bag(/*omitDefaults=*/true);
    serial->dtrEnable = kTrue;  // the design-time serial values plus the saved defaults
    control->Save(bag);
    EXPECT_TRUE(bag.values.empty());
}

TEST_F(PersistenceTest, OnlyUdpUseAndLogFileGiveAUdpControlThatLogs) {
    MemoryPropertyBag bag;
    bag.values[u"UDPUse"] = Variant::fromBoolean(kTrue);
    bag.values[u"LogFile"] = Variant::fromString(u"comm.log");
    control->Load(bag);
    EXPECT_EQ(control->get_UDPUse(), kTrue);
    EXPECT_EQ(control->get_LogFile(), u"comm.log");
    EXPECT_EQ(serial->settings, u"9600,n,8,1");
}

TEST_F(PersistenceTest, ValuesAreConvertedToTheRowsType) {
    MemoryPropertyBag bag;
    bag.values[u"CommPort"] = Variant::fromString(u" 3 ");
    bag.values[u"Handshaking"] = Variant::fromDouble(2.5);
    bag.values[u"UDPUse"] = Variant::fromString(u"True");
    control->Load(bag);
    EXPECT_EQ(serial->commPort, 3);
    EXPECT_EQ(serial->handshaking, 2);
    EXPECT_EQ(control->get_UDPUse(), kTrue);
}

TEST_F(PersistenceTest, TheFirstFailureEndsTheLoadWithEarlierRowsApplied) {
    MemoryPropertyBag bag;
    bag.values[u"Settings"] = Variant::fromString(u"4800,n,8,1");
    bag.values[u"CommPort"] = Variant::fromString(u"COM3");  // no number
    bag.values[u"LogFile"] = Variant::fromString(u"never.log");
    try {
        control->Load(bag);
        FAIL() << "no error";
    } catch (const platform::Error& e) {
        EXPECT_EQ(e.number(), platform::errors::kTypeMismatch);
    }
    EXPECT_EQ(serial->settings, u"4800,n,8,1");
    EXPECT_EQ(serial->commPort, 1);
    EXPECT_EQ(control->get_LogFile(), u"");

    bag.values[u"CommPort"] = Variant::fromLong(40000);
    EXPECT_THROW(control->Load(bag), platform::Error);  // overflow of the 16-bit row
}

TEST_F(PersistenceTest, ARefusedSettingsTextStopsAtTheFirstRow) {
    MemoryPropertyBag bag;
    bag.values[u"Settings"] = Variant::fromString(u"fast");
    bag.values[u"UDPUse"] = Variant::fromBoolean(kTrue);
    log.failOn("put Settings", 380);
    EXPECT_THROW(control->Load(bag), platform::Error);
    EXPECT_EQ(log.count("put CommPort"), 0u);
    EXPECT_EQ(control->get_UDPUse(), kFalse);
}

TEST_F(PersistenceTest, ABagThatFailsMidwayEndsTheOperationThere) {
    configureEverything();
    MemoryPropertyBag bag;
    bag.failOnWrite = 5;
    EXPECT_THROW(control->Save(bag), platform::Error);
    EXPECT_EQ(bag.writes.size(), 5u);

    MemoryPropertyBag source;
    source.values[u"LogFile"] = Variant::fromString(u"x.log");
    source.failOnRead = 18;
    EXPECT_THROW(control->Load(source), platform::Error);
    EXPECT_EQ(control->get_LogFile(), u"/tmp/ログ.txt");
}

TEST_F(PersistenceTest, BreakAndPortOpenAreNotRestored) {
    control->put_PortOpen(kTrue);
    control->put_Break(kTrue);
    MemoryPropertyBag bag;
    control->Save(bag);
    EXPECT_EQ(bag.values.count(u"Break"), 0u);
    EXPECT_EQ(bag.values.count(u"PortOpen"), 0u);
}

}  // namespace
}  // namespace port_control::testing
