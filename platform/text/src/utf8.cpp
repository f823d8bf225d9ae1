#include "platform/utf8.h"

#include <cstdint>

namespace platform {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool isHighSurrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool isLowSurrogate(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

void appendUtf8(char32_t c, std::string& out) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

void appendUtf16(char32_t c, std::u16string& out) {
    if (c < 0x10000) {
        out += static_cast<char16_t>(c);
    } else {
        c -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (c >> 10));
        out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    }
}

struct LeadByte {
    int length;         // bytes in the whole sequence, 0 if the byte cannot start one
    std::uint8_t low;   // allowed range of the second byte: it is narrower after some lead
    std::uint8_t high;  // bytes, which is what rules out overlong forms, surrogates and
    char32_t value;     // values above U+10FFFF
};

LeadByte classify(std::uint8_t b) {
    if (b >= 0xC2 && b <= 0xDF)
        return {2, 0x80, 0xBF, static_cast<char32_t>(b & 0x1F)};
    if (b == 0xE0)
        return {3, 0xA0, 0xBF, 0};
    if (b == 0xED)
        return {3, 0x80, 0x9F, 0xD};
    if (b >= 0xE1 && b <= 0xEF)
        return {3, 0x80, 0xBF, static_cast<char32_t>(b & 0x0F)};
    if (b == 0xF0)
        return {4, 0x90, 0xBF, 0};
    if (b >= 0xF1 && b <= 0xF3)
        return {4, 0x80, 0xBF, static_cast<char32_t>(b & 0x07)};
    if (b == 0xF4)
        return {4, 0x80, 0x8F, 4};
    return {0, 0, 0, 0};
}

}  // namespace

std::string toUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (isHighSurrogate(c) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) {
            appendUtf8(0x10000 + ((char32_t(c) - 0xD800) << 10) + (text[i + 1] - 0xDC00), out);
            ++i;
        } else if (isHighSurrogate(c) || isLowSurrogate(c)) {
            appendUtf8(kReplacement, out);
        } else {
            appendUtf8(c, out);
        }
    }
    return out;
}

// An ill-formed sequence is replaced by one U+FFFD for its longest valid prefix, and
// decoding resumes at the first byte that did not fit (the usual "maximal subpart" rule).
std::u16string fromUtf8(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<std::uint8_t>(text[i]);
        if (b < 0x80) {
            out += static_cast<char16_t>(b);
            ++i;
            continue;
        }
        const LeadByte lead = classify(b);
        ++i;
        if (lead.length == 0) {
            out += static_cast<char16_t>(kReplacement);
            continue;
        }
        char32_t value = lead.value;
        int taken = 1;
        for (; taken < lead.length && i < text.size(); ++taken, ++i) {
            const auto next = static_cast<std::uint8_t>(text[i]);
            const std::uint8_t low = taken == 1 ? lead.low : 0x80;
            const std::uint8_t high = taken == 1 ? lead.high : 0xBF;
            if (next < low || next > high)
                break;
            value = (value << 6) | (next & 0x3F);
        }
        appendUtf16(taken == lead.length ? value : kReplacement, out);
    }
    return out;
}

}  // namespace platform
