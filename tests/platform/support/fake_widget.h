// A small fake control for the object-model tests: a dual interface `_Widget` with
// members of each kind (read-write, read-only, write-only, methods), an event interface
// `__Widget`, and the lifecycle interfaces a host calls. Every lifecycle call is written
// to a journal that outlives the object, together with the count of live widgets.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/connection_point.h"
#include "platform/control.h"
#include "platform/dispatch.h"
#include "platform/dispatch_table.h"
#include "platform/ref_counted.h"
#include "platform/type_library.h"

namespace platform::testing {

// {6C1B52F4-0E5B-4C07-9D1A-1F3E2A7B9C01}
constexpr Guid kWidgetLibraryId{
    0x6C1B52F4, 0x0E5B, 0x4C07, {0x9D, 0x1A, 0x1F, 0x3E, 0x2A, 0x7B, 0x9C, 0x01}};
// {6C1B52F4-0E5B-4C07-9D1A-1F3E2A7B9C02}
constexpr Guid IID_IWidget{
    0x6C1B52F4, 0x0E5B, 0x4C07, {0x9D, 0x1A, 0x1F, 0x3E, 0x2A, 0x7B, 0x9C, 0x02}};
// {6C1B52F4-0E5B-4C07-9D1A-1F3E2A7B9C03}
constexpr Guid IID_WidgetEvents{
    0x6C1B52F4, 0x0E5B, 0x4C07, {0x9D, 0x1A, 0x1F, 0x3E, 0x2A, 0x7B, 0x9C, 0x03}};
// {6C1B52F4-0E5B-4C07-9D1A-1F3E2A7B9C04}
constexpr Guid kWidgetClsid{
    0x6C1B52F4, 0x0E5B, 0x4C07, {0x9D, 0x1A, 0x1F, 0x3E, 0x2A, 0x7B, 0x9C, 0x04}};

namespace widget_dispid {
constexpr int32_t kCaption = 0x10;
constexpr int32_t kCount = 0x11;
constexpr int32_t kEnabled = 0x12;
constexpr int32_t kTotal = 0x13;  // read-only
constexpr int32_t kData = 0x14;   // write-only
constexpr int32_t kScale = 0x15;  // method with a result
constexpr int32_t kFail = 0x16;   // raises the error it is given
constexpr int32_t kPing = 0x17;   // raises both events
constexpr int32_t kChangedEvent = 1;
constexpr int32_t kTickedEvent = 2;
}  // namespace widget_dispid

inline TypeLibrary widgetLibrary() {
    using enum MemberKind;
    using namespace widget_dispid;
    TypeLibrary library;
    library.setName(u"WidgetLib");
    library.setHelpString(u"Widgets for tests");
    library.setGuid(kWidgetLibraryId);
    library.setVersion({3, 1});
    library.setLcid(0x0409);
    library.setFlags(library_flags::kControl);
    library.imports() = {{u"stdole", {0x00020430, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}}, {2, 0}}};
    library.interfaces() = {
        {u"_Widget",
         IID_IWidget,
         {1, 0},
         type_flags::kHidden | type_flags::kDual | type_flags::kNonExtensible |
             type_flags::kOleAutomation | type_flags::kDispatchable,
         InterfaceKind::Dual,
         {
             {u"Caption", kCaption, PropertyPut, {VarType::String}},
             {u"Caption", kCaption, PropertyGet, {}, VarType::String},
             {u"Count", kCount, PropertyPut, {VarType::Integer}},
             {u"Count", kCount, PropertyGet, {}, VarType::Integer},
             {u"Enabled", kEnabled, PropertyPut, {VarType::Boolean}},
             {u"Enabled", kEnabled, PropertyGet, {}, VarType::Boolean},
             {u"Total", kTotal, PropertyGet, {}, VarType::Long},
             {u"Data", kData, PropertyPut, {kVarTypeVariant}},
             {u"Scale", kScale, Method, {VarType::Double, VarType::Integer}, VarType::Double},
             {u"Fail", kFail, Method, {VarType::Long, VarType::String}},
             {u"Ping", kPing, Method, {}},
         }},
        {u"__Widget",
         IID_WidgetEvents,
         {1, 0},
         type_flags::kHidden | type_flags::kNonExtensible | type_flags::kDispatchable,
         InterfaceKind::Dispatch,
         {
             {u"Changed", kChangedEvent, Method, {VarType::String}},
             {u"Ticked", kTickedEvent, Method, {}},
         }},
    };
    library.coclasses() = {{u"Widget",
                            kWidgetClsid,
                            {1, 0},
                            type_flags::kControl,
                            {{IID_IWidget, impl_flags::kDefault},
                             {IID_WidgetEvents, impl_flags::kDefault | impl_flags::kSource}}}};
    return library;
}

// The dual interface, in interface order.
class IWidget : public IDispatch {
  public:
    virtual HRESULT put_Caption(const std::u16string& value) = 0;
    virtual HRESULT get_Caption(std::u16string* value) = 0;
    virtual HRESULT put_Count(int16_t value) = 0;
    virtual HRESULT get_Count(int16_t* value) = 0;
    virtual HRESULT put_Enabled(int16_t value) = 0;
    virtual HRESULT get_Enabled(int16_t* value) = 0;
    virtual HRESULT get_Total(int32_t* value) = 0;
    virtual HRESULT put_Data(Variant value) = 0;
    virtual HRESULT Scale(double factor, int16_t offset, double* result) = 0;
    virtual HRESULT Fail(int32_t number, const std::u16string& description) = 0;
    virtual HRESULT Ping() = 0;

  protected:
    ~IWidget() = default;
};

}  // namespace platform::testing

namespace platform {
template <>
struct InterfaceIds<testing::IWidget> {
    static constexpr Guid value[] = {testing::IID_IWidget, IID_IDispatch};
};
}  // namespace platform

namespace platform::testing {

struct WidgetJournal {
    std::vector<std::string> calls;
    int liveWidgets = 0;
    uint32_t miscStatus = misc_status::kSetClientSiteFirst;
    bool providesEvents = true;
    // What the site's Release returned when the widget let its site go (0: destroyed).
    int siteReferencesLeft = -1;
    std::vector<Variant> dataReceived;
};

class FakeWidget final : public RefCounted<IWidget, IControl, IPersistPropertyBag,
                                           IConnectionPointContainer, IProvideClassInfo> {
  public:
    explicit FakeWidget(WidgetJournal& journal)
        : m_journal(journal), m_events(makeObject<ConnectionPoint>(IID_WidgetEvents)) {
        ++m_journal.liveWidgets;
    }

    // IDispatch, served by the type library table.
    HRESULT GetIDsOfNames(const char16_t* const* names, unsigned count, int32_t* dispids) override {
        return table().getIDsOfNames(names, count, dispids);
    }
    HRESULT Invoke(int32_t dispid, uint16_t flags, DispParams& params, Variant* result,
                   ExcepInfo* excepInfo, unsigned* argError) override {
        return table().invoke(*this, dispid, flags, params, result, excepInfo, argError);
    }

    // _Widget. A write changes the value, then notifies the site (the last step).
    HRESULT put_Caption(const std::u16string& value) override {
        m_caption = value;
        return notify(u"Caption");
    }
    HRESULT get_Caption(std::u16string* value) override {
        *value = m_caption;
        return S_OK;
    }
    HRESULT put_Count(int16_t value) override {
        if (value < 0)
            return reportError(Error(errors::kInvalidPropertyValue), u"Widget");
        m_count = value;
        return notify(u"Count");
    }
    HRESULT get_Count(int16_t* value) override {
        *value = m_count;
        return S_OK;
    }
    HRESULT put_Enabled(int16_t value) override {
        m_enabled = value;
        return notify(u"Enabled");
    }
    HRESULT get_Enabled(int16_t* value) override {
        *value = m_enabled;
        return S_OK;
    }
    HRESULT get_Total(int32_t* value) override {
        *value = 100000 + m_count;
        return S_OK;
    }
    HRESULT put_Data(Variant value) override {
        m_journal.dataReceived.push_back(std::move(value));
        return S_OK;
    }
    HRESULT Scale(double factor, int16_t offset, double* result) override {
        *result = factor * m_count + offset;
        return S_OK;
    }
    HRESULT Fail(int32_t number, const std::u16string& description) override {
        return reportError(Error(number, description), u"Widget");
    }
    HRESULT Ping() override {
        // Kept alive through the round: a sink may let the widget go.
        ComPtr<FakeWidget> self(this);
        m_events->fire(widget_dispid::kChangedEvent, {Variant::fromString(u"Ping")});
        m_events->fire(widget_dispid::kTickedEvent);
        return S_OK;
    }

    // IControl
    HRESULT SetSite(IControlSite* site) override {
        m_journal.calls.push_back(site ? "SetSite" : "SetSite(null)");
        if (site)
            site->AddRef();
        if (m_site)
            m_journal.siteReferencesLeft = static_cast<int>(m_site->Release());
        m_site = site;
        return S_OK;
    }
    HRESULT OnExtentChanged(float widthTwips, float heightTwips) override {
        m_journal.calls.push_back("OnExtentChanged " + std::to_string(int(widthTwips)) + "x" +
                                  std::to_string(int(heightTwips)));
        // Like a control of fixed size: it always sets its own extent back.
        return m_site ? m_site->SetExtent(435, 435) : E_UNEXPECTED;
    }
    HRESULT GetMiscStatus(uint32_t* status) override {
        m_journal.calls.push_back("GetMiscStatus");
        *status = m_journal.miscStatus;
        return S_OK;
    }
    HRESULT Close() override {
        m_journal.calls.push_back("Close");
        m_events->unadviseAll();
        return S_OK;
    }

    // IPersistPropertyBag
    HRESULT InitNew() override {
        m_journal.calls.push_back("InitNew");
        return S_OK;
    }
    HRESULT Load(PropertyBag* bag) override {
        m_journal.calls.push_back("Load");
        try {
            m_caption = toString(bag->Read(u"Caption", Variant::fromString(u"")));
            m_count = toInteger(bag->Read(u"Count", Variant::fromInteger(0)));
            return S_OK;
        } catch (...) {
            return reportCurrentException(u"Widget");
        }
    }
    HRESULT Save(PropertyBag* bag) override {
        m_journal.calls.push_back("Save");
        try {
            bag->Write(u"Caption", Variant::fromString(m_caption), Variant::fromString(u""));
            bag->Write(u"Count", Variant::fromInteger(m_count), Variant::fromInteger(0));
            return S_OK;
        } catch (...) {
            return reportCurrentException(u"Widget");
        }
    }

    // IConnectionPointContainer, IProvideClassInfo
    HRESULT FindConnectionPoint(const Guid& iid, IConnectionPoint** point) override {
        return m_events->offer(iid, point);
    }
    HRESULT GetGUID(uint32_t guidKind, Guid* guid) override {
        if (guidKind != kGuidKindDefaultSourceDispIid || !m_journal.providesEvents) {
            return E_INVALIDARG;
        }
        *guid = IID_WidgetEvents;
        return S_OK;
    }

    ConnectionPoint& events() { return *m_events.get(); }
    IControlSite* site() const { return m_site; }
    int16_t count() const { return m_count; }

  private:
    ~FakeWidget() override {
        if (m_site)
            m_site->Release();
        --m_journal.liveWidgets;
    }

    HRESULT notify(const char16_t* name) { return m_site ? m_site->OnPropertyChanged(name) : S_OK; }

    static const DispatchTable<FakeWidget>& table() {
        using T = DispatchTable<FakeWidget>;
        static const T instance(*widgetLibrary().findInterface(IID_IWidget),
                                {
                                    T::put<&FakeWidget::put_Caption>(),
                                    T::get<&FakeWidget::get_Caption>(),
                                    T::put<&FakeWidget::put_Count>(),
                                    T::get<&FakeWidget::get_Count>(),
                                    T::put<&FakeWidget::put_Enabled>(),
                                    T::get<&FakeWidget::get_Enabled>(),
                                    T::get<&FakeWidget::get_Total>(),
                                    T::put<&FakeWidget::put_Data>(),
                                    [](FakeWidget& w, std::span<const Variant> args, Variant& r) {
                                        double result = 0;
                                        const HRESULT hr = w.Scale(args[0].doubleValue(),
                                                                   args[1].integerValue(), &result);
                                        if (failed(hr))
                                            throwFromHresult(hr);
                                        r = Variant::fromDouble(result);
                                    },
                                    T::method<&FakeWidget::Fail>(),
                                    T::method<&FakeWidget::Ping>(),
                                },
                                u"Widget");
        return instance;
    }

    WidgetJournal& m_journal;
    ComPtr<ConnectionPoint> m_events;
    IControlSite* m_site = nullptr;  // one reference while set
    std::u16string m_caption;
    int16_t m_count = 0;
    int16_t m_enabled = kFalse;
};

}  // namespace platform::testing
