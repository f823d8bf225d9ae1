#include "platform/codepage932.h"

#include <array>

namespace platform::cp932 {
namespace {

#include "codepage932_table.inc"

constexpr uint16_t kQuestionMark = 0x3F;

// Every 16-bit unit -> its bytes: a value below 0x100 is one byte, any other is lead * 256 +
// trail. Unencodable units hold "?", so encoding needs no extra branch for them. The decode
// tables keep one pair per character, so inverting them (plus the encode-only readings)
// gives exactly the forms Windows writes.
constexpr std::array<uint16_t, 0x10000> buildEncodeTable() {
    std::array<uint16_t, 0x10000> table{};
    table.fill(kQuestionMark);
    for (int byte = 0; byte < 0x100; ++byte) {
        if (kLeadRow[byte] == kNoPairRow)
            table[kSingleByteTable[byte]] = byte;
    }
    for (int lead = 0; lead < 0x100; ++lead) {
        if (kLeadRow[lead] == kNoPairRow)
            continue;
        for (int trail = 0; trail < 0x100; ++trail) {
            if (char16_t c = kDoubleByteTable[kLeadRow[lead]][trail]; c != 0)
                table[c] = static_cast<uint16_t>(lead << 8 | trail);
        }
    }
    for (const EncodeOnlyMapping& m : kEncodeOnly)
        table[m.character] = m.code;
    for (int byte = 0x80; byte < 0x100; ++byte)
        table[kEscapeBase + byte] = byte;
    return table;
}

constexpr std::array<uint16_t, 0x10000> kEncodeTable = buildEncodeTable();

}  // namespace

void decodeAppend(std::string_view bytes, std::u16string& out) {
    // At most one unit per byte: size once, fill through a pointer, trim at the end.
    const size_t start = out.size();
    out.resize(start + bytes.size());
    char16_t* q = out.data() + start;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = p + bytes.size();
    // Branches, not a branch-free select: they let the processor run ahead instead of
    // waiting for each lookup to learn where the next character starts.
    while (p < end) {
        const unsigned char b = *p;
        if (b < 0x80) {
            *q++ = b;
            ++p;
            continue;
        }
        if (p + 1 < end) {
            if (const char16_t c = kDoubleByteTable[kLeadRow[b]][p[1]]; c != 0) {
                *q++ = c;
                p += 2;
                continue;
            }
        }
        // A single-byte character, or a byte that starts no assigned pair: the table holds
        // its escape, and the next byte is read afresh.
        *q++ = kSingleByteTable[b];
        ++p;
    }
    out.resize(static_cast<size_t>(q - out.data()));
}

void encodeAppend(std::u16string_view text, std::string& out) {
    const size_t start = out.size();
    out.resize(start + 2 * text.size());
    char* q = out.data() + start;
    for (const char16_t c : text) {
        // Always store two bytes, the second overwritten next unless this is a pair: mixed
        // Japanese and ASCII text would mispredict a branch on nearly every character.
        const uint16_t code = kEncodeTable[c];
        const unsigned isPair = code > 0xFF;
        q[0] = static_cast<char>(code >> (8 * isPair));
        q[1] = static_cast<char>(code & 0xFF);
        q += 1 + isPair;
    }
    out.resize(static_cast<size_t>(q - out.data()));
}

std::u16string decode(std::string_view bytes) {
    std::u16string text;
    decodeAppend(bytes, text);
    return text;
}

std::string encode(std::u16string_view text) {
    std::string bytes;
    encodeAppend(text, bytes);
    return bytes;
}

bool canEncode(char16_t c) {
    return kEncodeTable[c] != kQuestionMark || c == u'?';
}

int16_t characterCode(char16_t c) {
    return static_cast<int16_t>(kEncodeTable[c]);
}

}  // namespace platform::cp932
