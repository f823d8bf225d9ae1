#include "platform/module_runtime.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/unknown.h"
#include "trusted_library.h"

namespace platform {

namespace {

constexpr char16_t kRuntimeSource[] = u"platform module runtime";

std::string text(std::string_view view) {
    return std::string(view);
}

class GenericClassFactory final : public IClassFactory {
  public:
    GenericClassFactory(const ClassRecord& cls, ModuleCounter& counter)
        : m_class(cls), m_counter(counter) {
        m_counter.lock();
    }

    HRESULT QueryInterface(const Guid& iid, void** object) override {
        if (!object)
            return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IClassFactory) {
            *object = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }

    uint32_t AddRef() override { return m_references.fetch_add(1) + 1; }

    uint32_t Release() override {
        const uint32_t left = m_references.fetch_sub(1) - 1;
        if (left == 0)
            delete this;
        return left;
    }

    HRESULT CreateInstance(IUnknown* outer, const Guid& iid, void** object) override {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        if (!m_class.createInstance)
            return E_UNEXPECTED;
        try {
            return m_class.createInstance(iid, object);
        } catch (...) {  // a class that lets an exception out must not take the host down
            return reportCurrentException(kRuntimeSource);
        }
    }

    HRESULT LockServer(bool lock) override {
        if (lock) {
            m_counter.lock();
        } else {
            m_counter.unlock();
        }
        return S_OK;
    }

  private:
    ~GenericClassFactory() { m_counter.unlock(); }

    const ClassRecord& m_class;
    ModuleCounter& m_counter;
    std::atomic<uint32_t> m_references{1};
};

// The file behind a link map entry; the main program's entry has an empty name.
std::filesystem::path pathOfLinkMap(const link_map* map) {
    if (!map)
        return {};
    if (map->l_name && map->l_name[0] != '\0')
        return normalisedLibraryPath(map->l_name);
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : normalisedLibraryPath(self);
}

struct LoadedModuleRecord {
    const LibraryRecord* record;
    std::filesystem::path path;
};

struct ModuleRecordTable {
    std::mutex mutex;
    std::vector<LoadedModuleRecord> entries;
};

// Never destroyed: modules unregister from their static destructors, which may run
// after this library's own at process exit.
ModuleRecordTable& moduleRecordTable() {
    static ModuleRecordTable* table = new ModuleRecordTable;
    return *table;
}

}  // namespace

namespace {
std::atomic<RegistryScope> g_registrationScope{RegistryScope::user};

Registry registrationRegistry() {
    return g_registrationScope.load() == RegistryScope::machine ? Registry::machine() : Registry();
}
}  // namespace

void setRegistrationScope(RegistryScope scope) noexcept {
    g_registrationScope.store(scope);
}

RegistryScope registrationScope() noexcept {
    return g_registrationScope.load();
}

std::filesystem::path libraryToRegister(const std::filesystem::path& path, RegistryScope scope) {
    std::error_code error;
    // Absolute, so that dlopen does not search the library path instead.
    const std::filesystem::path library = std::filesystem::absolute(path, error);
    if (path.empty() || error || !std::filesystem::is_regular_file(library, error)) {
        throw Error(errors::kFileNotFound, u"コンポーネント ライブラリ \"" +
                                               fromUtf8(path.string()) + u"\" がありません。");
    }
    if (scope == RegistryScope::user)
        return library;
    // Root would run the library's code now, and every user would load it later.
    if (::geteuid() != 0) {
        throw Error(errors::kPermissionDenied,
                    u"マシン全体のレジストリを変更できるのは root だけです。");
    }
    try {
        return requireTrustedLibrary(library, E_ACCESSDENIED);
    } catch (const Error& refused) {
        // The description names the component that fails and why.
        throw Error(errors::kPermissionDenied, refused.description());
    }
}

HRESULT registerServer(const LibraryRecord& record,
                       const std::filesystem::path& modulePath) noexcept {
    try {
        const std::filesystem::path path = normalisedLibraryPath(modulePath);
        std::error_code error;
        if (modulePath.empty() || !std::filesystem::is_regular_file(path, error)) {
            throw Error(kRegistryWriteFailed,
                        u"モジュール \"" + fromUtf8(path.string()) +
                            u"\" は通常のファイルではないため登録できません。");
        }
        if (g_registrationScope.load() == RegistryScope::machine) {
            // Every user would load it: it must be root's alone (platform/root_owned_path.h).
            try {
                requireTrustedLibrary(path, kRegistryWriteFailed);
            } catch (const Error& error) {
                throw Error(kRegistryWriteFailed,
                            u"マシン全体のレジストリには登録できません: " + error.description());
            }
        }
        registrationRegistry().update([&](RegistryContents& contents) {
            contents.putTypeLibrary({record.typeLibId, record.versionMajor, record.versionMinor,
                                     record.lcid, path, text(record.name), text(record.description),
                                     text(record.helpDir)});
            for (const ClassRecord& cls : record.classes) {
                ClassRegistration entry;
                entry.clsid = cls.clsid;
                entry.libraryPath = path;
                entry.threadingModel = text(record.threadingModel);
                entry.className = text(cls.name);
                entry.progId = text(cls.progId);
                entry.typeLibId = record.typeLibId;
                entry.iidDefault = cls.iidDefault;
                entry.iidSource = cls.iidSource;
                entry.miscStatus = cls.miscStatus;
                entry.toolboxBitmapId = cls.toolboxBitmapId;
                entry.raisesEvents = cls.raisesEvents;
                entry.isDesigner = cls.isDesigner;
                contents.putClass(std::move(entry));
                if (!cls.progId.empty())
                    contents.putProgId({text(cls.progId), cls.clsid});
            }
        });
        return S_OK;
    } catch (...) {
        return reportCurrentException(kRuntimeSource);
    }
}

HRESULT unregisterServer(const LibraryRecord& record,
                         const std::filesystem::path& modulePath) noexcept {
    try {
        const std::filesystem::path path = normalisedLibraryPath(modulePath);
        registrationRegistry().update([&](RegistryContents& contents) {
            const TypeLibraryRegistration* typeLibrary = contents.findTypeLibrary(
                record.typeLibId, record.versionMajor, record.versionMinor);
            if (typeLibrary && typeLibrary->path == path)
                contents.removeTypeLibrary(record.typeLibId, record.versionMajor,
                                           record.versionMinor);
            for (const ClassRecord& cls : record.classes) {
                const ClassRegistration* entry = contents.findClass(cls.clsid);
                if (!entry || entry->libraryPath != path)
                    continue;
                contents.removeClass(cls.clsid);
                std::erase_if(contents.progIds,
                              [&](const ProgIdRegistration& p) { return p.clsid == cls.clsid; });
            }
        });
        return S_OK;
    } catch (...) {
        return reportCurrentException(kRuntimeSource);
    }
}

HRESULT getClassObject(const LibraryRecord& record, const Guid& clsid, const Guid& iid,
                       void** object) noexcept {
    if (!object)
        return E_POINTER;
    *object = nullptr;
    auto cls = std::ranges::find(record.classes, clsid, &ClassRecord::clsid);
    if (cls == record.classes.end())
        return CLASS_E_CLASSNOTAVAILABLE;
    auto* factory = new (std::nothrow) GenericClassFactory(*cls, record.counter);
    if (!factory)
        return E_OUTOFMEMORY;
    const HRESULT hr = factory->QueryInterface(iid, object);
    factory->Release();
    return hr;
}

HRESULT canUnloadNow(const LibraryRecord& record) noexcept {
    return record.counter.count() == 0 ? S_OK : S_FALSE;
}

std::filesystem::path modulePathOf(const void* addressInModule) {
    Dl_info info{};
    link_map* map = nullptr;
    if (!addressInModule ||
        ::dladdr1(addressInModule, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0) {
        return {};
    }
    return pathOfLinkMap(map);
}

void registerModuleRecord(const LibraryRecord& record, const void* addressInModule) {
    std::filesystem::path path = modulePathOf(addressInModule);
    ModuleRecordTable& table = moduleRecordTable();
    std::lock_guard guard(table.mutex);
    std::erase_if(table.entries, [&](const auto& e) { return e.record == &record; });
    table.entries.push_back({&record, std::move(path)});
}

void unregisterModuleRecord(const LibraryRecord& record) noexcept {
    ModuleRecordTable& table = moduleRecordTable();
    std::lock_guard guard(table.mutex);
    std::erase_if(table.entries, [&](const auto& e) { return e.record == &record; });
}

const LibraryRecord* findModuleRecord(const std::filesystem::path& modulePath) {
    if (modulePath.empty())
        return nullptr;
    const std::filesystem::path path = normalisedLibraryPath(modulePath);
    ModuleRecordTable& table = moduleRecordTable();
    std::lock_guard guard(table.mutex);
    for (const auto& entry : table.entries) {
        if (entry.path == path)
            return entry.record;
    }
    return nullptr;
}

const LibraryRecord* findModuleRecord(void* moduleHandle) {
    link_map* map = nullptr;
    if (!moduleHandle || ::dlinfo(moduleHandle, RTLD_DI_LINKMAP, &map) != 0)
        return nullptr;
    return findModuleRecord(pathOfLinkMap(map));
}

}  // namespace platform
