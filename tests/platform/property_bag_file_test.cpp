#include "platform/property_bag_file.h"

#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <cmath>
#include <fstream>
#include <limits>

#include "platform/error.h"
#include "platform/support/file_contents.h"
#include "support/temporary_platform_home.h"

using platform::testing::fileContents;

namespace platform {
namespace {

using ::testing::HasSubstr;

struct Row {
    std::u16string name;
    Variant value;
};

ByteArray everyByte() {
    ByteArray bytes;
    for (int i = 0; i < 256; ++i)
        bytes.push_back(static_cast<uint8_t>(i));
    return bytes;
}

std::vector<Row> everyKindOfValue() {
    return {
        {u"Empty", Variant()},
        {u"Null", Variant::null()},
        {u"IntegerMin", Variant::fromInteger(-32768)},
        {u"IntegerMax", Variant::fromInteger(32767)},
        {u"LongMin", Variant::fromLong(std::numeric_limits<int32_t>::min())},
        {u"LongMax", Variant::fromLong(std::numeric_limits<int32_t>::max())},
        {u"Single", Variant::fromSingle(0.1f)},
        {u"SingleTiny", Variant::fromSingle(std::numeric_limits<float>::denorm_min())},
        {u"Double", Variant::fromDouble(0.1)},
        {u"DoubleHuge", Variant::fromDouble(-1.7976931348623157e308)},
        {u"DoubleInfinite", Variant::fromDouble(std::numeric_limits<double>::infinity())},
        {u"Byte", Variant::fromByte(255)},
        {u"True", Variant::fromBoolean(kTrue)},
        {u"False", Variant::fromBoolean(kFalse)},
        {u"EmptyText", Variant::fromString(u"")},
        {u"Settings", Variant::fromString(u"9600,n,8,1")},
        {u"LineBreaks", Variant::fromString(u"a\r\nb\rc\n")},
        {u"Controls", Variant::fromString(std::u16string(u"\0\x01\t\x1f\x7f", 5))},
        {u"Backslashes", Variant::fromString(u"C:\\dir\\n\\u0041\\")},
        {u"LooksLikeSyntax", Variant::fromString(u"x=S:1\\=")},
        {u"Blanks", Variant::fromString(u"  around  ")},
        {u"Japanese", Variant::fromString(u"送信テスト　ｶﾀｶﾅ")},
        {u"Surrogates", Variant::fromString(u"\U0001F600 pair, lone \xD800 and \xDC00 end\xD83D")},
        {u"NoBytes", Variant::fromBytes({})},
        {u"AllBytes", Variant::fromBytes(everyByte())},
        {u"key with = sign", Variant::fromInteger(1)},
        {u"名前\\\n", Variant::fromInteger(2)},
        {u" spaced ", Variant::fromInteger(3)},
    };
}

TEST(TextPropertyBag, EveryTypeAndAwkwardTextRoundTripsThroughTheTextForm) {
    TextPropertyBag bag(false);
    for (const Row& row : everyKindOfValue())
        bag.Write(row.name, row.value, Variant());

    const std::string text = bag.toText();
    TextPropertyBag loaded;
    loaded.loadText(text);
    ASSERT_EQ(loaded.names(), bag.names()) << text;
    for (const Row& row : everyKindOfValue()) {
        SCOPED_TRACE(toUtf8(row.name));
        const Variant back = loaded.Read(row.name, Variant::fromString(u"absent"));
        EXPECT_EQ(back.type(), row.value.type());
        EXPECT_TRUE(back == row.value);
    }
    // One line per key, whatever the values hold.
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), static_cast<long>(bag.size()));
    EXPECT_EQ(text.find('\r'), std::string::npos);
}

TEST(TextPropertyBag, NotANumberRoundTrips) {
    TextPropertyBag bag;
    bag.Write(u"NaN", Variant::fromDouble(std::nan("")), Variant());
    TextPropertyBag loaded;
    loaded.loadText(bag.toText());
    EXPECT_TRUE(std::isnan(loaded.Read(u"NaN", Variant()).doubleValue()));
}

TEST(TextPropertyBag, WritesOneReadableLinePerKey) {
    TextPropertyBag bag(false);
    bag.Write(u"Settings", Variant::fromString(u"9600,n,8,1"), Variant::fromString(u"9600,n,8,1"));
    bag.Write(u"CommPort", Variant::fromInteger(1), Variant::fromInteger(1));
    bag.Write(u"Handshaking", Variant::fromLong(0), Variant::fromInteger(0));
    bag.Write(u"DTREnable", Variant::fromBoolean(kTrue), Variant::fromBoolean(kTrue));
    bag.Write(u"Blob", Variant::fromBytes({0x00, 0xAB, 0xFF}), Variant());
    bag.Write(u"LogFile", Variant::fromString(u"C:\\ログ\r\n"), Variant::fromString(u""));
    EXPECT_EQ(bag.toText(),
              "Settings=S:9600,n,8,1\n"
              "CommPort=I:1\n"
              "Handshaking=L:0\n"
              "DTREnable=B:-1\n"
              "Blob=H:00ABFF\n"
              "LogFile=S:C:\\\\ログ\\r\\n\n");
}

TEST(TextPropertyBag, NamesCompareWithoutRegardToCaseAndKeepTheirFirstSpelling) {
    TextPropertyBag bag;
    bag.Write(u"CommPort", Variant::fromInteger(3), Variant::fromInteger(1));
    bag.Write(u"COMMPORT", Variant::fromInteger(4), Variant::fromInteger(1));
    EXPECT_EQ(bag.size(), 1u);
    EXPECT_EQ(bag.names(), std::vector<std::u16string>{u"CommPort"});
    EXPECT_EQ(bag.Read(u"commport", Variant()), Variant::fromInteger(4));
    EXPECT_TRUE(bag.contains(u"cOmMpOrT"));
    EXPECT_THROW(bag.Write(u"", Variant::fromInteger(1), Variant()), Error);
}

TEST(TextPropertyBag, AbsentKeysGiveTheDefaultAsHandedIn) {
    TextPropertyBag bag;
    EXPECT_EQ(bag.Read(u"Settings", Variant::fromString(u"9600,n,8,1")),
              Variant::fromString(u"9600,n,8,1"));
    EXPECT_EQ(bag.Read(u"Handshaking", Variant::fromInteger(0)).type(), VarType::Integer);
    EXPECT_EQ(bag.size(), 0u) << "reading stores nothing";
}

TEST(TextPropertyBag, OmitsValuesEqualToTheirDefaultsOnlyWhenAskedTo) {
    TextPropertyBag omitting(true);
    TextPropertyBag keeping(false);
    for (TextPropertyBag* bag : {&omitting, &keeping}) {
        bag->Write(u"Settings", Variant::fromString(u"9600,n,8,1"),
                   Variant::fromString(u"9600,n,8,1"));
        bag->Write(u"DTREnable", Variant::fromBoolean(kTrue), Variant::fromBoolean(kTrue));
        // A 32-bit zero against the 16-bit zero default: equal as numbers.
        bag->Write(u"Handshaking", Variant::fromLong(0), Variant::fromInteger(0));
        bag->Write(u"CommPort", Variant::fromInteger(2), Variant::fromInteger(1));
        // Same digits, different kind of value: not equal.
        bag->Write(u"Text", Variant::fromString(u"0"), Variant::fromInteger(0));
        bag->Write(u"Flag", Variant::fromBoolean(kFalse), Variant::fromInteger(0));
    }
    EXPECT_EQ(omitting.names(), (std::vector<std::u16string>{u"CommPort", u"Text", u"Flag"}));
    EXPECT_EQ(keeping.size(), 6u);

    // Either way, reading with the same defaults gives the same values.
    for (TextPropertyBag* bag : {&omitting, &keeping}) {
        EXPECT_EQ(toString(bag->Read(u"Settings", Variant::fromString(u"9600,n,8,1"))),
                  u"9600,n,8,1");
        EXPECT_EQ(toBoolean(bag->Read(u"DTREnable", Variant::fromBoolean(kTrue))), kTrue);
        EXPECT_EQ(toLong(bag->Read(u"Handshaking", Variant::fromInteger(0))), 0);
        EXPECT_EQ(toInteger(bag->Read(u"CommPort", Variant::fromInteger(1))), 2);
    }

    // Writing the default over a stored value removes it, so the read gives the default.
    omitting.Write(u"CommPort", Variant::fromInteger(1), Variant::fromInteger(1));
    EXPECT_FALSE(omitting.contains(u"CommPort"));
    EXPECT_EQ(omitting.Read(u"CommPort", Variant::fromInteger(1)), Variant::fromInteger(1));
}

TEST(TextPropertyBag, MalformedTextIsRefusedWithItsLineNumber) {
    struct Case {
        const char* what;
        std::string text;
        int line;
    };
    const Case cases[] = {
        {"no equals sign", "A=I:1\nB\n", 2},
        {"empty name", "=I:1\n", 1},
        {"no type tag", "A=1\n", 1},
        {"unknown type tag", "A=I:1\r\n\nB=Q:1\n", 3},
        {"bad number", "A=I:12x\n", 1},
        {"empty number", "A=L:\n", 1},
        {"Integer out of range", "A=I:32768\n", 1},
        {"Long out of range", "A=L:2147483648\n", 1},
        {"Byte out of range", "A=U:256\n", 1},
        {"negative Byte", "A=U:-1\n", 1},
        {"Boolean other than -1 or 0", "A=B:1\n", 1},
        {"bad escape", "A=S:x\nB=S:a\\qb\n", 2},
        {"escape cut off", "A=S:a\\\n", 1},
        {"short \\u", "A=S:\\u12\n", 1},
        {"non-hex \\u", "A=S:\\u12G4\n", 1},
        {"odd hex digits", "A=H:ABC\n", 1},
        {"non-hex byte", "A=H:0G\n", 1},
        {"Empty with a value", "A=E:x\n", 1},
        {"duplicate key", "CommPort=I:1\nX=I:1\ncommport=I:2\n", 3},
        {"invalid UTF-8", "A=S:ok\nB=S:\xC3\x28\n", 2},
        {"full-width digits", "A=I:\xEF\xBC\x91\n", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TextPropertyBag bag;
        bag.Write(u"Kept", Variant::fromInteger(7), Variant());
        try {
            bag.loadText(c.text);
            ADD_FAILURE() << "accepted";
        } catch (const Error& error) {
            EXPECT_EQ(error.number(), TextPropertyBag::kFormatError);
            EXPECT_THAT(error.what(), HasSubstr(" " + std::to_string(c.line) + " 行目"));
        }
        EXPECT_EQ(bag.names(), std::vector<std::u16string>{u"Kept"}) << "contents kept";
    }
}

TEST(TextPropertyBag, AcceptsCrLfLinesBlankLinesAndAMissingLastNewline) {
    TextPropertyBag bag;
    bag.loadText("A=I:1\r\n\r\n\nB=S:x y\r\nC=B:0");
    EXPECT_EQ(bag.Read(u"A", Variant()), Variant::fromInteger(1));
    EXPECT_EQ(bag.Read(u"B", Variant()), Variant::fromString(u"x y"));
    EXPECT_EQ(bag.Read(u"C", Variant()), Variant::fromBoolean(kFalse));
    bag.loadText("");
    EXPECT_EQ(bag.size(), 0u);
}

TEST(TextPropertyBagFile, SavesAndLoadsAndNamesTheFileInFailures) {
    testing::TemporaryPlatformHome scratch;
    const std::filesystem::path path = scratch.root() / "form1.properties";
    TextPropertyBag bag(false);
    for (const Row& row : everyKindOfValue())
        bag.Write(row.name, row.value, Variant());
    bag.saveToFile(path);
    EXPECT_EQ(fileContents(path), bag.toText());

    TextPropertyBag loaded;
    loaded.loadFromFile(path);
    EXPECT_EQ(loaded.names(), bag.names());
    EXPECT_EQ(loaded.toText(), bag.toText());

    // Saving again replaces the file and keeps its permissions.
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    TextPropertyBag small;
    small.Write(u"A", Variant::fromInteger(1), Variant());
    small.saveToFile(path);
    EXPECT_EQ(fileContents(path), "A=I:1\n");
    struct stat info = {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(scratch.root()),
                            std::filesystem::directory_iterator()),
              1)
        << "no temporary file left";

    auto expectFailure = [](auto operation, int32_t number, const std::string& named) {
        try {
            operation();
            ADD_FAILURE() << "succeeded";
        } catch (const Error& error) {
            EXPECT_EQ(error.number(), number);
            EXPECT_THAT(error.what(), HasSubstr(named));
        }
    };
    const std::filesystem::path missing = scratch.root() / "missing.properties";
    const std::filesystem::path noFolder = scratch.root() / "no" / "such.properties";
    expectFailure([&] { loaded.loadFromFile(missing); }, errors::kFileNotFound, missing.string());
    expectFailure([&] { loaded.loadFromFile(noFolder); }, errors::kPathNotFound, noFolder.string());
    expectFailure([&] { small.saveToFile(noFolder); }, errors::kPathNotFound, noFolder.string());
    EXPECT_EQ(loaded.names(), bag.names()) << "a failed load keeps the contents";

    std::ofstream(path, std::ios::trunc) << "A=I:1\nB=Z:2\n";
    expectFailure([&] { loaded.loadFromFile(path); }, TextPropertyBag::kFormatError, "2 行目");
    expectFailure([&] { loaded.loadFromFile(path); }, TextPropertyBag::kFormatError, path.string());
}

}  // namespace
}  // namespace platform
