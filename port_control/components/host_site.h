// What the control requires of the host that carries it.
#pragma once

#include <string_view>

namespace port_control {

class HostSite {
  public:
    virtual ~HostSite() = default;

    // Reports that a persisted property changed. Any name is accepted; it may fail
    // (throw platform::Error), and the failure then goes to the control's caller.
    virtual void PropertyChanged(std::u16string_view name) = 0;

    // Sets the control's own extent, in twips.
    virtual void SetExtent(float widthTwips, float heightTwips) = 0;

    // Delivers the control's OnComm to the host's handler at once, on this thread.
    virtual void RaiseOnComm() = 0;
};

}  // namespace port_control
