// The Portula component: the control logic behind its published faces — the dual
// interface _Portula (and IDispatch driven by the type library), the __Portula event
// connection, the lifecycle a host drives (site, properties, resize) and persistence.
// Exceptions of the control become HRESULTs plus the thread's error info here; none
// leaves the module.
#pragma once

#include <memory>

#include "platform/connection_point.h"
#include "platform/control.h"
#include "platform/module_record.h"
#include "platform/ref_counted.h"
#include "portula.h"
#include "portula/portula_interface.h"
#include "portula_properties.h"

namespace port_control {

using platform::HRESULT;

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

    // _Portula: its accessors, made from the property table; each forwards to the control.
    // The published types they are declared with here must be those of the generated
    // interface, or `override` fails.
#define PORTULA_PUT(name, type) HRESULT put_##name(properties::published::type::Put value) override;
#define PORTULA_GET(name, type) \
    HRESULT get_##name(properties::published::type::Get* value) override;
#define PORTULA_PROPERTY PORTULA_ACCESSORS
#include "portula_properties.inc"
#undef PORTULA_GET
#undef PORTULA_PUT

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
        void prepareToRaise() override;

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
