// Serves a component library's four entry points from its registration record, so that
// each export is a one-line forward:
//
//   extern "C" HRESULT DllRegisterServer() {
//       return platform::registerServer(kRecord, platform::modulePathOf(&kRecord));
//   }
//   extern "C" HRESULT DllUnregisterServer() {
//       return platform::unregisterServer(kRecord, platform::modulePathOf(&kRecord));
//   }
//   extern "C" HRESULT DllGetClassObject(const Guid* clsid, const Guid* iid, void** out) {
//       return platform::getClassObject(kRecord, *clsid, *iid, out);
//   }
//
// None of these throws. A failure comes back as its HRESULT, with the thread's error info
// (platform/error.h) holding a Japanese description for a caller that wants to show it.
//
// The module also makes its record known to the process for the lifetime of the module
// (resources are found through it, platform/resources.h) with one static object:
//
//   const platform::ModuleRecordRegistrar kRegistrar(kRecord, &kRecord);
#pragma once

#include "platform/language_standard.h"
#include "platform/platform_export.h"

#include <filesystem>

#include "platform/error.h"
#include "platform/guid.h"
#include "platform/module_record.h"
#include "platform/registry.h"

namespace platform {

// Which registry registerServer and unregisterServer change in this process: the user's
// (the default), or the machine's for a registration tool run as root for all users.
CORVANE_PLATFORM_EXPORT void setRegistrationScope(RegistryScope scope) noexcept;
CORVANE_PLATFORM_EXPORT RegistryScope registrationScope() noexcept;

// The file a registration tool loads to call a library's DllRegisterServer or
// DllUnregisterServer for the registry of `scope`, checked before any code of the library
// runs: `path` made absolute, a regular file (else error 53). For the machine's registry
// only root may register (else 70), and only a library nobody but root can change is loaded,
// by the resolved path that was checked (else 70 naming what fails;
// platform/root_owned_path.h says why that path cannot be swapped afterwards).
CORVANE_PLATFORM_EXPORT std::filesystem::path libraryToRegister(const std::filesystem::path& path,
                                                                RegistryScope scope);

// Records the record's type library, classes, ProgIDs and control attributes in the
// registry of registrationScope() (platform/registry.h) with `modulePath` as the library
// path (stored absolute and normalised). `modulePath` must name a regular file.
// Registering again replaces the earlier entries.
CORVANE_PLATFORM_EXPORT HRESULT registerServer(const LibraryRecord& record,
                                               const std::filesystem::path& modulePath) noexcept;

// Removes what registerServer recorded for this record from the module at `modulePath`:
// its classes and its type library version where they name that library, and the ProgIDs
// that point at the classes removed. Entries another copy of the library registered stay.
// Nothing registered is no failure.
CORVANE_PLATFORM_EXPORT HRESULT unregisterServer(const LibraryRecord& record,
                                                 const std::filesystem::path& modulePath) noexcept;

// Hands out a class factory for `clsid` (CLASS_E_CLASSNOTAVAILABLE when the record has
// no such class) as interface `iid` (IUnknown or IClassFactory). The factory holds a lock
// on the module's counter while it lives; CreateInstance forwards to the class's
// createInstance and refuses aggregation (CLASS_E_NOAGGREGATION); LockServer locks and
// unlocks the module's counter.
CORVANE_PLATFORM_EXPORT HRESULT getClassObject(const LibraryRecord& record, const Guid& clsid,
                                               const Guid& iid, void** object) noexcept;

// S_OK when no object and no server lock of the module is left, else S_FALSE.
CORVANE_PLATFORM_EXPORT HRESULT canUnloadNow(const LibraryRecord& record) noexcept;

// The absolute, normalised file of the loaded module (shared library or program) that
// contains `addressInModule`; empty when the address belongs to none.
CORVANE_PLATFORM_EXPORT std::filesystem::path modulePathOf(const void* addressInModule);

// The process's table of the records of loaded modules, keyed by module file. A module
// adds its record while it is loaded (ModuleRecordRegistrar); removal takes the entry of
// that record out again.
CORVANE_PLATFORM_EXPORT void registerModuleRecord(const LibraryRecord& record,
                                                  const void* addressInModule);
CORVANE_PLATFORM_EXPORT void unregisterModuleRecord(const LibraryRecord& record) noexcept;
// The record of the loaded module at `modulePath` (any spelling of the path), or null.
CORVANE_PLATFORM_EXPORT const LibraryRecord* findModuleRecord(
    const std::filesystem::path& modulePath);
// The record of the module that `dlopen` returned `moduleHandle` for, or null.
CORVANE_PLATFORM_EXPORT const LibraryRecord* findModuleRecord(void* moduleHandle);

// Adds the record while the module is loaded: a static object of the module.
class CORVANE_PLATFORM_EXPORT ModuleRecordRegistrar {
  public:
    ModuleRecordRegistrar(const LibraryRecord& record, const void* addressInModule)
        : m_record(record) {
        registerModuleRecord(record, addressInModule);
    }
    ~ModuleRecordRegistrar() { unregisterModuleRecord(m_record); }
    ModuleRecordRegistrar(const ModuleRecordRegistrar&) = delete;
    ModuleRecordRegistrar& operator=(const ModuleRecordRegistrar&) = delete;

  private:
    const LibraryRecord& m_record;
};

}  // namespace platform
