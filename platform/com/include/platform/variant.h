// The published value types and the automation variant that carries them.
//
// String is 16-bit text, Boolean a 16-bit value (True = -1, False = 0), Integer 16 bits,
// Long 32 bits. Conversions between them: basic_conversions.h, included below.
#pragma once

#include "platform/language_standard.h"
#include "platform/platform_export.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace platform {

using Boolean = int16_t;
constexpr Boolean kTrue = -1;
constexpr Boolean kFalse = 0;
constexpr Boolean toBooleanValue(bool b) {
    return b ? kTrue : kFalse;
}

using ByteArray = std::vector<uint8_t>;

// Type tags, numbered as the platform numbers them.
enum class VarType : uint16_t {
    Empty = 0,
    Null = 1,
    Integer = 2,
    Long = 3,
    Single = 4,
    Double = 5,
    String = 8,
    Boolean = 11,
    Byte = 17,
    ByteArray = 0x2011,
};

// Frozen: a value type programs compile in; a change to its members needs a new SONAME.
class CORVANE_PLATFORM_EXPORT Variant {
  public:
    Variant() = default;  // Empty
    static Variant null();
    static Variant fromInteger(int16_t v);
    static Variant fromLong(int32_t v);
    static Variant fromSingle(float v);
    static Variant fromDouble(double v);
    static Variant fromBoolean(Boolean v);  // any non-zero value is stored as True
    static Variant fromByte(uint8_t v);
    static Variant fromString(std::u16string v);
    static Variant fromBytes(ByteArray v);

    VarType type() const { return m_type; }
    bool isEmpty() const { return m_type == VarType::Empty; }

    // Direct access for a known type; calling the wrong one is a programming error
    // (std::bad_variant_access).
    int16_t integerValue() const;  // Integer and Boolean
    int32_t longValue() const;
    float singleValue() const;
    double doubleValue() const;
    uint8_t byteValue() const;
    const std::u16string& stringValue() const;
    const ByteArray& bytesValue() const;

    bool operator==(const Variant& other) const = default;

  private:
    using Storage = std::variant<std::monostate, int16_t, int32_t, float, double, uint8_t,
                                 std::u16string, ByteArray>;
    Variant(VarType type, Storage value) : m_type(type), m_value(std::move(value)) {}

    VarType m_type = VarType::Empty;
    Storage m_value;
};

}  // namespace platform

// The conversions come with the type (declared and implemented as basic_conversions).
#include "platform/basic_conversions.h"
