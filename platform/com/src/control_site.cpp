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

// The site's state, with what the control calls back into.
struct CORVANE_PLATFORM_NO_EXPORT ControlSite::State {
    class Site;
    class Sink;

    void connectEvents();
    HRESULT onPropertyChanged(std::u16string_view name);
    HRESULT onSetExtent(float widthTwips, float heightTwips);
    void onEvent(int32_t dispid, std::span<const Variant> args);
    IDispatch* requireDispatch();
    IPersistPropertyBag* requirePersistence();

    ComPtr<IUnknown> control;
    ComPtr<IControl> lifecycle;
    ComPtr<IDispatch> dispatch;
    ComPtr<IPersistPropertyBag> persistence;
    ComPtr<IConnectionPoint> eventPoint;
    // Reference-counted, since the control may hold them; detached on teardown.
    ComPtr<Site> site;
    ComPtr<Sink> sink;
    uint32_t eventCookie = 0;
    bool siteGiven = false;
    bool activated = false;
    bool userMode = true;
    uint32_t miscStatus = 0;
    Extent extent;
    std::vector<std::u16string> changed;
    PropertyChangedHandler propertyChangedHandler;
    ExtentHandler extentHandler;
    EventHandler eventHandler;
};

// The site object the control holds; it forwards to its site's state until detached.
class CORVANE_PLATFORM_NO_EXPORT ControlSite::State::Site final : public RefCounted<IControlSite> {
  public:
    explicit Site(State* host) : m_host(host) {}
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
        *runMode = m_host->userMode;
        return S_OK;
    }

  private:
    State* m_host;
};

// The event sink advised to the control's default source; it answers that interface's
// IID as well as IDispatch.
class CORVANE_PLATFORM_NO_EXPORT ControlSite::State::Sink final : public RefCounted<IDispatch> {
  public:
    Sink(State* host, const Guid& eventIid) : m_host(host), m_eventIid(eventIid) {}
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
    State* m_host;
    Guid m_eventIid;
};

ControlSite::ControlSite(IUnknown* control) : m_state(std::make_unique<State>()) {
    if (!control)
        throw Error(errors::kObjectVariableNotSet);
    m_state->lifecycle = queryInterface<IControl>(control);
    if (!m_state->lifecycle)
        throwFromHresult(E_NOINTERFACE);
    m_state->control = ComPtr<IUnknown>(control);
    m_state->dispatch = queryInterface<IDispatch>(control);
    m_state->persistence = queryInterface<IPersistPropertyBag>(control);
}

ControlSite::~ControlSite() {
    close();
}

void ControlSite::setUserMode(bool runMode) {
    m_state->userMode = runMode;
}

ControlSite::Extent ControlSite::extent() const {
    return m_state->extent;
}

const std::vector<std::u16string>& ControlSite::changedProperties() const {
    return m_state->changed;
}

void ControlSite::clearChangedProperties() {
    m_state->changed.clear();
}

bool ControlSite::eventsConnected() const {
    return m_state->eventCookie != 0;
}

uint32_t ControlSite::miscStatus() const {
    return m_state->miscStatus;
}

IUnknown* ControlSite::control() const {
    return m_state->control.get();
}

void ControlSite::setPropertyChangedHandler(PropertyChangedHandler handler) {
    m_state->propertyChangedHandler = std::move(handler);
}

void ControlSite::setExtentHandler(ExtentHandler handler) {
    m_state->extentHandler = std::move(handler);
}

void ControlSite::setEventHandler(EventHandler handler) {
    m_state->eventHandler = std::move(handler);
}

void ControlSite::activate(float widthTwips, float heightTwips, PropertyBag* bag) {
    if (!m_state->lifecycle)
        throw Error(errors::kObjectVariableNotSet);
    if (m_state->activated)
        throw Error(errors::kInvalidProcedureCall);
    m_state->activated = true;
    try {
        require([&] { return m_state->lifecycle->GetMiscStatus(&m_state->miscStatus); });
        m_state->site = makeObject<State::Site>(m_state.get());
        const auto giveSite = [&] {
            m_state->siteGiven = true;
            require([&] { return m_state->lifecycle->SetSite(m_state->site.get()); });
        };
        const bool siteFirst = (m_state->miscStatus & misc_status::kSetClientSiteFirst) != 0;
        if (siteFirst)
            giveSite();
        if (bag) {
            require([&] { return m_state->requirePersistence()->Load(bag); });
        } else if (m_state->persistence) {
            require([&] { return m_state->persistence->InitNew(); });
        }
        if (!siteFirst)
            giveSite();
        m_state->connectEvents();
        resize(widthTwips, heightTwips);
    } catch (...) {
        close();
        throw;
    }
}

void ControlSite::State::connectEvents() {
    const ComPtr<IProvideClassInfo> classInfo = queryInterface<IProvideClassInfo>(control);
    Guid eventIid;
    // A control that names no default source raises no events.
    if (!classInfo || failed(classInfo->GetGUID(kGuidKindDefaultSourceDispIid, &eventIid))) {
        clearErrorInfo();
        return;
    }
    const ComPtr<IConnectionPointContainer> container =
        queryInterface<IConnectionPointContainer>(control);
    if (!container)
        throwFromHresult(E_NOINTERFACE);
    ComPtr<IConnectionPoint> point;
    require([&] { return container->FindConnectionPoint(eventIid, point.put()); });
    sink = makeObject<Sink>(this, eventIid);
    uint32_t cookie = 0;
    require([&] { return point->Advise(static_cast<IDispatch*>(sink.get()), &cookie); });
    eventPoint = std::move(point);
    eventCookie = cookie;
}

void ControlSite::resize(float widthTwips, float heightTwips) {
    if (!m_state->lifecycle)
        throw Error(errors::kObjectVariableNotSet);
    m_state->extent = {widthTwips, heightTwips};
    require([&] { return m_state->lifecycle->OnExtentChanged(widthTwips, heightTwips); });
}

HRESULT ControlSite::State::onPropertyChanged(std::u16string_view name) {
    changed.emplace_back(name);
    if (!propertyChangedHandler)
        return S_OK;
    // A copy: the handler may replace itself, or close this site, while it runs.
    const PropertyChangedHandler handler = propertyChangedHandler;
    try {
        return handler(name);
    } catch (...) {
        return reportCurrentException();
    }
}

HRESULT ControlSite::State::onSetExtent(float widthTwips, float heightTwips) {
    extent = {widthTwips, heightTwips};
    if (!extentHandler)
        return S_OK;
    const ExtentHandler handler = extentHandler;
    try {
        return handler(widthTwips, heightTwips);
    } catch (...) {
        return reportCurrentException();
    }
}

void ControlSite::State::onEvent(int32_t dispid, std::span<const Variant> args) {
    if (!eventHandler)
        return;
    const EventHandler handler = eventHandler;
    handler(dispid, args);
}

IDispatch* ControlSite::State::requireDispatch() {
    if (!control)
        throw Error(errors::kObjectVariableNotSet);
    if (!dispatch)
        throwFromHresult(E_NOINTERFACE);
    return dispatch.get();
}

IPersistPropertyBag* ControlSite::State::requirePersistence() {
    if (!control)
        throw Error(errors::kObjectVariableNotSet);
    if (!persistence)
        throwFromHresult(E_NOINTERFACE);
    return persistence.get();
}

int32_t ControlSite::dispidOf(std::u16string_view name) {
    return dispidOfName(m_state->requireDispatch(), name);
}

Variant ControlSite::getProperty(int32_t dispid) {
    // The call may end in the host closing this site; the control stays alive until the
    // call has returned.
    const ComPtr<IDispatch> target(m_state->requireDispatch());
    return platform::getProperty(target.get(), dispid);
}

void ControlSite::putProperty(int32_t dispid, Variant value) {
    const ComPtr<IDispatch> target(m_state->requireDispatch());
    platform::putProperty(target.get(), dispid, std::move(value));
}

Variant ControlSite::invokeMethod(int32_t dispid, std::vector<Variant> argsInOrder) {
    const ComPtr<IDispatch> target(m_state->requireDispatch());
    return platform::invokeMethod(target.get(), dispid, std::move(argsInOrder));
}

void ControlSite::save(PropertyBag& bag) {
    const ComPtr<IPersistPropertyBag> target(m_state->requirePersistence());
    require([&] { return target->Save(&bag); });
}

void ControlSite::load(PropertyBag& bag) {
    const ComPtr<IPersistPropertyBag> target(m_state->requirePersistence());
    require([&] { return target->Load(&bag); });
}

void ControlSite::close() {
    // Everything is taken out of the members first, so that a control calling back into
    // this site while it is let go finds it already closed.
    const ComPtr<IConnectionPoint> point = std::exchange(m_state->eventPoint, {});
    const uint32_t cookie = std::exchange(m_state->eventCookie, 0);
    if (point && cookie != 0)
        point->Unadvise(cookie);
    if (ComPtr<State::Sink> sink = std::exchange(m_state->sink, {}))
        sink->detach();
    const ComPtr<IControl> lifecycle = std::exchange(m_state->lifecycle, {});
    if (lifecycle && std::exchange(m_state->siteGiven, false))
        lifecycle->SetSite(nullptr);
    if (lifecycle && std::exchange(m_state->activated, false))
        lifecycle->Close();
    if (ComPtr<State::Site> site = std::exchange(m_state->site, {}))
        site->detach();
    m_state->persistence.reset();
    m_state->dispatch.reset();
    m_state->control.reset();
    // The control's failures while being let go are nobody's concern.
    clearErrorInfo();
}

}  // namespace platform
