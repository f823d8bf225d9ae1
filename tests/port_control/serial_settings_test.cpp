#include "components/serial_settings.h"

#include <gtest/gtest.h>

#include "components/serial_errors.h"

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

}  // namespace
}  // namespace port_control
