#include "platform/codepage932.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>

#include "support/codepage932_ways.h"

namespace {

namespace cp932 = platform::cp932;

std::string pairBytes(int code) {
    return {static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
}

std::string byteString(int byte) {
    return std::string(1, static_cast<char>(byte));
}

bool isLeadByte(int b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

char16_t expectedSingleByte(int b) {
    if (b < 0x80 || b == 0x80)
        return static_cast<char16_t>(b);
    if (b == 0xA0)
        return 0xF8F0;
    if (b >= 0xA1 && b <= 0xDF)
        return static_cast<char16_t>(0xFF61 + (b - 0xA1));
    if (b >= 0xFD)
        return static_cast<char16_t>(0xF8F1 + (b - 0xFD));
    return static_cast<char16_t>(cp932::kEscapeBase + b);  // a lead byte with no trail
}

TEST(Codepage932SingleBytes, EveryByteDecodesAsWindowsDoesAndTravelsBackAsItself) {
    for (int b = 0; b < 0x100; ++b) {
        SCOPED_TRACE(b);
        const std::u16string text = cp932::decode(byteString(b));
        ASSERT_EQ(text, std::u16string(1, expectedSingleByte(b)));
        EXPECT_EQ(cp932::encode(text), byteString(b));
        EXPECT_EQ(cp932::characterCode(text[0]), b);
        EXPECT_TRUE(cp932::canEncode(text[0]));
    }
    EXPECT_EQ(cp932::decode("\\~"), u"\\~");  // no yen sign, no overline
}

TEST(Codepage932Pairs, KnownCharactersDecodeAndEncode) {
    const struct {
        int code;
        char16_t c;
    } rows[] = {
        {0x82A0, u'\u3042'}, {0x815F, u'\uFF3C'}, {0x8160, u'\uFF5E'}, {0x8740, u'\u2460'},
        {0x889F, u'\u4E9C'}, {0x81CA, u'\uFFE2'}, {0x81E0, u'\u2252'}, {0x8754, u'\u2160'},
        {0xFA40, u'\u2170'}, {0xFA5C, u'\u7E8A'}, {0xFC4B, u'\u9ED1'}, {0x8782, u'\u2116'},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.code);
        EXPECT_EQ(cp932::decode(pairBytes(row.code)), std::u16string(1, row.c));
        EXPECT_EQ(cp932::encode(std::u16string(1, row.c)), pairBytes(row.code));
        EXPECT_EQ(cp932::characterCode(row.c), static_cast<int16_t>(row.code));
        EXPECT_LT(cp932::characterCode(row.c), 0);
    }
}

TEST(Codepage932Pairs, UserDefinedAreaIsThePrivateUseBlock) {
    char16_t next = 0xE000;
    for (int lead = 0xF0; lead <= 0xF9; ++lead) {
        for (int trail = 0x40; trail <= 0xFC; ++trail) {
            if (trail == 0x7F)
                continue;
            const int code = lead << 8 | trail;
            ASSERT_EQ(cp932::decode(pairBytes(code)), std::u16string(1, next)) << code;
            ASSERT_EQ(cp932::encode(std::u16string(1, next)), pairBytes(code)) << code;
            ++next;
        }
    }
    EXPECT_EQ(next, 0xE758);
}

TEST(Codepage932Pairs, TheFormWindowsDoesNotWriteDecodesByteByByte) {
    // NEC row 13 copy of a JIS X 0208 symbol, NEC-selected IBM kanji and roman numeral,
    // IBM copy of an NEC row 13 numeral: each keeps its bytes instead of turning into the
    // other form on the way back.
    EXPECT_EQ(cp932::decode("\x87\x90"), u"\xDC87\xDC90");
    EXPECT_EQ(cp932::decode("\xED\x40"), u"\xDCED@");
    EXPECT_EQ(cp932::decode("\xEE\xEF"), u"\xDCEE\xDCEF");
    EXPECT_EQ(cp932::decode("\xFA\x4A"), u"\xDCFAJ");
    EXPECT_EQ(cp932::decode("\xEE\xF9"), u"\xDCEE\xDCF9");  // a third form of U+FFE2
}

TEST(Codepage932Pairs, JisReadingsAreWrittenWithTheirWindowsTwin) {
    // Text from JIS-based sources (a wave dash, a minus sign) must not turn into "?".
    EXPECT_EQ(cp932::encode(u"\u301C\u2212\u00A2\u00A3\u00AC\u2016"),
              "\x81\x60\x81\x7C\x81\x91\x81\x92\x81\xCA\x81\x61");
    EXPECT_EQ(cp932::decode("\x81\x60\x81\x7C"), u"\uFF5E\uFF0D");
    EXPECT_EQ(cp932::characterCode(u'\u301C'), static_cast<int16_t>(0x8160));
}

TEST(Codepage932Malformed, EachStrayByteIsEscapedAndTheNextOneReadAfresh) {
    EXPECT_EQ(cp932::decode("A\x82"), u"A\xDC82");              // lead byte at the end
    EXPECT_EQ(cp932::decode("\x82 "), u"\xDC82 ");              // trail below 0x40
    EXPECT_EQ(cp932::decode("\x82\x7F"), u"\xDC82\x7F");        // 0x7F is no trail byte
    EXPECT_EQ(cp932::decode("\x82\xFD"), u"\xDC82\xF8F1");      // nor is 0xFD
    EXPECT_EQ(cp932::decode("\x85\x40"), u"\xDC85@");           // unassigned pair
    EXPECT_EQ(cp932::decode("\xEF\x82\xA0"), u"\xDCEF\u3042");  // trail starts a pair
    EXPECT_EQ(cp932::decode("\x81\x81\x81"), u"\uFF1D\xDC81");
    EXPECT_EQ(cp932::decode(""), u"");
}

TEST(Codepage932RoundTrip, EveryOneAndTwoByteSequenceSurvivesDecodeEncode) {
    for (int code = 0; code < 0x10000; ++code) {
        const std::string bytes = pairBytes(code);
        ASSERT_EQ(cp932::encode(cp932::decode(bytes)), bytes) << code;
    }
}

TEST(Codepage932RoundTrip, RandomBinaryDataSurvivesDecodeEncode) {
    std::mt19937 random(932);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string data(4 << 20, '\0');
    for (char& b : data)
        b = static_cast<char>(byte(random));
    const std::u16string text = cp932::decode(data);
    EXPECT_LT(text.size(), data.size());  // some pairs did form characters
    EXPECT_TRUE(cp932::encode(text) == data);
}

TEST(Codepage932RoundTrip, EveryEncodableCharacterButTheJisReadingsSurvivesEncodeDecode) {
    int encodable = 0;
    int jisReadings = 0;
    for (int c = 0; c < 0x10000; ++c) {
        const std::u16string text(1, static_cast<char16_t>(c));
        if (!cp932::canEncode(text[0]) || (c >= 0xDC80 && c <= 0xDCFF))
            continue;
        ++encodable;
        const std::u16string back = cp932::decode(cp932::encode(text));
        if (back != text) {
            ++jisReadings;
            ASSERT_EQ(back.size(), 1u) << c;
            ASSERT_EQ(cp932::encode(back), cp932::encode(text)) << c;
        }
    }
    EXPECT_EQ(encodable, 256 - 60 + 9206 + 6);  // non-lead single bytes, pairs, JIS readings
    EXPECT_EQ(jisReadings, 6);
}

TEST(Codepage932Unencodable, BecomesAQuestionMarkWithCode63) {
    for (const char16_t c :
         {0xD800, 0xDBFF, 0xDC00, 0xDC7F, 0xDFFF, 0x00A5, 0x203E, 0x20AC, 0xFFFF, 0xFFFD, 0x00E9}) {
        SCOPED_TRACE(static_cast<int>(c));
        EXPECT_EQ(cp932::encode(std::u16string(1, c)), "?");
        EXPECT_FALSE(cp932::canEncode(c));
        EXPECT_EQ(cp932::characterCode(c), 63);
    }
    EXPECT_EQ(cp932::encode(u"a\U0001F600b"), "a??b");
    EXPECT_TRUE(cp932::canEncode(u'?'));
}

TEST(Codepage932Codes, CodeOfEveryUnitMatchesItsEncoding) {
    for (int c = 0; c < 0x10000; ++c) {
        const char16_t unit = static_cast<char16_t>(c);
        const std::string bytes = cp932::encode(std::u16string(1, unit));
        const int16_t code = cp932::characterCode(unit);
        if (bytes.size() == 1) {
            ASSERT_EQ(code, static_cast<unsigned char>(bytes[0])) << c;
        } else {
            ASSERT_EQ(bytes.size(), 2u) << c;
            ASSERT_TRUE(isLeadByte(static_cast<unsigned char>(bytes[0]))) << c;
            const int pair =
                static_cast<unsigned char>(bytes[0]) << 8 | static_cast<unsigned char>(bytes[1]);
            ASSERT_EQ(code, static_cast<int16_t>(pair)) << c;
        }
    }
}

TEST(Codepage932Append, AppendsAfterWhatIsThere) {
    std::u16string text = u"前:";
    cp932::decodeAppend("\x82\xA0\x41\x82", text);
    EXPECT_EQ(text, u"前:\u3042A\xDC82");
    std::string bytes = "x";
    cp932::encodeAppend(u"\u3042\xDC82\U0001F600", bytes);
    EXPECT_EQ(bytes, "x\x82\xA0\x82??");
}

TEST(Codepage932Append, EncodeIntoWritesOnlyWhatItReports) {
    std::string room(12, '#');
    EXPECT_EQ(cp932::encodeInto(u"A\u3042B", room.data()), 4u);
    EXPECT_EQ(room.substr(0, 4),
              "A\x82\xA0"
              "B");
}

// The fast way takes runs of ASCII in vector blocks. Whatever stops a run, wherever it stands
// against a block and whatever the alignment, it must write exactly what the plain way
// writes, unit for unit and byte for byte, and nothing past its room.
void expectWaysAgree(std::string_view bytes, std::u16string_view text, size_t offset) {
    using platform::testing::writtenBy;
    namespace paths = cp932::paths;
    ASSERT_EQ(writtenBy(paths::decodeFast, bytes, offset),
              writtenBy(paths::decodePlain, bytes, offset))
        << testing::PrintToString(bytes) << " at offset " << offset;
    ASSERT_EQ(writtenBy(paths::encodeFast, text, offset),
              writtenBy(paths::encodePlain, text, offset))
        << testing::PrintToString(std::u16string(text)) << " at offset " << offset;
}

// All of ASCII, control characters and DEL included.
char asciiAt(size_t i) {
    return static_cast<char>(i * 37 % 0x80);
}

TEST(Codepage932Ways, BlocksAgreeWithThePlainWayAroundEveryStop) {
    struct Stop {
        std::string_view bytes;
        std::u16string_view text;
    };
    // A stop to decode and one to encode in each row; no stop at all in the first.
    const Stop stops[] = {
        {"", u""},
        {"\x82\xA0", u"\u3042"},            // a pair; a kanji
        {"\x81", u"\u00A2"},                // a lone lead byte; a JIS reading (two bytes)
        {"\x80", u"\u0080"},                // the bytes and units just past ASCII
        {"\xA0", u"\u00E9"},                // a byte of a Windows mapping; no character
        {"\xFF", u"\u00FF"},                //
        {"\xB1", u"\uFF71"},                // half-width katakana
        {"\x85\x40", u"\xDC85"},            // an unassigned pair; an escaped byte
        {"\x81\x81\x81", u"\xD800\xDFFF"},  // a pair and a lone lead; lone surrogates
        {"\xE0\x40\x40", u"\u8000\u807F"},  // a pair with an ASCII trail; low bits clear
    };
    for (const Stop& stop : stops) {
        // ASCII alone goes on to the tails of the widest blocks (32 and 64 at a time, after
        // 80 in narrower ones).
        const size_t longest = stop.bytes.empty() ? 256 : 70;
        for (size_t length = 0; length <= longest; ++length) {
            for (size_t position = 0; position <= length; ++position) {
                if (stop.bytes.empty() && position != 0)
                    break;
                std::string bytes;
                std::u16string text;
                for (size_t i = 0; i < length; ++i) {
                    if (i == position) {
                        bytes += stop.bytes;
                        text += stop.text;
                    }
                    bytes += asciiAt(i);
                    text += static_cast<char16_t>(asciiAt(i));
                }
                if (position == length) {
                    bytes += stop.bytes;
                    text += stop.text;
                }
                for (size_t offset = 0; offset < 16; ++offset)
                    expectWaysAgree(bytes, text, offset);
            }
        }
    }
}

TEST(Codepage932Ways, BlocksAgreeWithThePlainWayOnRandomText) {
    std::mt19937 random(932);
    auto below = [&](unsigned n) {
        return std::uniform_int_distribution<unsigned>(0, n - 1)(random);
    };
    for (int round = 0; round < 3000; ++round) {
        std::string bytes;
        std::u16string text;
        while (bytes.size() < 600 && below(12) != 0) {
            // Long runs of ASCII reach the widest blocks and their tails.
            const size_t run = below(4) == 0 ? below(200) : below(20);
            for (size_t i = 0; i < run; ++i) {
                bytes += asciiAt(below(0x80));
                text += static_cast<char16_t>(asciiAt(below(0x80)));
            }
            switch (below(6)) {
                case 0:  // a pair, assigned or not; a unit of the double-byte range
                    bytes += {static_cast<char>(0x81 + below(0x1F)),
                              static_cast<char>(0x40 + below(0xC0))};
                    text += static_cast<char16_t>(0x3000 + below(0x7000));
                    break;
                case 1:  // a lone lead byte; a lone surrogate
                    bytes += static_cast<char>(0xE0 + below(0x1D));
                    text += static_cast<char16_t>(0xD800 + below(0x800));
                    break;
                case 2:  // the single bytes just past ASCII; an escaped byte
                    bytes += "\x80\xA0\xFF"[below(3)];
                    text += static_cast<char16_t>(cp932::kEscapeBase + 0x80 + below(0x80));
                    break;
                case 3:  // the units below 0x100 just past ASCII
                    bytes += static_cast<char>(0xA1 + below(0x3F));
                    text += static_cast<char16_t>(0x80 + below(0x80));
                    break;
                default:  // anything
                    bytes += static_cast<char>(below(0x100));
                    text += static_cast<char16_t>(below(0x10000));
            }
        }
        expectWaysAgree(bytes, text, below(16));
    }
}

// Runs of pairs go in blocks of eight. Whatever ends or breaks a run (a byte that forms no
// pair with the next, a pair with no character, the input's end; a unit written as one byte
// or "?"), wherever it stands against a block, the fast way writes what the plain way does.
TEST(Codepage932Ways, PairBlocksAgreeWithThePlainWayAroundEveryStop) {
    struct Stop {
        std::string_view bytes;
        std::u16string_view text;
    };
    const Stop stops[] = {
        {"", u""},
        {"A", u"A"},                        // ASCII
        {"\xB1", u"\uFF71"},                // half-width katakana
        {"\x85\x40", u"\xDC85"},            // an unassigned pair; an escaped byte
        {"\x81\x7F", u"\u00E9"},            // a lead byte before a byte no pair ends with; "?"
        {"\x87\x90", u"\u00A2"},            // the form Windows does not write; a JIS reading
        {"\x81", u"\u0080"},                // a lone lead byte; a unit just past ASCII
        {"\xA0\x82\xA0", u"\xD800\u3042"},  // a lead byte one byte late; a lone surrogate
    };
    for (const Stop& stop : stops) {
        for (size_t length = 0; length <= 40; ++length) {
            for (size_t position = 0; position <= length; ++position) {
                if (stop.bytes.empty() && position != 0)
                    break;
                std::string bytes;
                std::u16string text;
                for (size_t i = 0; i < length; ++i) {
                    if (i == position) {
                        bytes += stop.bytes;
                        text += stop.text;
                    }
                    // Kanji across rows of both lead ranges, with trails either side of 0x80.
                    const char16_t kanji[] = {u'\u65E5', u'\u4E9C', u'\u9ED2', u'\u7E8A',
                                              u'\u3042'};
                    const char16_t c = kanji[i % std::size(kanji)];
                    bytes += cp932::encode(std::u16string_view(&c, 1));
                    text += c;
                }
                if (position == length) {
                    bytes += stop.bytes;
                    text += stop.text;
                }
                for (size_t offset : {0, 1, 7})
                    expectWaysAgree(bytes, text, offset);
            }
        }
    }
}

// glibc's own WINDOWS-31J converter as an independent reference for the whole table.
class Iconv {
  public:
    Iconv(const char* to, const char* from) : m_handle(iconv_open(to, from)) {}
    ~Iconv() {
        if (valid())
            iconv_close(m_handle);
    }
    bool valid() const { return m_handle != reinterpret_cast<iconv_t>(-1); }
    std::optional<std::string> convert(std::string input) {
        iconv(m_handle, nullptr, nullptr, nullptr, nullptr);
        char out[16];
        char* in = input.data();
        char* outPointer = out;
        size_t inLeft = input.size();
        size_t outLeft = sizeof out;
        if (iconv(m_handle, &in, &inLeft, &outPointer, &outLeft) == static_cast<size_t>(-1))
            return std::nullopt;
        return std::string(out, outPointer);
    }

  private:
    iconv_t m_handle;
};

TEST(Codepage932Reference, AgreesWithGlibcWindows31J) {
    Iconv toUtf16("UTF-16LE", "WINDOWS-31J");
    Iconv fromUtf16("WINDOWS-31J", "UTF-16LE");
    if (!toUtf16.valid() || !fromUtf16.valid())
        GTEST_SKIP() << "glibc has no WINDOWS-31J";
    auto unitString = [](char16_t c) {
        return std::string{static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    };

    // A pair that glibc reads as a character decodes to it exactly when glibc writes that
    // character with the same pair; otherwise it is the other form of a twin.
    for (int code = 0x8100; code < 0x10000; ++code) {
        if (!isLeadByte(code >> 8))
            continue;
        const auto theirs = toUtf16.convert(pairBytes(code));
        const std::u16string ours = cp932::decode(pairBytes(code));
        if (theirs && theirs->size() == 2 && fromUtf16.convert(*theirs) == pairBytes(code)) {
            ASSERT_EQ(unitString(ours[0]), *theirs) << code;
            ASSERT_EQ(ours.size(), 1u) << code;
        } else {
            ASSERT_EQ(ours[0], cp932::kEscapeBase + (code >> 8)) << code;
        }
    }
    // Encoding agrees for every character outside the escapes, except three substitutes
    // only glibc makes and the five single bytes that only Windows maps.
    for (int c = 0; c < 0x10000; ++c) {
        if (c >= 0xDC80 && c <= 0xDCFF)
            continue;
        if (c == 0x00A5 || c == 0x203E || c == 0x2014)
            continue;
        if (c == 0x0080 || (c >= 0xF8F0 && c <= 0xF8F3))
            continue;
        const auto theirs = fromUtf16.convert(unitString(static_cast<char16_t>(c)));
        const std::string ours = cp932::encode(std::u16string(1, static_cast<char16_t>(c)));
        ASSERT_EQ(ours, theirs.value_or("?")) << c;
    }
}

}  // namespace
