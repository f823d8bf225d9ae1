// Serial line settings: any text either parses to a value that formats to a canonical text
// which parses back to the same value, or is refused, and parseOrThrow refuses it with
// error 380 and nothing else.
//
// Input: the first byte picks how the rest becomes text: even, one byte per character
// (quick to reach "9600,n,8,1"); odd, little-endian 16-bit units (any character).
#include <cstdint>
#include <exception>
#include <optional>
#include <string>

#include "components/serial_settings.h"
#include "fuzz_input.h"
#include "platform/error.h"

namespace {

using port_control::SerialSettings;
using port_control::StopBits;

std::u16string textFrom(fuzz::FuzzInput& input) {
    if (input.takeBool())
        return input.takeRemainingText();
    std::u16string text;
    for (unsigned char c : input.takeRemainingBytes())
        text += static_cast<char16_t>(c);
    return text;
}

void checkValue(const SerialSettings& s) {
    FUZZ_CHECK(s.baudRate >= 110 && s.baudRate <= 2147483647u, "rate %u", s.baudRate);
    FUZZ_CHECK(s.dataBits >= 5 && s.dataBits <= 8, "%d data bits", s.dataBits);
    FUZZ_CHECK(s.stopBits != StopBits::OnePointFive || s.dataBits == 5,
               "1.5 stop bits with %d data bits", s.dataBits);
    FUZZ_CHECK(s.stopBits != StopBits::Two || s.dataBits != 5, "2 stop bits with 5 data bits");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzInput input(data, size);
    const std::u16string text = textFrom(input);

    const std::optional<SerialSettings> parsed = SerialSettings::parse(text);
    std::optional<SerialSettings> thrown;
    try {
        thrown = SerialSettings::parseOrThrow(text);
    } catch (const platform::Error& error) {
        FUZZ_CHECK(error.number() == 380, "refused with error %d", error.number());
        FUZZ_CHECK(!error.description().empty(), "error 380 without a description");
    } catch (const std::exception& e) {
        FUZZ_CHECK(false, "parseOrThrow threw %s", e.what());
    }
    FUZZ_CHECK(parsed.has_value() == thrown.has_value(), "parse and parseOrThrow disagree");
    if (!parsed)
        return 0;
    FUZZ_CHECK(*parsed == *thrown, "parse and parseOrThrow give different values");
    checkValue(*parsed);

    const std::u16string canonical = parsed->format();
    const std::optional<SerialSettings> again = SerialSettings::parse(canonical);
    FUZZ_CHECK(again.has_value(), "the canonical text does not parse");
    FUZZ_CHECK(*again == *parsed, "parse -> format -> parse changed the value");
    FUZZ_CHECK(again->format() == canonical, "the canonical text is not stable");
    return 0;
}
