#include "text_render/render_control_chars.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>

#include "platform/codepage932.h"

namespace text_render {
namespace {

// Mnemonics by code 0..31; empty where the code renders as a hexadecimal tag.
constexpr std::array<std::string_view, 32> kMnemonics = {
    "<NUL>", "<SOH>", "<STX>", "<ETX>", "<EOT>", "<ENQ>", "<ACK>", "",     "", "",
    "<LF>",  "",      "",      "<CR>",  "",      "",      "",      "",     "", "",
    "",      "<NAK>", "<SYN>", "<ETB>", "",      "",      "",      "<ESC>"};

// Appends the rendering of a character of code `code` that does not pass through: its
// mnemonic, or "<" + the last two hexadecimal digits of the code + ">". `Text` is the
// 16-bit text or the code page 932 bytes, which spell it alike.
template <typename Text>
void appendReplacement(int16_t code, Text& out) {
    using Unit = typename Text::value_type;
    if (code >= 0 && code < 32 && !kMnemonics[code].empty()) {
        for (char c : kMnemonics[code])
            out += static_cast<Unit>(c);
        return;
    }
    constexpr char kDigits[] = "0123456789ABCDEF";
    const auto low = static_cast<uint8_t>(static_cast<uint16_t>(code) & 0xFF);
    const Unit tag[] = {'<', static_cast<Unit>(kDigits[low >> 4]),
                        static_cast<Unit>(kDigits[low & 0xF]), '>'};
    out.append(tag, std::size(tag));
}

// The codes that pass through unchanged.
bool passesThrough(int16_t code) {
    return code >= 32 && code < 255;
}

// Printable ASCII is its own code in every code page that matters: copied in runs.
bool isPrintableAscii(char16_t c) {
    return c >= 0x20 && c < 0x7F;
}

// The end of the run of printable ASCII that starts at `i`, which is printable ASCII.
size_t printableRunEnd(std::u16string_view text, size_t i) {
    do
        ++i;
    while (i < text.size() && isPrintableAscii(text[i]));
    return i;
}

// The length of the rendering of a character of code `code` that does not pass through.
size_t replacementLength(int16_t code) {
    return code >= 0 && code < 32 && !kMnemonics[code].empty() ? kMnemonics[code].size() : 4;
}

}  // namespace

std::u16string RenderControlChars(std::u16string_view text) {
    std::u16string rendered;
    rendered.reserve(text.size());
    appendRenderedStart(text, SIZE_MAX, rendered);
    return rendered;
}

size_t appendRenderedStart(std::u16string_view text, size_t maxChars, std::u16string& out) {
    size_t room = maxChars;
    size_t i = 0;
    while (i < text.size() && room > 0) {
        if (isPrintableAscii(text[i])) {
            const size_t run = std::min(printableRunEnd(text, i) - i, room);
            out.append(text.substr(i, run));
            room -= run;
            i += run;
            continue;
        }
        const char16_t c = text[i];
        const int16_t code = platform::cp932::characterCode(c);
        const size_t length = passesThrough(code) ? 1 : replacementLength(code);
        if (length > room)
            break;
        if (passesThrough(code))
            out += c;
        else
            appendReplacement(code, out);
        room -= length;
        ++i;
    }
    return i;
}

void appendRenderedAsCodePage932(std::u16string_view text, std::string& out) {
    for (size_t i = 0; i < text.size();) {
        if (isPrintableAscii(text[i])) {
            const size_t end = printableRunEnd(text, i);
            const size_t start = out.size();
            out.resize(start + (end - i));
            for (char* q = out.data() + start; i < end; ++i)
                *q++ = static_cast<char>(text[i]);
            continue;
        }
        const int16_t code = platform::cp932::characterCode(text[i++]);
        // A character that passes through is a single byte in the code page, its code (a
        // character the code page lacks counts as "?", which is also how it is written).
        if (passesThrough(code))
            out += static_cast<char>(code);
        else
            appendReplacement(code, out);
    }
}

}  // namespace text_render
