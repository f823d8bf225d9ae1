#include "virtual_device/rfc2217_server_session.h"

namespace port_control::virtual_device {
namespace {

using rfc2217::comPortCommand;
namespace command = rfc2217::command;
namespace control = rfc2217::control;

std::string byteValue(uint8_t value) {
    return std::string(1, static_cast<char>(value));
}

constexpr char kSignature[] = "Corvane virtual serial device";

}  // namespace

std::string Rfc2217ServerSession::start() {
    return m_options.initialRequests();
}

uint32_t Rfc2217ServerSession::read(std::string_view wire, std::string& data,
                                    std::string& replies) {
    m_commands.clear();
    m_reader.read(wire, data, m_commands);
    uint32_t changes = 0;
    for (const rfc2217::Command& each : m_commands) {
        if (each.kind == rfc2217::Command::Kind::Negotiation)
            replies += m_options.answer(each.verb, each.option);
        else
            changes |= handle(each, replies);
    }
    return changes;
}

uint32_t Rfc2217ServerSession::handle(const rfc2217::Command& each, std::string& replies) {
    const uint8_t first = each.value.empty() ? 0 : static_cast<uint8_t>(each.value[0]);
    const auto answer = [&](std::string_view value) {
        replies += comPortCommand(static_cast<uint8_t>(each.code + command::kServerOffset), value);
    };
    SerialSettings wanted = m_settings;
    switch (each.code) {
        case 0:  // SIGNATURE: a query is answered, the client's own is taken note of
            if (each.value.empty())
                answer(kSignature);
            return 0;
        case command::kSetBaudRate: {
            const uint32_t baud = rfc2217::numberValue(each.value);
            if (each.value.size() == 4 && baud >= 50 && baud <= 0x7FFFFFFF)
                wanted.baudRate = baud;
            break;
        }
        case command::kSetDataSize:
            if (first >= 5 && first <= 8)
                wanted.dataBits = first;
            break;
        case command::kSetParity:
            if (auto parity = rfc2217::parityFromValue(first))
                wanted.parity = *parity;
            break;
        case command::kSetStopSize:
            if (auto stopBits = rfc2217::stopBitsFromValue(first))
                wanted.stopBits = *stopBits;
            break;
        case command::kSetControl:
            return handleControl(first, replies);
        case command::kNotifyModemState:
            return kModemStateAsked;
        case command::kFlowControlSuspend:
            m_suspended = true;
            return 0;
        case command::kFlowControlResume:
            m_suspended = false;
            return 0;
        case command::kSetLineStateMask:
            m_lineStateMask = first;
            answer(byteValue(first));
            return 0;
        case command::kSetModemStateMask:
            m_modemStateMask = first;
            answer(byteValue(first));
            return 0;
        case command::kPurgeData:
            answer(byteValue(first));
            if (first < rfc2217::purge::kReceive || first > 3)
                return 0;
            return (first & rfc2217::purge::kReceive ? uint32_t{kPurgeReceive} : 0u) |
                   (first & rfc2217::purge::kTransmit ? uint32_t{kPurgeTransmit} : 0u);
        default:
            return 0;  // NOTIFY-LINESTATE from a client and unknown codes mean nothing
    }
    // One of the four line settings: answered with the value kept.
    const bool changed = wanted != m_settings;
    m_settings = wanted;
    switch (each.code) {
        case command::kSetBaudRate:
            answer(rfc2217::baudRateValue(m_settings.baudRate));
            break;
        case command::kSetDataSize:
            answer(byteValue(static_cast<uint8_t>(m_settings.dataBits)));
            break;
        case command::kSetParity:
            answer(byteValue(rfc2217::parityValue(m_settings.parity)));
            break;
        case command::kSetStopSize:
            answer(byteValue(rfc2217::stopSizeValue(m_settings.stopBits)));
            break;
        default:
            break;
    }
    return changed ? uint32_t{kSettingsChanged} : 0u;
}

uint32_t Rfc2217ServerSession::handleControl(uint8_t value, std::string& replies) {
    uint8_t reply = value;
    uint32_t changes = 0;
    const auto setLine = [&](bool& line, bool on, uint32_t change) {
        if (line != on)
            changes |= change;
        line = on;
    };
    switch (value) {
        case 0:  // the outbound flow control asked
            reply = m_flowControl;
            break;
        case control::kNoFlowControl:
        case control::kXonXoffFlowControl:
        case control::kHardwareFlowControl:
            m_flowControl = value;
            break;
        case 4:  // BREAK asked
            reply = m_break ? control::kBreakOn : control::kBreakOff;
            break;
        case control::kBreakOn:
        case control::kBreakOff:
            setLine(m_break, value == control::kBreakOn, kBreakChanged);
            break;
        case 7:  // DTR asked
            reply = m_dtr ? control::kDtrOn : control::kDtrOff;
            break;
        case control::kDtrOn:
        case control::kDtrOff:
            setLine(m_dtr, value == control::kDtrOn, kDtrChanged);
            break;
        case 10:  // RTS asked
            reply = m_rts ? control::kRtsOn : control::kRtsOff;
            break;
        case control::kRtsOn:
        case control::kRtsOff:
            setLine(m_rts, value == control::kRtsOn, kRtsChanged);
            break;
        default:
            break;  // inbound flow control and the rest: confirmed as asked
    }
    replies += comPortCommand(command::kSetControl + command::kServerOffset, byteValue(reply));
    return changes;
}

void Rfc2217ServerSession::appendLineState(uint8_t state, std::string& wire) const {
    const uint8_t shown = state & m_lineStateMask;
    if (shown != 0)
        wire +=
            comPortCommand(command::kNotifyLineState + command::kServerOffset, byteValue(shown));
}

void Rfc2217ServerSession::appendModemState(uint8_t state, uint8_t before,
                                            std::string& wire) const {
    namespace modem = rfc2217::modem_state;
    const uint8_t changed = static_cast<uint8_t>(state ^ before);
    uint8_t value = static_cast<uint8_t>(state & 0xF0);
    if (changed & modem::kCts)
        value |= modem::kCtsDelta;
    if (changed & modem::kDsr)
        value |= modem::kDsrDelta;
    if (changed & modem::kCd)
        value |= modem::kCdDelta;
    if ((changed & modem::kRing) && !(state & modem::kRing))
        value |= modem::kRingTrailingEdge;
    value &= m_modemStateMask;
    if (value != 0 || before == state)  // an answer to a question is sent even when quiet
        wire +=
            comPortCommand(command::kNotifyModemState + command::kServerOffset, byteValue(value));
}

}  // namespace port_control::virtual_device
