#include "interface/portula_object.h"

#include <new>

#include "components/read_ahead.h"
#include "design_surface.h"
#include "interface/corvane_type_library.h"
#include "platform/dispatch_table.h"

namespace port_control {

namespace {
using platform::E_POINTER;
using platform::S_OK;

const std::u16string kSource = u"Corvane.Portula";

// Runs one call of the control logic; a failure becomes HRESULT + error info.
template <class Work>
HRESULT guarded(Work&& work) noexcept {
    try {
        work();
        return S_OK;
    } catch (...) {
        return platform::reportCurrentException(kSource);
    }
}

template <class T, class Read>
HRESULT readInto(T* out, Read&& read) noexcept {
    if (!out)
        return E_POINTER;
    return guarded([&] { *out = read(); });
}

// What the control's own accessors take: its text as a string of its own.
std::u16string toControl(std::u16string_view text) {
    return std::u16string(text);
}
template <class T>
const T& toControl(const T& value) {
    return value;
}

using Table = platform::DispatchTable<IPortula>;

// Name lookup and Invoke served from the type library: one accessor per member of
// _Portula, in interface order.
const Table& dispatchTable() {
#define PORTULA_PUT(name, type) Table::put<&IPortula::put_##name>(),
#define PORTULA_GET(name, type) Table::get<&IPortula::get_##name>(),
#define PORTULA_PROPERTY PORTULA_ACCESSORS
    static const Table table(portulaInterface(),
                             {
#include "portula_properties.inc"
                             },
                             kSource);
#undef PORTULA_GET
#undef PORTULA_PUT
    return table;
}
}  // namespace

PortulaObject::PortulaObject(platform::ModuleCounter& counter)
    : PortulaObject(counter, loadDesignSurface()) {}

PortulaObject::PortulaObject(platform::ModuleCounter& counter, Components components)
    : m_counter(counter),
      m_onComm(platform::makeObject<platform::ConnectionPoint>(ids::DIID___Portula)),
      m_control(std::make_unique<Portula>(std::move(components), m_host)) {
    m_counter.lock();
}

PortulaObject::~PortulaObject() {
    m_onComm->unadviseAll();
    m_control.reset();  // the components close what they hold
    m_counter.unlock();
}

HRESULT PortulaObject::create(platform::ModuleCounter& counter, const platform::Guid& iid,
                              void** object) noexcept {
    if (!object)
        return E_POINTER;
    *object = nullptr;
    try {
        auto created = platform::makeObject<PortulaObject>(counter);
        return created->QueryInterface(iid, object);
    } catch (...) {
        return platform::reportCurrentException(kSource);
    }
}

// ---- IDispatch ----------------------------------------------------------------------

HRESULT PortulaObject::GetIDsOfNames(const char16_t* const* names, unsigned count,
                                     int32_t* dispids) {
    return dispatchTable().getIDsOfNames(names, count, dispids);
}

HRESULT PortulaObject::Invoke(int32_t dispid, uint16_t flags, platform::DispParams& params,
                              platform::Variant* result, platform::ExcepInfo* excepInfo,
                              unsigned* argError) {
    IPortula& self = *this;
    return dispatchTable().invoke(self, dispid, flags, params, result, excepInfo, argError);
}

// ---- _Portula -------------------------------------------------------------------------

// Each accessor forwards to the control's accessor of the same name.
#define PORTULA_PUT(name, type)                                                 \
    HRESULT PortulaObject::put_##name(properties::published::type::Put value) { \
        return guarded([&] { m_control->put_##name(toControl(value)); });       \
    }
#define PORTULA_GET(name, type)                                                  \
    HRESULT PortulaObject::get_##name(properties::published::type::Get* value) { \
        return readInto(value, [&] { return m_control->get_##name(); });         \
    }
#define PORTULA_PROPERTY PORTULA_ACCESSORS
#include "portula_properties.inc"
#undef PORTULA_GET
#undef PORTULA_PUT

// ---- Lifecycle ------------------------------------------------------------------------

HRESULT PortulaObject::SetSite(platform::IControlSite* site) {
    m_site = site;
    return S_OK;
}

HRESULT PortulaObject::OnExtentChanged(float, float) {
    return guarded([&] { m_control->Resize(); });
}

HRESULT PortulaObject::GetMiscStatus(uint32_t* status) {
    if (!status)
        return E_POINTER;
    *status = kMiscStatus;
    return S_OK;
}

HRESULT PortulaObject::Close() {
    m_onComm->unadviseAll();
    m_site.reset();
    return S_OK;
}

// A new control keeps the design surface's values: there is no first-time set-up.
HRESULT PortulaObject::InitNew() {
    return S_OK;
}

HRESULT PortulaObject::Load(platform::PropertyBag* bag) {
    if (!bag)
        return E_POINTER;
    return guarded([&] { m_control->Load(*bag); });
}

HRESULT PortulaObject::Save(platform::PropertyBag* bag) {
    if (!bag)
        return E_POINTER;
    return guarded([&] { m_control->Save(*bag); });
}

HRESULT PortulaObject::FindConnectionPoint(const platform::Guid& iid,
                                           platform::IConnectionPoint** point) {
    return m_onComm->offer(iid, point);
}

HRESULT PortulaObject::GetGUID(uint32_t guidKind, platform::Guid* guid) {
    if (!guid)
        return E_POINTER;
    if (guidKind != platform::kGuidKindDefaultSourceDispIid)
        return platform::E_INVALIDARG;
    *guid = ids::DIID___Portula;
    return S_OK;
}

// ---- The host as the control logic sees it --------------------------------------------

void PortulaObject::HostBridge::PropertyChanged(std::u16string_view name) {
    if (!m_owner.m_site)
        return;
    const std::u16string text(name);
    platform::clearErrorInfo();  // a site that fails without saying why is not blamed for older
                                 // news
    const HRESULT hr = m_owner.m_site->OnPropertyChanged(text.c_str());
    if (platform::failed(hr))
        platform::throwFromHresult(hr);
}

void PortulaObject::HostBridge::SetExtent(float widthTwips, float heightTwips) {
    if (!m_owner.m_site)
        return;
    const HRESULT hr = m_owner.m_site->SetExtent(widthTwips, heightTwips);
    if (platform::failed(hr))
        platform::throwFromHresult(hr);
}

void PortulaObject::HostBridge::prepareToRaise() {
    readAhead(&m_owner);  // its reference count
    m_owner.m_onComm->readAheadForFire();
}

void PortulaObject::HostBridge::RaiseOnComm() {
    // A handler may release the host's last reference; keep the object alive meanwhile.
    platform::ComPtr<IPortula> keepAlive(&m_owner);
    m_owner.m_onComm->fire(ids::dispid::OnComm);
}

}  // namespace port_control
