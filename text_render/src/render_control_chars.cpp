#include "text_render/render_control_chars.h"

#include <array>
#include <cstdint>

#include "platform/codepage932.h"

namespace text_render {
namespace {

// Mnemonics by code 0..31; empty where the code renders as a hexadecimal tag.
constexpr std::array<std::string_view, 32> kMnemonics = {
    "<NUL>", "<SOH>", "<STX>", "<ETX>", "<EOT>", "<ENQ>", "<ACK>", "",     "", "",
    "<LF>",  "",      "",      "<CR>",  "",      "",      "",      "",     "", "",
    "",      "<NAK>", "<SYN>", "<ETB>", "",      "",      "",      "<ESC>"};

// What a character of code `code` becomes: its mnemonic, its hexadecimal tag (written into
// `tag`), or nothing when it passes through unchanged.
std::string_view replacementFor(int16_t code, std::array<char, 4>& tag) {
    if (code >= 32 && code < 255)
        return {};
    if (code >= 0 && code < 32 && !kMnemonics[code].empty())
        return kMnemonics[code];
    constexpr char kDigits[] = "0123456789ABCDEF";
    const auto low = static_cast<uint8_t>(static_cast<uint16_t>(code) & 0xFF);
    tag = {'<', kDigits[low >> 4], kDigits[low & 0xF], '>'};
    return {tag.data(), tag.size()};
}

// Printable ASCII is its own code in every code page that matters: copied in runs.
bool isPrintableAscii(char16_t c) {
    return c >= 0x20 && c < 0x7F;
}

// The end of the run of printable ASCII that starts at `i`.
size_t printableRunEnd(std::u16string_view text, size_t i) {
    while (i < text.size() && isPrintableAscii(text[i]))
        ++i;
    return i;
}

}  // namespace

std::u16string RenderControlChars(std::u16string_view text) {
    std::u16string rendered;
    rendered.reserve(text.size());
    std::array<char, 4> tag;
    for (size_t i = 0; i < text.size();) {
        if (const size_t end = printableRunEnd(text, i); end > i) {
            rendered.append(text.substr(i, end - i));
            i = end;
            continue;
        }
        const char16_t c = text[i++];
        const std::string_view replacement = replacementFor(platform::cp932::characterCode(c), tag);
        if (replacement.empty())
            rendered += c;
        else
            rendered.append(replacement.begin(), replacement.end());
    }
    return rendered;
}

void AppendRenderedAsCodePage932(std::u16string_view text, std::string& out) {
    std::array<char, 4> tag;
    for (size_t i = 0; i < text.size();) {
        if (const size_t end = printableRunEnd(text, i); end > i) {
            const size_t start = out.size();
            out.resize(start + (end - i));
            for (char* q = out.data() + start; i < end; ++i)
                *q++ = static_cast<char>(text[i]);
            continue;
        }
        const int16_t code = platform::cp932::characterCode(text[i++]);
        const std::string_view replacement = replacementFor(code, tag);
        // A character that passes through is a single byte in the code page, its code (a
        // character the code page lacks counts as "?", which is also how it is written).
        if (replacement.empty())
            out += static_cast<char>(code);
        else
            out.append(replacement);
    }
}

}  // namespace text_render
