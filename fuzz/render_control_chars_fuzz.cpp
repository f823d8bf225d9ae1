// Control-character rendering: any text renders without failing into a single printable
// line (no character below 32, no character whose code is 255 or negative), and the
// result is the concatenation of the renderings of its characters taken one by one, each
// as the mnemonic and tag tables say.
//
// Input: the first byte picks the text: even, the rest as code page 932 bytes (Japanese
// text, stray bytes kept as escapes); odd, little-endian 16-bit units.
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

#include "fuzz_input.h"
#include "platform/codepage932.h"
#include "text_render/render_control_chars.h"

namespace {

namespace cp932 = platform::cp932;

// The expected rendering of one character, straight from the tables.
std::u16string expectedRendering(char16_t c) {
    static const std::map<int, std::u16string> kMnemonics = {
        {0, u"<NUL>"},  {1, u"<SOH>"},  {2, u"<STX>"}, {3, u"<ETX>"}, {4, u"<EOT>"},
        {5, u"<ENQ>"},  {6, u"<ACK>"},  {10, u"<LF>"}, {13, u"<CR>"}, {21, u"<NAK>"},
        {22, u"<SYN>"}, {23, u"<ETB>"}, {27, u"<ESC>"}};
    const int code = cp932::characterCode(c);
    if (auto it = kMnemonics.find(code); it != kMnemonics.end())
        return it->second;
    if (code < 32 || code >= 255) {
        char digits[8];
        std::snprintf(digits, sizeof digits, "%02X", static_cast<unsigned>(code) & 0xFF);
        return std::u16string{u'<', static_cast<char16_t>(digits[0]),
                              static_cast<char16_t>(digits[1]), u'>'};
    }
    return std::u16string(1, c);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzInput input(data, size);
    const std::u16string text =
        input.takeBool() ? input.takeRemainingText() : cp932::decode(input.takeRemainingBytes());

    const std::u16string rendered = text_render::RenderControlChars(text);

    for (const char16_t c : rendered) {
        const int code = cp932::characterCode(c);
        FUZZ_CHECK(c >= 32, "the rendering holds the control character %d", int(c));
        FUZZ_CHECK(code != 255, "the rendering holds U+%04X, whose code is 255", unsigned(c));
        FUZZ_CHECK(code >= 0, "the rendering holds the double-byte character U+%04X", unsigned(c));
    }

    std::u16string joined;
    for (const char16_t c : text) {
        const std::u16string piece = text_render::RenderControlChars(std::u16string_view(&c, 1));
        FUZZ_CHECK(piece == expectedRendering(c), "U+%04X (code %d) renders unlike the tables",
                   unsigned(c), int(cp932::characterCode(c)));
        joined += piece;
    }
    FUZZ_CHECK(rendered == joined, "the rendering differs from its characters rendered one by one");
    return 0;
}
