// The Portula component: the control logic behind its published faces — the dual
// interface _Portula (and IDispatch driven by the type library), the __Portula event
// connection, the lifecycle a host drives (site, properties, resize) and persistence.
// Exceptions of the control become HRESULTs plus the thread's error info here; none
// leaves the module.
#pragma once

#include <memory>

#include "interface/portula_interface.h"
#include "platform/connection_point.h"
#include "platform/control.h"
#include "platform/module_record.h"
#include "platform/ref_counted.h"
#include "portula.h"

namespace port_control {

class PortulaObject final
    : public platform::RefCounted<IPortula, platform::IControl, platform::IPersistPropertyBag,
                                  platform::IConnectionPointContainer,
                                  platform::IProvideClassInfo> {
  public:
    // The control's miscellaneous status: recompose on resize, can't link inside, inside
    // out, activate when visible, invisible at run time, set the site first.
    static constexpr uint32_t kMiscStatus = 0x20591;

    // Loads the design surface (the real serial port and sockets). `counter` counts the
    // object for as long as it lives.
    explicit PortulaObject(platform::ModuleCounter& counter);
    // For tests: a control over the given components.
    PortulaObject(platform::ModuleCounter& counter, Components components);

    // The class factory's creation function.
    static HRESULT create(platform::ModuleCounter& counter, const platform::Guid& iid,
                          void** object) noexcept;

    // IDispatch
    HRESULT GetIDsOfNames(const char16_t* const* names, unsigned count, int32_t* dispids) override;
    HRESULT Invoke(int32_t dispid, uint16_t flags, platform::DispParams& params,
                   platform::Variant* result, platform::ExcepInfo* excepInfo,
                   unsigned* argError) override;

    // _Portula
    HRESULT put_LogFile(std::u16string_view value) override;
    HRESULT get_LogFile(std::u16string* value) override;
    HRESULT put_Settings(std::u16string_view value) override;
    HRESULT get_Settings(std::u16string* value) override;
    HRESULT put_Break(int16_t value) override;
    HRESULT get_Break(int16_t* value) override;
    HRESULT get_CDHolding(int16_t* value) override;
    HRESULT get_CommEvent(int16_t* value) override;
    HRESULT get_CommID(int32_t* value) override;
    HRESULT put_CommPort(int16_t value) override;
    HRESULT get_CommPort(int16_t* value) override;
    HRESULT get_CTSHolding(int16_t* value) override;
    HRESULT get_DSRHolding(int16_t* value) override;
    HRESULT put_DTREnable(int16_t value) override;
    HRESULT get_DTREnable(int16_t* value) override;
    HRESULT put_EOFEnable(int16_t value) override;
    HRESULT get_EOFEnable(int16_t* value) override;
    HRESULT put_Handshaking(int32_t value) override;
    HRESULT get_Handshaking(int32_t* value) override;
    HRESULT put_InBufferCount(int16_t value) override;
    HRESULT get_InBufferCount(int16_t* value) override;
    HRESULT put_InBufferSize(int16_t value) override;
    HRESULT get_InBufferSize(int16_t* value) override;
    HRESULT put_InputLen(int16_t value) override;
    HRESULT get_InputLen(int16_t* value) override;
    HRESULT put_InputMode(int32_t value) override;
    HRESULT get_InputMode(int32_t* value) override;
    HRESULT put_NullDiscard(int16_t value) override;
    HRESULT get_NullDiscard(int16_t* value) override;
    HRESULT put_OutBufferCount(int16_t value) override;
    HRESULT get_OutBufferCount(int16_t* value) override;
    HRESULT put_OutBufferSize(int16_t value) override;
    HRESULT get_OutBufferSize(int16_t* value) override;
    HRESULT put_ParityReplace(std::u16string_view value) override;
    HRESULT get_ParityReplace(std::u16string* value) override;
    HRESULT put_RThreshold(int16_t value) override;
    HRESULT get_RThreshold(int16_t* value) override;
    HRESULT put_RTSEnable(int16_t value) override;
    HRESULT get_RTSEnable(int16_t* value) override;
    HRESULT put_SThreshold(int16_t value) override;
    HRESULT get_SThreshold(int16_t* value) override;
    HRESULT put_PortOpen(int16_t value) override;
    HRESULT get_PortOpen(int16_t* value) override;
    HRESULT put_Output(platform::Variant value) override;
    HRESULT get_Input2(platform::Variant* value) override;
    HRESULT put_UDPUse(int16_t value) override;
    HRESULT get_UDPUse(int16_t* value) override;
    HRESULT put_RemoteHost(std::u16string_view value) override;
    HRESULT get_RemoteHost(std::u16string* value) override;
    HRESULT put_RemotePort(int32_t value) override;
    HRESULT get_RemotePort(int32_t* value) override;
    HRESULT put_LocalPort(int32_t value) override;
    HRESULT get_LocalPort(int32_t* value) override;

    // IControl
    HRESULT SetSite(platform::IControlSite* site) override;
    HRESULT OnExtentChanged(float widthTwips, float heightTwips) override;
    HRESULT GetMiscStatus(uint32_t* status) override;
    HRESULT Close() override;

    // IPersistPropertyBag
    HRESULT InitNew() override;
    HRESULT Load(platform::PropertyBag* bag) override;
    HRESULT Save(platform::PropertyBag* bag) override;

    // IConnectionPointContainer
    HRESULT FindConnectionPoint(const platform::Guid& iid,
                                platform::IConnectionPoint** point) override;

    // IProvideClassInfo
    HRESULT GetGUID(uint32_t guidKind, platform::Guid* guid) override;

  private:
    ~PortulaObject() override;

    // The host as the control logic sees it: the current site and the event connection.
    class HostBridge final : public HostSite {
      public:
        explicit HostBridge(PortulaObject& owner) : m_owner(owner) {}
        void PropertyChanged(std::u16string_view name) override;
        void SetExtent(float widthTwips, float heightTwips) override;
        void RaiseOnComm() override;

      private:
        PortulaObject& m_owner;
    };

    platform::ModuleCounter& m_counter;
    platform::ComPtr<platform::IControlSite> m_site;
    platform::ComPtr<platform::ConnectionPoint> m_onComm;
    HostBridge m_host{*this};
    std::unique_ptr<Portula> m_control;
};

}  // namespace port_control
