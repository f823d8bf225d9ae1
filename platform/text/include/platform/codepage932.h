// Code page 932 (the Windows definition of Shift_JIS, with the NEC and IBM extension rows)
// between bytes and 16-bit text.
//
// Decoding never fails and never loses a byte: a byte that forms no character (a lone
// lead byte, a lead byte before an invalid trail byte, a lead and trail pair with no
// character) decodes to U+DC00 + byte, which encodes back to that same byte; decoding goes
// on with the next byte. Characters with two byte forms are written in the form Windows
// writes (U+2252 as 0x81 0xE0, the NEC-selected IBM kanji in the 0xFA-0xFC rows); the
// other form counts as a pair with no character. So every byte sequence survives
// decode -> encode unchanged and binary data carried as text is never altered. Six JIS
// readings of Windows pairs are written with those pairs (U+301C as 0x81 0x60, like
// U+FF5E; also U+00A2, U+00A3, U+00AC, U+2016, U+2212). Any other character the code page
// cannot represent is written as "?" (0x3F); there are no best-fit substitutes.
#pragma once

#include "platform/language_standard.h"
#include "platform/platform_export.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform::cp932 {

// The reserved range that carries undecodable bytes: U+DC80 + (byte - 0x80).
constexpr char16_t kEscapeBase = 0xDC00;

CORVANE_PLATFORM_EXPORT std::u16string decode(std::string_view bytes);
CORVANE_PLATFORM_EXPORT std::string encode(std::u16string_view text);

// Appending forms for hot paths (no temporary string).
CORVANE_PLATFORM_EXPORT void decodeAppend(std::string_view bytes, std::u16string& out);
CORVANE_PLATFORM_EXPORT void encodeAppend(std::u16string_view text, std::string& out);
// Writes the bytes of `text` to `out`, which has room for 2 * text.size() of them; returns
// how many it wrote.
CORVANE_PLATFORM_EXPORT size_t encodeInto(std::u16string_view text, char* out);

// True if `c` has its own encoding in the code page (an escaped byte counts).
CORVANE_PLATFORM_EXPORT bool canEncode(char16_t c);

// The character's code: its one byte (0..255; an escaped byte gives that byte), or
// lead * 256 + trail read as a signed 16-bit number (negative for every double-byte
// character), or 63 ("?") when the code page cannot encode it.
CORVANE_PLATFORM_EXPORT int16_t characterCode(char16_t c);

}  // namespace platform::cp932
