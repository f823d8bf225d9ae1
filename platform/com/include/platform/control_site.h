// The host side of one control: a window (or a test) carries a control through it.
//
// `activate` runs the lifecycle in the platform's order: SetSite (before the properties
// when the control's misc status has kMiscSetClientSiteFirst, after them otherwise),
// InitNew or Load(bag), the connection to the control's default source interface (if it
// names one through IProvideClassInfo), then OnExtentChanged with the host's extent.
// Events reach the host's handler on the calling thread while the control raises them.
// The late-bound helpers call IDispatch and turn a failure back into the platform::Error
// the control raised. The destructor tears down: Unadvise, SetSite(nullptr), Close,
// Release. A site object the control keeps after that answers E_UNEXPECTED.
//
// Failures throw platform::Error. Not copyable; one thread, like the control.
#pragma once

#include "platform/language_standard.h"
#include "platform/platform_export.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/connection_point.h"
#include "platform/control.h"
#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/property_bag.h"
#include "platform/unknown.h"
#include "platform/variant.h"

namespace platform {

class CORVANE_PLATFORM_EXPORT ControlSite {
  public:
    // Decides the answer to the control's property-changed notification (S_OK accepts).
    // A handler may throw platform::Error instead of returning a failure.
    using PropertyChangedHandler = std::function<HRESULT(std::u16string_view name)>;
    // Decides the answer to the control's SetExtent; the extent is recorded either way.
    using ExtentHandler = std::function<HRESULT(float widthTwips, float heightTwips)>;
    // Receives each event with its arguments in natural order.
    using EventHandler = std::function<void(int32_t dispid, std::span<const Variant> args)>;

    struct Extent {
        float width = 0;
        float height = 0;
        bool operator==(const Extent&) const = default;
    };

    // Takes a reference to `control`, which must answer IControl (else Error 430).
    explicit ControlSite(IUnknown* control);
    ~ControlSite();
    ControlSite(const ControlSite&) = delete;
    ControlSite& operator=(const ControlSite&) = delete;

    // Settings, taken into account from the next call that needs them.
    void setUserMode(bool runMode);
    void setPropertyChangedHandler(PropertyChangedHandler handler);
    void setExtentHandler(ExtentHandler handler);
    void setEventHandler(EventHandler handler);

    // Runs the lifecycle (see above) with the host's extent; `bag` null means a new
    // control (InitNew). A failure tears the site down and throws.
    void activate(float widthTwips, float heightTwips, PropertyBag* bag = nullptr);
    // The host changes the control's extent: records it and calls OnExtentChanged.
    void resize(float widthTwips, float heightTwips);
    // The extent as last set by the host or by the control (SetExtent).
    Extent extent() const;

    // Every property-changed notification received, in order, refused ones included.
    const std::vector<std::u16string>& changedProperties() const;
    void clearChangedProperties();

    bool eventsConnected() const;
    // The control's misc status, as read by `activate` (0 before).
    uint32_t miscStatus() const;

    // Late-bound calls through the control's IDispatch.
    int32_t dispidOf(std::u16string_view name);
    Variant getProperty(int32_t dispid);
    void putProperty(int32_t dispid, Variant value);
    Variant invokeMethod(int32_t dispid, std::vector<Variant> argsInOrder = {});

    // Properties through the control's IPersistPropertyBag (Error 430 without one).
    void save(PropertyBag& bag);
    void load(PropertyBag& bag);

    // The control, for other interfaces the host wants; null after `close`.
    IUnknown* control() const;

    // Tears down now (the destructor does it otherwise); failures of the control are
    // ignored, the host is letting it go. Safe to call twice.
    void close();

  private:
    // Everything else lives in the library, so that it can grow without changing what a
    // program compiled against this header allocates.
    struct State;
    std::unique_ptr<State> m_state;
};

}  // namespace platform
