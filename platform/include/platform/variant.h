// The published value types and the automation variant that carries them.
//
// String is 16-bit text, Boolean a 16-bit value (True = -1, False = 0), Integer 16 bits,
// Long 32 bits. Conversions follow the Basic rules: numbers and numeric text (blanks
// around it allowed) round to nearest with ties to even, a value outside the target
// range fails with error 6 (Overflow), text that is no number with 13 (Type mismatch).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace platform {

using Boolean = int16_t;
constexpr Boolean kTrue = -1;
constexpr Boolean kFalse = 0;
constexpr Boolean toBooleanValue(bool b) { return b ? kTrue : kFalse; }

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

class Variant {
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
    using Storage =
        std::variant<std::monostate, int16_t, int32_t, float, double, uint8_t, std::u16string, ByteArray>;
    Variant(VarType type, Storage value) : m_type(type), m_value(std::move(value)) {}

    VarType m_type = VarType::Empty;
    Storage m_value;
};

// Basic-rule conversions. Each throws platform::Error (6, 13) and never returns a
// silent zero for a value it cannot represent. Empty converts to 0 / "" / False.
// A byte array converts to String as its code page 932 text, and to nothing else.
int16_t toInteger(const Variant& v);
int32_t toLong(const Variant& v);
float toSingle(const Variant& v);
double toDouble(const Variant& v);
Boolean toBoolean(const Variant& v);  // numbers: non-zero is True; text "True"/"False" or a number
std::u16string toString(const Variant& v);  // numbers in decimal, Booleans "True"/"False"
ByteArray toBytes(const Variant& v);        // a byte array as is, anything else as cp932 text

// Converts to the type `target` (Integer, Long, Single, Double, String, Boolean, Byte,
// ByteArray); the same errors as above.
Variant convert(const Variant& v, VarType target);

// Parses numeric text the Basic way: blanks around it, optional sign, digits, one
// decimal point, an exponent; "&H" hex and "&O" octal. Throws 13 for anything else.
double parseNumber(std::u16string_view text);

// Banker's rounding to the nearest integer (ties to even), as the runtime rounds.
double roundHalfEven(double value);

// The `Val` rule: the leading number of a text. Blanks are ignored, reading stops at the
// first character that cannot continue a decimal number; no number gives 0. Never fails.
double leadingNumber(std::u16string_view text);

// Decimal text of a number as the runtime prints it ("12", "-2.5", "1E+20").
std::u16string formatNumber(double value);

}  // namespace platform
