// Creates objects of registered classes: looks the class (and a ProgID) up in the user's
// registry, then in the machine's (platform/registry.h), so that a user's own registration
// wins for that user; loads its library (dlopen, RTLD_NOW | RTLD_LOCAL), asks the
// library's DllGetClassObject for the class factory and lets it create the object.
//
// A library stays loaded while anything of it may live; freeUnusedLibraries() unloads
// exactly the libraries whose own DllCanUnloadNow answers S_OK (a library without that
// export is never unloaded).
//
// The HRESULT functions never throw. On a failure of their own (class or ProgID not
// registered: REGDB_E_CLASSNOTREG; library missing or not a regular file:
// CO_E_DLLNOTFOUND; library unloadable or without DllGetClassObject: CO_E_ERRORINDLL; a
// library named by the machine's registry that anybody but root could change (itself or
// a folder above it, platform/root_owned_path.h): E_ACCESSDENIED, checked at every load;
// a damaged or unsafe registry: its REGDB_E_* code) they leave error info number 429 with
// a description naming the cause; failures of the library's factory or object come back
// unchanged with whatever error info the library left. `createObject` throws the same as
// platform::Error.
#pragma once

#include "platform/language_standard.h"
#include "platform/platform_export.h"

#include <filesystem>
#include <string_view>
#include <vector>

#include "platform/error.h"
#include "platform/guid.h"
#include "platform/unknown.h"

namespace platform {

CORVANE_PLATFORM_EXPORT HRESULT createInstance(const Guid& clsid, const Guid& iid,
                                               void** object) noexcept;
// ProgIDs compare without regard to ASCII case.
CORVANE_PLATFORM_EXPORT HRESULT createInstanceByProgId(std::string_view progId, const Guid& iid,
                                                       void** object) noexcept;
CORVANE_PLATFORM_EXPORT HRESULT createInstanceByProgId(std::u16string_view progId, const Guid& iid,
                                                       void** object) noexcept;

// The class factory of a registered class, as interface `iid` (usually IID_IClassFactory).
CORVANE_PLATFORM_EXPORT HRESULT getRegisteredClassObject(const Guid& clsid, const Guid& iid,
                                                         void** object) noexcept;

// Unloads every loaded library whose DllCanUnloadNow returns S_OK; returns how many.
CORVANE_PLATFORM_EXPORT size_t freeUnusedLibraries() noexcept;

// The libraries the loader currently holds, by their registered path.
CORVANE_PLATFORM_EXPORT std::vector<std::filesystem::path> loadedLibraries();

// Throwing forms for C++ hosts. `iid` must name the interface `T`.
CORVANE_PLATFORM_EXPORT void* createObjectRaw(const Guid& clsid, const Guid& iid);
CORVANE_PLATFORM_EXPORT void* createObjectRaw(std::u16string_view progId, const Guid& iid);

template <class T>
ComPtr<T> createObject(const Guid& clsid, const Guid& iid) {
    return ComPtr<T>::adopt(static_cast<T*>(createObjectRaw(clsid, iid)));
}

template <class T>
ComPtr<T> createObject(std::u16string_view progId, const Guid& iid) {
    return ComPtr<T>::adopt(static_cast<T*>(createObjectRaw(progId, iid)));
}

}  // namespace platform
