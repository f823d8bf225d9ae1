#include "components/serial_settings.h"

#include <gtest/gtest.h>

#include "components/serial_errors.h"
#include "components/serial_termios.h"

namespace port_control {
namespace {

TEST(SerialSettingsTest, ParsesEveryFieldInEitherCaseWithBlanks) {
    struct Row {
        std::u16string text;
        SerialSettings expected;
    };
    const Row rows[] = {
        {u"9600,n,8,1", {9600, Parity::None, 8, StopBits::One}},
        {u"38400,N,8,1", {38400, Parity::None, 8, StopBits::One}},
        {u" 110 , e , 7 , 2 ", {110, Parity::Even, 7, StopBits::Two}},
        {u"\t250000,O,6,2\t", {250000, Parity::Odd, 6, StopBits::Two}},
        {u"1200,m,5,1.5", {1200, Parity::Mark, 5, StopBits::OnePointFive}},
        {u"56000,S,8,1", {56000, Parity::Space, 8, StopBits::One}},
        {u"2147483647,n,8,1", {2147483647u, Parity::None, 8, StopBits::One}},
    };
    for (const Row& row : rows) {
        auto parsed = SerialSettings::parse(row.text);
        ASSERT_TRUE(parsed.has_value()) << platform::toUtf8(row.text);
        EXPECT_EQ(*parsed, row.expected) << platform::toUtf8(row.text);
    }
}

TEST(SerialSettingsTest, RefusesMalformedTextAndImpossibleFraming) {
    const std::u16string rows[] = {
        u"",
        u"9600",
        u"9600,n,8",
        u"9600,n,8,1,1",
        u"109,n,8,1",          // below the slowest rate
        u"2147483648,n,8,1",   // beyond a 32-bit rate
        u"99999999999,n,8,1",  // would overflow while reading
        u"-9600,n,8,1",
        u"+9600,n,8,1",
        u"96 00,n,8,1",
        u"9600.5,n,8,1",
        u"9600,x,8,1",
        u"9600,,8,1",
        u"9600,no,8,1",
        u"9600,n,4,1",  // Linux cannot send 4 data bits
        u"9600,n,9,1",
        u"9600,n,8,3",
        u"9600,n,8,1.0",
        u"9600,n,8,1.5",  // 1.5 stop bits only with 5 data bits
        u"9600,n,5,2",    // the UART would send 1.5
        u"９６００,n,8,1",
    };
    for (const auto& text : rows)
        EXPECT_FALSE(SerialSettings::parse(text).has_value()) << platform::toUtf8(text);
}

TEST(SerialSettingsTest, ParseOrThrowRefusesWithInvalidPropertyValue) {
    try {
        SerialSettings::parseOrThrow(u"fast,n,8,1");
        FAIL() << "no error";
    } catch (const platform::Error& error) {
        EXPECT_EQ(error.number(), 380);
        EXPECT_EQ(error.description(), u"プロパティの値が不正です。");
    }
    EXPECT_EQ(SerialSettings::parseOrThrow(u"300,E,7,1").baudRate, 300u);
}

TEST(SerialSettingsTest, FormatIsCanonicalAndParsesBackToTheSameValue) {
    EXPECT_EQ(SerialSettings{}.format(), u"9600,n,8,1");
    EXPECT_EQ(SerialSettings::parse(u" 19200 , E , 7 , 2 ")->format(), u"19200,e,7,2");
    EXPECT_EQ(SerialSettings::parse(u"300,M,5,1.5")->format(), u"300,m,5,1.5");
    for (const char16_t* text : {u"110,n,5,1", u"128000,o,6,2", u"4000000,s,8,1"}) {
        SerialSettings settings = *SerialSettings::parse(text);
        EXPECT_EQ(settings.format(), text);
        EXPECT_EQ(SerialSettings::parse(settings.format()), settings);
    }
}

termios attributesFor(const char16_t* text, int32_t handshakingMode = 0) {
    termios cooked{};
    cooked.c_iflag = ICRNL | IXON | BRKINT | ISTRIP | IMAXBEL;
    cooked.c_oflag = OPOST | ONLCR;
    cooked.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
    cooked.c_cflag = CS7 | PARENB | HUPCL;
    return lineAttributes(cooked, *SerialSettings::parse(text), handshakingMode, true);
}

TEST(SerialTermiosTest, SettingsBecomeRawAttributesWithTheirFraming) {
    termios plain = attributesFor(u"9600,n,8,1");
    EXPECT_EQ(plain.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(plain.c_oflag & OPOST, 0u);
    EXPECT_EQ(plain.c_iflag & (ICRNL | IXON | IXOFF | BRKINT | ISTRIP | INPCK), 0u);
    EXPECT_NE(plain.c_iflag & PARMRK, 0u);
    termios unmarked = lineAttributes(plain, *SerialSettings::parse(u"9600,n,8,1"), 0, false);
    EXPECT_EQ(unmarked.c_iflag & PARMRK, 0u) << "a line that carries no errors is not marked";
    EXPECT_EQ(plain.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD),
              tcflag_t{CS8 | CLOCAL | CREAD});
    EXPECT_EQ(plain.c_cc[VMIN], 0);
    EXPECT_EQ(plain.c_cc[VTIME], 0);
    EXPECT_EQ(cfgetospeed(&plain), speed_t{B9600});
    EXPECT_EQ(cfgetispeed(&plain), speed_t{B9600});

    struct Row {
        const char16_t* text;
        tcflag_t cflags;  // of CSIZE | PARENB | PARODD | CMSPAR | CSTOPB
    };
    const Row rows[] = {
        {u"300,e,7,1", CS7 | PARENB},
        {u"300,o,7,2", CS7 | PARENB | PARODD | CSTOPB},
        {u"300,m,6,1", CS6 | PARENB | PARODD | CMSPAR},
        {u"300,s,8,2", CS8 | PARENB | CMSPAR | CSTOPB},
        {u"300,n,5,1.5", CS5 | CSTOPB},
    };
    for (const Row& row : rows) {
        termios attributes = attributesFor(row.text);
        EXPECT_EQ(attributes.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB), row.cflags)
            << platform::toUtf8(row.text);
        EXPECT_EQ((attributes.c_iflag & INPCK) != 0, (row.cflags & PARENB) != 0)
            << "parity is checked on input";
    }
}

TEST(SerialTermiosTest, HandshakingAndRates) {
    EXPECT_EQ(attributesFor(u"9600,n,8,1", 1).c_iflag & (IXON | IXOFF), tcflag_t{IXON | IXOFF});
    EXPECT_EQ(attributesFor(u"9600,n,8,1", 1).c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(attributesFor(u"9600,n,8,1", 2).c_iflag & (IXON | IXOFF), 0u);
    EXPECT_NE(attributesFor(u"9600,n,8,1", 2).c_cflag & CRTSCTS, 0u);
    termios both = attributesFor(u"9600,n,8,1", 3);
    EXPECT_EQ(both.c_iflag & (IXON | IXOFF), tcflag_t{IXON | IXOFF});
    EXPECT_NE(both.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(both.c_cc[VSTART], 0x11);
    EXPECT_EQ(both.c_cc[VSTOP], 0x13);

    EXPECT_EQ(standardSpeed(115200), speed_t{B115200});
    EXPECT_EQ(standardSpeed(110), speed_t{B110});
    EXPECT_FALSE(standardSpeed(14400).has_value());
    EXPECT_FALSE(standardSpeed(250000).has_value());
    EXPECT_TRUE(isNearRate(250000, 250000));
    EXPECT_TRUE(isNearRate(250000, 243000));  // within 3 %
    EXPECT_FALSE(isNearRate(250000, 230400));
    EXPECT_FALSE(isNearRate(250000, 9600));
    EXPECT_FALSE(isNearRate(4294967295u, 0));
}

TEST(SerialTermiosTest, ReadBackTellsWhatTheDriverDropped) {
    termios wanted = attributesFor(u"9600,e,7,1", 2);
    EXPECT_TRUE(keepsFraming(wanted, wanted));
    termios forced = wanted;  // what a pseudo-terminal makes of it
    forced.c_cflag = (forced.c_cflag & ~(CSIZE | PARENB)) | CS8;
    EXPECT_FALSE(keepsFraming(wanted, forced));
    termios noFlowControl = wanted;
    noFlowControl.c_cflag &= ~CRTSCTS;
    EXPECT_FALSE(keepsFraming(wanted, noFlowControl));
    // Without parity, a driver may keep or drop PARODD: it does not matter.
    termios plain = attributesFor(u"9600,n,8,1");
    termios leftover = plain;
    leftover.c_cflag |= PARODD;
    EXPECT_TRUE(keepsFraming(plain, leftover));
}

}  // namespace
}  // namespace port_control
