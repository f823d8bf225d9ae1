#include "platform/error.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

namespace platform {
namespace {

// The platform::Error that `action` throws.
template <typename F>
Error caught(F&& action) {
    try {
        action();
    } catch (const Error& error) {
        return error;
    }
    ADD_FAILURE() << "no Error thrown";
    return Error(0, u"none");
}

class ErrorInfoTest : public ::testing::Test {
  protected:
    void SetUp() override { clearErrorInfo(); }
    void TearDown() override { clearErrorInfo(); }
};

TEST(StandardDescription, FixedTextsOfTheRuntime) {
    const struct {
        int32_t number;
        const char16_t* text;
    } rows[] = {
        {5, u"プロシージャの呼び出し、または引数が不正です。"},
        {6, u"オーバーフローしました。"},
        {7, u"メモリが不足しています。"},
        {13, u"型が一致しません。"},
        {68, u"デバイスが準備されていません。"},
        {380, u"プロパティの値が不正です。"},
        {383, u"プロパティは読み取り専用です。"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.number);
        EXPECT_EQ(standardDescription(row.number), row.text);
        EXPECT_EQ(Error(row.number).description(), row.text);
    }
}

TEST(StandardDescription, KnownNumbersHaveTheirOwnJapaneseText) {
    const std::u16string unknown = standardDescription(31999);
    EXPECT_EQ(unknown, u"アプリケーション定義またはオブジェクト定義のエラーです。");
    for (int32_t number : {5,  6,  7,   9,   11,  13,  52,  53,  57,  61,  68,  70,  75, 76,
                           91, 94, 380, 383, 424, 429, 430, 438, 440, 445, 448, 450, 458}) {
        SCOPED_TRACE(number);
        const std::u16string text = standardDescription(number);
        EXPECT_NE(text, unknown);
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(text.back(), u'。');
    }
}

TEST(ErrorObject, CarriesNumberDescriptionAndUtf8What) {
    const Error custom(8002, u"ポート番号が不正です。");
    EXPECT_EQ(custom.number(), 8002);
    EXPECT_EQ(custom.description(), u"ポート番号が不正です。");
    EXPECT_STREQ(custom.what(), "ポート番号が不正です。");

    // An empty description is never shown to a user: the standard text stands in.
    EXPECT_EQ(Error(13, u"").description(), u"型が一致しません。");
}

TEST(HresultMapping, RuntimeNumbersLiveInTheControlFacility) {
    const struct {
        int32_t number;
        uint32_t hr;
    } rows[] = {
        {5, 0x800A0005},    {6, 0x800A0006},     {7, 0x8007000E},
        {13, 0x800A000D},   {380, 0x800A017C},   {440, 0x800A01B8},
        {8002, 0x800A1F42}, {40006, 0x800A9C46}, {65535, 0x800AFFFF},
        {0, 0x800A01B8},    {65536, 0x800A01B8}, {CONNECT_E_ADVISELIMIT, 0x80040201},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.number);
        EXPECT_EQ(static_cast<uint32_t>(hresultFromNumber(row.number)), row.hr);
    }
}

TEST(HresultMapping, EveryRuntimeNumberSurvivesTheRoundTrip) {
    for (int32_t number = 1; number <= 0xFFFF; ++number) {
        const HRESULT hr = hresultFromNumber(number);
        ASSERT_TRUE(failed(hr)) << number;
        ASSERT_EQ(numberFromHresult(hr), number);
    }
}

TEST(HresultMapping, ForeignHresultsMapToTheirRuntimeNumbers) {
    const struct {
        HRESULT hr;
        int32_t number;
    } rows[] = {
        {E_OUTOFMEMORY, 7},
        {DISP_E_OVERFLOW, 6},
        {DISP_E_TYPEMISMATCH, 13},
        {E_INVALIDARG, 5},
        {E_ACCESSDENIED, 70},
        {DISP_E_MEMBERNOTFOUND, 438},
        {DISP_E_UNKNOWNNAME, 438},
        {REGDB_E_CLASSNOTREG, 429},
        {CO_E_DLLNOTFOUND, 429},
        {DISP_E_BADPARAMCOUNT, 450},
        {E_FAIL, 440},
        {E_UNEXPECTED, 440},
        {DISP_E_EXCEPTION, 440},
        {CONNECT_E_NOCONNECTION, 440},
        {static_cast<HRESULT>(0x800A0000), 440},
        {S_OK, 0},
        {S_FALSE, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << row.hr);
        EXPECT_EQ(numberFromHresult(row.hr), row.number);
    }
}

TEST_F(ErrorInfoTest, TakeReturnsTheInfoOnceAndClearRemovesIt) {
    EXPECT_FALSE(takeErrorInfo().has_value());
    setErrorInfo({380, u"値", u"Corvane.Portula"});
    const auto info = takeErrorInfo();
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->number, 380);
    EXPECT_EQ(info->description, u"値");
    EXPECT_EQ(info->source, u"Corvane.Portula");
    EXPECT_FALSE(takeErrorInfo().has_value());

    setErrorInfo({6, u"", u""});
    clearErrorInfo();
    EXPECT_FALSE(takeErrorInfo().has_value());
}

TEST_F(ErrorInfoTest, EachThreadHasItsOwn) {
    setErrorInfo({380, u"main", u""});
    std::optional<ErrorInfo> seenByOther;
    std::optional<ErrorInfo> otherKeptOwn;
    std::thread other([&] {
        seenByOther = takeErrorInfo();
        setErrorInfo({13, u"other", u""});
        otherKeptOwn = takeErrorInfo();
    });
    other.join();
    EXPECT_FALSE(seenByOther.has_value());
    ASSERT_TRUE(otherKeptOwn.has_value());
    EXPECT_EQ(otherKeptOwn->number, 13);
    const auto mine = takeErrorInfo();
    ASSERT_TRUE(mine.has_value());
    EXPECT_EQ(mine->number, 380);
    EXPECT_EQ(mine->description, u"main");
}

TEST_F(ErrorInfoTest, ReportedErrorComesBackUnchangedOnTheCallerSide) {
    const HRESULT hr = reportError(Error(8002, u"ポート番号が不正です。"), u"Corvane.Portula");
    EXPECT_EQ(static_cast<uint32_t>(hr), 0x800A1F42u);

    const Error back = caught([&] { throwFromHresult(hr); });
    EXPECT_EQ(back.number(), 8002);
    EXPECT_EQ(back.description(), u"ポート番号が不正です。");
    EXPECT_FALSE(takeErrorInfo().has_value()) << "the info is consumed";
}

TEST_F(ErrorInfoTest, InfoWinsOverTheHresult) {
    // A dispatch call reports every failure as DISP_E_EXCEPTION; the number is in the info.
    setErrorInfo({40006, u"接続状態に問題があります。", u""});
    const Error back = caught([] { throwFromHresult(DISP_E_EXCEPTION); });
    EXPECT_EQ(back.number(), 40006);
    EXPECT_EQ(back.description(), u"接続状態に問題があります。");
}

TEST_F(ErrorInfoTest, MissingPartsOfTheInfoAreFilledIn) {
    setErrorInfo({0, u"説明だけ", u""});
    Error back = caught([] { throwFromHresult(DISP_E_TYPEMISMATCH); });
    EXPECT_EQ(back.number(), 13);
    EXPECT_EQ(back.description(), u"説明だけ");

    setErrorInfo({380, u"", u""});
    back = caught([] { throwFromHresult(E_FAIL); });
    EXPECT_EQ(back.number(), 380);
    EXPECT_EQ(back.description(), u"プロパティの値が不正です。");
}

TEST_F(ErrorInfoTest, WithoutInfoTheStandardTextIsUsed) {
    const struct {
        HRESULT hr;
        int32_t number;
    } rows[] = {{E_OUTOFMEMORY, 7}, {hresultFromNumber(68), 68}, {E_FAIL, 440}, {S_OK, 440}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.number);
        const Error back = caught([&] { throwFromHresult(row.hr); });
        EXPECT_EQ(back.number(), row.number);
        EXPECT_EQ(back.description(), standardDescription(row.number));
    }
}

TEST_F(ErrorInfoTest, CurrentExceptionIsReportedWithItsNumber) {
    const auto report = [](auto&& thrower) {
        try {
            thrower();
        } catch (...) {
            return reportCurrentException(u"src");
        }
        return S_OK;
    };
    EXPECT_EQ(report([] { throw Error(383); }), hresultFromNumber(383));
    EXPECT_EQ(takeErrorInfo()->number, 383);
    EXPECT_EQ(report([] { throw std::bad_alloc(); }), E_OUTOFMEMORY);
    EXPECT_EQ(takeErrorInfo()->number, 7);
    EXPECT_EQ(report([] { throw std::runtime_error("x"); }), hresultFromNumber(440));
    const auto info = takeErrorInfo();
    EXPECT_EQ(info->number, 440);
    EXPECT_EQ(info->source, u"src");
}

TEST(Utf8, Utf16ToUtf8) {
    const struct {
        std::u16string in;
        std::string out;
    } rows[] = {
        {u"", ""},
        {u"COM1 /dev/ttyS0", "COM1 /dev/ttyS0"},
        {std::u16string(1, u'\0') + u"a", std::string(1, '\0') + "a"},
        {u"\u00E9\u0800\uFFFF", "\xC3\xA9\xE0\xA0\x80\xEF\xBF\xBF"},
        {u"型", "\xE5\x9E\x8B"},
        {u"\U0001F600", "\xF0\x9F\x98\x80"},
        {u"\U0010FFFF", "\xF4\x8F\xBF\xBF"},
        {std::u16string{0xD800}, "\xEF\xBF\xBD"},
        {std::u16string{0xDC00, u'a'},
         "\xEF\xBF\xBD"
         "a"},
        {std::u16string{0xD83D, u'a'},
         "\xEF\xBF\xBD"
         "a"},
        {std::u16string{0xDE00, 0xD83D}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.out);
        EXPECT_EQ(toUtf8(row.in), row.out);
    }
}

TEST(Utf8, Utf8ToUtf16ReplacesEachIllFormedPartOnce) {
    const std::u16string R(1, u'\uFFFD');
    const struct {
        std::string in;
        std::u16string out;
    } rows[] = {
        {"", u""},
        {"\xE5\x9E\x8B", u"型"},
        {"\xF0\x9F\x98\x80", u"\U0001F600"},
        {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
        {"\x80", R},                          // stray continuation byte
        {"\xC0\x80", R + R},                  // overlong NUL
        {"\xC1\xBF", R + R},                  // overlong
        {"\xE0\x80\x80", R + R + R},          // overlong three-byte form
        {"\xED\xA0\x80", R + R + R},          // encoded surrogate
        {"\xF4\x90\x80\x80", R + R + R + R},  // above U+10FFFF
        {"\xF5\x80", R + R},                  // never a lead byte
        {"\xE5\x9E", R},                      // cut off at the end
        {"\xE5\x9E"
         "A",
         R + u"A"},  // cut off before ASCII
        {"\xF0\x9F\x98"
         "\xE5\x9E\x8B",
         R + u"型"},  // cut off before a full character
        {"a\xFF"
         "b",
         u"a" + R + u"b"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.in));
        EXPECT_EQ(fromUtf8(row.in), row.out);
    }
}

TEST(Utf8, EveryScalarValueRoundTrips) {
    std::u16string all;
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF)
            continue;
        if (c < 0x10000) {
            all += static_cast<char16_t>(c);
        } else {
            all += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            all += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        }
    }
    EXPECT_TRUE(fromUtf8(toUtf8(all)) == all);
}

}  // namespace
}  // namespace platform
