#include "components/serial_settings.h"

#include <vector>

#include "components/serial_errors.h"

namespace port_control {
namespace {

constexpr uint32_t kLowestRate = 110;
constexpr uint64_t kHighestRate = 2147483647;

std::u16string_view trimBlanks(std::u16string_view field) {
    while (!field.empty() && (field.front() == u' ' || field.front() == u'\t'))
        field.remove_prefix(1);
    while (!field.empty() && (field.back() == u' ' || field.back() == u'\t'))
        field.remove_suffix(1);
    return field;
}

std::vector<std::u16string_view> splitFields(std::u16string_view text) {
    std::vector<std::u16string_view> fields;
    for (;;) {
        size_t comma = text.find(u',');
        fields.push_back(trimBlanks(text.substr(0, comma)));
        if (comma == std::u16string_view::npos)
            break;
        text.remove_prefix(comma + 1);
    }
    return fields;
}

std::optional<uint32_t> parseRate(std::u16string_view field) {
    if (field.empty() || field.size() > 10)
        return std::nullopt;
    uint64_t value = 0;
    for (char16_t c : field) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(c - u'0');
    }
    if (value < kLowestRate || value > kHighestRate)
        return std::nullopt;
    return static_cast<uint32_t>(value);
}

std::optional<Parity> parseParity(std::u16string_view field) {
    if (field.size() != 1)
        return std::nullopt;
    switch (field.front()) {
        case u'n':
        case u'N':
            return Parity::None;
        case u'o':
        case u'O':
            return Parity::Odd;
        case u'e':
        case u'E':
            return Parity::Even;
        case u'm':
        case u'M':
            return Parity::Mark;
        case u's':
        case u'S':
            return Parity::Space;
        default:
            return std::nullopt;
    }
}

std::optional<int> parseDataBits(std::u16string_view field) {
    if (field.size() != 1 || field.front() < u'5' || field.front() > u'8')
        return std::nullopt;
    return field.front() - u'0';
}

std::optional<StopBits> parseStopBits(std::u16string_view field) {
    if (field == u"1")
        return StopBits::One;
    if (field == u"1.5")
        return StopBits::OnePointFive;
    if (field == u"2")
        return StopBits::Two;
    return std::nullopt;
}

}  // namespace

std::optional<SerialSettings> SerialSettings::parse(std::u16string_view text) {
    std::vector<std::u16string_view> fields = splitFields(text);
    if (fields.size() != 4)
        return std::nullopt;
    auto rate = parseRate(fields[0]);
    auto parity = parseParity(fields[1]);
    auto dataBits = parseDataBits(fields[2]);
    auto stopBits = parseStopBits(fields[3]);
    if (!rate || !parity || !dataBits || !stopBits)
        return std::nullopt;
    if (*stopBits == StopBits::OnePointFive && *dataBits != 5)
        return std::nullopt;
    if (*stopBits == StopBits::Two && *dataBits == 5)
        return std::nullopt;
    return SerialSettings{*rate, *parity, *dataBits, *stopBits};
}

SerialSettings SerialSettings::parseOrThrow(std::u16string_view text) {
    if (auto settings = parse(text))
        return *settings;
    throw serialError(serial_errors::kInvalidPropertyValue);
}

std::u16string SerialSettings::format() const {
    std::u16string text;
    for (char c : std::to_string(baudRate))
        text += static_cast<char16_t>(c);
    text += u',';
    text += static_cast<char16_t>(static_cast<char>(parity));
    text += u',';
    text += static_cast<char16_t>(u'0' + dataBits);
    text += u',';
    switch (stopBits) {
        case StopBits::One:
            text += u"1";
            break;
        case StopBits::OnePointFive:
            text += u"1.5";
            break;
        case StopBits::Two:
            text += u"2";
            break;
    }
    return text;
}

}  // namespace port_control
