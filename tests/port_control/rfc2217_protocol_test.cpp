#include "components/rfc2217_protocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace port_control::rfc2217 {
namespace {

using Kind = Command::Kind;

Command negotiationOf(uint8_t verb, uint8_t option) {
    return {Kind::Negotiation, verb, option, 0, {}};
}
Command comPortOf(uint8_t code, std::string value) {
    return {Kind::ComPort, 0, telnet::kComPort, code, std::move(value)};
}

struct StreamCase {
    const char* name;
    std::string wire;
    std::string data;
    std::vector<Command> commands;
};

// Every stream read whole and cut in two at every place gives the same data and commands.
TEST(Rfc2217StreamReaderTest, SplitsDataFromCommandsWherePiecesEnd) {
    const std::vector<StreamCase> cases = {
        {"doubled 0xFF is one data byte",
         "ab\xff\xff"
         "cd",
         "ab\xff"
         "cd",
         {}},
        {"negotiation", "x\xff\xfd\x2cy", "xy", {negotiationOf(telnet::kDo, 44)}},
        {"COM Port answer with an escaped 0xFF",
         "\xff\xfa\x2c\x65\xff\xff\x01\xff\xf0z",
         "z",
         {comPortOf(101, "\xff\x01")}},
        {"modem state and line state",
         std::string("\xff\xfa\x2c\x6b\x11\xff\xf0\xff\xfa\x2c\x6a\x10\xff\xf0", 14),
         "",
         {comPortOf(107, "\x11"), comPortOf(106, "\x10")}},
        {"another option's sub-negotiation is dropped", "\xff\xfa\x18\x01\xff\xf0q", "q", {}},
        {"a command inside a sub-negotiation cuts it short",
         "\xff\xfa\x2c\x65\x01\xff\xfb\x01",
         "",
         {negotiationOf(telnet::kWill, 1)}},
        {"NOP and go-ahead carry nothing",
         "a\xff\xf1"
         "b\xff\xf9",
         "ab",
         {}},
    };
    for (const StreamCase& c : cases) {
        for (size_t cut = 0; cut <= c.wire.size(); ++cut) {
            SCOPED_TRACE(std::string(c.name) + ", cut at " + std::to_string(cut));
            StreamReader reader;
            std::string data;
            std::vector<Command> commands;
            reader.read(std::string_view(c.wire).substr(0, cut), data, commands);
            reader.read(std::string_view(c.wire).substr(cut), data, commands);
            EXPECT_EQ(data, c.data);
            EXPECT_EQ(commands, c.commands);
        }
    }
}

// A server may send its SIGNATURE, of any length, unasked. Past the longest sub-negotiation
// kept, the rest is skipped up to IAC SE (0xFF doubled inside it still being text) and the
// command dropped; what follows reads as usual, wherever the pieces end.
TEST(Rfc2217StreamReaderTest, SkipsTooLongSubnegotiationsAndReadsOn) {
    constexpr size_t kLongest = StreamReader::kLongestSubnegotiation;
    constexpr size_t kFits = kLongest - 2;  // the option and the command code come first
    const std::string x = "x";
    const std::string ff = "\xff";
    const std::string se = "\xf0";
    const struct {
        const char* name;
        std::string signature;
        bool kept;
    } rows[] = {
        {"the longest kept", std::string(kFits, 'x'), true},
        {"one byte more", std::string(kFits + 1, 'x'), false},
        {"100 KB", std::string(100 * 1024, 's'), false},
        {"0xFF as the last byte kept", std::string(kFits - 1, 'x') + ff, true},
        {"0xFF as the first byte past", std::string(kFits, 'x') + ff + x, false},
        {"0xFF SE inside is text, not the end", std::string(kFits, 'x') + ff + se + "after", false},
        {"100 KB of 0xFF", std::string(100 * 1024, '\xff'), false},
    };
    const std::string after = "after" + comPortCommand(107, "\x10");
    for (const auto& row : rows) {
        const std::string wire = comPortCommand(100, row.signature) + after;
        std::vector<Command> expected;
        if (row.kept)
            expected.push_back(comPortOf(100, row.signature));
        expected.push_back(comPortOf(107, "\x10"));
        // Every cut near the limit and near the end (all of them for the short rows).
        const size_t nearLimit = 4 + 2 * kLongest + 8;
        for (size_t cut = 0; cut <= wire.size(); ++cut) {
            if (cut > nearLimit && cut + after.size() + 8 < wire.size())
                cut = wire.size() - after.size() - 8;
            SCOPED_TRACE(std::string(row.name) + ", cut at " + std::to_string(cut));
            StreamReader reader;
            std::string data;
            std::vector<Command> commands;
            reader.read(std::string_view(wire).substr(0, cut), data, commands);
            reader.read(std::string_view(wire).substr(cut), data, commands);
            EXPECT_EQ(data, "after");
            EXPECT_EQ(commands, expected);
        }
    }
}

std::string iac(uint8_t verb, uint8_t option) {
    return {'\xff', static_cast<char>(verb), static_cast<char>(option)};
}

// Each row: what the server sends in turn, what the client answers to each, and the
// COM Port verdict after the last.
TEST(Rfc2217OptionNegotiatorTest, AnswersOnlyChangesAndTellsTheComPortVerdict) {
    struct Row {
        const char* name;
        std::vector<std::pair<uint8_t, uint8_t>> received;
        std::vector<std::string> answers;
        bool agreed;
        bool refused;
    };
    const std::vector<Row> rows = {
        {"DO to our WILL agrees", {{telnet::kDo, 44}}, {""}, true, false},
        {"a server's own WILL is taken",
         {{telnet::kWill, 44}},
         {iac(telnet::kDo, 44)},
         true,
         false},
        {"DONT refuses", {{telnet::kDont, 44}}, {""}, false, true},
        {"echo and terminal type are refused",
         {{telnet::kWill, 1}, {telnet::kDo, 24}},
         {iac(telnet::kDont, 1), iac(telnet::kWont, 24)},
         false,
         false},
        {"answers to our own requests are not answered again",
         {{telnet::kWill, 0}, {telnet::kDo, 0}, {telnet::kWill, 0}, {telnet::kDo, 3}},
         {"", "", "", ""},
         false,
         false},
        {"an option switched off is acknowledged once",
         {{telnet::kWill, 0}, {telnet::kWont, 0}, {telnet::kWont, 0}},
         {"", iac(telnet::kDont, 0), ""},
         false,
         false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        OptionNegotiator negotiator;
        EXPECT_EQ(negotiator.initialRequests(), iac(telnet::kWill, 0) + iac(telnet::kWill, 3) +
                                                    iac(telnet::kWill, 44) + iac(telnet::kDo, 0) +
                                                    iac(telnet::kDo, 3));
        for (size_t i = 0; i < row.received.size(); ++i)
            EXPECT_EQ(negotiator.answer(row.received[i].first, row.received[i].second),
                      row.answers[i])
                << "answer " << i;
        EXPECT_EQ(negotiator.comPortAgreed(), row.agreed);
        EXPECT_EQ(negotiator.comPortRefused(), row.refused);
    }
}

TEST(Rfc2217MessagesTest, DoublesEvery0xFFInDataAndValues) {
    std::string wire;
    appendEscaped(std::string("a\xff"
                              "b\xff\xff",
                              5),
                  wire);
    EXPECT_EQ(wire, std::string("a\xff\xff"
                                "b\xff\xff\xff\xff",
                                8));
    EXPECT_EQ(comPortCommand(command::kSetBaudRate, baudRateValue(0xFF0100FFu)),
              std::string("\xff\xfa\x2c\x01\xff\xff\x01\x00\xff\xff\xff\xf0", 12));
    EXPECT_EQ(numberValue(baudRateValue(115200)), 115200u);
}

TEST(Rfc2217AddressTest, TakesHostAndPortAndRefusesTheRest) {
    struct Row {
        const char* text;
        std::optional<std::string> host;
        uint16_t port;
    };
    const std::vector<Row> rows = {
        {"rfc2217://127.0.0.1:4000", "127.0.0.1", 4000},
        {"RFC2217://serial-box.example:1", "serial-box.example", 1},
        {"rfc2217://[::1]:65535", "::1", 65535},
        {"rfc2217://host", std::nullopt, 0},
        {"rfc2217://:80", std::nullopt, 0},
        {"rfc2217://host:0", std::nullopt, 0},
        {"rfc2217://host:65536", std::nullopt, 0},
        {"rfc2217://host:123456", std::nullopt, 0},
        {"rfc2217://host:80/", std::nullopt, 0},
        {"rfc2217://ho st:80", std::nullopt, 0},
        {"rfc2217://[::1]80", std::nullopt, 0},
        {"rfc2217://[]:80", std::nullopt, 0},
        {"tcp://host:80", std::nullopt, 0},
        {"rfc2217:/host:80", std::nullopt, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        std::optional<ServerAddress> address = parseServerAddress(row.text);
        ASSERT_EQ(address.has_value(), row.host.has_value());
        if (address) {
            EXPECT_EQ(address->host, *row.host);
            EXPECT_EQ(address->port, row.port);
        }
    }
}

}  // namespace
}  // namespace port_control::rfc2217
