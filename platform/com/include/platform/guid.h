// 128-bit identifiers in the platform's layout: data1 (32 bits), data2 and data3 (16 bits
// each) little-endian in memory, data4 eight bytes in order. Text form
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
#pragma once

#include "platform/language_standard.h"
#include "platform/platform_export.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Frozen: a value type programs compile in; a change to its members needs a new SONAME.
struct CORVANE_PLATFORM_EXPORT Guid {
    uint32_t data1 = 0;
    uint16_t data2 = 0;
    uint16_t data3 = 0;
    std::array<uint8_t, 8> data4{};

    bool operator==(const Guid&) const = default;
    auto operator<=>(const Guid&) const = default;

    // Parses the braced form (case-insensitive hex); nullopt for anything else.
    static std::optional<Guid> parse(std::string_view text);
    // Upper-case braced form.
    std::string toString() const;
    // The 16 bytes in the platform's memory layout.
    std::array<uint8_t, 16> toBytes() const;
    static Guid fromBytes(const std::array<uint8_t, 16>& bytes);
};

constexpr Guid GUID_NULL{};

}  // namespace platform
