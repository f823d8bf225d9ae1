// What a UART set one way makes of characters sent by a UART set another way: the line is
// followed bit by bit (start bit, data bits from the lowest, parity, stop bits, at the
// sender's speed) and sampled as a receiver does (a start bit found at a falling edge and
// checked half a bit later, then every bit in its middle at the receiver's speed), so a
// speed, data size, parity or stop-bit mismatch gives the bytes, parity errors, framing
// errors and breaks a real receiver would report.
//
// Characters handed over together are taken as sent back to back; the line idles between
// calls.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "components/serial_settings.h"

namespace port_control::virtual_device {

struct ReceivedCharacter {
    uint8_t value = 0;
    uint8_t lineState = 0;  // rfc2217::line_state bits: kParity, kFraming, kBreak

    friend bool operator==(const ReceivedCharacter&, const ReceivedCharacter&) = default;
};

// Whether a receiver set as `receiver` takes every character of a sender set as `sender`
// unchanged (but for the data bits it does not read): speeds within 2 %, the same data bits
// and parity.
bool receivesUnchanged(const SerialSettings& sender, const SerialSettings& receiver);

// The characters received from `sent`.
void receiveCharacters(const SerialSettings& sender, const SerialSettings& receiver,
                       std::string_view sent, std::vector<ReceivedCharacter>& received);

// The bits one character takes on the line: start, data, parity, stop (1.5 counts as such).
double bitsPerCharacter(const SerialSettings& settings);

}  // namespace port_control::virtual_device
