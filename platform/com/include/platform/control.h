// The lifecycle interfaces between a control and the host that carries it.
//
// The host gives the control its site (IControlSite) before or after the properties,
// as the control's misc status asks (kMiscSetClientSiteFirst), initialises the
// properties (InitNew for a new control, Load from a property bag for a saved one),
// tells it its extent, and at the end takes the site away and closes it. The control
// calls back through the site: the property-changed notification, its own extent, and
// the question whether the host is running or designing. Every call returns an HRESULT;
// a failure carries its error through the thread's error info (see error.h).
#pragma once

#include "platform/language_standard.h"
#include "platform/platform_export.h"

#include <cstdint>

#include "platform/guid.h"
#include "platform/property_bag.h"
#include "platform/ref_counted.h"
#include "platform/unknown.h"

namespace platform {

// {E0D8189E-2D8D-4D72-9DA5-2B6AC28E87E8}
constexpr Guid IID_IControl{
    0xE0D8189E, 0x2D8D, 0x4D72, {0x9D, 0xA5, 0x2B, 0x6A, 0xC2, 0x8E, 0x87, 0xE8}};
// {D5F44497-213C-4C6F-80A5-3C3ED196803B}
constexpr Guid IID_IControlSite{
    0xD5F44497, 0x213C, 0x4C6F, {0x80, 0xA5, 0x3C, 0x3E, 0xD1, 0x96, 0x80, 0x3B}};
// {71096998-654A-44E3-A55C-1F40A9A85F17}
constexpr Guid IID_IPersistPropertyBag{
    0x71096998, 0x654A, 0x44E3, {0xA5, 0x5C, 0x1F, 0x40, 0xA9, 0xA8, 0x5F, 0x17}};
// {22DC97EA-3E2A-4B0A-AC53-926BF2309435}
constexpr Guid IID_IProvideClassInfo{
    0x22DC97EA, 0x3E2A, 0x4B0A, {0xAC, 0x53, 0x92, 0x6B, 0xF2, 0x30, 0x94, 0x35}};

// Miscellaneous status bits a control announces (the platform's values).
namespace misc_status {
constexpr uint32_t kRecomposeOnResize = 0x1;
constexpr uint32_t kCantLinkInside = 0x10;
constexpr uint32_t kInsideOut = 0x80;
constexpr uint32_t kActivateWhenVisible = 0x100;
constexpr uint32_t kInvisibleAtRuntime = 0x400;
constexpr uint32_t kSetClientSiteFirst = 0x20000;
}  // namespace misc_status

// The host's side, handed to the control by SetSite.
class CORVANE_PLATFORM_EXPORT IControlSite : public IUnknown {
  public:
    // A persisted property changed; `name` is any text, not only a member name. The host
    // may refuse (a failed HRESULT), and the control then fails its caller with that.
    virtual HRESULT OnPropertyChanged(const char16_t* name) = 0;
    // The control sets its own extent, in twips.
    virtual HRESULT SetExtent(float widthTwips, float heightTwips) = 0;
    // True while the host runs (user mode), false while it designs.
    virtual HRESULT GetUserMode(bool* runMode) = 0;

  protected:
    ~IControlSite() = default;
};

class CORVANE_PLATFORM_EXPORT IControl : public IUnknown {
  public:
    // The host's site, or nullptr when the host lets the control go; the control keeps a
    // reference until then.
    virtual HRESULT SetSite(IControlSite* site) = 0;
    // The host changed the control's extent (the control's resize handler).
    virtual HRESULT OnExtentChanged(float widthTwips, float heightTwips) = 0;
    virtual HRESULT GetMiscStatus(uint32_t* status) = 0;
    // The host is done with the control: it drops its connections (site, sinks).
    virtual HRESULT Close() = 0;

  protected:
    ~IControl() = default;
};

class CORVANE_PLATFORM_EXPORT IPersistPropertyBag : public IUnknown {
  public:
    // A new control, with no saved properties.
    virtual HRESULT InitNew() = 0;
    // The control reads its properties from `bag` and keeps no reference to it. The bag
    // throws platform::Error; the control returns such a failure as an HRESULT.
    virtual HRESULT Load(PropertyBag* bag) = 0;
    virtual HRESULT Save(PropertyBag* bag) = 0;

  protected:
    ~IPersistPropertyBag() = default;
};

// What a host needs to know of the control's class: the event interface to connect to.
constexpr uint32_t kGuidKindDefaultSourceDispIid = 1;
class CORVANE_PLATFORM_EXPORT IProvideClassInfo : public IUnknown {
  public:
    // kGuidKindDefaultSourceDispIid: the IID of the default source interface; E_INVALIDARG
    // for another kind or a class without events.
    virtual HRESULT GetGUID(uint32_t guidKind, Guid* guid) = 0;

  protected:
    ~IProvideClassInfo() = default;
};

template <>
struct InterfaceIds<IControlSite> {
    static constexpr Guid value[] = {IID_IControlSite};
};
template <>
struct InterfaceIds<IControl> {
    static constexpr Guid value[] = {IID_IControl};
};
template <>
struct InterfaceIds<IPersistPropertyBag> {
    static constexpr Guid value[] = {IID_IPersistPropertyBag};
};
template <>
struct InterfaceIds<IProvideClassInfo> {
    static constexpr Guid value[] = {IID_IProvideClassInfo};
};

}  // namespace platform
