#include "platform/control_site.h"

#include <gtest/gtest.h>

#include <map>

#include "platform/support/fake_widget.h"

namespace platform {
namespace {

using testing::FakeWidget;
using testing::WidgetJournal;
namespace dispid = testing::widget_dispid;
using Calls = std::vector<std::string>;

class MapBag final : public PropertyBag {
  public:
    std::map<std::u16string, Variant> values;
    Variant Read(std::u16string_view name, const Variant& defaultValue) override {
        const auto it = values.find(std::u16string(name));
        return it == values.end() ? defaultValue : it->second;
    }
    void Write(std::u16string_view name, const Variant& value, const Variant&) override {
        values[std::u16string(name)] = value;
    }
};

struct Event {
    int32_t dispid;
    std::vector<Variant> args;
    bool operator==(const Event&) const = default;
};

struct ControlSiteTest : ::testing::Test {
    WidgetJournal journal;
    ComPtr<FakeWidget> widget = makeObject<FakeWidget>(journal);

    IUnknown* unknown() const { return static_cast<IControl*>(widget.get()); }
    // The error `call` throws; fails the test if it throws none.
    template <class Call>
    Error errorOf(Call call) {
        try {
            call();
        } catch (const Error& error) {
            return error;
        }
        ADD_FAILURE() << "no error";
        return Error(0);
    }
};

TEST_F(ControlSiteTest, LifecycleGivesTheSiteFirstWhenTheControlAsks) {
    {
        ControlSite site(unknown());
        site.activate(1000, 500);
        EXPECT_EQ(journal.calls,
                  (Calls{"GetMiscStatus", "SetSite", "InitNew", "OnExtentChanged 1000x500"}));
        EXPECT_EQ(site.miscStatus(), misc_status::kSetClientSiteFirst);
        // The control set its own extent in its resize handler.
        EXPECT_EQ(site.extent(), (ControlSite::Extent{435, 435}));
        EXPECT_TRUE(site.eventsConnected());
        EXPECT_EQ(widget->events().connectionCount(), 1u);
        journal.calls.clear();
    }
    EXPECT_EQ(journal.calls, (Calls{"SetSite(null)", "Close"}));
    EXPECT_EQ(widget->events().connectionCount(), 0u);
}

TEST_F(ControlSiteTest, LifecycleGivesTheSiteAfterThePropertiesOtherwise) {
    journal.miscStatus = misc_status::kInvisibleAtRuntime;
    MapBag bag;
    bag.values[u"Caption"] = Variant::fromString(u"saved");
    bag.values[u"Count"] = Variant::fromString(u"12");
    ControlSite site(unknown());
    site.activate(10, 20, &bag);
    EXPECT_EQ(journal.calls, (Calls{"GetMiscStatus", "Load", "SetSite", "OnExtentChanged 10x20"}));
    EXPECT_EQ(site.getProperty(dispid::kCaption), Variant::fromString(u"saved"));
    EXPECT_EQ(site.getProperty(dispid::kCount), Variant::fromInteger(12));
    // Loading is no change the host hears of.
    EXPECT_TRUE(site.changedProperties().empty());
}

TEST_F(ControlSiteTest, AFailedActivationTearsDownAndReportsTheControlsError) {
    MapBag bag;
    bag.values[u"Count"] = Variant::fromString(u"abc");
    {
        ControlSite site(unknown());
        const Error error = errorOf([&] { site.activate(10, 20, &bag); });
        EXPECT_EQ(error.number(), errors::kTypeMismatch);
        EXPECT_EQ(journal.calls,
                  (Calls{"GetMiscStatus", "SetSite", "Load", "SetSite(null)", "Close"}));
        EXPECT_EQ(site.control(), nullptr);
        EXPECT_EQ(errorOf([&] { site.getProperty(dispid::kCount); }).number(),
                  errors::kObjectVariableNotSet);
    }
    EXPECT_EQ(widget->referenceCount(), 1u);
    // When the widget let its site go, only the host's own reference was left.
    EXPECT_EQ(journal.siteReferencesLeft, 1);
}

TEST_F(ControlSiteTest, PropertyChangesAreRecordedAndMayBeRefused) {
    ControlSite site(unknown());
    site.activate(100, 100);
    site.putProperty(dispid::kCaption, Variant::fromString(u"one"));
    site.putProperty(dispid::kCount, Variant::fromString(u"3"));
    EXPECT_EQ(site.changedProperties(), (std::vector<std::u16string>{u"Caption", u"Count"}));

    site.setPropertyChangedHandler([](std::u16string_view name) {
        return name == u"Count" ? reportError(Error(8000, u"ポートが開いています。")) : S_OK;
    });
    const Error refused =
        errorOf([&] { site.putProperty(dispid::kCount, Variant::fromInteger(4)); });
    EXPECT_EQ(refused.number(), 8000);
    EXPECT_EQ(refused.description(), u"ポートが開いています。");
    // The control had done its work before it notified.
    EXPECT_EQ(widget->count(), 4);
    EXPECT_EQ(site.changedProperties().back(), u"Count");

    // A handler may also throw.
    site.setPropertyChangedHandler([](std::u16string_view) -> HRESULT { throw Error(380); });
    EXPECT_EQ(
        errorOf([&] { site.putProperty(dispid::kCaption, Variant::fromString(u"x")); }).number(),
        errors::kInvalidPropertyValue);

    // A write the control refuses raises no notification.
    site.clearChangedProperties();
    site.setPropertyChangedHandler(nullptr);
    EXPECT_EQ(errorOf([&] { site.putProperty(dispid::kCount, Variant::fromInteger(-1)); }).number(),
              errors::kInvalidPropertyValue);
    EXPECT_TRUE(site.changedProperties().empty());
}

TEST_F(ControlSiteTest, ErrorsOfTheControlComeBackAsTheSameError) {
    ControlSite site(unknown());
    site.activate(100, 100);
    const Error error = errorOf([&] {
        site.invokeMethod(dispid::kFail, {Variant::fromLong(8002),
                                          Variant::fromString(u"ポート番号が不正です。")});
    });
    EXPECT_EQ(error.number(), 8002);
    EXPECT_EQ(error.description(), u"ポート番号が不正です。");
    EXPECT_EQ(errorOf([&] { site.putProperty(dispid::kTotal, Variant::fromLong(1)); }).number(),
              errors::kNoSuchMember);
    EXPECT_EQ(errorOf([&] { site.dispidOf(u"Missing"); }).number(), errors::kNoSuchMember);
    EXPECT_EQ(site.dispidOf(u"TOTAL"), dispid::kTotal);
}

TEST_F(ControlSiteTest, ExtentAndUserModeAreTheHosts) {
    ControlSite site(unknown());
    site.activate(100, 100);
    bool runMode = false;
    ASSERT_NE(widget->site(), nullptr);
    EXPECT_EQ(widget->site()->GetUserMode(&runMode), S_OK);
    EXPECT_TRUE(runMode);
    site.setUserMode(false);
    EXPECT_EQ(widget->site()->GetUserMode(&runMode), S_OK);
    EXPECT_FALSE(runMode);

    site.resize(2000, 3000);
    EXPECT_EQ(site.extent(), (ControlSite::Extent{435, 435}));
    EXPECT_EQ(journal.calls.back(), "OnExtentChanged 2000x3000");

    site.setExtentHandler([](float, float) { return reportError(Error(errors::kOutOfMemory)); });
    EXPECT_EQ(errorOf([&] { site.resize(1, 1); }).number(), errors::kOutOfMemory);
    // Recorded even though the host refused it.
    EXPECT_EQ(site.extent(), (ControlSite::Extent{435, 435}));
}

TEST_F(ControlSiteTest, EventsReachTheHostOnTheCallingThread) {
    ControlSite site(unknown());
    std::vector<Event> events;
    std::vector<Variant> captionsSeen;
    site.setEventHandler([&](int32_t id, std::span<const Variant> args) {
        events.push_back({id, {args.begin(), args.end()}});
        // The handler may call back into the control.
        captionsSeen.push_back(site.getProperty(dispid::kCaption));
    });
    site.activate(100, 100);
    site.putProperty(dispid::kCaption, Variant::fromString(u"c"));
    site.invokeMethod(dispid::kPing);
    EXPECT_EQ(events, (std::vector<Event>{{dispid::kChangedEvent, {Variant::fromString(u"Ping")}},
                                          {dispid::kTickedEvent, {}}}));
    EXPECT_EQ(captionsSeen.size(), 2u);
    EXPECT_EQ(captionsSeen[0], Variant::fromString(u"c"));

    // A host handler that fails does not fail the control.
    site.setEventHandler([](int32_t, std::span<const Variant>) { throw Error(380); });
    EXPECT_NO_THROW(site.invokeMethod(dispid::kPing));
}

TEST_F(ControlSiteTest, AHostClosingInsideAnEventIsSafe) {
    auto site = std::make_unique<ControlSite>(unknown());
    int events = 0;
    site->setEventHandler([&](int32_t, std::span<const Variant>) {
        ++events;
        site.reset();  // the window closes from its event handler
    });
    site->activate(100, 100);
    widget->Ping();
    EXPECT_EQ(events, 1);  // the second event found no one listening
    EXPECT_EQ(widget->events().connectionCount(), 0u);
    EXPECT_EQ(widget->referenceCount(), 1u);
}

TEST_F(ControlSiteTest, AControlWithoutEventsIsCarriedWithoutThem) {
    journal.providesEvents = false;
    ControlSite site(unknown());
    int events = 0;
    site.setEventHandler([&](int32_t, std::span<const Variant>) { ++events; });
    site.activate(100, 100);
    EXPECT_FALSE(site.eventsConnected());
    site.invokeMethod(dispid::kPing);
    EXPECT_EQ(events, 0);
}

TEST_F(ControlSiteTest, PropertiesAreSavedThroughTheBag) {
    ControlSite site(unknown());
    site.activate(100, 100);
    site.putProperty(dispid::kCaption, Variant::fromString(u"keep"));
    site.putProperty(dispid::kCount, Variant::fromInteger(5));
    MapBag bag;
    site.save(bag);
    EXPECT_EQ(bag.values[u"Caption"], Variant::fromString(u"keep"));
    EXPECT_EQ(bag.values[u"Count"], Variant::fromInteger(5));

    WidgetJournal otherJournal;
    const ComPtr<FakeWidget> other = makeObject<FakeWidget>(otherJournal);
    ControlSite restored(static_cast<IControl*>(other.get()));
    restored.activate(100, 100, &bag);
    EXPECT_EQ(restored.getProperty(dispid::kCaption), Variant::fromString(u"keep"));
    EXPECT_EQ(restored.getProperty(dispid::kCount), Variant::fromInteger(5));
}

TEST_F(ControlSiteTest, TeardownLeavesNoReferenceBehind) {
    ComPtr<IControlSite> keptSite;
    {
        ControlSite site(unknown());
        site.activate(100, 100);
        EXPECT_GT(widget->referenceCount(), 1u);
        keptSite = ComPtr<IControlSite>(widget->site());
    }
    EXPECT_EQ(widget->referenceCount(), 1u);
    EXPECT_EQ(widget->events().connectionCount(), 0u);
    // Neither the widget nor the host holds the site any more: ours is the only reference,
    // and the site, detached from its host, refuses calls.
    EXPECT_EQ(keptSite->AddRef(), 2u);
    keptSite->Release();
    EXPECT_EQ(keptSite->OnPropertyChanged(u"Caption"), E_UNEXPECTED);
    bool runMode = false;
    EXPECT_EQ(keptSite->GetUserMode(&runMode), E_UNEXPECTED);
    keptSite.reset();

    widget.reset();
    EXPECT_EQ(journal.liveWidgets, 0);
}

TEST_F(ControlSiteTest, OnlyControlsAreCarriedAndOnlyOnce) {
    class NotAControl final : public RefCounted<IDispatch> {
      public:
        HRESULT GetIDsOfNames(const char16_t* const*, unsigned, int32_t*) override {
            return E_NOTIMPL;
        }
        HRESULT Invoke(int32_t, uint16_t, DispParams&, Variant*, ExcepInfo*, unsigned*) override {
            return E_NOTIMPL;
        }
    };
    const ComPtr<NotAControl> object = makeObject<NotAControl>();
    EXPECT_EQ(errorOf([&] { ControlSite site(object.get()); }).number(),
              errors::kNoAutomationSupport);
    EXPECT_EQ(object->referenceCount(), 1u);
    EXPECT_EQ(errorOf([&] { ControlSite site(nullptr); }).number(), errors::kObjectVariableNotSet);

    ControlSite site(unknown());
    site.activate(1, 1);
    EXPECT_EQ(errorOf([&] { site.activate(1, 1); }).number(), errors::kInvalidProcedureCall);
    site.close();
    site.close();
    EXPECT_EQ(widget->referenceCount(), 1u);
}

}  // namespace
}  // namespace platform
