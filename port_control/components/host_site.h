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
    // OnComm may be raised soon: the site may ask the processor for what raising it reads,
    // while the control works. A hint only; nothing by default.
    virtual void prepareToRaise() {}
};

}  // namespace port_control
