#include <locale.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "platform/basic_conversions.h"
#include "platform/codepage932.h"
#include "platform/error.h"

namespace platform {

namespace {

// Blanks allowed around numeric text in a conversion.
bool isConversionBlank(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}
// Blanks `Val` strips wherever they stand (its documented set: no carriage return).
bool isValBlank(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\n';
}

bool isDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}
char16_t upper(char16_t c) {
    return (c >= u'a' && c <= u'z') ? c - (u'a' - u'A') : c;
}

int digitValue(char16_t c, int base) {
    int value = -1;
    if (isDigit(c))
        value = c - u'0';
    if (upper(c) >= u'A' && upper(c) <= u'F')
        value = upper(c) - u'A' + 10;
    return value < base ? value : -1;
}

// Walks a text; in `Val` mode it steps over blanks before every character it looks at.
class Reader {
  public:
    Reader(std::u16string_view text, bool skipInnerBlanks)
        : m_text(text), m_skipInnerBlanks(skipInnerBlanks) {}

    char16_t peek() {
        if (m_skipInnerBlanks) {
            while (m_pos < m_text.size() && isValBlank(m_text[m_pos]))
                ++m_pos;
        }
        return m_pos < m_text.size() ? m_text[m_pos] : u'\0';
    }
    void advance() { ++m_pos; }
    size_t position() const { return m_pos; }
    void rewind(size_t pos) { m_pos = pos; }
    bool atEnd() { return peek() == u'\0' && m_pos >= m_text.size(); }
    void skipConversionBlanks() {
        while (m_pos < m_text.size() && isConversionBlank(m_text[m_pos]))
            ++m_pos;
    }

  private:
    std::u16string_view m_text;
    bool m_skipInnerBlanks;
    size_t m_pos = 0;
};

struct ScannedNumber {
    enum class Kind { None, Decimal, Radix } kind = Kind::None;
    std::string decimal;    // "[-]digits[.digits][e[sign]digits]" for strtod
    double radixValue = 0;  // unsigned value of "&H" / "&O" digits
    bool radixBeyond32 = false;
};

bool readRadix(Reader& reader, ScannedNumber& out) {
    const size_t start = reader.position();
    if (reader.peek() != u'&')
        return false;
    reader.advance();
    const char16_t marker = upper(reader.peek());
    const int base = marker == u'H' ? 16 : marker == u'O' ? 8 : 0;
    if (base == 0) {
        reader.rewind(start);
        return false;
    }
    reader.advance();
    bool anyDigit = false;
    for (int d; (d = digitValue(reader.peek(), base)) >= 0; reader.advance()) {
        out.radixValue = out.radixValue * base + d;
        anyDigit = true;
    }
    if (!anyDigit) {
        reader.rewind(start);
        return false;
    }
    out.kind = ScannedNumber::Kind::Radix;
    out.radixBeyond32 = out.radixValue > 0xFFFFFFFF;
    return true;
}

size_t appendDigits(Reader& reader, std::string& out) {
    size_t count = 0;
    for (; isDigit(reader.peek()); reader.advance(), ++count)
        out += static_cast<char>(reader.peek());
    return count;
}

// Reads the longest number at the reader's position; the reader stops right after it.
ScannedNumber scanNumber(Reader& reader) {
    ScannedNumber out;
    if (readRadix(reader, out))
        return out;

    const size_t start = reader.position();
    std::string& text = out.decimal;
    if (reader.peek() == u'+' || reader.peek() == u'-') {
        if (reader.peek() == u'-')
            text += '-';
        reader.advance();
    }
    size_t digits = appendDigits(reader, text);
    if (reader.peek() == u'.') {
        reader.advance();
        text += '.';
        digits += appendDigits(reader, text);
    }
    if (digits == 0) {
        reader.rewind(start);
        out.decimal.clear();
        return out;
    }
    // An exponent letter counts only when digits follow it.
    const size_t beforeExponent = reader.position();
    const char16_t letter = upper(reader.peek());
    if (letter == u'E' || letter == u'D') {
        reader.advance();
        std::string exponent = "e";
        if (reader.peek() == u'+' || reader.peek() == u'-') {
            exponent += static_cast<char>(reader.peek());
            reader.advance();
        }
        if (appendDigits(reader, exponent) > 0) {
            text += exponent;
        } else {
            reader.rewind(beforeExponent);
        }
    }
    out.kind = ScannedNumber::Kind::Decimal;
    return out;
}

// strtod in the "C" locale: the host program may have switched LC_NUMERIC.
double decimalValue(const std::string& text) {
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
    const double value = strtod_l(text.c_str(), nullptr, cLocale);
    return value == 0 ? 0.0 : value;  // no negative zero
}

// Hex and octal text of up to 16 bits is an Integer, up to 32 bits a Long.
double radixNumber(double unsignedValue) {
    const auto bits = static_cast<uint32_t>(unsignedValue);
    if (unsignedValue <= 0xFFFF)
        return static_cast<int16_t>(bits);
    return static_cast<int32_t>(bits);
}

[[noreturn]] void throwOverflow() {
    throw Error(errors::kOverflow);
}
[[noreturn]] void throwTypeMismatch() {
    throw Error(errors::kTypeMismatch);
}
[[noreturn]] void throwInvalidUseOfNull() {
    throw Error(errors::kInvalidUseOfNull);
}

// Every variant that stands for a number, as a Double.
double numericValue(const Variant& v) {
    switch (v.type()) {
        case VarType::Empty:
            return 0;
        case VarType::Null:
            throwInvalidUseOfNull();
        case VarType::Integer:
        case VarType::Boolean:
            return v.integerValue();
        case VarType::Long:
            return v.longValue();
        case VarType::Single:
            return v.singleValue();
        case VarType::Double:
            return v.doubleValue();
        case VarType::Byte:
            return v.byteValue();
        case VarType::String:
            return parseNumber(v.stringValue());
        case VarType::ByteArray:
            break;
    }
    throwTypeMismatch();
}

template <typename T>
T integralFromDouble(double value) {
    if (std::isnan(value))
        throwOverflow();
    const double rounded = roundHalfEven(value);
    if (rounded < std::numeric_limits<T>::min() || rounded > std::numeric_limits<T>::max())
        throwOverflow();
    return static_cast<T>(rounded);
}

template <typename T>
T toIntegral(const Variant& v) {
    // Whole numbers are checked without a detour through Double.
    int64_t whole = 0;
    switch (v.type()) {
        case VarType::Integer:
        case VarType::Boolean:
            whole = v.integerValue();
            break;
        case VarType::Long:
            whole = v.longValue();
            break;
        case VarType::Byte:
            whole = v.byteValue();
            break;
        default:
            return integralFromDouble<T>(numericValue(v));
    }
    if (whole < std::numeric_limits<T>::min() || whole > std::numeric_limits<T>::max())
        throwOverflow();
    return static_cast<T>(whole);
}

// A Double rounds to the nearest float; it overflows only when that rounding would give
// an infinity, so the printed form of the largest float reads back.
float singleFromDouble(double value) {
    static const double kFirstOverflowing = std::ldexp(1.0, 128) - std::ldexp(1.0, 103);
    if (std::isfinite(value) && std::fabs(value) >= kFirstOverflowing)
        throwOverflow();
    if (std::isinf(value))
        throwOverflow();
    return static_cast<float>(value);
}

std::u16string ascii(std::string_view text) {
    return std::u16string(text.begin(), text.end());
}

// Lays out the shortest round-trip digits of a number: fixed notation for decimal
// exponents from -4 to `fixedLimit - 1`, else mantissa and "E+xx".
std::u16string layoutNumber(std::string_view scientific, int fixedLimit) {
    // `scientific` is what to_chars writes: "[-]d[.ddd]e(+|-)xx".
    std::string out;
    size_t pos = 0;
    if (scientific[pos] == '-') {
        out += '-';
        ++pos;
    }
    const size_t ePos = scientific.find('e');
    std::string digits;
    for (size_t i = pos; i < ePos; ++i) {
        if (scientific[i] != '.')
            digits += scientific[i];
    }
    int exponent = 0;
    const char* expBegin = scientific.data() + ePos + 1;
    if (*expBegin == '+')
        ++expBegin;
    std::from_chars(expBegin, scientific.data() + scientific.size(), exponent);

    if (exponent > -5 && exponent < fixedLimit) {
        if (exponent >= 0) {
            const size_t intDigits = static_cast<size_t>(exponent) + 1;
            if (digits.size() <= intDigits) {
                out += digits + std::string(intDigits - digits.size(), '0');
            } else {
                out += digits.substr(0, intDigits) + "." + digits.substr(intDigits);
            }
        } else {
            out += "0." + std::string(static_cast<size_t>(-exponent - 1), '0') + digits;
        }
    } else {
        out += digits.substr(0, 1);
        if (digits.size() > 1)
            out += "." + digits.substr(1);
        out += exponent < 0 ? "E-" : "E+";
        const int magnitude = exponent < 0 ? -exponent : exponent;
        if (magnitude < 10)
            out += '0';
        out += std::to_string(magnitude);
    }
    return ascii(out);
}

template <typename Float>
std::u16string formatFloating(Float value, int fixedLimit) {
    if (std::isnan(value))
        return u"1.#QNAN";
    if (std::isinf(value))
        return value < 0 ? u"-1.#INF" : u"1.#INF";
    if (value == 0)
        return u"0";
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    return layoutNumber(std::string_view(buffer, result.ptr - buffer), fixedLimit);
}

bool equalsIgnoringCase(std::u16string_view text, std::u16string_view word) {
    if (text.size() != word.size())
        return false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (upper(text[i]) != upper(word[i]))
            return false;
    }
    return true;
}

std::u16string_view trimConversionBlanks(std::u16string_view text) {
    while (!text.empty() && isConversionBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isConversionBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

}  // namespace

double roundHalfEven(double value) {
    if (!std::isfinite(value) || std::fabs(value) >= 0x1p52)
        return value;  // already whole
    const double below = std::floor(value);
    const double fraction = value - below;  // exact below 2^52
    if (fraction < 0.5)
        return below;
    if (fraction > 0.5)
        return below + 1;
    return std::fmod(below, 2.0) == 0 ? below : below + 1;
}

double parseNumber(std::u16string_view text) {
    Reader reader(text, false);
    reader.skipConversionBlanks();
    const ScannedNumber number = scanNumber(reader);
    reader.skipConversionBlanks();
    if (number.kind == ScannedNumber::Kind::None || !reader.atEnd())
        throwTypeMismatch();
    if (number.kind == ScannedNumber::Kind::Radix) {
        if (number.radixBeyond32)
            throwOverflow();
        return radixNumber(number.radixValue);
    }
    const double value = decimalValue(number.decimal);
    if (std::isinf(value))
        throwOverflow();
    return value;
}

double leadingNumber(std::u16string_view text) {
    Reader reader(text, true);
    const ScannedNumber number = scanNumber(reader);
    switch (number.kind) {
        case ScannedNumber::Kind::None:
            return 0;
        case ScannedNumber::Kind::Radix:
            return number.radixBeyond32 ? number.radixValue : radixNumber(number.radixValue);
        case ScannedNumber::Kind::Decimal:
            break;
    }
    return decimalValue(number.decimal);
}

std::u16string formatNumber(double value) {
    return formatFloating(value, 15);
}

std::u16string formatSingle(float value) {
    return formatFloating(value, 7);
}

int16_t toInteger(const Variant& v) {
    return toIntegral<int16_t>(v);
}

int32_t toLong(const Variant& v) {
    return toIntegral<int32_t>(v);
}

uint8_t toByte(const Variant& v) {
    return toIntegral<uint8_t>(v);
}

float toSingle(const Variant& v) {
    if (v.type() == VarType::Single)
        return v.singleValue();
    return singleFromDouble(numericValue(v));
}

double toDouble(const Variant& v) {
    return numericValue(v);
}

Boolean toBoolean(const Variant& v) {
    switch (v.type()) {
        case VarType::Boolean:
            return v.integerValue();
        case VarType::String: {
            const std::u16string_view text = trimConversionBlanks(v.stringValue());
            if (equalsIgnoringCase(text, u"True"))
                return kTrue;
            if (equalsIgnoringCase(text, u"False"))
                return kFalse;
            return toBooleanValue(parseNumber(text) != 0);
        }
        default:
            return toBooleanValue(numericValue(v) != 0);
    }
}

std::u16string toString(const Variant& v) {
    switch (v.type()) {
        case VarType::Empty:
            return {};
        case VarType::Null:
            throwInvalidUseOfNull();
        case VarType::Integer:
            return ascii(std::to_string(v.integerValue()));
        case VarType::Long:
            return ascii(std::to_string(v.longValue()));
        case VarType::Byte:
            return ascii(std::to_string(v.byteValue()));
        case VarType::Single:
            return formatSingle(v.singleValue());
        case VarType::Double:
            return formatNumber(v.doubleValue());
        case VarType::Boolean:
            return v.integerValue() != 0 ? u"True" : u"False";
        case VarType::String:
            return v.stringValue();
        case VarType::ByteArray: {
            const ByteArray& bytes = v.bytesValue();
            return cp932::decode(
                std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        }
    }
    throwTypeMismatch();
}

ByteArray toBytes(const Variant& v) {
    if (v.type() == VarType::ByteArray)
        return v.bytesValue();
    const std::string encoded = cp932::encode(toString(v));
    return ByteArray(encoded.begin(), encoded.end());
}

Variant convert(const Variant& v, VarType target) {
    switch (target) {
        case VarType::Integer:
            return Variant::fromInteger(toInteger(v));
        case VarType::Long:
            return Variant::fromLong(toLong(v));
        case VarType::Single:
            return Variant::fromSingle(toSingle(v));
        case VarType::Double:
            return Variant::fromDouble(toDouble(v));
        case VarType::String:
            return Variant::fromString(toString(v));
        case VarType::Boolean:
            return Variant::fromBoolean(toBoolean(v));
        case VarType::Byte:
            return Variant::fromByte(toByte(v));
        case VarType::ByteArray:
            return Variant::fromBytes(toBytes(v));
        case VarType::Empty:
        case VarType::Null:
            break;
    }
    if (v.type() == target)
        return v;
    throwTypeMismatch();
}

}  // namespace platform
