// The component registry: which library serves a class, what a programmatic identifier
// stands for, where a type library lives. Each user has one; the machine has one for all
// users beside them. Hosts look in the user's first, then in the machine's
// (platform/module_loader.h).
//
// Kept as the text file `<userDataDirectory()>/registry`, or for the machine
// `<machineDataDirectory()>/registry` (one record per line, a version header first). Lookups read
// the file afresh, so they see what other processes registered. Changes take an exclusive lock
// (flock on `registry.lock` beside it), read, change and write the whole file through a temporary
// file that is synced and renamed into place, so that a reader never sees half a file and two
// processes registering at once both land.
//
// Failures throw platform::Error whose number is the component model's HRESULT
// (registryCorrupt, registryReadFailed, registryWriteFailed), so that `reportError` at a
// component boundary hands that HRESULT back; the description (Japanese) names the file,
// and for a damaged file the line number. A damaged file is never overwritten. The
// user's folder is created 0700 and the file 0600; a folder or file that group or others
// may write, or that another user owns, is refused. The machine's folder and file belong
// to root (0755 and 0644) because they name libraries that get loaded into every user's
// programs: one that anybody but root may write is refused, and only root changes them.
#pragma once

#include "platform/language_standard.h"
#include "platform/platform_export.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/guid.h"

namespace platform {

// HRESULTs of registry failures (used as platform::Error numbers).
constexpr HRESULT kRegistryReadFailed = static_cast<HRESULT>(0x80040150);  // REGDB_E_READREGDB
constexpr HRESULT kRegistryWriteFailed = REGDB_E_WRITEREGDB;               // 0x80040151
constexpr HRESULT kRegistryCorrupt = static_cast<HRESULT>(0x80040153);     // REGDB_E_INVALIDVALUE

// Frozen: a value type programs compile in; a change to its members needs a new SONAME.
struct CORVANE_PLATFORM_EXPORT ClassRegistration {
    Guid clsid;
    std::filesystem::path libraryPath;  // absolute and normalised
    std::string threadingModel;         // "Apartment"
    std::string className;              // "Portula"
    std::string progId;                 // may be empty
    Guid typeLibId;
    Guid iidDefault;
    Guid iidSource;
    uint32_t miscStatus = 0;
    uint16_t toolboxBitmapId = 0;
    bool raisesEvents = false;
    bool isDesigner = false;

    bool operator==(const ClassRegistration&) const = default;
};

// Frozen: a value type programs compile in; a change to its members needs a new SONAME.
struct CORVANE_PLATFORM_EXPORT TypeLibraryRegistration {
    Guid id;
    uint16_t versionMajor = 0;
    uint16_t versionMinor = 0;
    uint32_t lcid = 0;
    std::filesystem::path path;  // absolute and normalised
    std::string name;
    std::string description;
    std::string helpDir;

    bool operator==(const TypeLibraryRegistration&) const = default;
};

// Frozen: a value type programs compile in; a change to its members needs a new SONAME.
struct CORVANE_PLATFORM_EXPORT ProgIdRegistration {
    std::string progId;
    Guid clsid;

    bool operator==(const ProgIdRegistration&) const = default;
};

// Everything the file holds, in file order. Text form and parsing live here so that they
// can be tested without touching the disk.
// Frozen: a value type programs compile in; a change to its members needs a new SONAME.
struct CORVANE_PLATFORM_EXPORT RegistryContents {
    std::vector<ClassRegistration> classes;
    std::vector<ProgIdRegistration> progIds;
    std::vector<TypeLibraryRegistration> typeLibraries;

    // Parses the file text; throws kRegistryCorrupt naming `fileName` and the line.
    static RegistryContents parse(std::string_view text, const std::string& fileName);
    std::string toText() const;

    // Replace an entry with the same key (CLSID; ProgID without regard to ASCII case;
    // type library GUID and version), or append.
    void putClass(ClassRegistration entry);
    void putProgId(ProgIdRegistration entry);
    void putTypeLibrary(TypeLibraryRegistration entry);
    // Remove the entry; false when there was none.
    bool removeClass(const Guid& clsid);
    bool removeProgId(std::string_view progId);
    bool removeTypeLibrary(const Guid& id, uint16_t versionMajor, uint16_t versionMinor);

    const ClassRegistration* findClass(const Guid& clsid) const;
    const ProgIdRegistration* findProgId(std::string_view progId) const;
    // The exact version, or when `versionMajor`/`versionMinor` are nullopt the highest one.
    const TypeLibraryRegistration* findTypeLibrary(
        const Guid& id, std::optional<uint16_t> versionMajor = std::nullopt,
        std::optional<uint16_t> versionMinor = std::nullopt) const;

    bool operator==(const RegistryContents&) const = default;
};

// Whose registry: one user's, or the machine's for all users.
enum class RegistryScope { user, machine };

class CORVANE_PLATFORM_EXPORT Registry {
  public:
    // The registry of this user (userDataDirectory()).
    Registry();
    // The registry kept in `directory` (created on the first change).
    explicit Registry(std::filesystem::path directory, RegistryScope scope = RegistryScope::user);
    // The machine-wide registry (machineDataDirectory()).
    static Registry machine();

    const std::filesystem::path& filePath() const;
    RegistryScope scope() const;

    // The current contents; empty when no file exists yet.
    RegistryContents read() const;

    // Applies `change` to the current contents and writes the result, all under the
    // exclusive lock. Nothing is written when `change` throws, the file is damaged or the
    // contents did not change (an existing file is then left as it was).
    void update(const std::function<void(RegistryContents&)>& change);

    std::optional<ClassRegistration> classById(const Guid& clsid) const;
    // ProgIDs compare without regard to ASCII case.
    std::optional<Guid> clsidFromProgId(std::string_view progId) const;
    std::optional<TypeLibraryRegistration> typeLibrary(
        const Guid& id, std::optional<uint16_t> versionMajor = std::nullopt,
        std::optional<uint16_t> versionMinor = std::nullopt) const;
    std::optional<std::filesystem::path> typeLibraryPath(
        const Guid& id, std::optional<uint16_t> versionMajor = std::nullopt,
        std::optional<uint16_t> versionMinor = std::nullopt) const;

  private:
    RegistryContents parseFile(std::string_view text) const;

    // Where it lives, in the library so that it can grow; shared by copies, since it never
    // changes after construction.
    struct Place;
    std::shared_ptr<const Place> m_place;
};

// The registries hosts look things up in, in order: the user's, then the machine's, so
// that a user's own registration wins for that user.
CORVANE_PLATFORM_EXPORT std::array<Registry, 2> lookupRegistries();

// The first answer `lookup(registry)` (an optional) gives over lookupRegistries().
template <class Lookup>
auto firstInLookupRegistries(const Lookup& lookup)
    -> decltype(lookup(std::declval<const Registry&>())) {
    for (const Registry& registry : lookupRegistries()) {
        if (auto found = lookup(registry))
            return found;
    }
    return {};
}

// A library path as the registry stores it: absolute, normalised, symlinks resolved
// where they exist (std::filesystem::weakly_canonical).
CORVANE_PLATFORM_EXPORT std::filesystem::path normalisedLibraryPath(
    const std::filesystem::path& path);

}  // namespace platform
