// Builds platform::Variant values of every type from fuzz input, for the targets that feed
// values to conversions, property bags and Invoke.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_input.h"
#include "platform/variant.h"

namespace fuzz {

// Text that looks like what a user or host types for a number, a Boolean or a setting, so
// that the parsers get past their first character often; a few lookalikes (full-width
// digits, no-break and ideographic spaces) check that only ASCII counts.
inline std::u16string takeNumberLikeText(FuzzInput& input, size_t maxLength) {
    static constexpr std::u16string_view kAlphabet =
        u"0123456789+-.eEdD&HhOo \t\r\n,TrueFalsx\uFF10\uFF11\u3000\u00A0\u2212";
    std::u16string text;
    for (unsigned char b : input.takeBytes(maxLength))
        text += kAlphabet[b % kAlphabet.size()];
    return text;
}

inline platform::Variant takeVariant(FuzzInput& input) {
    using platform::Variant;
    const uint8_t tag = input.takeByte();
    switch (tag % 10) {
        case 0:
            return Variant();
        case 1:
            return Variant::null();
        case 2:
            return Variant::fromInteger(input.take<int16_t>());
        case 3:
            return Variant::fromLong(input.take<int32_t>());
        case 4:
            return Variant::fromSingle(input.take<float>());
        case 5:
            return Variant::fromDouble(input.take<double>());
        case 6:
            return Variant::fromString(tag / 10 % 2 ? takeNumberLikeText(input, 40)
                                                    : input.takeText(64));
        case 7:
            return Variant::fromBoolean(input.take<int16_t>());
        case 8:
            return Variant::fromByte(input.takeByte());
        default: {
            const std::string bytes = input.takeBytes(64);
            return Variant::fromBytes(platform::ByteArray(bytes.begin(), bytes.end()));
        }
    }
}

// Equal values, where a NaN equals a NaN of the same type.
inline bool sameValue(const platform::Variant& a, const platform::Variant& b) {
    using platform::VarType;
    if (a == b)
        return true;
    if (a.type() != b.type())
        return false;
    if (a.type() == VarType::Single)
        return std::isnan(a.singleValue()) && std::isnan(b.singleValue());
    if (a.type() == VarType::Double)
        return std::isnan(a.doubleValue()) && std::isnan(b.doubleValue());
    return false;
}

}  // namespace fuzz
