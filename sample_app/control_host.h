// How the window reaches its control `Portula1`: property reads and writes by DISPID and
// the control's OnComm event, nothing else. The window never sees the control's C++ types.
//
// getProperty/putProperty throw platform::Error carrying the control's own error number
// and description. The OnComm handler runs synchronously, on the window's thread, while
// the control raises the event; it may call back into the control.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/variant.h"

namespace platform {
class ControlSite;
}

namespace sample_app {

class ControlHost {
  public:
    virtual ~ControlHost() = default;

    virtual platform::Variant getProperty(int32_t dispid) = 0;
    virtual void putProperty(int32_t dispid, platform::Variant value) = 0;
    // Replaces the handler of the control's OnComm event (an empty one ignores it).
    virtual void setOnCommHandler(std::function<void()> handler) = 0;
};

// The real control: a `Corvane.Portula` instance created through the platform registry by
// its CLSID and carried by a platform::ControlSite in run mode. Its saved property set
// holds only its extent (435 x 435 twips), so every property of the control starts at its
// default. Creation fails with platform::Error (429 when the class is not registered).
class PortulaHost final : public ControlHost {
  public:
    PortulaHost();
    ~PortulaHost() override;
    PortulaHost(const PortulaHost&) = delete;
    PortulaHost& operator=(const PortulaHost&) = delete;

    platform::Variant getProperty(int32_t dispid) override;
    void putProperty(int32_t dispid, platform::Variant value) override;
    void setOnCommHandler(std::function<void()> handler) override;

  private:
    std::unique_ptr<platform::ControlSite> m_site;
    std::function<void()> m_onComm;
};

}  // namespace sample_app
