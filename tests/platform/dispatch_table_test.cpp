#include "platform/dispatch_table.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/support/fake_widget.h"

namespace platform {
namespace {

using testing::FakeWidget;
using testing::IID_IWidget;
using testing::WidgetJournal;
namespace dispid = testing::widget_dispid;

// A plain object behind the widget's description, with value-shaped accessors, that
// counts every call reaching it.
struct PlainWidget {
    int calls = 0;
    std::u16string caption;
    int16_t count = 0;
    int16_t enabled = kFalse;
    Variant data;

    void put_Caption(std::u16string_view value) {
        ++calls;
        caption = value;
    }
    std::u16string get_Caption() const { return caption; }
    void put_Count(int16_t value) {
        ++calls;
        count = value;
    }
    int16_t get_Count() const { return count; }
    void put_Enabled(bool value) {
        ++calls;
        enabled = toBooleanValue(value);
    }
    bool get_Enabled() const { return enabled != kFalse; }
    int32_t get_Total() {
        ++calls;
        return 70000;
    }
    void put_Data(const Variant& value) {
        ++calls;
        data = value;
    }
    void Fail(int32_t number, const std::u16string& description) {
        ++calls;
        throw Error(number, description);
    }
    void Ping() { ++calls; }
};

using PlainTable = DispatchTable<PlainWidget>;

// The widget's description with Data made write-only by a missing get (it already is)
// and Total read-only; Scale is left without an accessor.
const PlainTable& plainTable() {
    static const PlainTable table(*testing::widgetLibrary().findInterface(IID_IWidget),
                                  {
                                      PlainTable::put<&PlainWidget::put_Caption>(),
                                      PlainTable::get<&PlainWidget::get_Caption>(),
                                      PlainTable::put<&PlainWidget::put_Count>(),
                                      PlainTable::get<&PlainWidget::get_Count>(),
                                      PlainTable::put<&PlainWidget::put_Enabled>(),
                                      PlainTable::get<&PlainWidget::get_Enabled>(),
                                      PlainTable::get<&PlainWidget::get_Total>(),
                                      PlainTable::put<&PlainWidget::put_Data>(),
                                      {},
                                      PlainTable::method<&PlainWidget::Fail>(),
                                      PlainTable::method<&PlainWidget::Ping>(),
                                  },
                                  u"Plain");
    return table;
}

struct Call {
    HRESULT hr;
    Variant result;
    ExcepInfo excepInfo;
    unsigned argError;
};

Call invoke(PlainWidget& object, int32_t id, uint16_t flags, DispParams params) {
    Call call{S_OK, Variant::fromString(u"untouched"), {}, 99};
    call.hr = plainTable().invoke(object, id, flags, params, &call.result, &call.excepInfo,
                                  &call.argError);
    return call;
}

Call put(PlainWidget& object, int32_t id, Variant value) {
    return invoke(object, id, DISPATCH_PROPERTYPUT, DispParams::propertyPut(std::move(value)));
}

Call get(PlainWidget& object, int32_t id) {
    return invoke(object, id, DISPATCH_PROPERTYGET, {});
}

TEST(DispatchNames, AreFoundWithoutRegardToCase) {
    const char16_t* names[] = {u"cApTiOn"};
    int32_t ids[1] = {0};
    EXPECT_EQ(plainTable().getIDsOfNames(names, 1, ids), S_OK);
    EXPECT_EQ(ids[0], dispid::kCaption);

    const char16_t* unknown[] = {u"Captions"};
    EXPECT_EQ(plainTable().getIDsOfNames(unknown, 1, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], DISPID_UNKNOWN);

    // Parameters have no names: the member is still found, the parameter is not.
    const char16_t* withParameter[] = {u"SCALE", u"factor"};
    int32_t two[2] = {0, 0};
    EXPECT_EQ(plainTable().getIDsOfNames(withParameter, 2, two), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(two[0], dispid::kScale);
    EXPECT_EQ(two[1], DISPID_UNKNOWN);

    EXPECT_EQ(plainTable().getIDsOfNames(names, 0, ids), E_INVALIDARG);
    EXPECT_EQ(plainTable().getIDsOfNames(nullptr, 1, ids), E_POINTER);
}

TEST(DispatchInvoke, PutThenGetConvertsToTheDeclaredTypes) {
    PlainWidget object;
    EXPECT_EQ(put(object, dispid::kCaption, Variant::fromInteger(42)).hr, S_OK);
    EXPECT_EQ(object.caption, u"42");
    EXPECT_EQ(get(object, dispid::kCaption).result, Variant::fromString(u"42"));

    EXPECT_EQ(put(object, dispid::kCount, Variant::fromString(u" 12 ")).hr, S_OK);
    EXPECT_EQ(object.count, 12);
    EXPECT_EQ(put(object, dispid::kCount, Variant::fromDouble(2.5)).hr, S_OK);
    EXPECT_EQ(object.count, 2);  // ties to even
    const Call count = get(object, dispid::kCount);
    EXPECT_EQ(count.result.type(), VarType::Integer);

    // Booleans cross as -1/0 whatever the accessor's C++ type.
    EXPECT_EQ(put(object, dispid::kEnabled, Variant::fromInteger(1)).hr, S_OK);
    EXPECT_EQ(object.enabled, kTrue);
    EXPECT_EQ(get(object, dispid::kEnabled).result, Variant::fromBoolean(kTrue));

    // A Long result comes back as Long; a Variant parameter keeps its type.
    EXPECT_EQ(get(object, dispid::kTotal).result, Variant::fromLong(70000));
    EXPECT_EQ(put(object, dispid::kData, Variant::fromBytes({1, 2, 255})).hr, S_OK);
    EXPECT_EQ(object.data, Variant::fromBytes({1, 2, 255}));

    // A caller unsure whether a name is a method or a property may ask for both.
    const Call either =
        invoke(object, dispid::kCaption, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {});
    EXPECT_EQ(either.hr, S_OK);
    EXPECT_EQ(either.result, Variant::fromString(u"42"));
}

TEST(DispatchInvoke, AnArgumentThatDoesNotConvertLeavesTheObjectUntouched) {
    PlainWidget object;
    object.count = 7;
    const Call text = put(object, dispid::kCount, Variant::fromString(u"abc"));
    EXPECT_EQ(text.hr, DISP_E_TYPEMISMATCH);
    EXPECT_EQ(text.argError, 0u);
    EXPECT_EQ(text.result, Variant::fromString(u"untouched"));

    const Call big = put(object, dispid::kCount, Variant::fromLong(32768));
    EXPECT_EQ(big.hr, DISP_E_OVERFLOW);
    EXPECT_EQ(put(object, dispid::kCount, Variant::fromDouble(-32768.5)).hr, S_OK);
    EXPECT_EQ(object.count, -32768);
    object.count = 7;
    EXPECT_EQ(put(object, dispid::kCount, Variant::fromDouble(32767.5)).hr, DISP_E_OVERFLOW);

    EXPECT_EQ(object.count, 7);
    EXPECT_EQ(object.calls, 1);  // only the -32768.5 put reached the object
    EXPECT_FALSE(takeErrorInfo().has_value());
}

TEST(DispatchInvoke, ArgumentErrorIndexCountsInTheReversedOrder) {
    WidgetJournal journal;
    const ComPtr<FakeWidget> widget = makeObject<FakeWidget>(journal);
    // Scale(factor As Double, offset As Integer): the offset is args[0].
    DispParams bad = DispParams::positional({Variant::fromDouble(2), Variant::fromString(u"x")});
    unsigned argError = 99;
    EXPECT_EQ(widget->Invoke(dispid::kScale, DISPATCH_METHOD, bad, nullptr, nullptr, &argError),
              DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argError, 0u);
    DispParams bad2 = DispParams::positional({Variant::fromString(u"x"), Variant::fromInteger(1)});
    EXPECT_EQ(widget->Invoke(dispid::kScale, DISPATCH_METHOD, bad2, nullptr, nullptr, &argError),
              DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argError, 1u);

    widget->put_Count(4);
    EXPECT_EQ(invokeMethod(widget.get(), dispid::kScale,
                           {Variant::fromString(u"2.5"), Variant::fromString(u"3")}),
              Variant::fromDouble(13));
}

TEST(DispatchInvoke, WrongArgumentCountsFail) {
    PlainWidget object;
    EXPECT_EQ(invoke(object, dispid::kCaption, DISPATCH_PROPERTYGET,
                     DispParams::positional({Variant::fromInteger(1)}))
                  .hr,
              DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(invoke(object, dispid::kCaption, DISPATCH_PROPERTYPUT, {}).hr, DISP_E_BADPARAMCOUNT);
    DispParams twoValues = DispParams::propertyPut(Variant::fromInteger(1));
    twoValues.args.push_back(Variant::fromInteger(2));
    EXPECT_EQ(invoke(object, dispid::kCount, DISPATCH_PROPERTYPUT, twoValues).hr,
              DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(invoke(object, dispid::kFail, DISPATCH_METHOD,
                     DispParams::positional({Variant::fromLong(5)}))
                  .hr,
              DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(object.calls, 0);
}

TEST(DispatchInvoke, MissingAccessorsNeverReachTheObject) {
    PlainWidget object;
    const Call readOnly = put(object, dispid::kTotal, Variant::fromLong(1));
    EXPECT_EQ(readOnly.hr, DISP_E_MEMBERNOTFOUND);
    const Call writeOnly = get(object, dispid::kData);
    EXPECT_EQ(writeOnly.hr, DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(writeOnly.result, Variant::fromString(u"untouched"));
    // Described, but given no accessor.
    EXPECT_EQ(invoke(object, dispid::kScale, DISPATCH_METHOD,
                     DispParams::positional({Variant::fromDouble(1), Variant::fromInteger(1)}))
                  .hr,
              DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(get(object, 0x7777).hr, DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(invoke(object, dispid::kPing, DISPATCH_PROPERTYGET, {}).hr, DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(object.calls, 0);
}

TEST(DispatchInvoke, FlagsAndNamedArgumentsAreChecked) {
    PlainWidget object;
    EXPECT_EQ(invoke(object, dispid::kCaption, 0, {}).hr, E_INVALIDARG);
    EXPECT_EQ(invoke(object, dispid::kCaption, DISPATCH_PROPERTYGET | DISPATCH_PROPERTYPUT,
                     DispParams::propertyPut(Variant::fromInteger(1)))
                  .hr,
              E_INVALIDARG);
    EXPECT_EQ(invoke(object, dispid::kCaption, 0x20, {}).hr, E_INVALIDARG);

    DispParams misnamed = DispParams::propertyPut(Variant::fromInteger(1));
    misnamed.namedArgs[0] = 5;
    const Call wrongName = invoke(object, dispid::kCaption, DISPATCH_PROPERTYPUT, misnamed);
    EXPECT_EQ(wrongName.hr, DISP_E_PARAMNOTFOUND);
    EXPECT_EQ(wrongName.argError, 0u);
    // DISPID_PROPERTYPUT names the value of a put only.
    EXPECT_EQ(invoke(object, dispid::kCaption, DISPATCH_PROPERTYGET,
                     DispParams::propertyPut(Variant::fromInteger(1)))
                  .hr,
              DISP_E_PARAMNOTFOUND);
    // A put may also pass its value positionally.
    EXPECT_EQ(invoke(object, dispid::kCaption, DISPATCH_PROPERTYPUT,
                     DispParams::positional({Variant::fromString(u"p")}))
                  .hr,
              S_OK);
    EXPECT_EQ(object.caption, u"p");
    // A put-by-reference of a member that has only a put is not found.
    EXPECT_EQ(invoke(object, dispid::kCaption, DISPATCH_PROPERTYPUTREF,
                     DispParams::propertyPut(Variant::fromString(u"q")))
                  .hr,
              DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(object.calls, 1);
}

TEST(DispatchErrors, AnErrorOfTheObjectBecomesAnExceptionWithItsNumber) {
    PlainWidget object;
    const Call call =
        invoke(object, dispid::kFail, DISPATCH_METHOD,
               DispParams::positional(
                   {Variant::fromLong(8002), Variant::fromString(u"不正なポート番号です。")}));
    EXPECT_EQ(call.hr, DISP_E_EXCEPTION);
    EXPECT_EQ(call.excepInfo.number, 8002);
    EXPECT_EQ(call.excepInfo.scode, hresultFromNumber(8002));
    EXPECT_EQ(call.excepInfo.description, u"不正なポート番号です。");
    EXPECT_EQ(call.excepInfo.source, u"Plain");
    EXPECT_EQ(call.result, Variant::fromString(u"untouched"));
    const std::optional<ErrorInfo> info = takeErrorInfo();
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->number, 8002);
    EXPECT_EQ(info->description, u"不正なポート番号です。");
}

TEST(DispatchErrors, OtherExceptionsAndUnrepresentableResultsAreReportedToo) {
    const InterfaceDescription description = {
        u"_Odd",
        IID_IWidget,
        {1, 0},
        0,
        InterfaceKind::Dual,
        {{u"Small", 1, MemberKind::PropertyGet, {}, VarType::Integer},
         {u"Broken", 2, MemberKind::PropertyGet, {}, VarType::String},
         {u"Hungry", 3, MemberKind::PropertyGet, {}, VarType::String}}};
    struct Odd {};
    const DispatchTable<Odd> table(
        description,
        {[](Odd&, std::span<const Variant>, Variant& r) { r = Variant::fromLong(40000); },
         [](Odd&, std::span<const Variant>, Variant&) { throw std::runtime_error("bug"); },
         [](Odd&, std::span<const Variant>, Variant&) { throw std::bad_alloc(); }});
    Odd odd;
    const auto numberOf = [&](int32_t id) {
        DispParams none;
        Variant result;
        ExcepInfo excepInfo;
        EXPECT_EQ(table.invoke(odd, id, DISPATCH_PROPERTYGET, none, &result, &excepInfo, nullptr),
                  DISP_E_EXCEPTION);
        EXPECT_TRUE(result.isEmpty());
        clearErrorInfo();
        return excepInfo.number;
    };
    EXPECT_EQ(numberOf(1), errors::kOverflow);
    EXPECT_EQ(numberOf(2), errors::kAutomationError);
    EXPECT_EQ(numberOf(3), errors::kOutOfMemory);
}

TEST(DispatchErrors, LateBoundHelpersRaiseTheSameError) {
    WidgetJournal journal;
    const ComPtr<FakeWidget> widget = makeObject<FakeWidget>(journal);
    try {
        invokeMethod(
            widget.get(), dispid::kFail,
            {Variant::fromLong(8012), Variant::fromString(u"デバイスが開かれていません。")});
        FAIL() << "no error";
    } catch (const Error& error) {
        EXPECT_EQ(error.number(), 8012);
        EXPECT_EQ(error.description(), u"デバイスが開かれていません。");
    }
    EXPECT_FALSE(takeErrorInfo().has_value());

    // The object's own HRESULT failure (through its dual interface) keeps its number.
    try {
        putProperty(widget.get(), dispid::kCount, Variant::fromInteger(-1));
        FAIL() << "no error";
    } catch (const Error& error) {
        EXPECT_EQ(error.number(), errors::kInvalidPropertyValue);
        EXPECT_EQ(error.description(), standardDescription(errors::kInvalidPropertyValue));
    }

    // The dispatcher's own failures map to the runtime's numbers.
    const auto numberOf = [](auto call) {
        try {
            call();
        } catch (const Error& error) {
            return error.number();
        }
        return 0;
    };
    EXPECT_EQ(
        numberOf([&] { putProperty(widget.get(), dispid::kCount, Variant::fromString(u"abc")); }),
        errors::kTypeMismatch);
    EXPECT_EQ(
        numberOf([&] { putProperty(widget.get(), dispid::kCount, Variant::fromLong(99999)); }),
        errors::kOverflow);
    EXPECT_EQ(numberOf([&] { putProperty(widget.get(), dispid::kTotal, Variant::fromLong(1)); }),
              errors::kNoSuchMember);
    EXPECT_EQ(numberOf([&] { getProperty(widget.get(), dispid::kData); }), errors::kNoSuchMember);
    EXPECT_EQ(numberOf([&] { dispidOfName(widget.get(), u"Nothing"); }), errors::kNoSuchMember);
    EXPECT_EQ(widget->count(), 0);

    EXPECT_EQ(dispidOfName(widget.get(), u"count"), dispid::kCount);
    putProperty(widget.get(), dispid::kCount, Variant::fromString(u"12"));
    EXPECT_EQ(getProperty(widget.get(), dispid::kCount), Variant::fromInteger(12));
    EXPECT_EQ(getProperty(widget.get(), dispid::kTotal), Variant::fromLong(100012));
}

TEST(DispatchErrors, StaleErrorInfoIsNotTakenForANewFailure) {
    WidgetJournal journal;
    const ComPtr<FakeWidget> widget = makeObject<FakeWidget>(journal);
    setErrorInfo({8005, u"古いエラー", u""});
    try {
        getProperty(widget.get(), dispid::kData);
        FAIL() << "no error";
    } catch (const Error& error) {
        EXPECT_EQ(error.number(), errors::kNoSuchMember);
    }
}

TEST(DispatchTableSetup, NeedsOneAccessorPerMember) {
    struct Nothing {};
    const InterfaceDescription description = *testing::widgetLibrary().findInterface(IID_IWidget);
    EXPECT_THROW(DispatchTable<Nothing>(description, {}), std::invalid_argument);
}

}  // namespace
}  // namespace platform
