#include "text_render/render_control_chars.h"

#include <array>
#include <cstdint>

#include "platform/codepage932.h"

namespace text_render {
namespace {

// Mnemonics by code 0..31; empty where the code renders as a hexadecimal tag.
constexpr std::array<std::u16string_view, 32> kMnemonics = {
    u"<NUL>", u"<SOH>", u"<STX>", u"<ETX>", u"<EOT>", u"<ENQ>", u"<ACK>", u"",     u"", u"",
    u"<LF>",  u"",      u"",      u"<CR>",  u"",      u"",      u"",      u"",     u"", u"",
    u"",      u"<NAK>", u"<SYN>", u"<ETB>", u"",      u"",      u"",      u"<ESC>"};

void appendHexTag(int16_t code, std::u16string& out) {
    constexpr char16_t kDigits[] = u"0123456789ABCDEF";
    const auto low = static_cast<uint8_t>(static_cast<uint16_t>(code) & 0xFF);
    out += u'<';
    out += kDigits[low >> 4];
    out += kDigits[low & 0xF];
    out += u'>';
}

// Printable ASCII is its own code in every code page that matters: copied in runs.
bool isPrintableAscii(char16_t c) {
    return c >= 0x20 && c < 0x7F;
}

}  // namespace

std::u16string RenderControlChars(std::u16string_view text) {
    std::u16string rendered;
    rendered.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (isPrintableAscii(text[i])) {
            size_t end = i + 1;
            while (end < text.size() && isPrintableAscii(text[end]))
                ++end;
            rendered.append(text.substr(i, end - i));
            i = end - 1;
            continue;
        }
        const char16_t c = text[i];
        const int16_t code = platform::cp932::characterCode(c);
        if (code >= 32 && code < 255) {
            rendered += c;
        } else if (code >= 0 && code < 32 && !kMnemonics[code].empty()) {
            rendered += kMnemonics[code];
        } else {
            appendHexTag(code, rendered);
        }
    }
    return rendered;
}

}  // namespace text_render
