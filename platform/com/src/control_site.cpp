#include "platform/control_site.h"

#include <utility>

#include "current_error.h"
#include "platform/ref_counted.h"

namespace platform {

namespace {

// Calls into the control; a failure becomes the Error it stands for. The thread's error
// info is cleared first, so that a control failing without error info is not blamed
// with an older failure's text.
template <class Call>
void require(Call call) {
    clearErrorInfo();
    const HRESULT hr = call();
    if (failed(hr))
        throwFromHresult(hr);
}

}  // namespace

// The site object the control holds; it forwards to its ControlSite until detached.
class ControlSite::Site final : public RefCounted<IControlSite> {
  public:
    explicit Site(ControlSite* host) : m_host(host) {}
    void detach() { m_host = nullptr; }

    HRESULT OnPropertyChanged(const char16_t* name) override {
        if (!name)
            return E_POINTER;
        if (!m_host)
            return E_UNEXPECTED;
        return m_host->onPropertyChanged(name);
    }
    HRESULT SetExtent(float widthTwips, float heightTwips) override {
        if (!m_host)
            return E_UNEXPECTED;
        return m_host->onSetExtent(widthTwips, heightTwips);
    }
    HRESULT GetUserMode(bool* runMode) override {
        if (!runMode)
            return E_POINTER;
        if (!m_host)
            return E_UNEXPECTED;
        *runMode = m_host->m_userMode;
        return S_OK;
    }

  private:
    ControlSite* m_host;
};

// The event sink advised to the control's default source; it answers that interface's
// IID as well as IDispatch.
class ControlSite::Sink final : public RefCounted<IDispatch> {
  public:
    Sink(ControlSite* host, const Guid& eventIid) : m_host(host), m_eventIid(eventIid) {}
    void detach() { m_host = nullptr; }

    HRESULT GetIDsOfNames(const char16_t* const*, unsigned, int32_t*) override { return E_NOTIMPL; }
    HRESULT Invoke(int32_t dispid, uint16_t flags, DispParams& params, Variant*,
                   ExcepInfo* excepInfo, unsigned*) override {
        if (!(flags & DISPATCH_METHOD))
            return DISP_E_MEMBERNOTFOUND;
        if (!params.namedArgs.empty())
            return DISP_E_NONAMEDARGS;
        if (!m_host)
            return S_OK;  // torn down while the event was on its way
        try {
            const std::vector<Variant> inOrder(params.args.rbegin(), params.args.rend());
            m_host->onEvent(dispid, inOrder);
            return S_OK;
        } catch (...) {
            const Error error = currentError();
            if (excepInfo)
                *excepInfo = excepInfoFromError(error);
            reportError(error);
            return DISP_E_EXCEPTION;
        }
    }

  protected:
    void* queryOtherInterface(const Guid& iid) override {
        return iid == m_eventIid ? static_cast<IDispatch*>(this) : nullptr;
    }

  private:
    ControlSite* m_host;
    Guid m_eventIid;
};

ControlSite::ControlSite(IUnknown* control) {
    if (!control)
        throw Error(errors::kObjectVariableNotSet);
    m_lifecycle = queryInterface<IControl>(control);
    if (!m_lifecycle)
        throwFromHresult(E_NOINTERFACE);
    m_control = ComPtr<IUnknown>(control);
    m_dispatch = queryInterface<IDispatch>(control);
    m_persistence = queryInterface<IPersistPropertyBag>(control);
}

ControlSite::~ControlSite() {
    close();
}

void ControlSite::setPropertyChangedHandler(PropertyChangedHandler handler) {
    m_propertyChangedHandler = std::move(handler);
}

void ControlSite::setExtentHandler(ExtentHandler handler) {
    m_extentHandler = std::move(handler);
}

void ControlSite::setEventHandler(EventHandler handler) {
    m_eventHandler = std::move(handler);
}

void ControlSite::activate(float widthTwips, float heightTwips, PropertyBag* bag) {
    if (!m_lifecycle)
        throw Error(errors::kObjectVariableNotSet);
    if (m_activated)
        throw Error(errors::kInvalidProcedureCall);
    m_activated = true;
    try {
        require([&] { return m_lifecycle->GetMiscStatus(&m_miscStatus); });
        m_site = makeObject<Site>(this);
        const auto giveSite = [&] {
            m_siteGiven = true;
            require([&] { return m_lifecycle->SetSite(m_site.get()); });
        };
        const bool siteFirst = (m_miscStatus & misc_status::kSetClientSiteFirst) != 0;
        if (siteFirst)
            giveSite();
        if (bag) {
            require([&] { return persistence()->Load(bag); });
        } else if (m_persistence) {
            require([&] { return m_persistence->InitNew(); });
        }
        if (!siteFirst)
            giveSite();
        connectEvents();
        resize(widthTwips, heightTwips);
    } catch (...) {
        close();
        throw;
    }
}

void ControlSite::connectEvents() {
    const ComPtr<IProvideClassInfo> classInfo = queryInterface<IProvideClassInfo>(m_control);
    Guid eventIid;
    // A control that names no default source raises no events.
    if (!classInfo || failed(classInfo->GetGUID(kGuidKindDefaultSourceDispIid, &eventIid))) {
        clearErrorInfo();
        return;
    }
    const ComPtr<IConnectionPointContainer> container =
        queryInterface<IConnectionPointContainer>(m_control);
    if (!container)
        throwFromHresult(E_NOINTERFACE);
    ComPtr<IConnectionPoint> point;
    require([&] { return container->FindConnectionPoint(eventIid, point.put()); });
    m_sink = makeObject<Sink>(this, eventIid);
    uint32_t cookie = 0;
    require([&] { return point->Advise(static_cast<IDispatch*>(m_sink.get()), &cookie); });
    m_eventPoint = std::move(point);
    m_eventCookie = cookie;
}

void ControlSite::resize(float widthTwips, float heightTwips) {
    if (!m_lifecycle)
        throw Error(errors::kObjectVariableNotSet);
    m_extent = {widthTwips, heightTwips};
    require([&] { return m_lifecycle->OnExtentChanged(widthTwips, heightTwips); });
}

HRESULT ControlSite::onPropertyChanged(std::u16string_view name) {
    m_changed.emplace_back(name);
    if (!m_propertyChangedHandler)
        return S_OK;
    // A copy: the handler may replace itself, or close this site, while it runs.
    const PropertyChangedHandler handler = m_propertyChangedHandler;
    try {
        return handler(name);
    } catch (...) {
        return reportCurrentException();
    }
}

HRESULT ControlSite::onSetExtent(float widthTwips, float heightTwips) {
    m_extent = {widthTwips, heightTwips};
    if (!m_extentHandler)
        return S_OK;
    const ExtentHandler handler = m_extentHandler;
    try {
        return handler(widthTwips, heightTwips);
    } catch (...) {
        return reportCurrentException();
    }
}

void ControlSite::onEvent(int32_t dispid, std::span<const Variant> args) {
    if (!m_eventHandler)
        return;
    const EventHandler handler = m_eventHandler;
    handler(dispid, args);
}

IDispatch* ControlSite::dispatch() {
    if (!m_control)
        throw Error(errors::kObjectVariableNotSet);
    if (!m_dispatch)
        throwFromHresult(E_NOINTERFACE);
    return m_dispatch.get();
}

IPersistPropertyBag* ControlSite::persistence() {
    if (!m_control)
        throw Error(errors::kObjectVariableNotSet);
    if (!m_persistence)
        throwFromHresult(E_NOINTERFACE);
    return m_persistence.get();
}

int32_t ControlSite::dispidOf(std::u16string_view name) {
    return dispidOfName(dispatch(), name);
}

Variant ControlSite::getProperty(int32_t dispid) {
    // The call may end in the host closing this site; the control stays alive until the
    // call has returned.
    const ComPtr<IDispatch> target(dispatch());
    return platform::getProperty(target.get(), dispid);
}

void ControlSite::putProperty(int32_t dispid, Variant value) {
    const ComPtr<IDispatch> target(dispatch());
    platform::putProperty(target.get(), dispid, std::move(value));
}

Variant ControlSite::invokeMethod(int32_t dispid, std::vector<Variant> argsInOrder) {
    const ComPtr<IDispatch> target(dispatch());
    return platform::invokeMethod(target.get(), dispid, std::move(argsInOrder));
}

void ControlSite::save(PropertyBag& bag) {
    const ComPtr<IPersistPropertyBag> target(persistence());
    require([&] { return target->Save(&bag); });
}

void ControlSite::load(PropertyBag& bag) {
    const ComPtr<IPersistPropertyBag> target(persistence());
    require([&] { return target->Load(&bag); });
}

void ControlSite::close() {
    // Everything is taken out of the members first, so that a control calling back into
    // this site while it is let go finds it already closed.
    const ComPtr<IConnectionPoint> point = std::exchange(m_eventPoint, {});
    const uint32_t cookie = std::exchange(m_eventCookie, 0);
    if (point && cookie != 0)
        point->Unadvise(cookie);
    if (ComPtr<Sink> sink = std::exchange(m_sink, {}))
        sink->detach();
    const ComPtr<IControl> lifecycle = std::exchange(m_lifecycle, {});
    if (lifecycle && std::exchange(m_siteGiven, false))
        lifecycle->SetSite(nullptr);
    if (lifecycle && std::exchange(m_activated, false))
        lifecycle->Close();
    if (ComPtr<Site> site = std::exchange(m_site, {}))
        site->detach();
    m_persistence.reset();
    m_dispatch.reset();
    m_control.reset();
    // The control's failures while being let go are nobody's concern.
    clearErrorInfo();
}

}  // namespace platform
