// The Telnet COM Port Control protocol (RFC 2217 over Telnet, RFC 854/855) as pure values:
// reading a server's byte stream, the client's side of option negotiation, and the
// messages a client sends. No sockets here; components/rfc2217_serial_line.h drives it.
//
// In the stream every data byte 0xFF is doubled (IAC IAC); everything else that starts
// with IAC is a command: option negotiation (IAC WILL/WONT/DO/DONT option) or a
// sub-negotiation (IAC SB option ... IAC SE), inside which 0xFF is doubled as well.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "components/serial_settings.h"

namespace port_control::rfc2217 {

namespace telnet {
constexpr uint8_t kSe = 240;
constexpr uint8_t kSb = 250;
constexpr uint8_t kWill = 251;
constexpr uint8_t kWont = 252;
constexpr uint8_t kDo = 253;
constexpr uint8_t kDont = 254;
constexpr uint8_t kIac = 255;

constexpr uint8_t kBinary = 0;
constexpr uint8_t kSuppressGoAhead = 3;
constexpr uint8_t kComPort = 44;
}  // namespace telnet

// Client commands of the COM Port option; a server answers each with the code plus 100.
namespace command {
constexpr uint8_t kSetBaudRate = 1;
constexpr uint8_t kSetDataSize = 2;
constexpr uint8_t kSetParity = 3;
constexpr uint8_t kSetStopSize = 4;
constexpr uint8_t kSetControl = 5;
constexpr uint8_t kNotifyLineState = 6;
constexpr uint8_t kNotifyModemState = 7;
constexpr uint8_t kFlowControlSuspend = 8;
constexpr uint8_t kFlowControlResume = 9;
constexpr uint8_t kSetLineStateMask = 10;
constexpr uint8_t kSetModemStateMask = 11;
constexpr uint8_t kPurgeData = 12;
constexpr uint8_t kServerOffset = 100;
}  // namespace command

// Values of SET-CONTROL.
namespace control {
constexpr uint8_t kNoFlowControl = 1;
constexpr uint8_t kXonXoffFlowControl = 2;
constexpr uint8_t kHardwareFlowControl = 3;
constexpr uint8_t kBreakOn = 5;
constexpr uint8_t kBreakOff = 6;
constexpr uint8_t kDtrOn = 8;
constexpr uint8_t kDtrOff = 9;
constexpr uint8_t kRtsOn = 11;
constexpr uint8_t kRtsOff = 12;
}  // namespace control

// Bits of NOTIFY-LINESTATE and NOTIFY-MODEMSTATE.
namespace line_state {
constexpr uint8_t kOverrun = 0x02;
constexpr uint8_t kParity = 0x04;
constexpr uint8_t kFraming = 0x08;
constexpr uint8_t kBreak = 0x10;
}  // namespace line_state
namespace modem_state {
constexpr uint8_t kCtsDelta = 0x01;
constexpr uint8_t kDsrDelta = 0x02;
constexpr uint8_t kRingTrailingEdge = 0x04;
constexpr uint8_t kCdDelta = 0x08;
constexpr uint8_t kCts = 0x10;
constexpr uint8_t kDsr = 0x20;
constexpr uint8_t kRing = 0x40;
constexpr uint8_t kCd = 0x80;
}  // namespace modem_state

// Values of PURGE-DATA.
namespace purge {
constexpr uint8_t kReceive = 1;
constexpr uint8_t kTransmit = 2;
}  // namespace purge

// One command found in the stream.
struct Command {
    enum class Kind { Negotiation, ComPort };
    Kind kind = Kind::Negotiation;
    uint8_t verb = 0;    // Negotiation: WILL, WONT, DO or DONT
    uint8_t option = 0;  // Negotiation: the option
    uint8_t code = 0;    // ComPort: the server's command code (client code + 100)
    std::string value;   // ComPort: the command's value, unescaped
    // Where the command came among the data: the size the data had then, so that a line
    // condition is reported at the byte it belongs to. Not part of what the command is.
    size_t dataAt = 0;

    friend bool operator==(const Command& a, const Command& b) {
        return a.kind == b.kind && a.verb == b.verb && a.option == b.option && a.code == b.code &&
               a.value == b.value;
    }
};

// Splits a server's stream into data and commands. Both may be cut anywhere between
// calls; the reader keeps its place. Sub-negotiations of other options and commands
// without meaning here (NOP, GA ...) are dropped. A sub-negotiation longer than
// kLongestSubnegotiation (a server's SIGNATURE text may be any length, sent unasked) is
// skipped up to its IAC SE and dropped whole, since its value would be cut: memory stays
// bounded whatever a server sends, and the stream after it reads as usual.
class StreamReader {
  public:
    static constexpr size_t kLongestSubnegotiation = 64;

    // Appends the data bytes of `wire` to `data` and its commands to `commands`.
    void read(std::string_view wire, std::string& data, std::vector<Command>& commands);
    void reset();

  private:
    enum class State { Data, Iac, Negotiation, Subnegotiation, SubnegotiationIac };
    void afterIac(uint8_t byte, std::string& data);
    // Keeps sub-negotiation bytes up to the limit; past it, notes the sub-negotiation as
    // too long and drops them.
    void keep(std::string_view bytes);
    State m_state = State::Data;
    uint8_t m_verb = 0;
    std::string m_subnegotiation;
    bool m_overlong = false;
};

// Either side of option negotiation. It asks for BINARY both ways (so that CR and every
// other byte pass untouched), suppress-go-ahead both ways and the COM Port option: the
// client offers to perform it, the server asks the client to; it refuses every other
// option, and answers only requests that change an option's state, so two sides cannot loop.
class OptionNegotiator {
  public:
    enum class Role { Client, Server };
    explicit OptionNegotiator(Role role = Role::Client) : m_role(role) {}

    // What this side sends first.
    std::string initialRequests();
    // The answer to a negotiation from the server (possibly empty).
    std::string answer(uint8_t verb, uint8_t option);

    // The other side agreed to the COM Port option (DO or WILL).
    bool comPortAgreed() const { return m_comPortAgreed; }
    // The server refused it (DONT to our WILL, and no WILL of its own).
    bool comPortRefused() const { return m_comPortRefused; }

  private:
    struct Side {
        bool enabled = false;
        bool requested = false;
    };
    static bool wanted(uint8_t option) {
        return option == telnet::kBinary || option == telnet::kSuppressGoAhead ||
               option == telnet::kComPort;
    }
    Role m_role;
    Side m_local[256];   // options this side performs (WILL/WONT from us)
    Side m_remote[256];  // options the other side performs (DO/DONT from us)
    bool m_comPortAgreed = false;
    bool m_comPortRefused = false;
};

// Data bytes for the stream: every 0xFF doubled.
void appendEscaped(std::string_view data, std::string& wire);

// IAC SB COM-PORT-OPTION code value IAC SE, with `value` escaped.
std::string comPortCommand(uint8_t code, std::string_view value);

// The SET-* values for a line setting, and a value back as a number (big-endian).
std::string baudRateValue(uint32_t baud);
uint32_t numberValue(std::string_view value);

// The SET-PARITY and SET-STOPSIZE values of a setting, and back (nothing for a value that
// names no setting, the query 0 among them).
uint8_t parityValue(Parity parity);
std::optional<Parity> parityFromValue(uint8_t value);
uint8_t stopSizeValue(StopBits stopBits);
std::optional<StopBits> stopBitsFromValue(uint8_t value);

// "rfc2217://host:port" taken apart: host names, IPv4 and bracketed IPv6 addresses; port
// 1 to 65535. Nothing for any other text.
struct ServerAddress {
    std::string host;
    uint16_t port = 0;
};
std::optional<ServerAddress> parseServerAddress(std::string_view text);

}  // namespace port_control::rfc2217
