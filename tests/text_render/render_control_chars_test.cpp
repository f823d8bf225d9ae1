#include "text_render/render_control_chars.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

#include "platform/codepage932.h"

namespace {

using text_render::RenderControlChars;

// The character whose code page 932 code is `code` (0..255): the byte decoded alone, which
// for a lead byte is its escape.
char16_t characterWithCode(int code) {
    return platform::cp932::decode(std::string(1, static_cast<char>(code)))[0];
}

TEST(RenderControlChars, EverySingleByteCodeFollowsTheTables) {
    const std::map<int, std::u16string> mnemonics = {
        {0, u"<NUL>"},  {1, u"<SOH>"},  {2, u"<STX>"},  {3, u"<ETX>"}, {4, u"<EOT>"},
        {5, u"<ENQ>"},  {6, u"<ACK>"},  {10, u"<LF>"},  {13, u"<CR>"}, {21, u"<NAK>"},
        {22, u"<SYN>"}, {23, u"<ETB>"}, {27, u"<ESC>"},
    };
    const std::map<int, std::u16string> tags = {
        {7, u"<07>"},  {8, u"<08>"},  {9, u"<09>"},  {11, u"<0B>"}, {12, u"<0C>"},
        {14, u"<0E>"}, {15, u"<0F>"}, {16, u"<10>"}, {17, u"<11>"}, {18, u"<12>"},
        {19, u"<13>"}, {20, u"<14>"}, {24, u"<18>"}, {25, u"<19>"}, {26, u"<1A>"},
        {28, u"<1C>"}, {29, u"<1D>"}, {30, u"<1E>"}, {31, u"<1F>"}, {255, u"<FF>"},
    };
    for (int code = 0; code < 256; ++code) {
        SCOPED_TRACE(code);
        const std::u16string one(1, characterWithCode(code));
        ASSERT_EQ(platform::cp932::characterCode(one[0]), code);
        if (auto m = mnemonics.find(code); m != mnemonics.end()) {
            EXPECT_EQ(RenderControlChars(one), m->second);
        } else if (auto t = tags.find(code); t != tags.end()) {
            EXPECT_EQ(RenderControlChars(one), t->second);
        } else {
            EXPECT_EQ(RenderControlChars(one), one);  // 32..254: space, DEL, katakana, escapes
        }
    }
}

TEST(RenderControlChars, DoubleByteCharactersShowTheirTrailByte) {
    EXPECT_EQ(RenderControlChars(u"\u3042"), u"<A0>");  // 0x82 0xA0
    EXPECT_EQ(RenderControlChars(u"\u5516"), u"<A0>");  // 0x88 0xA0, same trail
    EXPECT_EQ(RenderControlChars(u"\u4E9C"), u"<9F>");  // 0x88 0x9F
    EXPECT_EQ(RenderControlChars(u"\uFF3C"), u"<5F>");  // 0x81 0x5F
    EXPECT_EQ(RenderControlChars(u"\uE000"), u"<40>");  // user-defined 0xF0 0x40
    EXPECT_EQ(RenderControlChars(u"\u7E8A"), u"<5C>");  // written as 0xFA 0x5C
}

TEST(RenderControlChars, CharactersOutsideTheCodePagePassThrough) {
    EXPECT_EQ(RenderControlChars(u"\xD800"), u"\xD800");  // lone high surrogate
    EXPECT_EQ(RenderControlChars(u"\xDC00x\xDC7F"), u"\xDC00x\xDC7F");
    EXPECT_EQ(RenderControlChars(u"\U0001F600"), u"\U0001F600");  // each half on its own
    EXPECT_EQ(RenderControlChars(u"\u00E9\u20AC"), u"\u00E9\u20AC");
}

TEST(RenderControlChars, EscapedBytesAreSingleByteCodes) {
    EXPECT_EQ(RenderControlChars(u"\xDC81"), u"\xDC81");  // code 129
    EXPECT_EQ(RenderControlChars(u"\xDCFF"), u"<FF>");    // code 255
}

TEST(RenderControlChars, WholeTexts) {
    EXPECT_EQ(RenderControlChars(u""), u"");
    EXPECT_EQ(RenderControlChars(u"OUT:A\r\n"), u"OUT:A<CR><LF>");
    EXPECT_EQ(RenderControlChars(u"\x02"
                                 u"A\x03"),
              u"<STX>A<ETX>");
    // The sample's test frame: 1, 2, 31, counter digits, 3, 4, 255.
    EXPECT_EQ(RenderControlChars(u"\x01\x02\x1F"
                                 u"12\x03\x04\xF8F3"),
              u"<SOH><STX><1F>12<ETX><EOT><FF>");
    EXPECT_EQ(RenderControlChars(u"<CR>\r"), u"<CR><CR>");  // not marked, not reversible
    const std::u16string plain = u"ｱｲｳ ~\x7F abc";
    EXPECT_EQ(RenderControlChars(plain), plain);
    EXPECT_EQ(RenderControlChars(u"あ\tい"), u"<A0><09><A2>");
    EXPECT_EQ(RenderControlChars(std::u16string(1, u'\0') + u"x"), u"<NUL>x");
}

// The log's one-pass form must be exactly the rendering, encoded: for every unit alone, and
// for texts mixing runs of printable ASCII with everything else.
TEST(AppendRenderedAsCodePage932, IsTheRenderingEncoded) {
    for (int c = 0; c < 0x10000; ++c) {
        const std::u16string one(1, static_cast<char16_t>(c));
        std::string bytes = "x";
        text_render::appendRenderedAsCodePage932(one, bytes);
        ASSERT_EQ(bytes, "x" + platform::cp932::encode(RenderControlChars(one))) << c;
    }
    std::mt19937 random(11);
    for (int i = 0; i < 2000; ++i) {
        std::u16string text;
        const size_t length = random() % 80;
        for (size_t k = 0; k < length; ++k) {
            const unsigned kind = random() % 4;
            text += kind == 0   ? static_cast<char16_t>(random() % 0x10000)
                    : kind == 1 ? static_cast<char16_t>(random() % 0x20)
                                : static_cast<char16_t>(0x20 + random() % 0x5F);
        }
        std::string bytes;
        text_render::appendRenderedAsCodePage932(text, bytes);
        ASSERT_EQ(bytes, platform::cp932::encode(RenderControlChars(text)));
    }
}

}  // namespace
