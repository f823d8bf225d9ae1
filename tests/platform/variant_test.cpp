#include "platform/variant.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <variant>

#include "platform/error.h"

namespace platform {
namespace {

// The runtime error number `action` throws, or 0 when it returns normally.
template <typename F>
int32_t errorOf(F&& action) {
    try {
        action();
    } catch (const Error& error) {
        return error.number();
    }
    return 0;
}

Variant text(std::u16string s) {
    return Variant::fromString(std::move(s));
}
Variant dbl(double d) {
    return Variant::fromDouble(d);
}

constexpr int32_t kOverflow = errors::kOverflow;
constexpr int32_t kMismatch = errors::kTypeMismatch;
constexpr int32_t kNull = errors::kInvalidUseOfNull;

// A conversion row: the input and either the expected value or the error number.
template <typename T>
struct Row {
    Variant input;
    T value;
    int32_t error = 0;
};

template <typename T, typename F>
void checkRows(const std::vector<Row<T>>& rows, F convertTo) {
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row<T>& row = rows[i];
        SCOPED_TRACE(testing::Message() << "row " << i);
        T result{};
        EXPECT_EQ(errorOf([&] { result = convertTo(row.input); }), row.error);
        if (row.error == 0) {
            EXPECT_EQ(result, row.value);
        }
    }
}

TEST(VariantValue, ConstructionAndTypedAccess) {
    EXPECT_TRUE(Variant().isEmpty());
    EXPECT_EQ(Variant::null().type(), VarType::Null);
    EXPECT_EQ(static_cast<int>(Variant::fromBytes({}).type()), 0x2011);
    EXPECT_EQ(Variant::fromInteger(-5).integerValue(), -5);
    EXPECT_EQ(Variant::fromLong(70000).longValue(), 70000);
    EXPECT_EQ(Variant::fromByte(255).byteValue(), 255);
    EXPECT_EQ(text(u"あ").stringValue(), u"あ");
    EXPECT_EQ(Variant::fromBytes({1, 2}).bytesValue(), (ByteArray{1, 2}));
    // Any non-zero Boolean is stored as True, so the control's own fields compare cleanly.
    EXPECT_EQ(Variant::fromBoolean(5).integerValue(), kTrue);
    EXPECT_EQ(Variant::fromBoolean(5), Variant::fromBoolean(kTrue));
    EXPECT_THROW(Variant::fromLong(1).integerValue(), std::bad_variant_access);
    EXPECT_THROW(text(u"1").bytesValue(), std::bad_variant_access);
}

TEST(VariantValue, EqualityNeedsTypeAndValue) {
    EXPECT_EQ(text(u"abc"), text(u"abc"));
    EXPECT_NE(text(u"abc"), text(u"ABC"));
    EXPECT_NE(Variant::fromInteger(1), Variant::fromLong(1));
    EXPECT_NE(Variant::fromInteger(-1), Variant::fromBoolean(kTrue));
    EXPECT_NE(Variant(), Variant::null());
    EXPECT_NE(text(u""), Variant());
    EXPECT_EQ(Variant::fromBytes({0xFF}), Variant::fromBytes({0xFF}));
}

TEST(IntegerConversion, LimitsRoundingAndErrors) {
    checkRows<int16_t>(
        {
            {Variant(), 0},
            {Variant::fromBoolean(kTrue), -1},
            {Variant::fromBoolean(kFalse), 0},
            {Variant::fromByte(255), 255},
            {Variant::fromLong(32767), 32767},
            {Variant::fromLong(-32768), -32768},
            {Variant::fromLong(32768), 0, kOverflow},
            {Variant::fromLong(-32769), 0, kOverflow},
            {dbl(0.5), 0},
            {dbl(1.5), 2},
            {dbl(2.5), 2},
            {dbl(-2.5), -2},
            {dbl(-0.5), 0},
            {dbl(2.5000001), 3},
            {dbl(32767.49), 32767},
            {dbl(32767.5), 0, kOverflow},
            {dbl(-32768.5), -32768},
            {dbl(-32768.51), 0, kOverflow},
            {dbl(std::nan("")), 0, kOverflow},
            {dbl(HUGE_VAL), 0, kOverflow},
            {dbl(-HUGE_VAL), 0, kOverflow},
            {Variant::fromSingle(3.5f), 4},
            {text(u"  12.5 "), 12},
            {text(u"13.5"), 14},
            {text(u"-2.5"), -2},
            {text(u"\t+7\t"), 7},
            {text(u"1e3"), 1000},
            {text(u"1D2"), 100},
            {text(u"&H1F"), 31},
            {text(u"&hff"), 255},
            {text(u"&O17"), 15},
            {text(u"&HFFFF"), -1},
            {text(u"&H8000"), -32768},
            {text(u"&H10000"), 0, kOverflow},
            {text(u"32767"), 32767},
            {text(u"32768"), 0, kOverflow},
            {text(u"-32768.5"), -32768},
            {text(u""), 0, kMismatch},
            {text(u"   "), 0, kMismatch},
            {text(u"abc"), 0, kMismatch},
            {text(u"12abc"), 0, kMismatch},
            {text(u"True"), 0, kMismatch},
            {Variant::fromBytes({0x31}), 0, kMismatch},
            {Variant::null(), 0, kNull},
        },
        toInteger);
}

TEST(LongConversion, LimitsRoundingAndErrors) {
    checkRows<int32_t>(
        {
            {Variant(), 0},
            {Variant::fromInteger(-32768), -32768},
            {Variant::fromBoolean(kTrue), -1},
            {dbl(2147483647.0), 2147483647},
            {dbl(2147483647.49), 2147483647},
            {dbl(2147483647.5), 0, kOverflow},
            {dbl(-2147483648.5), std::numeric_limits<int32_t>::min()},
            {dbl(-2147483649.0), 0, kOverflow},
            {dbl(1e10), 0, kOverflow},
            {Variant::fromSingle(3e9f), 0, kOverflow},
            {text(u" 10001 "), 10001},
            {text(u"65536"), 65536},
            {text(u"&HFFFF"), -1},  // 16-bit hex text is an Integer first
            {text(u"&H10000"), 65536},
            {text(u"&HFFFFFFFF"), -1},
            {text(u"&H7FFFFFFF"), 2147483647},
            {text(u"&H100000000"), 0, kOverflow},
            {text(u"2147483648"), 0, kOverflow},
            {text(u"1e400"), 0, kOverflow},
            {text(u"1e-400"), 0},
            {text(u"localhost"), 0, kMismatch},
            {Variant::fromBytes({}), 0, kMismatch},
        },
        toLong);
}

TEST(ByteConversion, RangeIsZeroTo255) {
    checkRows<uint8_t>(
        {
            {Variant::fromInteger(255), 255},
            {Variant::fromInteger(256), 0, kOverflow},
            {Variant::fromInteger(-1), 0, kOverflow},
            {Variant::fromBoolean(kTrue), 0, kOverflow},
            {dbl(-0.5), 0},
            {dbl(255.5), 0, kOverflow},
            {text(u"254.5"), 254},
        },
        toByte);
}

TEST(FloatingConversion, SingleRangeAndDoubleText) {
    checkRows<float>(
        {
            {dbl(FLT_MAX), FLT_MAX},
            {dbl(3.4028235e38), FLT_MAX},  // its printed form reads back
            {dbl(-3.4028235e38), -FLT_MAX},
            {dbl(3.5e38), 0, kOverflow},
            {dbl(-1e39), 0, kOverflow},
            {dbl(HUGE_VAL), 0, kOverflow},
            {dbl(1e-50), 0.0f},
            {text(u"1e39"), 0, kOverflow},
            {text(u"0.1"), 0.1f},
            {Variant::fromLong(16777217), 16777216.0f},
            {Variant::fromBytes({}), 0, kMismatch},
        },
        toSingle);
    checkRows<double>(
        {
            {Variant(), 0},
            {Variant::fromBoolean(kTrue), -1},
            {Variant::fromSingle(0.5f), 0.5},
            {text(u"1.7976931348623157e308"), DBL_MAX},
            {text(u"1e309"), 0, kOverflow},
            {text(u"-1e309"), 0, kOverflow},
            {text(u" .5 "), 0.5},
            {text(u"5."), 5},
            {Variant::null(), 0, kNull},
        },
        toDouble);
}

TEST(BooleanConversion, NumbersAndWords) {
    checkRows<Boolean>(
        {
            {Variant(), kFalse},
            {Variant::fromInteger(0), kFalse},
            {Variant::fromInteger(2), kTrue},
            {Variant::fromLong(-70000), kTrue},
            {dbl(0.0), kFalse},
            {dbl(0.4), kTrue},  // non-zero, not rounded first
            {Variant::fromByte(1), kTrue},
            {text(u"True"), kTrue},
            {text(u"tRUE"), kTrue},
            {text(u" false "), kFalse},
            {text(u"0"), kFalse},
            {text(u"-1"), kTrue},
            {text(u"0.0e5"), kFalse},
            {text(u"yes"), kFalse, kMismatch},
            {text(u""), kFalse, kMismatch},
            {Variant::fromBytes({1}), kFalse, kMismatch},
        },
        toBoolean);
}

TEST(StringConversion, NumbersAsTheRuntimePrintsThem) {
    checkRows<std::u16string>(
        {
            {Variant(), u""},
            {Variant::fromInteger(-32768), u"-32768"},
            {Variant::fromLong(2147483647), u"2147483647"},
            {Variant::fromByte(255), u"255"},
            {Variant::fromBoolean(kTrue), u"True"},
            {Variant::fromBoolean(kFalse), u"False"},
            {dbl(2.5), u"2.5"},
            {dbl(-2.5), u"-2.5"},
            {dbl(12), u"12"},
            {dbl(0.1), u"0.1"},
            {dbl(0.1 + 0.2), u"0.30000000000000004"},
            {dbl(1e20), u"1E+20"},
            {dbl(1e15), u"1E+15"},
            {dbl(123456789012345), u"123456789012345"},
            {dbl(1.5e15), u"1.5E+15"},
            {dbl(0.0001), u"0.0001"},
            {dbl(0.00001), u"1E-05"},
            {dbl(-1.25e-300), u"-1.25E-300"},
            {dbl(-0.0), u"0"},
            {dbl(HUGE_VAL), u"1.#INF"},
            {Variant::fromSingle(0.1f), u"0.1"},
            {Variant::fromSingle(1234567.0f), u"1234567"},
            {Variant::fromSingle(1e7f), u"1E+07"},
            {Variant::fromSingle(FLT_MAX), u"3.4028235E+38"},
            {text(u"as is"), u"as is"},
            {Variant::null(), u"", kNull},
        },
        toString);
}

TEST(StringConversion, PrintedDoublesReadBackExactly) {
    std::mt19937_64 random(20240601);
    std::vector<double> values = {DBL_MAX, -DBL_MAX, DBL_MIN, 4.9e-324, 1.0 / 3, 2.0 / 3 * 1e15};
    for (int i = 0; i < 2000; ++i) {
        double value;
        const uint64_t bits = random();
        std::memcpy(&value, &bits, sizeof value);
        if (std::isfinite(value))
            values.push_back(value);
    }
    for (double value : values) {
        const std::u16string printed = formatNumber(value);
        ASSERT_EQ(parseNumber(printed), value) << std::string(printed.begin(), printed.end());
    }
}

// Byte arrays and text meet through code page 932.
TEST(ByteArrayConversion, TextIsCodePage932) {
    const ByteArray frame = {0x01, 0x02, 0x1F, 0x31, 0x03, 0x04, 0xFF};
    EXPECT_EQ(toBytes(Variant::fromBytes(frame)), frame);
    EXPECT_EQ(toBytes(text(toString(Variant::fromBytes(frame)))), frame);
    EXPECT_EQ(toString(Variant::fromBytes({0x82, 0xA0, 0x41})), u"あA");
    EXPECT_EQ(toBytes(text(u"あA")), (ByteArray{0x82, 0xA0, 0x41}));
    EXPECT_EQ(toBytes(Variant::fromInteger(12)), (ByteArray{'1', '2'}));
    EXPECT_EQ(toBytes(Variant()), ByteArray{});
    EXPECT_EQ(errorOf([] { toBytes(Variant::null()); }), kNull);
}

TEST(GeneralConversion, ConvertReachesEveryTarget) {
    const Variant source = text(u" 2.5 ");
    EXPECT_EQ(convert(source, VarType::Integer), Variant::fromInteger(2));
    EXPECT_EQ(convert(source, VarType::Long), Variant::fromLong(2));
    EXPECT_EQ(convert(source, VarType::Single), Variant::fromSingle(2.5f));
    EXPECT_EQ(convert(source, VarType::Double), dbl(2.5));
    EXPECT_EQ(convert(source, VarType::Byte), Variant::fromByte(2));
    EXPECT_EQ(convert(source, VarType::Boolean), Variant::fromBoolean(kTrue));
    EXPECT_EQ(convert(source, VarType::String), source);
    EXPECT_EQ(convert(dbl(2.5), VarType::String), text(u"2.5"));
    EXPECT_EQ(convert(source, VarType::ByteArray), Variant::fromBytes({' ', '2', '.', '5', ' '}));
    EXPECT_EQ(convert(Variant(), VarType::Empty), Variant());
    EXPECT_EQ(errorOf([&] { convert(source, VarType::Empty); }), kMismatch);
    EXPECT_EQ(errorOf([] { convert(dbl(40000), VarType::Integer); }), kOverflow);
}

TEST(NumberText, StrictParsing) {
    checkRows<double>(
        {
            {text(u"0"), 0},
            {text(u"-0"), 0},
            {text(u"+1.25"), 1.25},
            {text(u"1.5E+3"), 1500},
            {text(u"15e-1"), 1.5},
            {text(u"\r\n 42 \r\n"), 42},
            {text(u"&o777"), 511},
            {text(u"&H7fff"), 32767},
            {text(u"1e"), 0, kMismatch},
            {text(u"1e+"), 0, kMismatch},
            {text(u"+"), 0, kMismatch},
            {text(u"."), 0, kMismatch},
            {text(u"1 2"), 0, kMismatch},
            {text(u"- 1"), 0, kMismatch},
            {text(u"1.2.3"), 0, kMismatch},
            {text(u"1,000"), 0, kMismatch},
            {text(u"&H"), 0, kMismatch},
            {text(u"&HG"), 0, kMismatch},
            {text(u"&O8"), 0, kMismatch},
            {text(u"-&H1"), 0, kMismatch},
            {text(u"0x10"), 0, kMismatch},
            {text(u"inf"), 0, kMismatch},
            {text(u"nan"), 0, kMismatch},
            {text(u"１２"), 0, kMismatch},
            {text(std::u16string(u"1\0", 2)), 0, kMismatch},
        },
        [](const Variant& v) { return parseNumber(v.stringValue()); });
}

TEST(LeadingNumber, TheValRule) {
    const struct {
        std::u16string text;
        double value;
    } rows[] = {
        {u"12abc", 12},
        {u"abc", 0},
        {u"-1200", -1200},
        {u" 1 2 ", 12},
        {u"1.5", 1.5},
        {u"", 0},
        {u"-", 0},
        {u"\t-\n1 2 . 5 x", -12.5},
        {u"1\r2", 1},  // a carriage return is not a blank here
        {u".5", 0.5},
        {u"1.2.3", 1.2},
        {u"12E", 12},
        {u"12E+", 12},
        {u"12Ex", 12},
        {u"1.5e3x", 1500},
        {u"2D-1", 0.2},
        {u"1 e 3", 1000},
        {u"&H1F", 31},
        {u"&HFFFF", -1},
        {u"&O17", 15},
        {u"&O19", 1},
        {u"&H", 0},
        {u"&X1", 0},
        {u"&H100000000", 4294967296.0},
        {u"1,000", 1},
        {u"0.5", 0.5},
        {u"1e400", HUGE_VAL},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.text.begin(), row.text.end()));
        EXPECT_EQ(leadingNumber(row.text), row.value);
    }
    EXPECT_FALSE(std::signbit(leadingNumber(u"-0")));
}

TEST(Rounding, TiesGoToEven) {
    const struct {
        double in;
        double out;
    } rows[] = {
        {0.5, 0},
        {1.5, 2},
        {2.5, 2},
        {3.5, 4},
        {-0.5, 0},
        {-1.5, -2},
        {-2.5, -2},
        {0.49999999999999994, 0},
        {2.4, 2},
        {-2.6, -3},
        {4503599627370495.5, 4503599627370496},
        {4503599627370497.0, 4503599627370497},
        {1e300, 1e300},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.in);
        EXPECT_EQ(roundHalfEven(row.in), row.out);
    }
    EXPECT_TRUE(std::isnan(roundHalfEven(std::nan(""))));
    EXPECT_EQ(roundHalfEven(-HUGE_VAL), -HUGE_VAL);
}

}  // namespace
}  // namespace platform
