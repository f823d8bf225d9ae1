// What a late-binding host learns of a registered class from its type library: the class,
// its default interface (the members a caller reaches through IDispatch) and its default
// event interface. Hosts that know a class only by name (scripting hosts) list members,
// their types and their events from it.
//
// The type library is read from the TYPELIB resource 1 of the library the registries
// name for the class's type library (the user's first, then the machine's), so that
// library must be loaded (an object of the class created) first. Returns nullopt when the
// class, its type library or the resource is not there; a damaged type library throws
// platform::Error as parseTypeLibrary does.
#pragma once

#include "platform/language_standard.h"
#include "platform/platform_export.h"

#include <optional>

#include "platform/guid.h"
#include "platform/type_library.h"

namespace platform {

// Frozen: a value type programs compile in; a change to its members needs a new SONAME.
struct CORVANE_PLATFORM_EXPORT ClassTypeInfo {
    CoclassDescription coclass;
    InterfaceDescription defaultInterface;
    std::optional<InterfaceDescription> eventInterface;
};

CORVANE_PLATFORM_EXPORT std::optional<ClassTypeInfo> registeredClassTypeInfo(const Guid& clsid);

}  // namespace platform
