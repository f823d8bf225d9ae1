#include "platform/codepage932.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

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

// ASCII is the same in both forms and most of what a line carries, so runs of it are
// converted sixteen at a time: all sixteen are widened or narrowed as a block and the ones up
// to the first non-ASCII one are kept (the output has room for sixteen: it is sized for one
// unit per byte and two bytes per unit). SSE2 does a block in a few instructions; elsewhere
// 64-bit words are tested for a high bit.
constexpr size_t kRun = 16;
constexpr ptrdiff_t kRunLength = kRun;  // the same, to compare with a distance

#ifndef __SSE2__
constexpr uint64_t kByteHighBits = 0x8080808080808080;
constexpr uint64_t kUnitHighBits = 0xFF80FF80FF80FF80;  // four units: any at or above 0x80

// How many lanes of `width` bytes, from the start of `run` on, have no bit of `highBits` set.
size_t plainLanes(const void* run, uint64_t highBits, size_t width) {
    const auto* bytes = static_cast<const unsigned char*>(run);
    size_t lanes = 0;
    for (size_t offset = 0; offset < kRun * width; offset += sizeof(uint64_t)) {
        uint64_t word;
        std::memcpy(&word, bytes + offset, sizeof word);
        if (const uint64_t high = word & highBits; high != 0) {
            const int bits = std::endian::native == std::endian::little ? std::countr_zero(high)
                                                                        : std::countl_zero(high);
            return lanes + static_cast<size_t>(bits) / (8 * width);
        }
        lanes += sizeof word / width;
    }
    return lanes;
}
#endif

// Converts the ASCII at the start of the sixteen bytes at `p`; returns how many bytes that is
// (at least one: callers come here for an ASCII byte).
size_t decodeAsciiRun(const unsigned char* p, char16_t* q) {
#ifdef __SSE2__
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i zero = _mm_setzero_si128();
    _mm_storeu_si128(reinterpret_cast<__m128i*>(q), _mm_unpacklo_epi8(bytes, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(q + 8), _mm_unpackhi_epi8(bytes, zero));
    return static_cast<size_t>(std::countr_zero(static_cast<uint16_t>(_mm_movemask_epi8(bytes))));
#else
    for (size_t i = 0; i < kRun; ++i)
        q[i] = p[i];
    return plainLanes(p, kByteHighBits, 1);
#endif
}

// Converts the ASCII at the start of the sixteen units at `p`; returns how many units that is
// (at least one, as for decoding).
size_t encodeAsciiRun(const char16_t* p, char* q) {
#ifdef __SSE2__
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(q), _mm_packus_epi16(low, high));
    const __m128i above = _mm_set1_epi16(static_cast<int16_t>(0xFF80));
    const __m128i zero = _mm_setzero_si128();
    const __m128i ascii = _mm_packs_epi16(_mm_cmpeq_epi16(_mm_and_si128(low, above), zero),
                                          _mm_cmpeq_epi16(_mm_and_si128(high, above), zero));
    return static_cast<size_t>(std::countr_one(static_cast<uint16_t>(_mm_movemask_epi8(ascii))));
#else
    for (size_t i = 0; i < kRun; ++i)
        q[i] = static_cast<char>(p[i]);
    return plainLanes(p, kUnitHighBits, 2);
#endif
}

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
            if (end - p >= kRunLength) {
                const size_t taken = decodeAsciiRun(p, q);
                q += taken;
                p += taken;
            } else {
                *q++ = b;
                ++p;
            }
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
    const char16_t* p = text.data();
    const char16_t* const end = p + text.size();
    while (p < end) {
        const char16_t c = *p;
        if (c < 0x80 && end - p >= kRunLength) {
            const size_t taken = encodeAsciiRun(p, q);
            q += taken;
            p += taken;
            continue;
        }
        ++p;
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
