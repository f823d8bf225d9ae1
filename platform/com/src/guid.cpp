#include "platform/guid.h"

#include <cstddef>

namespace platform {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

std::optional<uint8_t> hexValue(char c) {
    if (c >= '0' && c <= '9')
        return static_cast<uint8_t>(c - '0');
    if (c >= 'a' && c <= 'f')
        return static_cast<uint8_t>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F')
        return static_cast<uint8_t>(c - 'A' + 10);
    return std::nullopt;
}

// Reads `digits` hex digits at `pos`; nullopt if any of them is not a hex digit.
std::optional<uint64_t> readHex(std::string_view text, std::size_t pos, std::size_t digits) {
    uint64_t value = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        const auto digit = hexValue(text[pos + i]);
        if (!digit)
            return std::nullopt;
        value = (value << 4) | *digit;
    }
    return value;
}

void appendHex(std::string& out, uint64_t value, int digits) {
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
        out.push_back(kHexDigits[(value >> shift) & 0xF]);
    }
}

}  // namespace

std::optional<Guid> Guid::parse(std::string_view text) {
    // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}: 38 characters, dashes at fixed places.
    if (text.size() != 38 || text.front() != '{' || text.back() != '}')
        return std::nullopt;
    for (std::size_t dash : {9u, 14u, 19u, 24u}) {
        if (text[dash] != '-')
            return std::nullopt;
    }
    const auto d1 = readHex(text, 1, 8);
    const auto d2 = readHex(text, 10, 4);
    const auto d3 = readHex(text, 15, 4);
    if (!d1 || !d2 || !d3)
        return std::nullopt;
    Guid guid;
    guid.data1 = static_cast<uint32_t>(*d1);
    guid.data2 = static_cast<uint16_t>(*d2);
    guid.data3 = static_cast<uint16_t>(*d3);
    // data4: two bytes before the last dash, six after it.
    constexpr std::size_t kData4Positions[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (std::size_t i = 0; i < 8; ++i) {
        const auto byte = readHex(text, kData4Positions[i], 2);
        if (!byte)
            return std::nullopt;
        guid.data4[i] = static_cast<uint8_t>(*byte);
    }
    return guid;
}

std::string Guid::toString() const {
    std::string out;
    out.reserve(38);
    out.push_back('{');
    appendHex(out, data1, 8);
    out.push_back('-');
    appendHex(out, data2, 4);
    out.push_back('-');
    appendHex(out, data3, 4);
    out.push_back('-');
    appendHex(out, data4[0], 2);
    appendHex(out, data4[1], 2);
    out.push_back('-');
    for (std::size_t i = 2; i < 8; ++i)
        appendHex(out, data4[i], 2);
    out.push_back('}');
    return out;
}

std::array<uint8_t, 16> Guid::toBytes() const {
    std::array<uint8_t, 16> bytes{};
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<uint8_t>(data1 >> (8 * i));
    for (int i = 0; i < 2; ++i)
        bytes[4 + i] = static_cast<uint8_t>(data2 >> (8 * i));
    for (int i = 0; i < 2; ++i)
        bytes[6 + i] = static_cast<uint8_t>(data3 >> (8 * i));
    for (int i = 0; i < 8; ++i)
        bytes[8 + i] = data4[i];
    return bytes;
}

Guid Guid::fromBytes(const std::array<uint8_t, 16>& bytes) {
    Guid guid;
    for (int i = 0; i < 4; ++i)
        guid.data1 |= static_cast<uint32_t>(bytes[i]) << (8 * i);
    guid.data2 = static_cast<uint16_t>(bytes[4] | (bytes[5] << 8));
    guid.data3 = static_cast<uint16_t>(bytes[6] | (bytes[7] << 8));
    for (int i = 0; i < 8; ++i)
        guid.data4[i] = bytes[8 + i];
    return guid;
}

}  // namespace platform
