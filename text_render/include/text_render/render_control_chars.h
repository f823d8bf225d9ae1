// The one rendering of control characters, shared by the control's communication log and
// the sample's transcript: it turns any text into a printable single line.
//
// Each 16-bit unit is classified on its own by its code in code page 932
// (platform::cp932::characterCode). The codes 0-6, 10, 13, 21-23 and 27 become mnemonics
// such as "<CR>"; every other code below 32 (every double-byte character included) and
// every code from 255 up becomes "<" + the last two upper-case hex digits of the code in
// 16-bit two's complement + ">", so a double-byte character shows its trail byte. All other
// characters, those the code page cannot encode included, pass through. Never fails.
#pragma once

#include <string>
#include <string_view>

namespace text_render {

std::u16string RenderControlChars(std::u16string_view text);

// Appends to `out` the rendering of the longest start of `text` whose rendering has at
// most `maxChars` characters, and returns how many characters of `text` that start has: a
// mnemonic or tag is never cut, and a long text costs no more than its rendered start.
size_t appendRenderedStart(std::u16string_view text, size_t maxChars, std::u16string& out);

// Appends the rendering of `text` written in code page 932 to `out`: the bytes of
// encoding RenderControlChars(text), made in one pass, for the communication log.
void appendRenderedAsCodePage932(std::u16string_view text, std::string& out);

}  // namespace text_render
