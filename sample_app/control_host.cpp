#include "control_host.h"

#include "platform/control_site.h"
#include "platform/module_loader.h"
#include "platform/property_bag_file.h"
#include "platform/unknown.h"
#include "portula/portula_ids.h"

namespace sample_app {
namespace {

// The control's own size; it keeps itself at this extent whatever the host asks.
constexpr float kExtentTwips = 435.0f;
// The same extent in the form a host saves it, hundredths of a millimetre.
constexpr int32_t kExtentHimetric = 767;

}  // namespace

PortulaHost::PortulaHost() {
    const auto control = platform::createObject<platform::IUnknown>(
        port_control::ids::CLSID_Portula, platform::IID_IUnknown);
    m_site = std::make_unique<platform::ControlSite>(control.get());
    m_site->setUserMode(true);
    m_site->setEventHandler([this](int32_t dispid, std::span<const platform::Variant>) {
        if (dispid != port_control::ids::dispid::OnComm || !m_onComm)
            return;
        // A copy: the handler may replace itself while it runs.
        const std::function<void()> handler = m_onComm;
        handler();
    });
    // The window keeps only the control's extent, so the control restores nothing else.
    platform::TextPropertyBag saved;
    saved.Write(u"_ExtentX", platform::Variant::fromLong(kExtentHimetric), {});
    saved.Write(u"_ExtentY", platform::Variant::fromLong(kExtentHimetric), {});
    m_site->activate(kExtentTwips, kExtentTwips, &saved);
}

PortulaHost::~PortulaHost() = default;

platform::Variant PortulaHost::getProperty(int32_t dispid) {
    return m_site->getProperty(dispid);
}

void PortulaHost::putProperty(int32_t dispid, platform::Variant value) {
    m_site->putProperty(dispid, std::move(value));
}

void PortulaHost::setOnCommHandler(std::function<void()> handler) {
    m_onComm = std::move(handler);
}

}  // namespace sample_app
