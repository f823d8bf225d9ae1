// Code page 932 (the Windows definition of Shift_JIS, with the NEC and IBM extension rows)
// between bytes and 16-bit text.
//
// Decoding never fails and never loses a byte: a byte that forms no character (a lone
// lead byte, a lead byte before an invalid trail byte) decodes to U+DC00 + byte, which
// encodes back to that same byte. So every byte sequence survives decode -> encode
// unchanged and binary data carried as text is never altered. Encoding a character the
// code page cannot represent gives "?" (0x3F).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace platform::cp932 {

// The reserved range that carries undecodable bytes: U+DC80 + (byte - 0x80).
constexpr char16_t kEscapeBase = 0xDC00;

std::u16string decode(std::string_view bytes);
std::string encode(std::u16string_view text);

// Appending forms for hot paths (no temporary string).
void decodeAppend(std::string_view bytes, std::u16string& out);
void encodeAppend(std::u16string_view text, std::string& out);

// True if `c` has its own encoding in the code page (an escaped byte counts).
bool canEncode(char16_t c);

// The character's code: its one byte (0..255), or lead * 256 + trail read as a signed
// 16-bit number (negative for every double-byte character), or 63 ("?") when the code
// page cannot encode it.
int16_t characterCode(char16_t c);

}  // namespace platform::cp932
