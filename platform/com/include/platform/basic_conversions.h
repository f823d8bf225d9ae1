// Conversions between the published value types by the Basic rules: numbers and numeric
// text (blanks around it allowed) round to nearest with ties to even, a value outside the
// target range fails with error 6 (Overflow), text that is no number with 13 (Type
// mismatch). Included by variant.h: every user of Variant has them.
#pragma once

#include "platform/language_standard.h"
#include "platform/platform_export.h"

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/variant.h"

namespace platform {

// Basic-rule conversions. Each throws platform::Error (6, 13) and never returns a
// silent zero for a value it cannot represent. Empty converts to 0 / "" / False, Null
// to nothing (94, invalid use of Null). Booleans are numbers -1 and 0. A byte array
// converts to String as its code page 932 text, to ByteArray as is, and to nothing else
// (13). Fractions round to nearest, ties to even, before the range check, so -32768.5
// gives -32768 but 32767.5 overflows; NaN and infinities overflow too.
CORVANE_PLATFORM_EXPORT int16_t toInteger(const Variant& v);
CORVANE_PLATFORM_EXPORT int32_t toLong(const Variant& v);
CORVANE_PLATFORM_EXPORT uint8_t toByte(const Variant& v);
CORVANE_PLATFORM_EXPORT float toSingle(
    const Variant& v);  // 6 beyond the float range (a value rounding to it fits)
CORVANE_PLATFORM_EXPORT double toDouble(const Variant& v);
CORVANE_PLATFORM_EXPORT Boolean
toBoolean(const Variant& v);  // numbers: non-zero is True; text "True"/"False" or a number
CORVANE_PLATFORM_EXPORT std::u16string toString(
    const Variant& v);  // numbers in decimal, Booleans "True"/"False"
CORVANE_PLATFORM_EXPORT ByteArray
toBytes(const Variant& v);  // a byte array as is, anything else as cp932 text

// Converts to the type `target` (Integer, Long, Single, Double, String, Boolean, Byte,
// ByteArray); the same errors as above. A value already of that type comes back as is;
// any other target (Empty, Null) gives 13.
CORVANE_PLATFORM_EXPORT Variant convert(const Variant& v, VarType target);

// Parses numeric text the Basic way: blanks (space, tab, CR, LF) around it, optional
// sign, digits, one decimal point, an exponent (E or D, optional sign, digits); "&H" hex
// and "&O" octal without sign, where a value of up to 16 bits reads as a signed 16-bit
// number and one of up to 32 bits as a signed 32-bit number ("&HFFFF" is -1,
// "&H10000" is 65536). Throws 13 for anything else, 6 for a number beyond the Double
// range or a hex/octal value beyond 32 bits. A number too small for a Double reads as 0.
CORVANE_PLATFORM_EXPORT double parseNumber(std::u16string_view text);

// Banker's rounding to the nearest integer (ties to even), as the runtime rounds.
// Independent of the floating-point rounding mode; NaN and infinities pass through.
CORVANE_PLATFORM_EXPORT double roundHalfEven(double value);

// The `Val` rule: the leading number of a text. Blanks (space, tab, line feed) are ignored
// anywhere among the characters read; reading stops at the first character that cannot
// continue a number: optional sign, digits, one decimal point, an exponent (E or D with
// optional sign and at least one digit, else the number ends before the letter), or
// "&H"/"&O" with digits, read as by parseNumber (a value beyond 32 bits stays unsigned).
// No number gives 0, a number beyond the Double range an infinity. Never fails.
CORVANE_PLATFORM_EXPORT double leadingNumber(std::u16string_view text);

// Decimal text of a number as the runtime prints it ("12", "-2.5", "1E+20"): the shortest
// digits that read back as the same value, in fixed notation for decimal exponents -4 to
// 14, otherwise as d.dddE+xx (at least two exponent digits: 1E-05). Negative zero prints
// "0"; infinities "1.#INF" / "-1.#INF", NaN "1.#QNAN".
CORVANE_PLATFORM_EXPORT std::u16string formatNumber(double value);
// The same for a Single: its shortest digits as a float, fixed notation for exponents
// -4 to 6 ("1234567", "1E+07").
CORVANE_PLATFORM_EXPORT std::u16string formatSingle(float value);

}  // namespace platform
