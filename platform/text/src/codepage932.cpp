#include "platform/codepage932.h"

#include <array>
#include <bit>
#include <cstddef>

#include "codepage932_paths.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif
#ifdef __x86_64__
#include <immintrin.h>
#endif

namespace platform::cp932 {
namespace {

#include "codepage932_table.inc"

constexpr uint16_t kQuestionMark = 0x3F;

// Every 16-bit unit -> its bytes: a value below 0x100 is one byte, any other is lead * 256 +
// trail. Unencodable units hold "?", so encoding needs no extra branch for them. The decode
// tables keep one pair per character, so inverting them (plus the encode-only readings)
// gives exactly the forms Windows writes.
// (One entry more than there are units: a vector gather reads 32 bits at a unit's place.)
constexpr size_t kUnits = 0x10000;
constexpr std::array<uint16_t, kUnits + 1> buildEncodeTable() {
    std::array<uint16_t, kUnits + 1> table{};
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

constexpr std::array<uint16_t, kUnits + 1> kEncodeTable = buildEncodeTable();

// Every two bytes, indexed by lead * 256 + trail -> the character of the pair, or 0 where the
// pair forms none (any first byte that is no lead byte included): one lookup per pair, where
// the rows of the generated table take two. The rows of bytes that lead no pair are zeros the
// decoder reaches only for such a byte followed by another one.
constexpr std::array<char16_t, kUnits + 1> buildPairTable() {
    std::array<char16_t, kUnits + 1> table{};
    for (int lead = 0; lead < 0x100; ++lead) {
        for (int trail = 0; trail < 0x100; ++trail)
            table[lead << 8 | trail] = kDoubleByteTable[kLeadRow[lead]][trail];
    }
    return table;
}

constexpr std::array<char16_t, kUnits + 1> kPairTable = buildPairTable();

// ASCII is the same in both forms and most of what a line carries, so where the processor
// has SSE2 (every x86-64 does) runs of it are converted sixteen at a time: all sixteen are
// widened or narrowed as a block and the ones up to the first non-ASCII one are kept (the
// output has room for sixteen: it is sized for one unit per byte and two bytes per unit).
// Elsewhere every unit takes the plain way, which is also the reference the tests hold the
// blocks to.
#ifdef __SSE2__
constexpr bool kAsciiBlocks = true;
constexpr size_t kRun = 16;
constexpr ptrdiff_t kRunLength = kRun;  // the same, to compare with a distance

// Converts the ASCII at the start of the sixteen bytes at `p`; returns how many bytes that is.
size_t decodeAsciiRun(const unsigned char* p, char16_t* q) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i zero = _mm_setzero_si128();
    _mm_storeu_si128(reinterpret_cast<__m128i*>(q), _mm_unpacklo_epi8(bytes, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(q + 8), _mm_unpackhi_epi8(bytes, zero));
    return static_cast<size_t>(std::countr_zero(static_cast<uint16_t>(_mm_movemask_epi8(bytes))));
}

// Converts the ASCII at the start of the sixteen units at `p`; returns how many units that is.
size_t encodeAsciiRun(const char16_t* p, char* q) {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(q), _mm_packus_epi16(low, high));
    const __m128i above = _mm_set1_epi16(static_cast<int16_t>(0xFF80));
    const __m128i zero = _mm_setzero_si128();
    const __m128i ascii = _mm_packs_epi16(_mm_cmpeq_epi16(_mm_and_si128(low, above), zero),
                                          _mm_cmpeq_epi16(_mm_and_si128(high, above), zero));
    return static_cast<size_t>(std::countr_one(static_cast<uint16_t>(_mm_movemask_epi8(ascii))));
}

// After a whole run, long stretches of ASCII go as whole blocks, with one test per block: 32
// at a time where the processor has AVX2 (chosen at run time, as the build assumes only
// SSE2), then 16 at a time. Each returns how many it converted, stopping at the first block
// that holds anything else or would run past `end`; a run takes the ASCII at the start of
// that block. (Pointers are passed by value: a vector store may alias anything, and would make
// the compiler reload a pointer held in memory after each one.)
#ifdef __x86_64__
// The processor model is read first: this may run before the compiler's own start-up code.
const bool kHasAvx2 = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
constexpr ptrdiff_t kWideBlock = 32;

// The 16 units of 16 ASCII bytes, twice.
__attribute__((target("avx2"), always_inline)) inline void widen(__m256i bytes, char16_t* to) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to),
                        _mm256_cvtepu8_epi16(_mm256_castsi256_si128(bytes)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + 16),
                        _mm256_cvtepu8_epi16(_mm256_extracti128_si256(bytes, 1)));
}

// 32 units below 0x100 as bytes. The pack works within 128-bit lanes; the permute puts the
// four quarters in order.
__attribute__((target("avx2"), always_inline)) inline void narrow(__m256i low, __m256i high,
                                                                  char* to) {
    const __m256i packed = _mm256_packus_epi16(low, high);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to),
                        _mm256_permute4x64_epi64(packed, 0b11'01'10'00));
}

__attribute__((target("avx2"), always_inline)) inline __m256i load(const void* from) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from));
}

__attribute__((target("avx2"))) size_t decodeAsciiBlocksAvx2(const unsigned char* p,
                                                             const unsigned char* end,
                                                             char16_t* q) {
    const unsigned char* const start = p;
    // Two blocks a round while both are ASCII, one test for the pair; then single blocks.
    for (; end - p >= 2 * kWideBlock; p += 2 * kWideBlock, q += 2 * kWideBlock) {
        const __m256i first = load(p), second = load(p + 32);
        if (_mm256_movemask_epi8(_mm256_or_si256(first, second)) != 0)
            break;
        widen(first, q);
        widen(second, q + 32);
    }
    for (; end - p >= kWideBlock; p += kWideBlock, q += kWideBlock) {
        const __m256i bytes = load(p);
        if (_mm256_movemask_epi8(bytes) != 0)
            break;
        widen(bytes, q);
    }
    return static_cast<size_t>(p - start);
}

__attribute__((target("avx2"))) size_t encodeAsciiBlocksAvx2(const char16_t* p, const char16_t* end,
                                                             char* q) {
    const char16_t* const start = p;
    const __m256i above = _mm256_set1_epi16(static_cast<int16_t>(0xFF80));
    // Two blocks a round while both are ASCII, one test for the pair; then single blocks.
    for (; end - p >= 2 * kWideBlock; p += 2 * kWideBlock, q += 2 * kWideBlock) {
        const __m256i a = load(p), b = load(p + 16), c = load(p + 32), d = load(p + 48);
        const __m256i all = _mm256_or_si256(_mm256_or_si256(a, b), _mm256_or_si256(c, d));
        if (!_mm256_testz_si256(all, above))
            break;
        narrow(a, b, q);
        narrow(c, d, q + 32);
    }
    for (; end - p >= kWideBlock; p += kWideBlock, q += kWideBlock) {
        const __m256i low = load(p), high = load(p + 16);
        if (!_mm256_testz_si256(_mm256_or_si256(low, high), above))
            break;
        narrow(low, high, q);
    }
    return static_cast<size_t>(p - start);
}
#endif

// Whole blocks of 16 with SSE2, at most `most` of them.
size_t decodeAsciiBlocksSse2(const unsigned char* p, const unsigned char* end, char16_t* q,
                             size_t most) {
    size_t taken = 0;
    const __m128i zero = _mm_setzero_si128();
    for (; taken < most * kRun && end - p >= kRunLength; p += kRun, q += kRun, taken += kRun) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        if (_mm_movemask_epi8(bytes) != 0)
            break;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(q), _mm_unpacklo_epi8(bytes, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(q + 8), _mm_unpackhi_epi8(bytes, zero));
    }
    return taken;
}

size_t encodeAsciiBlocksSse2(const char16_t* p, const char16_t* end, char* q, size_t most) {
    size_t taken = 0;
    const __m128i above = _mm_set1_epi16(static_cast<int16_t>(0xFF80));
    const __m128i zero = _mm_setzero_si128();
    for (; taken < most * kRun && end - p >= kRunLength; p += kRun, q += kRun, taken += kRun) {
        const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8));
        const __m128i stray = _mm_and_si128(_mm_or_si128(low, high), above);
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(stray, zero)) != 0xFFFF)
            break;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(q), _mm_packus_epi16(low, high));
    }
    return taken;
}

// The wide units are woken only for a long stretch: used now and then, for the odd short
// run in mixed text, they cost more than they save.
constexpr size_t kBlocksBeforeWide = 4;

template <typename In, typename Out>
size_t convertAsciiBlocks(const In* p, const In* end, Out* q,
                          size_t (*plain)(const In*, const In*, Out*, size_t),
                          [[maybe_unused]] size_t (*wide)(const In*, const In*, Out*)) {
    size_t taken = plain(p, end, q, kBlocksBeforeWide);
#ifdef __x86_64__
    if (kHasAvx2 && taken == kBlocksBeforeWide * kRun)
        taken += wide(p + taken, end, q + taken);
#endif
    return taken + plain(p + taken, end, q + taken, SIZE_MAX / kRun);
}

#ifndef __x86_64__
// Never called: the wide forms exist only where AVX2 can be.
constexpr size_t (*decodeAsciiBlocksAvx2)(const unsigned char*, const unsigned char*,
                                          char16_t*) = nullptr;
constexpr size_t (*encodeAsciiBlocksAvx2)(const char16_t*, const char16_t*, char*) = nullptr;
#endif

// Out of line: inlined, they make the callers' loops over mixed text markedly slower.
[[gnu::noinline]] size_t decodeAsciiBlocks(const unsigned char* p, const unsigned char* end,
                                           char16_t* q) {
    return convertAsciiBlocks(p, end, q, decodeAsciiBlocksSse2, decodeAsciiBlocksAvx2);
}

[[gnu::noinline]] size_t encodeAsciiBlocks(const char16_t* p, const char16_t* end, char* q) {
    return convertAsciiBlocks(p, end, q, encodeAsciiBlocksSse2, encodeAsciiBlocksAvx2);
}
#else
constexpr bool kAsciiBlocks = false;
#endif

// Runs of double-byte characters (a line of Japanese text, where every character is a pair)
// go eight at a time where the processor has AVX2: the eight pairs are looked up with one
// gather and written as a block if every one forms a character. A pair's character is
// nonzero only when its first byte is a lead byte, so then the byte-by-byte reading would
// have taken these same eight pairs. The blocks start only after a few pairs in a row:
// mixed text, with a word or two between ASCII, would pay for a block tried and not taken.
// A block is tried only when the last unit it would take is no ASCII (which is never a
// pair): most tries that would fail, at the end of a word, cost no more than that look.
constexpr unsigned kPairsBeforeBlocks = 4;
constexpr ptrdiff_t kPairBlock = 8;

#ifdef __x86_64__
const bool kUsePairBlocks = kAsciiBlocks && kHasAvx2;

// The eight units `codes` (32 bits each, the upper half zero) as 16-bit units, in order.
__attribute__((target("avx2"), always_inline)) inline __m128i narrowUnits(__m256i codes) {
    return _mm_packus_epi32(_mm256_castsi256_si128(codes), _mm256_extracti128_si256(codes, 1));
}

// Decodes whole blocks of eight pairs from `p`; returns how many bytes that is.
__attribute__((target("avx2"), noinline)) size_t decodePairBlocks(const unsigned char* p,
                                                                  const unsigned char* end,
                                                                  char16_t* q) {
    const unsigned char* const start = p;
    const __m256i low = _mm256_set1_epi32(0xFFFF);
    const __m256i zero = _mm256_setzero_si256();
    for (; end - p >= 2 * kPairBlock; p += 2 * kPairBlock, q += kPairBlock) {
        // Each pair as a 32-bit number, lead in the low byte: lead * 256 + trail is its index.
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        // Every first byte must be a lead byte, never ASCII: most blocks that would not be
        // taken stop here, before the gather, which is slow.
        if ((_mm_movemask_epi8(bytes) & 0x5555) != 0x5555)
            break;
        const __m256i pairs = _mm256_cvtepu16_epi32(bytes);
        const __m256i index =
            _mm256_or_si256(_mm256_slli_epi32(_mm256_and_si256(pairs, _mm256_set1_epi32(0xFF)), 8),
                            _mm256_srli_epi32(pairs, 8));
        const __m256i characters = _mm256_and_si256(
            _mm256_i32gather_epi32(reinterpret_cast<const int*>(kPairTable.data()), index, 2), low);
        if (_mm256_movemask_epi8(_mm256_cmpeq_epi32(characters, zero)) != 0)
            break;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(q), narrowUnits(characters));
    }
    return static_cast<size_t>(p - start);
}

// Encodes whole blocks of eight units from `p` that are all written as pairs; returns how many
// units that is.
__attribute__((target("avx2"), noinline)) size_t encodePairBlocks(const char16_t* p,
                                                                  const char16_t* end, char* q) {
    const char16_t* const start = p;
    const __m256i low = _mm256_set1_epi32(0xFFFF);
    const __m256i leadByte = _mm256_set1_epi32(0xFF00);
    const __m256i zero = _mm256_setzero_si256();
    // Each code is lead * 256 + trail, its lead written first.
    const __m128i ascii = _mm_set1_epi16(static_cast<int16_t>(0xFF80));
    const __m128i zero128 = _mm_setzero_si128();
    const __m128i leadFirst = _mm_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14);
    for (; end - p >= kPairBlock; p += kPairBlock, q += 2 * kPairBlock) {
        const __m128i eight = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        // ASCII is never a pair (as for decoding, a cheap first look).
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(eight, ascii), zero128)) != 0)
            break;
        const __m256i units = _mm256_cvtepu16_epi32(eight);
        const __m256i codes = _mm256_and_si256(
            _mm256_i32gather_epi32(reinterpret_cast<const int*>(kEncodeTable.data()), units, 2),
            low);
        const __m256i single = _mm256_cmpeq_epi32(_mm256_and_si256(codes, leadByte), zero);
        if (_mm256_movemask_epi8(single) != 0)
            break;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(q),
                         _mm_shuffle_epi8(narrowUnits(codes), leadFirst));
    }
    return static_cast<size_t>(p - start);
}
#else
constexpr bool kUsePairBlocks = false;
// Never called: the blocks exist only where AVX2 can be.
size_t decodePairBlocks(const unsigned char*, const unsigned char*, char16_t*) {
    return 0;
}
size_t encodePairBlocks(const char16_t*, const char16_t*, char*) {
    return 0;
}
#endif

// The conversions, with ASCII and runs of pairs in blocks or one unit at a time: one loop for
// both, so the two ways differ only in the blocks. Each writes into room for one unit per byte
// or two bytes per unit and returns how much it wrote.
template <bool asciiBlocks>
size_t decodeWith(std::string_view bytes, char16_t* out) {
    char16_t* q = out;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = p + bytes.size();
    unsigned pairs = 0;  // pairs in a row just before p
    // Branches, not a branch-free select: they let the processor run ahead instead of
    // waiting for each lookup to learn where the next character starts.
    while (p < end) {
        const unsigned char b = *p;
        if (b < 0x80) {
            pairs = 0;
#ifdef __SSE2__
            if (asciiBlocks && end - p >= kRunLength) {
                const size_t taken = decodeAsciiRun(p, q);
                q += taken;
                p += taken;
                // A whole run of ASCII may be the start of a long stretch: the rest of it
                // goes in blocks.
                if (taken == kRun) {
                    const size_t blocks = decodeAsciiBlocks(p, end, q);
                    p += blocks;
                    q += blocks;
                }
                continue;
            }
#endif
            *q++ = b;
            ++p;
            continue;
        }
        if (p + 1 < end) {
            if (const char16_t c = kPairTable[b << 8 | p[1]]; c != 0) {
                *q++ = c;
                p += 2;
                // The count first: it is in a register, the processor's answer in memory.
                if (asciiBlocks && ++pairs == kPairsBeforeBlocks) {
                    pairs = 0;
                    if (kUsePairBlocks && end - p >= 2 * kPairBlock &&
                        p[2 * kPairBlock - 2] >= 0x80) {
                        const size_t taken = decodePairBlocks(p, end, q);
                        p += taken;
                        q += taken / 2;
                    }
                }
                continue;
            }
        }
        // A single-byte character, or a byte that starts no assigned pair: the table holds
        // its escape, and the next byte is read afresh.
        pairs = 0;
        *q++ = kSingleByteTable[b];
        ++p;
    }
    return static_cast<size_t>(q - out);
}

template <bool asciiBlocks>
size_t encodeWith(std::u16string_view text, char* out) {
    char* q = out;
    const char16_t* p = text.data();
    const char16_t* const end = p + text.size();
    // Where a block of pairs may be tried next: a few units past the last ASCII or try.
    const char16_t* nextTry = p + kPairsBeforeBlocks;
    while (p < end) {
        const char16_t c = *p;
#ifdef __SSE2__
        if (asciiBlocks && c < 0x80 && end - p >= kRunLength) {
            const size_t taken = encodeAsciiRun(p, q);
            q += taken;
            p += taken;
            nextTry = p + kPairsBeforeBlocks;
            if (taken == kRun) {  // as for decoding
                const size_t blocks = encodeAsciiBlocks(p, end, q);
                p += blocks;
                q += blocks;
            }
            continue;
        }
#endif
        ++p;
        // Always store two bytes, the second overwritten next unless this is a pair: mixed
        // Japanese and ASCII text would mispredict a branch on nearly every character.
        const uint16_t code = kEncodeTable[c];
        const unsigned isPair = code > 0xFF;
        q[0] = static_cast<char>(code >> (8 * isPair));
        q[1] = static_cast<char>(code & 0xFF);
        q += 1 + isPair;
        // (A unit written as one byte counts as a pair here: the block itself is exact.)
        if (asciiBlocks && p >= nextTry) {
            if (kUsePairBlocks && end - p >= kPairBlock && p[kPairBlock - 1] >= 0x80) {
                const size_t taken = encodePairBlocks(p, end, q);
                p += taken;
                q += 2 * taken;
            }
            nextTry = p + kPairsBeforeBlocks;
        }
    }
    return static_cast<size_t>(q - out);
}

}  // namespace

namespace paths {

size_t decodeFast(std::string_view bytes, char16_t* out) {
    return decodeWith<kAsciiBlocks>(bytes, out);
}

size_t decodePlain(std::string_view bytes, char16_t* out) {
    return decodeWith<false>(bytes, out);
}

size_t encodeFast(std::u16string_view text, char* out) {
    return encodeWith<kAsciiBlocks>(text, out);
}

size_t encodePlain(std::u16string_view text, char* out) {
    return encodeWith<false>(text, out);
}

}  // namespace paths

void decodeAppend(std::string_view bytes, std::u16string& out) {
    // At most one unit per byte: size once, fill through a pointer, trim at the end.
    const size_t start = out.size();
    out.resize(start + bytes.size());
    out.resize(start + decodeWith<kAsciiBlocks>(bytes, out.data() + start));
}

void encodeAppend(std::u16string_view text, std::string& out) {
    const size_t start = out.size();
    out.resize(start + 2 * text.size());
    out.resize(start + encodeInto(text, out.data() + start));
}

size_t encodeInto(std::u16string_view text, char* out) {
    return encodeWith<kAsciiBlocks>(text, out);
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
