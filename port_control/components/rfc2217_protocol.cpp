#include "components/rfc2217_protocol.h"

#include <cctype>
#include <iterator>
#include <utility>

namespace port_control::rfc2217 {
namespace {

std::string negotiation(uint8_t verb, uint8_t option) {
    return {static_cast<char>(telnet::kIac), static_cast<char>(verb), static_cast<char>(option)};
}

bool isHostCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
}

}  // namespace

// --- Reading the stream ----------------------------------------------------------------

void StreamReader::reset() {
    m_state = State::Data;
    m_verb = 0;
    m_subnegotiation.clear();
    m_overlong = false;
}

void StreamReader::afterIac(uint8_t byte, std::string& data) {
    if (byte == telnet::kIac) {
        data.push_back(static_cast<char>(byte));
        m_state = State::Data;
    } else if (byte >= telnet::kWill && byte <= telnet::kDont) {
        m_verb = byte;
        m_state = State::Negotiation;
    } else if (byte == telnet::kSb) {
        m_subnegotiation.clear();
        m_overlong = false;
        m_state = State::Subnegotiation;
    } else {
        m_state = State::Data;  // NOP, GA, a stray SE ...: no meaning here
    }
}

void StreamReader::keep(std::string_view bytes) {
    const size_t room = kLongestSubnegotiation - m_subnegotiation.size();
    if (bytes.size() > room)
        m_overlong = true;
    m_subnegotiation.append(bytes.substr(0, room));
}

void StreamReader::read(std::string_view wire, std::string& data, std::vector<Command>& commands) {
    size_t i = 0;
    while (i < wire.size()) {
        if (m_state == State::Data || m_state == State::Subnegotiation) {
            // Runs without IAC are the common case: take them whole.
            size_t end = wire.find(static_cast<char>(telnet::kIac), i);
            if (end == std::string_view::npos)
                end = wire.size();
            if (m_state == State::Data)
                data.append(wire.substr(i, end - i));
            else
                keep(wire.substr(i, end - i));
            i = end;
            if (i < wire.size()) {
                m_state = m_state == State::Data ? State::Iac : State::SubnegotiationIac;
                ++i;
            }
            continue;
        }
        const uint8_t byte = static_cast<uint8_t>(wire[i++]);
        switch (m_state) {
            case State::Iac:
                afterIac(byte, data);
                break;
            case State::Negotiation:
                commands.push_back({Command::Kind::Negotiation, m_verb, byte, 0, {}, data.size()});
                m_state = State::Data;
                break;
            case State::SubnegotiationIac:
                if (byte == telnet::kIac) {
                    keep(std::string_view("\xff", 1));
                    m_state = State::Subnegotiation;
                } else if (byte == telnet::kSe) {
                    const std::string& sub = m_subnegotiation;
                    if (!m_overlong && sub.size() >= 2 &&
                        static_cast<uint8_t>(sub[0]) == telnet::kComPort)
                        commands.push_back({Command::Kind::ComPort, 0, telnet::kComPort,
                                            static_cast<uint8_t>(sub[1]), sub.substr(2),
                                            data.size()});
                    m_state = State::Data;
                } else {
                    // A command inside a sub-negotiation cuts it short: the sub-negotiation
                    // is dropped and the command taken as it stands.
                    afterIac(byte, data);
                }
                break;
            case State::Data:
            case State::Subnegotiation:
                break;
        }
    }
}

// --- Option negotiation ------------------------------------------------------------------

std::string OptionNegotiator::initialRequests() {
    // The side that performs the COM Port option is the client.
    const bool client = m_role == Role::Client;
    std::string out;
    for (uint8_t option : {telnet::kBinary, telnet::kSuppressGoAhead, telnet::kComPort}) {
        if (option == telnet::kComPort && !client)
            continue;
        m_local[option].requested = true;
        out += negotiation(telnet::kWill, option);
    }
    for (uint8_t option : {telnet::kBinary, telnet::kSuppressGoAhead, telnet::kComPort}) {
        if (option == telnet::kComPort && client)
            continue;
        m_remote[option].requested = true;
        out += negotiation(telnet::kDo, option);
    }
    return out;
}

std::string OptionNegotiator::answer(uint8_t verb, uint8_t option) {
    const bool enable = verb == telnet::kWill || verb == telnet::kDo;
    const bool theirSide = verb == telnet::kWill || verb == telnet::kWont;
    Side& side = theirSide ? m_remote[option] : m_local[option];
    const bool wasRequested = std::exchange(side.requested, false);

    if (option == telnet::kComPort) {
        if (enable) {
            m_comPortAgreed = true;
            m_comPortRefused = false;
        } else if (verb == telnet::kDont && !m_comPortAgreed)
            m_comPortRefused = true;
    }
    if (enable && !wanted(option))
        return negotiation(theirSide ? telnet::kDont : telnet::kWont, option);
    if (enable == side.enabled)
        return {};
    side.enabled = enable;
    if (wasRequested && enable)
        return {};  // the answer to our own request
    if (enable)
        return negotiation(theirSide ? telnet::kDo : telnet::kWill, option);
    return negotiation(theirSide ? telnet::kDont : telnet::kWont, option);
}

// --- Messages ----------------------------------------------------------------------------

void appendEscaped(std::string_view data, std::string& wire) {
    size_t i = 0;
    while (i < data.size()) {
        size_t end = data.find(static_cast<char>(telnet::kIac), i);
        if (end == std::string_view::npos) {
            wire.append(data.substr(i));
            return;
        }
        wire.append(data.substr(i, end + 1 - i));
        wire.push_back(static_cast<char>(telnet::kIac));
        i = end + 1;
    }
}

std::string comPortCommand(uint8_t code, std::string_view value) {
    std::string out{static_cast<char>(telnet::kIac), static_cast<char>(telnet::kSb),
                    static_cast<char>(telnet::kComPort), static_cast<char>(code)};
    appendEscaped(value, out);
    out.push_back(static_cast<char>(telnet::kIac));
    out.push_back(static_cast<char>(telnet::kSe));
    return out;
}

std::string baudRateValue(uint32_t baud) {
    return {static_cast<char>(baud >> 24), static_cast<char>(baud >> 16),
            static_cast<char>(baud >> 8), static_cast<char>(baud)};
}

uint32_t numberValue(std::string_view value) {
    uint32_t number = 0;
    for (char c : value.substr(0, 4))
        number = (number << 8) | static_cast<uint8_t>(c);
    return number;
}

namespace {
constexpr Parity kParities[] = {Parity::None, Parity::Odd, Parity::Even, Parity::Mark,
                                Parity::Space};
constexpr StopBits kStopSizes[] = {StopBits::One, StopBits::Two, StopBits::OnePointFive};
}  // namespace

uint8_t parityValue(Parity parity) {
    for (uint8_t i = 0; i < std::size(kParities); ++i) {
        if (kParities[i] == parity)
            return static_cast<uint8_t>(i + 1);
    }
    return 1;
}

std::optional<Parity> parityFromValue(uint8_t value) {
    if (value < 1 || value > std::size(kParities))
        return std::nullopt;
    return kParities[value - 1];
}

uint8_t stopSizeValue(StopBits stopBits) {
    for (uint8_t i = 0; i < std::size(kStopSizes); ++i) {
        if (kStopSizes[i] == stopBits)
            return static_cast<uint8_t>(i + 1);
    }
    return 1;
}

std::optional<StopBits> stopBitsFromValue(uint8_t value) {
    if (value < 1 || value > std::size(kStopSizes))
        return std::nullopt;
    return kStopSizes[value - 1];
}

std::optional<ServerAddress> parseServerAddress(std::string_view text) {
    constexpr std::string_view kScheme = "rfc2217://";
    if (text.size() < kScheme.size())
        return std::nullopt;
    for (size_t i = 0; i < kScheme.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != kScheme[i])
            return std::nullopt;
    }
    text.remove_prefix(kScheme.size());

    ServerAddress address;
    std::string_view rest;
    if (!text.empty() && text.front() == '[') {
        size_t close = text.find(']');
        if (close == std::string_view::npos || close == 1)
            return std::nullopt;
        std::string_view host = text.substr(1, close - 1);
        for (char c : host) {
            if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.')
                return std::nullopt;
        }
        address.host = host;
        rest = text.substr(close + 1);
    } else {
        size_t colon = text.find(':');
        if (colon == std::string_view::npos || colon == 0)
            return std::nullopt;
        std::string_view host = text.substr(0, colon);
        for (char c : host) {
            if (!isHostCharacter(c))
                return std::nullopt;
        }
        address.host = host;
        rest = text.substr(colon);
    }
    if (rest.size() < 2 || rest.size() > 6 || rest.front() != ':')
        return std::nullopt;
    uint32_t port = 0;
    for (char c : rest.substr(1)) {
        if (c < '0' || c > '9')
            return std::nullopt;
        port = port * 10 + static_cast<uint32_t>(c - '0');
    }
    if (port < 1 || port > 65535)
        return std::nullopt;
    address.port = static_cast<uint16_t>(port);
    return address;
}

}  // namespace port_control::rfc2217
