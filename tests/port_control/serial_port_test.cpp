#include "components/serial_port.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "components/serial_errors.h"
#include "components/serial_line_speed.h"
#include "components/serial_termios.h"
#include "platform/codepage932.h"
#include "platform/message_loop.h"
#include "platform/port_map.h"
#include "port_control/support/pty_pair.h"

namespace port_control {
namespace {

using namespace std::chrono_literals;
using platform::ByteArray;
using platform::kFalse;
using platform::kTrue;
using platform::MessageLoop;
using testing::PtyPair;
using testing::TemporaryPlatformHome;

constexpr int16_t kPort = 7;

int errorNumberOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const platform::Error& error) {
        return error.number();
    }
    return 0;
}

void pumpFor(std::chrono::milliseconds duration) {
    MessageLoop::current().runUntil([] { return false; }, duration);
}

bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5s) {
    return MessageLoop::current().runUntil(done, timeout);
}

std::string allByteValues() {
    std::string bytes;
    for (int value = 0; value < 256; ++value)
        bytes.push_back(static_cast<char>(value));
    return bytes;
}

std::string bytesOf(const platform::Variant& value) {
    const ByteArray& bytes = value.bytesValue();
    return std::string(bytes.begin(), bytes.end());
}

termios slaveAttributes(const PtyPair& pty) {
    termios attributes{};
    EXPECT_EQ(::tcgetattr(pty.slave(), &attributes), 0);
    return attributes;
}

class SerialPortTest : public ::testing::Test {
  protected:
    SerialPortTest() : m_pty(std::make_unique<PtyPair>()) {
        m_pty->mapToPort(kPort);
        m_port.put_CommPort(kPort);
        m_port.setOnComm([this] { m_events.push_back(m_port.get_CommEvent()); });
    }

    void open() {
        m_port.put_PortOpen(kTrue);
        ASSERT_EQ(m_port.get_PortOpen(), kTrue);
    }
    // Sends from the peer and waits until the port holds `count` bytes.
    void arrive(const std::string& bytes, int count) {
        ASSERT_TRUE(m_pty->sendFromPeer(bytes));
        ASSERT_TRUE(pumpUntil([&] { return m_port.get_InBufferCount() >= count; }))
            << "holds " << m_port.get_InBufferCount();
    }
    size_t eventCount(int16_t code) const {
        return static_cast<size_t>(std::count(m_events.begin(), m_events.end(), code));
    }

    TemporaryPlatformHome m_home;
    std::unique_ptr<PtyPair> m_pty;
    SerialPort m_port;
    std::vector<int16_t> m_events;
};

TEST_F(SerialPortTest, StartsWithTheClassicDefaults) {
    SerialPort port;
    EXPECT_EQ(port.get_CommPort(), 1);
    EXPECT_EQ(port.get_Settings(), u"9600,n,8,1");
    EXPECT_EQ(port.get_PortOpen(), kFalse);
    EXPECT_EQ(port.get_Handshaking(), 0);
    EXPECT_EQ(port.get_InputMode(), 0);
    EXPECT_EQ(port.get_InputLen(), 0);
    EXPECT_EQ(port.get_InBufferSize(), 1024);
    EXPECT_EQ(port.get_OutBufferSize(), 512);
    EXPECT_EQ(port.get_RThreshold(), 0);
    EXPECT_EQ(port.get_SThreshold(), 0);
    EXPECT_EQ(port.get_ParityReplace(), u"?");
    EXPECT_EQ(port.get_NullDiscard(), kFalse);
    EXPECT_EQ(port.get_EOFEnable(), kFalse);
    EXPECT_EQ(port.get_Break(), kFalse);
    EXPECT_EQ(port.get_DTREnable(), kTrue);
    EXPECT_EQ(port.get_RTSEnable(), kFalse);
    EXPECT_EQ(port.get_CommID(), -1);
    EXPECT_EQ(port.get_CommEvent(), 0);
    EXPECT_EQ(port.get_InBufferCount(), 0);
    EXPECT_EQ(port.get_OutBufferCount(), 0);
}

TEST_F(SerialPortTest, ClosedPortStoresWhatIsWrittenAndRefusesBadValues) {
    SerialPort port;
    port.put_CommPort(255);
    port.put_Settings(u" 19200 , E , 7 , 2 ");
    port.put_Handshaking(3);
    port.put_InputMode(1);
    port.put_InputLen(32767);
    port.put_InBufferSize(4096);
    port.put_OutBufferSize(1);
    port.put_RThreshold(5);
    port.put_SThreshold(6);
    port.put_ParityReplace(u"");
    port.put_DTREnable(1);  // any non-zero value is True
    port.put_RTSEnable(kTrue);
    port.put_NullDiscard(kTrue);
    port.put_EOFEnable(kTrue);
    port.put_Break(kFalse);
    EXPECT_EQ(port.get_CommPort(), 255);
    EXPECT_EQ(port.get_Settings(), u" 19200 , E , 7 , 2 ");  // as written, not normalised
    EXPECT_EQ(port.get_Handshaking(), 3);
    EXPECT_EQ(port.get_InputMode(), 1);
    EXPECT_EQ(port.get_InputLen(), 32767);
    EXPECT_EQ(port.get_InBufferSize(), 4096);
    EXPECT_EQ(port.get_OutBufferSize(), 1);
    EXPECT_EQ(port.get_RThreshold(), 5);
    EXPECT_EQ(port.get_SThreshold(), 6);
    EXPECT_EQ(port.get_ParityReplace(), u"");
    EXPECT_EQ(port.get_DTREnable(), kTrue);
    EXPECT_EQ(port.get_RTSEnable(), kTrue);
    EXPECT_EQ(port.get_NullDiscard(), kTrue);
    EXPECT_EQ(port.get_EOFEnable(), kTrue);
    port.put_ParityReplace(u"ｱ");  // a one-byte character of the code page
    EXPECT_EQ(port.get_ParityReplace(), u"ｱ");

    const std::pair<int, std::function<void()>> refusals[] = {
        {8002, [&] { port.put_CommPort(0); }},
        {8002, [&] { port.put_CommPort(256); }},
        {8002, [&] { port.put_CommPort(-1); }},
        {380, [&] { port.put_Settings(u"9600,n,8"); }},
        {380, [&] { port.put_Settings(u"9600,n,4,1"); }},
        {380, [&] { port.put_Handshaking(4); }},
        {380, [&] { port.put_Handshaking(-1); }},
        {380, [&] { port.put_InputMode(2); }},
        {380, [&] { port.put_InputLen(-1); }},
        {380, [&] { port.put_RThreshold(-1); }},
        {380, [&] { port.put_SThreshold(-5); }},
        {380, [&] { port.put_InBufferSize(0); }},
        {380, [&] { port.put_OutBufferSize(-1); }},
        {380, [&] { port.put_ParityReplace(u"ab"); }},
        {380, [&] { port.put_ParityReplace(u"日"); }},  // two bytes on the line
        {380, [&] { port.put_InBufferCount(5); }},
        {380, [&] { port.put_OutBufferCount(-1); }},
        {380, [&] { port.put_Output(platform::Variant::fromLong(5)); }},
        {8018, [&] { port.put_Output(platform::Variant::fromString(u"x")); }},
        {8018, [&] { port.get_Input(); }},
        {8018, [&] { port.put_Break(kTrue); }},
        {8018, [&] { port.get_CDHolding(); }},
        {8018, [&] { port.get_CTSHolding(); }},
        {8018, [&] { port.get_DSRHolding(); }},
    };
    for (const auto& [number, call] : refusals)
        EXPECT_EQ(errorNumberOf(call), number);
    // Refused writes left every stored value alone.
    EXPECT_EQ(port.get_CommPort(), 255);
    EXPECT_EQ(port.get_Settings(), u" 19200 , E , 7 , 2 ");
    EXPECT_EQ(port.get_Handshaking(), 3);
    EXPECT_EQ(port.get_ParityReplace(), u"ｱ");
    // Discarding nothing on a closed port is fine.
    port.put_InBufferCount(0);
    port.put_OutBufferCount(0);
}

TEST_F(SerialPortTest, OpensRawWithTheSettingsAndRefusesWhatThePortMayNotDoWhileOpen) {
    open();
    EXPECT_GE(m_port.get_CommID(), 0);
    termios attributes = slaveAttributes(*m_pty);
    EXPECT_EQ(attributes.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(attributes.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | BRKINT | ISTRIP), 0u);
    EXPECT_EQ(attributes.c_oflag & OPOST, 0u);
    EXPECT_EQ(attributes.c_cflag & (CLOCAL | CREAD), tcflag_t{CLOCAL | CREAD});
    EXPECT_EQ(attributes.c_cflag & (CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(attributes.c_cc[VMIN], 0);
    EXPECT_EQ(attributes.c_cc[VTIME], 0);
    EXPECT_EQ(readLineSpeed(m_pty->slave()), 9600u);

    EXPECT_EQ(errorNumberOf([&] { m_port.put_PortOpen(kTrue); }), 8005);
    EXPECT_EQ(errorNumberOf([&] { m_port.put_CommPort(3); }), 8000);
    EXPECT_EQ(errorNumberOf([&] { m_port.put_CommPort(kPort); }), 8000);
    EXPECT_EQ(m_port.get_CommPort(), kPort);
    EXPECT_EQ(m_port.get_PortOpen(), kTrue);

    m_port.put_Settings(u"38400,n,8,2");
    attributes = slaveAttributes(*m_pty);
    EXPECT_EQ(readLineSpeed(m_pty->slave()), 38400u);
    EXPECT_EQ(cfgetospeed(&attributes), speed_t{B38400});
    EXPECT_NE(attributes.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(attributes.c_cflag & CSIZE, tcflag_t{CS8});

    // A rate without a B<rate> code goes through the kernel's arbitrary-rate interface.
    m_port.put_Settings(u"250000,n,8,1");
    EXPECT_EQ(readLineSpeed(m_pty->slave()), 250000u);
    EXPECT_EQ(slaveAttributes(*m_pty).c_cflag & CSTOPB, 0u);

    m_port.put_Handshaking(3);
    attributes = slaveAttributes(*m_pty);
    EXPECT_EQ(attributes.c_iflag & (IXON | IXOFF), tcflag_t{IXON | IXOFF});
    EXPECT_NE(attributes.c_cflag & CRTSCTS, 0u);
    m_port.put_Handshaking(0);
    attributes = slaveAttributes(*m_pty);
    EXPECT_EQ(attributes.c_iflag & (IXON | IXOFF), 0u);
    EXPECT_EQ(attributes.c_cflag & CRTSCTS, 0u);

    // A pseudo-terminal always runs 8 data bits without parity: the device refuses these,
    // and the port keeps running (and reporting) what it ran before.
    EXPECT_EQ(errorNumberOf([&] { m_port.put_Settings(u"9600,e,7,1"); }), 8015);
    EXPECT_EQ(m_port.get_Settings(), u"250000,n,8,1");
    EXPECT_EQ(readLineSpeed(m_pty->slave()), 250000u);
    EXPECT_EQ(errorNumberOf([&] { m_port.put_Settings(u"9600,x,8,1"); }), 380);
    EXPECT_EQ(m_port.get_Settings(), u"250000,n,8,1");
    EXPECT_EQ(m_port.get_PortOpen(), kTrue);

    // Lines a pseudo-terminal lacks are no failure; their states read False.
    m_port.put_DTREnable(kTrue);
    m_port.put_RTSEnable(kTrue);
    EXPECT_EQ(m_port.get_DTREnable(), kTrue);
    EXPECT_EQ(m_port.get_CDHolding(), kFalse);
    EXPECT_EQ(m_port.get_CTSHolding(), kFalse);
    EXPECT_EQ(m_port.get_DSRHolding(), kFalse);
    m_port.put_Break(kTrue);
    EXPECT_EQ(m_port.get_Break(), kTrue);
    m_port.put_PortOpen(kFalse);
    EXPECT_EQ(m_port.get_Break(), kFalse);  // closing released it
    EXPECT_EQ(m_port.get_CommID(), -1);
    EXPECT_EQ(m_port.get_DTREnable(), kTrue);  // settings outlive the opening
}

TEST_F(SerialPortTest, TheDeviceRefusingTheSettingsAtOpenLeavesThePortClosed) {
    m_port.put_Settings(u"9600,o,8,1");
    EXPECT_EQ(errorNumberOf([&] { open(); }), 8015);
    EXPECT_EQ(m_port.get_PortOpen(), kFalse);
    EXPECT_EQ(m_port.get_CommID(), -1);
    m_port.put_Settings(u"9600,n,8,1");
    open();  // nothing of the failed attempt (lock, descriptor) is left in the way
}

TEST_F(SerialPortTest, EveryByteValuePassesUnchangedBothWays) {
    m_port.put_InputMode(1);
    open();
    const std::string all = allByteValues();
    const std::string doubled = all + all;
    m_port.put_Output(platform::Variant::fromBytes(ByteArray(doubled.begin(), doubled.end())));
    EXPECT_EQ(m_pty->receiveAtPeer(doubled.size()), doubled);

    arrive(doubled, static_cast<int>(doubled.size()));
    EXPECT_EQ(bytesOf(m_port.get_Input()), doubled);
    EXPECT_EQ(m_port.get_InBufferCount(), 0);

    // One byte per read, the sequences a marking line discipline would write included.
    for (char byte : std::string("\xFF\xFF\x00\xFF\x00\x00", 6)) {
        arrive(std::string(1, byte), 1);
        EXPECT_EQ(bytesOf(m_port.get_Input()), std::string(1, byte));
    }
}

// A pseudo-terminal carries no line errors, so nothing is marked on it: what would read as
// a break or a parity error on a marking line is plain data, and no event is raised.
TEST_F(SerialPortTest, APseudoTerminalIsNotMarkedAndItsBytesAreAllData) {
    EXPECT_TRUE(isPseudoTerminal(m_pty->slave()));
    m_port.put_InputMode(1);
    m_port.put_RThreshold(0);
    open();
    EXPECT_EQ(slaveAttributes(*m_pty).c_iflag & PARMRK, 0u);
    const std::string marks("\xFF\x00\x00\xFF\x00X\xFF\xFF", 8);
    arrive(marks, static_cast<int>(marks.size()));
    EXPECT_EQ(bytesOf(m_port.get_Input()), marks);
    EXPECT_TRUE(m_events.empty());

    const int notATerminal = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    EXPECT_FALSE(isPseudoTerminal(notATerminal));
    ::close(notATerminal);
}

TEST_F(SerialPortTest, TextGoesThroughCodePage932AndInputLenCountsCharacters) {
    open();
    m_port.put_Output(platform::Variant::fromString(u"A日本\r\n"));
    EXPECT_EQ(m_pty->receiveAtPeer(7), platform::cp932::encode(u"A日本\r\n"));

    const std::string frame = platform::cp932::encode(u"語ｶﾅ") + "\x01\x02\xFF";
    arrive(frame, static_cast<int>(frame.size()));
    EXPECT_EQ(m_port.get_InBufferCount(), 7);
    m_port.put_InputLen(2);
    EXPECT_EQ(m_port.get_Input().stringValue(), u"語ｶ");  // three bytes, two characters
    EXPECT_EQ(m_port.get_InBufferCount(), 4);
    m_port.put_InputMode(1);
    EXPECT_EQ(bytesOf(m_port.get_Input()), "\xC5\x01");
    m_port.put_InputMode(0);
    m_port.put_InputLen(0);
    EXPECT_EQ(platform::cp932::encode(m_port.get_Input().stringValue()), "\x02\xFF");
    EXPECT_EQ(m_port.get_Input().stringValue(), u"");
    m_port.put_InputMode(1);
    EXPECT_EQ(m_port.get_Input().bytesValue(), ByteArray{});
}

TEST_F(SerialPortTest, ReceiveEventsFollowRThresholdOncePerArrival) {
    open();
    arrive("ab", 2);
    EXPECT_TRUE(m_events.empty());  // RThreshold 0: no receive events
    m_port.put_InBufferCount(0);
    EXPECT_EQ(m_port.get_InBufferCount(), 0);

    m_port.put_RThreshold(3);
    arrive("ab", 2);
    pumpFor(30ms);
    EXPECT_TRUE(m_events.empty());
    std::string readInHandler;
    m_port.setOnComm([&] {
        m_events.push_back(m_port.get_CommEvent());
        if (m_port.get_CommEvent() == comm_events::kReceive)
            readInHandler += platform::cp932::encode(m_port.get_Input().stringValue());
    });
    arrive("cd", 0);
    ASSERT_TRUE(pumpUntil([&] { return !m_events.empty(); }));
    pumpFor(30ms);
    EXPECT_EQ(m_events, std::vector<int16_t>{comm_events::kReceive});
    EXPECT_EQ(readInHandler, "abcd");
    EXPECT_EQ(m_port.get_CommEvent(), comm_events::kReceive);
}

TEST_F(SerialPortTest, NullDiscardAndEofEnableShapeWhatArrives) {
    m_port.put_InputMode(1);
    open();
    arrive(std::string("a\0b\x1A", 4), 4);
    EXPECT_EQ(bytesOf(m_port.get_Input()), std::string("a\0b\x1A", 4));
    EXPECT_TRUE(m_events.empty());  // EOFEnable off

    m_port.put_NullDiscard(kTrue);
    m_port.put_EOFEnable(kTrue);
    arrive(std::string("\0\0c\x1A"
                       "d",
                       5),
           3);
    ASSERT_TRUE(pumpUntil([&] { return !m_events.empty(); }));
    EXPECT_EQ(bytesOf(m_port.get_Input()),
              "c\x1A"
              "d");  // the EOF byte stays in the data
    EXPECT_EQ(m_events, std::vector<int16_t>{comm_events::kEof});
}

TEST_F(SerialPortTest, ReceiveOverflowDropsWithOneEventPerEpisode) {
    m_port.put_InBufferSize(16);
    m_port.put_InputMode(1);
    open();
    const std::string first(40, 'x');
    arrive(first, 16);
    pumpFor(30ms);
    arrive("more", 16);
    pumpFor(30ms);
    EXPECT_EQ(m_port.get_InBufferCount(), 16);
    EXPECT_EQ(m_events, std::vector<int16_t>{comm_events::kReceiveOverflow});
    EXPECT_EQ(bytesOf(m_port.get_Input()), std::string(16, 'x'));

    arrive(std::string(20, 'y'), 16);  // a new episode
    pumpFor(30ms);
    EXPECT_EQ(eventCount(comm_events::kReceiveOverflow), 2u);
}

TEST_F(SerialPortTest, WithHandshakingAFullBufferHoldsTheSenderInsteadOfDropping) {
    m_port.put_InBufferSize(16);
    m_port.put_InputMode(1);
    m_port.put_Handshaking(2);
    open();
    std::string sent;
    for (int i = 0; i < 100; ++i)
        sent += static_cast<char>('A' + i % 26);
    ASSERT_TRUE(m_pty->sendFromPeer(sent));
    std::string received;
    ASSERT_TRUE(pumpUntil([&] {
        EXPECT_LE(m_port.get_InBufferCount(), 16);
        received += bytesOf(m_port.get_Input());
        return received.size() >= sent.size();
    }));
    EXPECT_EQ(received, sent);
    EXPECT_EQ(eventCount(comm_events::kReceiveOverflow), 0u);
}

TEST_F(SerialPortTest, OutputIsNeverDroppedAndSendEventsComeFromTheLoop) {
    m_port.put_SThreshold(1);
    open();
    m_port.put_Output(platform::Variant::fromString(u"hello"));
    EXPECT_TRUE(m_events.empty());  // never raised inside the call
    ASSERT_TRUE(pumpUntil([&] { return !m_events.empty(); }));
    EXPECT_EQ(m_events, std::vector<int16_t>{comm_events::kSend});
    EXPECT_EQ(m_pty->receiveAtPeer(5), "hello");
    m_events.clear();

    // More than OutBufferSize at once is no overflow while the driver takes it all.
    m_port.put_OutBufferSize(16);
    m_port.put_Output(platform::Variant::fromString(std::u16string(100, u'q')));
    EXPECT_EQ(m_pty->receiveAtPeer(100), std::string(100, 'q'));
    ASSERT_TRUE(pumpUntil([&] { return !m_events.empty(); }));
    EXPECT_EQ(m_events, std::vector<int16_t>{comm_events::kSend});
    m_events.clear();

    // The peer does not read, so the kernel fills up and the rest queues in the port.
    m_port.put_OutBufferSize(512);
    std::string big;
    for (int i = 0; i < 256 * 1024; ++i)
        big += static_cast<char>('a' + i % 23);
    m_port.put_Output(platform::Variant::fromBytes(ByteArray(big.begin(), big.end())));
    EXPECT_GT(m_port.get_OutBufferCount(), 512);
    m_port.put_Output(platform::Variant::fromString(u"tail"));
    pumpFor(30ms);
    EXPECT_EQ(m_events, std::vector<int16_t>{comm_events::kTransmitFull});

    std::string received = m_pty->receiveAtPeer(big.size() + 4, 10s);
    EXPECT_EQ(received.size(), big.size() + 4);
    EXPECT_TRUE(received == big + "tail");
    ASSERT_TRUE(pumpUntil([&] { return eventCount(comm_events::kSend) == 1; }));
    EXPECT_EQ(m_port.get_OutBufferCount(), 0);
    EXPECT_EQ(m_events, (std::vector<int16_t>{comm_events::kTransmitFull, comm_events::kSend}));
}

// Output added while a large one drains goes out after the rest of it, whole and in order,
// whatever part of the large one the line has taken by then (the taken part leaves the front
// of the queue only when more output comes).
TEST_F(SerialPortTest, OutputAddedWhileALargeOneDrainsFollowsItWhole) {
    open();
    for (size_t takenFirst : {size_t{0}, size_t{4096}, size_t{140 * 1024}, size_t{250 * 1024}}) {
        std::string big;
        for (size_t i = 0; i < 256 * 1024; ++i)
            big += static_cast<char>('a' + (i + takenFirst) % 23);
        m_port.put_Output(platform::Variant::fromBytes(ByteArray(big.begin(), big.end())));
        std::string received = m_pty->receiveAtPeer(takenFirst);
        m_port.put_Output(platform::Variant::fromString(u"tail"));
        m_port.put_Output(platform::Variant::fromBytes(ByteArray{'x', 'y', 'z'}));
        const std::string expected = big + "tailxyz";
        received += m_pty->receiveAtPeer(expected.size() - received.size(), 10s);
        EXPECT_EQ(received.size(), expected.size()) << "taken first: " << takenFirst;
        EXPECT_TRUE(received == expected) << "taken first: " << takenFirst;
        ASSERT_TRUE(pumpUntil([&] { return m_port.get_OutBufferCount() == 0; }));
    }
}

TEST_F(SerialPortTest, DiscardingOutputDropsTheQueue) {
    open();
    std::string big(256 * 1024, 'z');
    m_port.put_Output(platform::Variant::fromBytes(ByteArray(big.begin(), big.end())));
    ASSERT_GT(m_port.get_OutBufferCount(), 0);
    m_port.put_OutBufferCount(0);
    EXPECT_EQ(m_port.get_OutBufferCount(), 0);
    m_pty->drainPeer();
    m_port.put_Output(platform::Variant::fromString(u"after"));
    std::string received = m_pty->receiveAtPeer(5);
    EXPECT_EQ(received.substr(received.size() >= 5 ? received.size() - 5 : 0), "after");
    EXPECT_LT(received.size(), big.size());
}

TEST_F(SerialPortTest, APeerThatHangsUpClosesThePortOnceAndItOpensAgain) {
    m_port.put_RThreshold(1);
    open();
    arrive("last words", 10);
    m_events.clear();
    m_pty->closeMaster();
    ASSERT_TRUE(pumpUntil([&] { return m_port.get_PortOpen() == kFalse; }));
    EXPECT_EQ(m_port.get_CommID(), -1);
    EXPECT_EQ(m_port.get_InBufferCount(), 0);

    // Nothing is left that keeps the loop busy.
    rusage before{}, after{};
    ::getrusage(RUSAGE_SELF, &before);
    pumpFor(300ms);
    ::getrusage(RUSAGE_SELF, &after);
    auto cpu = [](const rusage& usage) {
        return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000L + usage.ru_utime.tv_usec +
               usage.ru_stime.tv_usec;
    };
    EXPECT_LT(cpu(after) - cpu(before), 100000L);
    EXPECT_EQ(m_events, std::vector<int16_t>{comm_events::kDeviceLost});
    EXPECT_EQ(m_port.get_CommEvent(), comm_events::kDeviceLost);

    // The device comes back: a new pseudo-terminal under the same port number.
    EXPECT_EQ(errorNumberOf([&] { m_port.put_PortOpen(kTrue); }), 68);
    m_pty = std::make_unique<PtyPair>();
    m_pty->mapToPort(kPort);
    open();
    m_port.put_Output(platform::Variant::fromString(u"again"));
    EXPECT_EQ(m_pty->receiveAtPeer(5), "again");
    arrive("back", 4);
    EXPECT_EQ(m_port.get_Input().stringValue(), u"back");
}

TEST_F(SerialPortTest, AHandlerMayCloseThePortMidBatch) {
    m_port.put_EOFEnable(kTrue);
    m_port.put_RThreshold(1);
    m_port.setOnComm([&] {
        m_events.push_back(m_port.get_CommEvent());
        m_port.put_PortOpen(kFalse);
    });
    open();
    ASSERT_TRUE(m_pty->sendFromPeer("data\x1A"));  // would raise EOF and receive
    ASSERT_TRUE(pumpUntil([&] { return !m_events.empty(); }));
    pumpFor(50ms);
    EXPECT_EQ(m_events, std::vector<int16_t>{comm_events::kEof});
    EXPECT_EQ(m_port.get_PortOpen(), kFalse);
    m_pty->sendFromPeer("ignored");
    pumpFor(30ms);
    EXPECT_EQ(m_events.size(), 1u);
}

TEST_F(SerialPortTest, MissingAndLockedDevicesAreReported) {
    platform::setPortDevice(kPort, m_home.path() / "no-such-device");
    EXPECT_EQ(errorNumberOf([&] { open(); }), 68);
    platform::setPortDevice(kPort, "/dev/null");  // there, but no terminal
    EXPECT_EQ(errorNumberOf([&] { open(); }), 68);
    EXPECT_EQ(m_port.get_PortOpen(), kFalse);

    m_pty->mapToPort(kPort);
    int other = ::open(m_pty->slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(errorNumberOf([&] { open(); }), 8010);
    ::close(other);
    open();

    SerialPort second;
    second.put_CommPort(kPort);
    EXPECT_EQ(errorNumberOf([&] { second.put_PortOpen(kTrue); }), 8010);
    m_port.put_PortOpen(kFalse);
    second.put_PortOpen(kTrue);
    EXPECT_EQ(second.get_PortOpen(), kTrue);
}

int openDescriptors() {
    int count = 0;
    DIR* folder = ::opendir("/proc/self/fd");
    while (const dirent* entry = ::readdir(folder))
        count += entry->d_name[0] != '.';
    ::closedir(folder);
    return count;
}

TEST_F(SerialPortTest, OpeningAndClosingLeaksNoDescriptor) {
    m_port.put_Settings(u"250000,n,8,1");
    open();
    m_port.put_PortOpen(kFalse);
    const int before = openDescriptors();
    for (int i = 0; i < 300; ++i) {
        m_port.put_PortOpen(kTrue);
        m_port.put_Output(platform::Variant::fromString(u"x"));
        m_port.put_PortOpen(kFalse);
    }
    platform::setPortDevice(kPort, "/dev/null");
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(errorNumberOf([&] { open(); }), 68);
    EXPECT_EQ(openDescriptors(), before);
}

// ---- Real serial ports ----------------------------------------------------------------
//
// What a pseudo-terminal cannot show: line speeds, parity and data bits on a wire, breaks,
// modem lines and an adapter pulled out. These run when CORVANE_TEST_SERIAL names the
// ports: one port with a loopback plug ("/dev/ttyUSB0") or a null-modem pair
// ("/dev/ttyUSB0,/dev/ttyUSB1"). Expected wiring: TX to RX, RTS to CTS, DTR to DSR and CD
// (both ways for a pair). docs/real-serial-ports.md tells how to run them.

std::vector<std::string> namedSerialDevices() {
    std::vector<std::string> devices;
    const char* value = std::getenv("CORVANE_TEST_SERIAL");
    std::string rest = value ? value : "";
    for (size_t comma; !rest.empty();
         rest.erase(0, comma == std::string::npos ? comma : comma + 1)) {
        comma = rest.find(',');
        if (comma != 0)
            devices.push_back(rest.substr(0, comma));
    }
    return devices;
}

class RealSerialPortTest : public ::testing::Test {
  protected:
    static constexpr int16_t kFirst = 201, kSecond = 202;

    void SetUp() override {
        m_devices = namedSerialDevices();
        if (m_devices.empty()) {
            GTEST_SKIP() << "no real serial port named: set CORVANE_TEST_SERIAL to one port "
                            "with a loopback plug or to a null-modem pair (a,b)";
        }
        ASSERT_LE(m_devices.size(), 2u) << "one port or a pair";
        platform::setPortDevice(kFirst, m_devices.front());
        platform::setPortDevice(kSecond, m_devices.back());
        m_a.put_CommPort(kFirst);
        m_b.put_CommPort(kSecond);
        m_a.setOnComm([this] { m_aEvents.push_back(m_a.get_CommEvent()); });
        m_b.setOnComm([this] { m_bEvents.push_back(m_b.get_CommEvent()); });
    }
    void TearDown() override {
        for (SerialPort* port : {&m_a, &m_b}) {
            if (port->get_PortOpen() == kTrue)
                port->put_PortOpen(kFalse);
        }
    }

    bool isPair() const { return m_devices.size() == 2; }
    SerialPort& sender() { return m_a; }
    // The far end: the other port of a pair, or the sender itself through the plug.
    SerialPort& receiver() { return isPair() ? m_b : m_a; }
    std::vector<int16_t>& receiverEvents() { return isPair() ? m_bEvents : m_aEvents; }

    // Opens both ends with `settings` (the receiver with `receiverSettings` if given).
    void open(const std::u16string& settings, const std::u16string& receiverSettings = {}) {
        sender().put_Settings(settings);
        sender().put_PortOpen(kTrue);
        if (isPair()) {
            receiver().put_Settings(receiverSettings.empty() ? settings : receiverSettings);
            receiver().put_PortOpen(kTrue);
        }
        pumpFor(50ms);  // lines settle; what the adapter held is dropped below
        receiver().put_InBufferCount(0);
        m_aEvents.clear();
        m_bEvents.clear();
    }
    void close() {
        sender().put_PortOpen(kFalse);
        if (isPair())
            receiver().put_PortOpen(kFalse);
    }
    // Sends `bytes` and returns what the far end has received once that many arrived or
    // `timeout` passed.
    std::string carry(const std::string& bytes, std::chrono::milliseconds timeout) {
        receiver().put_InputMode(1);
        sender().put_Output(platform::Variant::fromBytes(ByteArray(bytes.begin(), bytes.end())));
        pumpUntil([&] { return receiver().get_InBufferCount() >= static_cast<int>(bytes.size()); },
                  timeout);
        return receiver().get_InBufferCount() > 0 ? bytesOf(receiver().get_Input()) : "";
    }

    TemporaryPlatformHome m_home;
    std::vector<std::string> m_devices;
    SerialPort m_a, m_b;
    std::vector<int16_t> m_aEvents, m_bEvents;
};

TEST_F(RealSerialPortTest, EverySpeedAndFrameCarriesTheBytes) {
    struct Row {
        const char16_t* settings;
        unsigned char mask;  // the bits a character of this size carries
    };
    const Row rows[] = {
        {u"110,n,8,1", 0xFF},    {u"300,n,8,1", 0xFF},
        {u"600,n,8,1", 0xFF},    {u"1200,n,8,1", 0xFF},
        {u"2400,n,8,1", 0xFF},   {u"4800,n,8,1", 0xFF},
        {u"9600,n,8,1", 0xFF},   {u"14400,n,8,1", 0xFF},
        {u"19200,n,8,1", 0xFF},  {u"28800,n,8,1", 0xFF},
        {u"38400,n,8,1", 0xFF},  {u"56000,n,8,1", 0xFF},
        {u"57600,n,8,1", 0xFF},  {u"115200,n,8,1", 0xFF},
        {u"128000,n,8,1", 0xFF}, {u"230400,n,8,1", 0xFF},
        {u"256000,n,8,1", 0xFF}, {u"31250,n,8,1", 0xFF},  // a custom rate (MIDI)
        {u"9600,e,7,1", 0x7F},   {u"9600,o,7,2", 0x7F},
        {u"9600,m,7,1", 0x7F},   {u"9600,s,7,1", 0x7F},
        {u"9600,e,8,1", 0xFF},   {u"9600,n,8,2", 0xFF},
        {u"9600,n,6,1", 0x3F},   {u"9600,n,5,1.5", 0x1F},
    };
    std::string pattern;
    for (int value = 0; value < 32; ++value)
        pattern.push_back(static_cast<char>(value * 37 + 11));
    for (const Row& row : rows) {
        SCOPED_TRACE(platform::toUtf8(row.settings));
        try {
            open(row.settings);
        } catch (const platform::Error& error) {
            ADD_FAILURE() << "refused: " << error.what();
            continue;
        }
        std::string expected = pattern;
        for (char& c : expected)
            c = static_cast<char>(c & row.mask);
        EXPECT_EQ(carry(pattern, 10s), expected);
        close();
    }
}

TEST_F(RealSerialPortTest, ABreakIsDetected) {
    open(u"9600,n,8,1");
    receiver().put_RThreshold(1);
    sender().put_Break(kTrue);
    pumpFor(250ms);
    sender().put_Break(kFalse);
    EXPECT_TRUE(pumpUntil([&] {
        return std::count(receiverEvents().begin(), receiverEvents().end(), comm_events::kBreak) >
               0;
    }));
}

TEST_F(RealSerialPortTest, AParityErrorIsReplacedAndReported) {
    if (!isPair())
        GTEST_SKIP() << "needs a null-modem pair: one port cannot send and receive two frames";
    // Sent as 8 data bits without parity, the eighth bit lands where the receiver expects
    // even parity: 'A' (two ones) has it right at 0, 0xC1 wrong at 1.
    open(u"9600,n,8,1", u"9600,e,7,1");
    receiver().put_ParityReplace(u"?");
    receiver().put_RThreshold(1);
    sender().put_Output(platform::Variant::fromBytes({'A', 0xC1, 'B'}));
    ASSERT_TRUE(pumpUntil([&] { return receiver().get_InBufferCount() >= 3; }));
    EXPECT_EQ(receiver().get_Input().stringValue(), u"A?B");
    EXPECT_GT(std::count(m_bEvents.begin(), m_bEvents.end(), comm_events::kParity), 0);
}

TEST_F(RealSerialPortTest, ModemLinesFollowTheFarEnd) {
    open(u"9600,n,8,1");
    struct Row {
        const char* line;
        std::function<void(Boolean)> drive;
        std::function<Boolean()> holding;
        int16_t event;  // raised when the line changes (DSR: only when it falls)
    };
    const Row rows[] = {
        {"RTS -> CTS", [&](Boolean on) { sender().put_RTSEnable(on); },
         [&] { return receiver().get_CTSHolding(); }, comm_events::kCtsChange},
        {"DTR -> DSR", [&](Boolean on) { sender().put_DTREnable(on); },
         [&] { return receiver().get_DSRHolding(); }, comm_events::kDsrFell},
        {"DTR -> CD", [&](Boolean on) { sender().put_DTREnable(on); },
         [&] { return receiver().get_CDHolding(); }, comm_events::kCdChange},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        for (const Boolean on : {kTrue, kFalse, kTrue}) {
            receiverEvents().clear();
            row.drive(on);
            EXPECT_TRUE(pumpUntil([&] { return row.holding() == on; }, 2s));
            if (on == kFalse || row.event != comm_events::kDsrFell) {
                EXPECT_TRUE(pumpUntil(
                    [&] {
                        return std::count(receiverEvents().begin(), receiverEvents().end(),
                                          row.event) > 0;
                    },
                    2s));
            }
        }
    }
}

TEST_F(RealSerialPortTest, RtsCtsHandshakingCarriesABurstWhole) {
    sender().put_Handshaking(2);
    receiver().put_Handshaking(2);
    receiver().put_InBufferSize(8192);
    open(u"115200,n,8,1");
    sender().put_RTSEnable(kTrue);
    receiver().put_RTSEnable(kTrue);
    std::string burst;
    for (int i = 0; i < 4096; ++i)
        burst.push_back(static_cast<char>(i * 7));
    EXPECT_EQ(carry(burst, 10s), burst);
}

// Needs a person: CORVANE_TEST_SERIAL_PULL=<seconds> gives that long to pull the (first)
// adapter out while traffic flows.
TEST_F(RealSerialPortTest, PullingTheAdapterOutDuringTrafficClosesThePortOnce) {
    const char* wait = std::getenv("CORVANE_TEST_SERIAL_PULL");
    if (!wait)
        GTEST_SKIP() << "set CORVANE_TEST_SERIAL_PULL=<seconds> and pull the adapter of "
                     << m_devices.front() << " out while the test runs";
    open(u"115200,n,8,1");
    std::cout << "pull the adapter of " << m_devices.front() << " out now" << std::endl;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(std::atoi(wait));
    while (sender().get_PortOpen() == kTrue && std::chrono::steady_clock::now() < deadline) {
        try {
            sender().put_Output(platform::Variant::fromString(u"traffic "));
        } catch (const platform::Error& error) {
            EXPECT_EQ(error.number(), serial_errors::kDeviceNotOpen) << error.what();
        }
        pumpFor(5ms);
    }
    ASSERT_EQ(sender().get_PortOpen(), kFalse) << "the adapter was not pulled out in time";
    EXPECT_EQ(std::count(m_aEvents.begin(), m_aEvents.end(), comm_events::kDeviceLost), 1);
    EXPECT_EQ(sender().get_CommID(), -1);
    EXPECT_EQ(errorNumberOf([&] { sender().put_PortOpen(kTrue); }),
              serial_errors::kDeviceUnavailable);
}

}  // namespace
}  // namespace port_control
