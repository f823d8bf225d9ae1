#include "platform/type_library.h"

#include <gtest/gtest.h>

#include <random>

#include "platform/support/fake_widget.h"

namespace platform {
namespace {

using testing::IID_IWidget;
using testing::IID_WidgetEvents;
using testing::widgetLibrary;
namespace dispid = testing::widget_dispid;

// The error a parse fails with; fails the test if it does not fail.
Error parseError(std::span<const uint8_t> bytes) {
    try {
        parseTypeLibrary(bytes);
    } catch (const Error& error) {
        return error;
    }
    ADD_FAILURE() << "parse succeeded";
    return Error(0);
}

TEST(TypeLibraryLookup, FindsMembersByNameInAnyCaseAndByDispidAndKind) {
    const TypeLibrary library = widgetLibrary();
    const InterfaceDescription* widget = library.findInterface(IID_IWidget);
    ASSERT_NE(widget, nullptr);
    EXPECT_EQ(library.findInterface(u"_WIDGET"), widget);
    EXPECT_EQ(widget->findDispid(u"caption"), dispid::kCaption);
    EXPECT_EQ(widget->findDispid(u"TOTAL"), dispid::kTotal);
    EXPECT_EQ(widget->findDispid(u"Captio"), std::nullopt);
    EXPECT_EQ(widget->findDispid(u""), std::nullopt);

    // Put before get, each its own member in interface order.
    EXPECT_EQ(widget->findMember(dispid::kCaption, MemberKind::PropertyPut), 0u);
    EXPECT_EQ(widget->findMember(dispid::kCaption, MemberKind::PropertyGet), 1u);
    EXPECT_EQ(widget->findMember(dispid::kTotal, MemberKind::PropertyPut), std::nullopt);
    EXPECT_EQ(widget->findMember(dispid::kData, MemberKind::PropertyGet), std::nullopt);
    EXPECT_TRUE(widget->hasDispid(dispid::kData));
    EXPECT_FALSE(widget->hasDispid(0));

    const CoclassDescription* coclass = library.findCoclass(u"widget");
    ASSERT_NE(coclass, nullptr);
    EXPECT_EQ(library.findCoclass(testing::kWidgetClsid), coclass);
    EXPECT_EQ(coclass->defaultInterface(), IID_IWidget);
    EXPECT_EQ(coclass->defaultSource(), IID_WidgetEvents);
    EXPECT_EQ(library.findInterface(coclass->clsid), nullptr);
}

TEST(TypeLibraryLookup, NamesCompareWithoutAsciiCaseOnly) {
    EXPECT_TRUE(namesEqual(u"PortOpen", u"portopen"));
    EXPECT_FALSE(namesEqual(u"PortOpen", u"PortOpen "));
    // Beyond ASCII the text must match exactly.
    EXPECT_FALSE(namesEqual(u"\u00C9", u"\u00E9"));
    EXPECT_TRUE(namesEqual(u"\u00E9x", u"\u00E9X"));
}

TEST(TypeLibraryBytes, RoundTripGivesAnEqualLibrary) {
    const TypeLibrary library = widgetLibrary();
    const std::vector<uint8_t> bytes = serializeTypeLibrary(library);
    ASSERT_GE(bytes.size(), 6u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "CVTL");
    EXPECT_EQ(parseTypeLibrary(bytes), library);

    TypeLibrary empty;
    EXPECT_EQ(parseTypeLibrary(serializeTypeLibrary(empty)), empty);
}

TEST(TypeLibraryBytes, EveryTruncationIsRejected) {
    const std::vector<uint8_t> bytes = serializeTypeLibrary(widgetLibrary());
    for (std::size_t length = 0; length < bytes.size(); ++length) {
        const Error error = parseError(std::span(bytes.data(), length));
        EXPECT_EQ(error.number(), TYPE_E_INVDATAREAD) << length;
        EXPECT_FALSE(error.description().empty());
    }
    // The description says where the data ended.
    const Error error = parseError(std::span(bytes.data(), 10));
    EXPECT_NE(error.description().find(u"オフセット"), std::u16string::npos);
    EXPECT_NE(error.description().find(u"切れています"), std::u16string::npos);
}

TEST(TypeLibraryBytes, BadMagicVersionAndTrailingBytesAreRejected) {
    std::vector<uint8_t> bytes = serializeTypeLibrary(widgetLibrary());

    std::vector<uint8_t> badMagic = bytes;
    badMagic[0] = 'X';
    const Error magic = parseError(badMagic);
    EXPECT_EQ(magic.number(), TYPE_E_INVDATAREAD);
    EXPECT_NE(magic.description().find(u"CVTL"), std::u16string::npos);

    std::vector<uint8_t> newer = bytes;
    newer[4] = 2;
    EXPECT_EQ(parseError(newer).number(), TYPE_E_UNSUPFORMAT);

    std::vector<uint8_t> trailing = bytes;
    trailing.push_back(0);
    const Error extra = parseError(trailing);
    EXPECT_EQ(extra.number(), TYPE_E_INVDATAREAD);
    EXPECT_NE(extra.description().find(std::u16string(u"オフセット ") +
                                       fromUtf8(std::to_string(bytes.size()))),
              std::u16string::npos);
}

TEST(TypeLibraryBytes, ImpossibleValuesAreRejected) {
    TypeLibrary library;
    library.interfaces().push_back({u"I",
                                    IID_IWidget,
                                    {1, 0},
                                    0,
                                    InterfaceKind::Dual,
                                    {{u"M", 7, MemberKind::PropertyGet, {}, VarType::Long}}});
    const std::vector<uint8_t> good = serializeTypeLibrary(library);
    // The member's fields are the last ones before the (empty) class list: name (2+2
    // bytes), DISPID (4), kind (1), result type (2), parameter count (1), class count (2).
    const std::size_t kindAt = good.size() - 2 - 1 - 2 - 1;
    const std::size_t resultAt = kindAt + 1;

    std::vector<uint8_t> badKind = good;
    badKind[kindAt] = 3;
    EXPECT_EQ(parseError(badKind).number(), TYPE_E_INVDATAREAD);

    std::vector<uint8_t> badType = good;
    badType[resultAt] = 99;
    EXPECT_EQ(parseError(badType).number(), TYPE_E_INVDATAREAD);

    // A string length far beyond the data is caught before anything is allocated.
    std::vector<uint8_t> hugeName = good;
    hugeName[6] = 0xFF;
    hugeName[7] = 0xFF;
    EXPECT_EQ(parseError(hugeName).number(), TYPE_E_INVDATAREAD);
}

TEST(TypeLibraryBytes, RandomAndMutatedBytesNeverCrash) {
    const std::vector<uint8_t> good = serializeTypeLibrary(widgetLibrary());
    std::mt19937 random(12345);
    for (int round = 0; round < 2000; ++round) {
        std::vector<uint8_t> bytes = good;
        if (round % 2 == 0) {
            const int flips = 1 + static_cast<int>(random() % 4);
            for (int i = 0; i < flips; ++i)
                bytes[random() % bytes.size()] ^= 1 + random() % 255;
        } else {
            bytes.resize(random() % 200);
            for (auto& b : bytes)
                b = static_cast<uint8_t>(random());
            if (round % 4 == 1 && bytes.size() >= 6) {
                std::copy(good.begin(), good.begin() + 6, bytes.begin());
            }
        }
        try {
            const TypeLibrary parsed = parseTypeLibrary(bytes);
            // What parses is a valid library that writes back to the same bytes.
            EXPECT_EQ(serializeTypeLibrary(parsed), bytes);
        } catch (const Error& error) {
            EXPECT_TRUE(error.number() == TYPE_E_INVDATAREAD ||
                        error.number() == TYPE_E_UNSUPFORMAT);
        }
    }
}

TEST(TypeLibraryValidation, RejectsDescriptionsInvokeCannotWorkFrom) {
    const auto withMember = [](MemberDescription member) {
        TypeLibrary library = widgetLibrary();
        library.interfaces()[0].members.push_back(std::move(member));
        return library;
    };
    using enum MemberKind;
    const TypeLibrary faulty[] = {
        withMember({u"Caption", dispid::kCaption, PropertyGet, {}, VarType::String}),
        withMember({u"Put", 0x40, PropertyPut, {}}),
        withMember({u"Put", 0x40, PropertyPut, {VarType::Long}, VarType::Long}),
        withMember({u"Get", 0x41, PropertyGet, {}}),
        withMember({u"Odd", 0x42, Method, {VarType::Null}}),
        withMember({u"Odd", 0x42, Method, {}, VarType::Empty}),
        withMember({u"Odd", 0x42, static_cast<MemberKind>(3), {}}),
    };
    for (const TypeLibrary& library : faulty) {
        EXPECT_THROW(library.validate(), Error);
        EXPECT_THROW(serializeTypeLibrary(library), Error);
    }

    TypeLibrary twice = widgetLibrary();
    twice.interfaces()[1].iid = twice.interfaces()[0].iid;
    EXPECT_THROW(twice.validate(), Error);

    // A parameterised get and a put with an index are fine.
    EXPECT_NO_THROW(
        withMember({u"Item", 0x43, PropertyGet, {VarType::Long}, kVarTypeVariant}).validate());
    EXPECT_NO_THROW(
        withMember({u"Item", 0x43, PropertyPut, {VarType::Long, kVarTypeVariant}}).validate());
}

}  // namespace
}  // namespace platform
