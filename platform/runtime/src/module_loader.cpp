#include "platform/module_loader.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <optional>

#include "platform/registry.h"
#include "system_errors.h"
#include "trusted_library.h"

namespace platform {

namespace {

constexpr char16_t kLoaderSource[] = u"platform module loader";
constexpr char16_t kCannotCreate[] = u"コンポーネントはオブジェクトを作成できません。";

struct LoadedLibrary {
    void* handle = nullptr;
    DllGetClassObjectFn getClassObject = nullptr;
    DllCanUnloadNowFn canUnloadNow = nullptr;  // null: the library is never unloaded
};

// One table per process. Recursive because an object's constructor may itself create
// objects through the loader; it is held across the calls into a library so that no
// other thread unloads the library under them.
struct LibraryTable {
    std::recursive_mutex mutex;
    std::map<std::filesystem::path, LoadedLibrary> libraries;
};

LibraryTable& libraryTable() {
    // Never destroyed: objects of loaded libraries may outlive static destruction.
    static LibraryTable* table = new LibraryTable;
    return *table;
}

// A failure of the loader itself: HRESULT plus the description callers will show.
struct LoaderFailure {
    HRESULT hr;
    std::u16string detail;
};

std::u16string quoted(const std::filesystem::path& path) {
    return u"\"" + fromUtf8(path.string()) + u"\"";
}

HRESULT report(const LoaderFailure& failure) {
    setErrorInfo({errors::kCannotCreateObject, kCannotCreate + failure.detail, kLoaderSource});
    return failure.hr;
}

// A missing library, or something else where it should be.
void requireRegularFile(const std::filesystem::path& path) {
    struct stat info = {};
    if (::stat(path.c_str(), &info) != 0) {
        throw LoaderFailure{CO_E_DLLNOTFOUND, u"ライブラリ " + quoted(path) + u" を開けません: " +
                                                  posixErrorText(errno)};
    }
    if (!S_ISREG(info.st_mode)) {
        throw LoaderFailure{CO_E_DLLNOTFOUND,
                            u"ライブラリ " + quoted(path) + u" は通常のファイルではありません。"};
    }
}

// What the machine's registry names runs in every user's programs: only a library nobody
// but root can change is loaded from it, by the resolved path that was checked
// (platform/root_owned_path.h says why that path cannot be swapped afterwards).
std::filesystem::path checkedMachineLibrary(const std::filesystem::path& path) {
    try {
        return requireTrustedLibrary(path, E_ACCESSDENIED);
    } catch (const Error& error) {
        throw LoaderFailure{E_ACCESSDENIED, u"マシン全体のレジストリが示すライブラリ " +
                                                quoted(path) + u" は読み込みません: " +
                                                error.description()};
    }
}

// Loads (or finds loaded) the library registered as `path`; one from the machine's
// registry is checked at every load.
const LoadedLibrary& loadLibrary(LibraryTable& table, const std::filesystem::path& path,
                                 RegistryScope scope) {
    std::filesystem::path file = path;
    if (scope == RegistryScope::machine) {
        requireRegularFile(path);
        file = checkedMachineLibrary(path);
    }
    if (auto it = table.libraries.find(path); it != table.libraries.end())
        return it->second;

    requireRegularFile(path);
    ::dlerror();
    void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = ::dlerror();
        throw LoaderFailure{CO_E_ERRORINDLL, u"ライブラリ " + quoted(path) +
                                                 u" を読み込めません: " + fromUtf8(why ? why : "")};
    }
    LoadedLibrary library;
    library.handle = handle;
    library.getClassObject =
        reinterpret_cast<DllGetClassObjectFn>(::dlsym(handle, "DllGetClassObject"));
    library.canUnloadNow = reinterpret_cast<DllCanUnloadNowFn>(::dlsym(handle, "DllCanUnloadNow"));
    if (!library.getClassObject) {
        ::dlclose(handle);
        throw LoaderFailure{CO_E_ERRORINDLL, u"ライブラリ " + quoted(path) +
                                                 u" はコンポーネント ライブラリではありません"
                                                 u" (DllGetClassObject がありません)。"};
    }
    return table.libraries.emplace(path, library).first->second;
}

struct FoundClass {
    ClassRegistration entry;
    std::filesystem::path registryFile;
    RegistryScope scope;
};

// A damaged or unsafe registry fails the creation with its own code and description.
template <class Lookup>
auto lookUpInRegistries(const Lookup& lookup) {
    try {
        return firstInLookupRegistries(lookup);
    } catch (const Error& error) {
        throw LoaderFailure{hresultFromNumber(error.number()), error.description()};
    }
}

FoundClass lookUpClass(const Guid& clsid) {
    const std::optional<FoundClass> found =
        lookUpInRegistries([&](const Registry& registry) -> std::optional<FoundClass> {
            if (auto entry = registry.classById(clsid))
                return FoundClass{std::move(*entry), registry.filePath(), registry.scope()};
            return std::nullopt;
        });
    if (!found) {
        throw LoaderFailure{REGDB_E_CLASSNOTREG,
                            u"クラス " + fromUtf8(clsid.toString()) + u" は登録されていません。"};
    }
    return *found;
}

Guid lookUpProgId(std::string_view progId) {
    const std::optional<Guid> clsid = lookUpInRegistries(
        [&](const Registry& registry) { return registry.clsidFromProgId(progId); });
    if (!clsid) {
        throw LoaderFailure{REGDB_E_CLASSNOTREG,
                            u"ProgID \"" + fromUtf8(progId) + u"\" は登録されていません。"};
    }
    return *clsid;
}

// Loads the library a registration names; a library that is gone is reported with the
// registry that still names it and how to mend that.
const LoadedLibrary& loadRegisteredLibrary(LibraryTable& table, const FoundClass& found) {
    try {
        return loadLibrary(table, found.entry.libraryPath, found.scope);
    } catch (LoaderFailure& failure) {
        if (failure.hr == CO_E_DLLNOTFOUND) {
            failure.detail += u" (登録元: " + quoted(found.registryFile) +
                              u")。ライブラリを元の場所に戻すか、今あるライブラリを登録し直して"
                              u"ください (corvane-register <ライブラリ>)。";
        }
        throw;
    }
}

HRESULT classObjectLocked(LibraryTable& table, const Guid& clsid, const Guid& iid, void** object) {
    const FoundClass found = lookUpClass(clsid);
    const ClassRegistration& entry = found.entry;
    const LoadedLibrary& library = loadRegisteredLibrary(table, found);
    const HRESULT hr = library.getClassObject(&clsid, &iid, object);
    if (hr == CLASS_E_CLASSNOTAVAILABLE) {
        return report({hr, u"ライブラリ " + quoted(entry.libraryPath) + u" はクラス " +
                               fromUtf8(clsid.toString()) + u" を提供していません。"});
    }
    return hr;
}

HRESULT createLocked(const Guid& clsid, const Guid& iid, void** object) {
    LibraryTable& table = libraryTable();
    std::lock_guard guard(table.mutex);
    ComPtr<IClassFactory> factory;
    const HRESULT hr = classObjectLocked(table, clsid, IID_IClassFactory, factory.putVoid());
    if (failed(hr))
        return hr;
    if (!factory)
        return report({E_UNEXPECTED, u"クラス ファクトリが返されませんでした。"});
    return factory->CreateInstance(nullptr, iid, object);
}

}  // namespace

HRESULT getRegisteredClassObject(const Guid& clsid, const Guid& iid, void** object) noexcept {
    if (!object)
        return E_POINTER;
    *object = nullptr;
    clearErrorInfo();
    try {
        LibraryTable& table = libraryTable();
        std::lock_guard guard(table.mutex);
        return classObjectLocked(table, clsid, iid, object);
    } catch (const LoaderFailure& failure) {
        return report(failure);
    } catch (...) {
        return reportCurrentException(kLoaderSource);
    }
}

HRESULT createInstance(const Guid& clsid, const Guid& iid, void** object) noexcept {
    if (!object)
        return E_POINTER;
    *object = nullptr;
    clearErrorInfo();
    try {
        return createLocked(clsid, iid, object);
    } catch (const LoaderFailure& failure) {
        return report(failure);
    } catch (...) {
        return reportCurrentException(kLoaderSource);
    }
}

HRESULT createInstanceByProgId(std::string_view progId, const Guid& iid, void** object) noexcept {
    if (!object)
        return E_POINTER;
    *object = nullptr;
    clearErrorInfo();
    try {
        return createLocked(lookUpProgId(progId), iid, object);
    } catch (const LoaderFailure& failure) {
        return report(failure);
    } catch (...) {
        return reportCurrentException(kLoaderSource);
    }
}

HRESULT createInstanceByProgId(std::u16string_view progId, const Guid& iid,
                               void** object) noexcept {
    try {
        return createInstanceByProgId(std::string_view(toUtf8(progId)), iid, object);
    } catch (...) {  // only bad_alloc can come from the conversion
        return reportCurrentException(kLoaderSource);
    }
}

size_t freeUnusedLibraries() noexcept {
    LibraryTable& table = libraryTable();
    std::lock_guard guard(table.mutex);
    size_t unloaded = 0;
    for (auto it = table.libraries.begin(); it != table.libraries.end();) {
        const LoadedLibrary& library = it->second;
        if (library.canUnloadNow && library.canUnloadNow() == S_OK) {
            ::dlclose(library.handle);
            it = table.libraries.erase(it);
            ++unloaded;
        } else {
            ++it;
        }
    }
    return unloaded;
}

std::vector<std::filesystem::path> loadedLibraries() {
    LibraryTable& table = libraryTable();
    std::lock_guard guard(table.mutex);
    std::vector<std::filesystem::path> paths;
    for (const auto& [path, library] : table.libraries)
        paths.push_back(path);
    return paths;
}

void* createObjectRaw(const Guid& clsid, const Guid& iid) {
    void* object = nullptr;
    const HRESULT hr = createInstance(clsid, iid, &object);
    if (failed(hr))
        throwFromHresult(hr);
    return object;
}

void* createObjectRaw(std::u16string_view progId, const Guid& iid) {
    void* object = nullptr;
    const HRESULT hr = createInstanceByProgId(progId, iid, &object);
    if (failed(hr))
        throwFromHresult(hr);
    return object;
}

}  // namespace platform
