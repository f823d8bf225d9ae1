#include "platform/class_type_info.h"

#include "platform/registry.h"
#include "platform/resources.h"

namespace platform {

std::optional<ClassTypeInfo> registeredClassTypeInfo(const Guid& clsid) {
    const std::optional<ClassRegistration> registration = firstInLookupRegistries(
        [&](const Registry& registry) { return registry.classById(clsid); });
    if (!registration)
        return std::nullopt;
    const std::optional<std::filesystem::path> libraryPath =
        firstInLookupRegistries([&](const Registry& registry) {
            return registry.typeLibraryPath(registration->typeLibId);
        });
    if (!libraryPath)
        return std::nullopt;
    const std::optional<ResourceBytes> bytes = findResource(*libraryPath, "TYPELIB", 1u);
    if (!bytes)
        return std::nullopt;

    const TypeLibrary library = parseTypeLibrary(*bytes);
    const CoclassDescription* coclass = library.findCoclass(clsid);
    if (!coclass)
        return std::nullopt;
    const std::optional<Guid> defaultIid = coclass->defaultInterface();
    const InterfaceDescription* defaultInterface =
        defaultIid ? library.findInterface(*defaultIid) : nullptr;
    if (!defaultInterface)
        return std::nullopt;

    ClassTypeInfo info{*coclass, *defaultInterface, std::nullopt};
    if (const std::optional<Guid> sourceIid = coclass->defaultSource()) {
        if (const InterfaceDescription* events = library.findInterface(*sourceIid))
            info.eventInterface = *events;
    }
    return info;
}

}  // namespace platform
