#include "interface/portula_object.h"

#include <new>

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

using Table = platform::DispatchTable<IPortula>;

// Name lookup and Invoke served from the type library: one accessor per member of
// _Portula, in interface order.
const Table& dispatchTable() {
    static const Table table(portulaInterface(),
                             {
                                 Table::put<&IPortula::put_LogFile>(),
                                 Table::get<&IPortula::get_LogFile>(),
                                 Table::put<&IPortula::put_Settings>(),
                                 Table::get<&IPortula::get_Settings>(),
                                 Table::put<&IPortula::put_Break>(),
                                 Table::get<&IPortula::get_Break>(),
                                 Table::get<&IPortula::get_CDHolding>(),
                                 Table::get<&IPortula::get_CommEvent>(),
                                 Table::get<&IPortula::get_CommID>(),
                                 Table::put<&IPortula::put_CommPort>(),
                                 Table::get<&IPortula::get_CommPort>(),
                                 Table::get<&IPortula::get_CTSHolding>(),
                                 Table::get<&IPortula::get_DSRHolding>(),
                                 Table::put<&IPortula::put_DTREnable>(),
                                 Table::get<&IPortula::get_DTREnable>(),
                                 Table::put<&IPortula::put_EOFEnable>(),
                                 Table::get<&IPortula::get_EOFEnable>(),
                                 Table::put<&IPortula::put_Handshaking>(),
                                 Table::get<&IPortula::get_Handshaking>(),
                                 Table::put<&IPortula::put_InBufferCount>(),
                                 Table::get<&IPortula::get_InBufferCount>(),
                                 Table::put<&IPortula::put_InBufferSize>(),
                                 Table::get<&IPortula::get_InBufferSize>(),
                                 Table::put<&IPortula::put_InputLen>(),
                                 Table::get<&IPortula::get_InputLen>(),
                                 Table::put<&IPortula::put_InputMode>(),
                                 Table::get<&IPortula::get_InputMode>(),
                                 Table::put<&IPortula::put_NullDiscard>(),
                                 Table::get<&IPortula::get_NullDiscard>(),
                                 Table::put<&IPortula::put_OutBufferCount>(),
                                 Table::get<&IPortula::get_OutBufferCount>(),
                                 Table::put<&IPortula::put_OutBufferSize>(),
                                 Table::get<&IPortula::get_OutBufferSize>(),
                                 Table::put<&IPortula::put_ParityReplace>(),
                                 Table::get<&IPortula::get_ParityReplace>(),
                                 Table::put<&IPortula::put_RThreshold>(),
                                 Table::get<&IPortula::get_RThreshold>(),
                                 Table::put<&IPortula::put_RTSEnable>(),
                                 Table::get<&IPortula::get_RTSEnable>(),
                                 Table::put<&IPortula::put_SThreshold>(),
                                 Table::get<&IPortula::get_SThreshold>(),
                                 Table::put<&IPortula::put_PortOpen>(),
                                 Table::get<&IPortula::get_PortOpen>(),
                                 Table::put<&IPortula::put_Output>(),
                                 Table::get<&IPortula::get_Input2>(),
                                 Table::put<&IPortula::put_UDPUse>(),
                                 Table::get<&IPortula::get_UDPUse>(),
                                 Table::put<&IPortula::put_RemoteHost>(),
                                 Table::get<&IPortula::get_RemoteHost>(),
                                 Table::put<&IPortula::put_RemotePort>(),
                                 Table::get<&IPortula::get_RemotePort>(),
                                 Table::put<&IPortula::put_LocalPort>(),
                                 Table::get<&IPortula::get_LocalPort>(),
                             },
                             kSource);
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

HRESULT PortulaObject::put_LogFile(std::u16string_view value) {
    return guarded([&] { m_control->put_LogFile(std::u16string(value)); });
}
HRESULT PortulaObject::get_LogFile(std::u16string* value) {
    return readInto(value, [&] { return m_control->get_LogFile(); });
}
HRESULT PortulaObject::put_Settings(std::u16string_view value) {
    return guarded([&] { m_control->put_Settings(std::u16string(value)); });
}
HRESULT PortulaObject::get_Settings(std::u16string* value) {
    return readInto(value, [&] { return m_control->get_Settings(); });
}
HRESULT PortulaObject::put_Break(int16_t value) {
    return guarded([&] { m_control->put_Break(value); });
}
HRESULT PortulaObject::get_Break(int16_t* value) {
    return readInto(value, [&] { return m_control->get_Break(); });
}
HRESULT PortulaObject::get_CDHolding(int16_t* value) {
    return readInto(value, [&] { return m_control->get_CDHolding(); });
}
HRESULT PortulaObject::get_CommEvent(int16_t* value) {
    return readInto(value, [&] { return m_control->get_CommEvent(); });
}
HRESULT PortulaObject::get_CommID(int32_t* value) {
    return readInto(value, [&] { return m_control->get_CommID(); });
}
HRESULT PortulaObject::put_CommPort(int16_t value) {
    return guarded([&] { m_control->put_CommPort(value); });
}
HRESULT PortulaObject::get_CommPort(int16_t* value) {
    return readInto(value, [&] { return m_control->get_CommPort(); });
}
HRESULT PortulaObject::get_CTSHolding(int16_t* value) {
    return readInto(value, [&] { return m_control->get_CTSHolding(); });
}
HRESULT PortulaObject::get_DSRHolding(int16_t* value) {
    return readInto(value, [&] { return m_control->get_DSRHolding(); });
}
HRESULT PortulaObject::put_DTREnable(int16_t value) {
    return guarded([&] { m_control->put_DTREnable(value); });
}
HRESULT PortulaObject::get_DTREnable(int16_t* value) {
    return readInto(value, [&] { return m_control->get_DTREnable(); });
}
HRESULT PortulaObject::put_EOFEnable(int16_t value) {
    return guarded([&] { m_control->put_EOFEnable(value); });
}
HRESULT PortulaObject::get_EOFEnable(int16_t* value) {
    return readInto(value, [&] { return m_control->get_EOFEnable(); });
}
HRESULT PortulaObject::put_Handshaking(int32_t value) {
    return guarded([&] { m_control->put_Handshaking(value); });
}
HRESULT PortulaObject::get_Handshaking(int32_t* value) {
    return readInto(value, [&] { return m_control->get_Handshaking(); });
}
HRESULT PortulaObject::put_InBufferCount(int16_t value) {
    return guarded([&] { m_control->put_InBufferCount(value); });
}
HRESULT PortulaObject::get_InBufferCount(int16_t* value) {
    return readInto(value, [&] { return m_control->get_InBufferCount(); });
}
HRESULT PortulaObject::put_InBufferSize(int16_t value) {
    return guarded([&] { m_control->put_InBufferSize(value); });
}
HRESULT PortulaObject::get_InBufferSize(int16_t* value) {
    return readInto(value, [&] { return m_control->get_InBufferSize(); });
}
HRESULT PortulaObject::put_InputLen(int16_t value) {
    return guarded([&] { m_control->put_InputLen(value); });
}
HRESULT PortulaObject::get_InputLen(int16_t* value) {
    return readInto(value, [&] { return m_control->get_InputLen(); });
}
HRESULT PortulaObject::put_InputMode(int32_t value) {
    return guarded([&] { m_control->put_InputMode(value); });
}
HRESULT PortulaObject::get_InputMode(int32_t* value) {
    return readInto(value, [&] { return m_control->get_InputMode(); });
}
HRESULT PortulaObject::put_NullDiscard(int16_t value) {
    return guarded([&] { m_control->put_NullDiscard(value); });
}
HRESULT PortulaObject::get_NullDiscard(int16_t* value) {
    return readInto(value, [&] { return m_control->get_NullDiscard(); });
}
HRESULT PortulaObject::put_OutBufferCount(int16_t value) {
    return guarded([&] { m_control->put_OutBufferCount(value); });
}
HRESULT PortulaObject::get_OutBufferCount(int16_t* value) {
    return readInto(value, [&] { return m_control->get_OutBufferCount(); });
}
HRESULT PortulaObject::put_OutBufferSize(int16_t value) {
    return guarded([&] { m_control->put_OutBufferSize(value); });
}
HRESULT PortulaObject::get_OutBufferSize(int16_t* value) {
    return readInto(value, [&] { return m_control->get_OutBufferSize(); });
}
HRESULT PortulaObject::put_ParityReplace(std::u16string_view value) {
    return guarded([&] { m_control->put_ParityReplace(std::u16string(value)); });
}
HRESULT PortulaObject::get_ParityReplace(std::u16string* value) {
    return readInto(value, [&] { return m_control->get_ParityReplace(); });
}
HRESULT PortulaObject::put_RThreshold(int16_t value) {
    return guarded([&] { m_control->put_RThreshold(value); });
}
HRESULT PortulaObject::get_RThreshold(int16_t* value) {
    return readInto(value, [&] { return m_control->get_RThreshold(); });
}
HRESULT PortulaObject::put_RTSEnable(int16_t value) {
    return guarded([&] { m_control->put_RTSEnable(value); });
}
HRESULT PortulaObject::get_RTSEnable(int16_t* value) {
    return readInto(value, [&] { return m_control->get_RTSEnable(); });
}
HRESULT PortulaObject::put_SThreshold(int16_t value) {
    return guarded([&] { m_control->put_SThreshold(value); });
}
HRESULT PortulaObject::get_SThreshold(int16_t* value) {
    return readInto(value, [&] { return m_control->get_SThreshold(); });
}
HRESULT PortulaObject::put_PortOpen(int16_t value) {
    return guarded([&] { m_control->put_PortOpen(value); });
}
HRESULT PortulaObject::get_PortOpen(int16_t* value) {
    return readInto(value, [&] { return m_control->get_PortOpen(); });
}
HRESULT PortulaObject::put_Output(platform::Variant value) {
    return guarded([&] { m_control->put_Output(value); });
}
HRESULT PortulaObject::get_Input2(platform::Variant* value) {
    return readInto(value, [&] { return m_control->get_Input2(); });
}
HRESULT PortulaObject::put_UDPUse(int16_t value) {
    return guarded([&] { m_control->put_UDPUse(value); });
}
HRESULT PortulaObject::get_UDPUse(int16_t* value) {
    return readInto(value, [&] { return m_control->get_UDPUse(); });
}
HRESULT PortulaObject::put_RemoteHost(std::u16string_view value) {
    return guarded([&] { m_control->put_RemoteHost(std::u16string(value)); });
}
HRESULT PortulaObject::get_RemoteHost(std::u16string* value) {
    return readInto(value, [&] { return m_control->get_RemoteHost(); });
}
HRESULT PortulaObject::put_RemotePort(int32_t value) {
    return guarded([&] { m_control->put_RemotePort(value); });
}
HRESULT PortulaObject::get_RemotePort(int32_t* value) {
    return readInto(value, [&] { return m_control->get_RemotePort(); });
}
HRESULT PortulaObject::put_LocalPort(int32_t value) {
    return guarded([&] { m_control->put_LocalPort(value); });
}
HRESULT PortulaObject::get_LocalPort(int32_t* value) {
    return readInto(value, [&] { return m_control->get_LocalPort(); });
}

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

void PortulaObject::HostBridge::RaiseOnComm() {
    // A handler may release the host's last reference; keep the object alive meanwhile.
    platform::ComPtr<IPortula> keepAlive(&m_owner);
    m_owner.m_onComm->fire(ids::dispid::OnComm);
}

}  // namespace port_control
