// The line settings of a serial port as a value: "baud,parity,data,stop", for example
// "9600,n,8,1".
//
// Accepted: a whole-number rate from 110 to 2147483647 (the device decides at open which
// rates it can run), parity n/o/e/m/s in either case (none, odd, even, mark, space), 5 to 8
// data bits, stop bits 1, 1.5 or 2. Blanks around each field are allowed. Combinations a
// UART cannot send are refused: 1.5 stop bits exist only with 5 data bits, and 2 stop bits
// only with 6 to 8 (Linux has one flag for both, which the UART reads as 1.5 with 5 data
// bits). 4 data bits are refused: Linux cannot send them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace port_control {

enum class Parity : char { None = 'n', Odd = 'o', Even = 'e', Mark = 'm', Space = 's' };
enum class StopBits { One, OnePointFive, Two };

struct SerialSettings {
    uint32_t baudRate = 9600;
    Parity parity = Parity::None;
    int dataBits = 8;
    StopBits stopBits = StopBits::One;

    // The settings `text` describes, or nothing if it is not a valid settings text.
    static std::optional<SerialSettings> parse(std::u16string_view text);
    // Like parse(), but refuses invalid text with error 380 (invalid property value).
    static SerialSettings parseOrThrow(std::u16string_view text);

    // The canonical text: "9600,n,8,1", "250000,e,7,2", "300,m,5,1.5".
    std::u16string format() const;

    friend bool operator==(const SerialSettings&, const SerialSettings&) = default;
};

}  // namespace port_control
