#include "platform/module_loader.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>

#include "fixtures/test_component.h"
#include "platform/module_runtime.h"
#include "platform/registry.h"
#include "platform/resources.h"
#include "support/root_owned_folder.h"
#include "support/temporary_platform_home.h"

namespace platform {
namespace {

using test_component::IID_IProbe;
using test_component::IProbe;
using ::testing::HasSubstr;

// The fixture module is built into the folder of the test programs.
std::filesystem::path componentPath() {
    return std::filesystem::canonical("/proc/self/exe").parent_path() / test_component::kFileName;
}

// Whether the process has the library mapped, whoever loaded it.
bool isMapped(const std::filesystem::path& path) {
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!handle)
        return false;
    ::dlclose(handle);
    return true;
}

std::u16string takeDescription() {
    std::optional<ErrorInfo> info = takeErrorInfo();
    if (!info)
        return u"(no error info)";
    EXPECT_EQ(info->number, errors::kCannotCreateObject);
    return info->description;
}

class ModuleLoaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(std::filesystem::is_regular_file(componentPath()))
            << componentPath() << " is not built";
        // Registered the way a setup tool does it: load, call DllRegisterServer, unload.
        void* handle = ::dlopen(componentPath().c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << ::dlerror();
        auto registerServer =
            reinterpret_cast<DllRegisterServerFn>(::dlsym(handle, "DllRegisterServer"));
        ASSERT_NE(registerServer, nullptr);
        ASSERT_EQ(registerServer(), S_OK);
        ::dlclose(handle);
        ASSERT_FALSE(isMapped(componentPath())) << "the module should unload cleanly";
    }

    void TearDown() override {
        freeUnusedLibraries();
        EXPECT_TRUE(loadedLibraries().empty()) << "a test left an object alive";
    }

    void pointClassAt(const std::filesystem::path& path) {
        Registry().update([&](RegistryContents& c) {
            ClassRegistration entry = *c.findClass(test_component::kClsid);
            entry.libraryPath = path;
            c.putClass(entry);
        });
    }

    testing::TemporaryPlatformHome m_home;
};

TEST_F(ModuleLoaderTest, CreatesByClsidAndByProgIdAndKeepsTheLibraryWhileObjectsLive) {
    ComPtr<IProbe> byClsid;
    ASSERT_EQ(createInstance(test_component::kClsid, IID_IProbe, byClsid.putVoid()), S_OK);
    ASSERT_TRUE(byClsid);
    EXPECT_EQ(byClsid->moduleLockCount(), 1) << "the factory is gone, the object remains";
    EXPECT_TRUE(isMapped(componentPath()));
    EXPECT_EQ(loadedLibraries(), std::vector{componentPath()});

    ComPtr<IProbe> byProgId;
    ASSERT_EQ(createInstanceByProgId("testcomponent.PROBE", IID_IProbe, byProgId.putVoid()), S_OK);
    ComPtr<IProbe> byWideProgId;
    ASSERT_EQ(createInstanceByProgId(u"TestComponent.Probe", IID_IProbe, byWideProgId.putVoid()),
              S_OK);
    EXPECT_NE(byProgId.get(), byClsid.get());
    EXPECT_EQ(byClsid->moduleLockCount(), 3);
    EXPECT_EQ(loadedLibraries().size(), 1u) << "one library however often it serves";

    byClsid.reset();
    byProgId.reset();
    EXPECT_EQ(freeUnusedLibraries(), 0u) << "one object still lives";
    EXPECT_TRUE(isMapped(componentPath()));
    EXPECT_EQ(byWideProgId->moduleLockCount(), 1);

    byWideProgId.reset();
    EXPECT_EQ(freeUnusedLibraries(), 1u);
    EXPECT_FALSE(isMapped(componentPath()));
    EXPECT_TRUE(loadedLibraries().empty());

    // And it loads again on demand.
    ComPtr<IProbe> again = createObject<IProbe>(u"TestComponent.Probe", IID_IProbe);
    EXPECT_EQ(again->moduleLockCount(), 1);
}

TEST_F(ModuleLoaderTest, AServerLockOnTheFactoryKeepsTheLibraryLoaded) {
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(
        getRegisteredClassObject(test_component::kClsid, IID_IClassFactory, factory.putVoid()),
        S_OK);
    ASSERT_EQ(factory->LockServer(true), S_OK);
    factory.reset();
    EXPECT_EQ(freeUnusedLibraries(), 0u);
    EXPECT_TRUE(isMapped(componentPath()));

    ASSERT_EQ(
        getRegisteredClassObject(test_component::kClsid, IID_IClassFactory, factory.putVoid()),
        S_OK);
    ASSERT_EQ(factory->LockServer(false), S_OK);
    factory.reset();
    EXPECT_EQ(freeUnusedLibraries(), 1u);
    EXPECT_FALSE(isMapped(componentPath()));
}

TEST_F(ModuleLoaderTest, ResourcesOfALoadedModuleAreFoundByItsPath) {
    EXPECT_FALSE(findResource(componentPath(), "TEXT", 1)) << "not loaded yet";
    ComPtr<IProbe> probe = createObject<IProbe>(test_component::kClsid, IID_IProbe);
    const auto text = findResource(componentPath(), "text", 1);
    ASSERT_TRUE(text);
    EXPECT_EQ(std::string(text->begin(), text->end()), "probe");
    probe.reset();
    freeUnusedLibraries();
    EXPECT_FALSE(findResource(componentPath(), "TEXT", 1)) << "unloaded with the module";
}

TEST_F(ModuleLoaderTest, UnregisteredClassesAndProgIdsAreRefusedWithTheCause) {
    constexpr Guid kNowhere{0xDEADBEEF, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
    void* object = reinterpret_cast<void*>(1);
    clearErrorInfo();
    EXPECT_EQ(createInstance(kNowhere, IID_IUnknown, &object), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(object, nullptr);
    EXPECT_THAT(toUtf8(takeDescription()), HasSubstr(kNowhere.toString()));

    EXPECT_EQ(createInstanceByProgId("No.Such", IID_IUnknown, &object), REGDB_E_CLASSNOTREG);
    EXPECT_THAT(toUtf8(takeDescription()), HasSubstr("No.Such"));

    try {
        createObject<IUnknown>(u"No.Such", IID_IUnknown);
        ADD_FAILURE() << "created";
    } catch (const Error& error) {
        EXPECT_EQ(error.number(), errors::kCannotCreateObject);
        EXPECT_THAT(error.what(), HasSubstr("コンポーネントはオブジェクトを作成できません。"));
        EXPECT_THAT(error.what(), HasSubstr("No.Such"));
    }
}

TEST_F(ModuleLoaderTest, ALibraryPathThatIsNoLoadableLibraryIsRefused) {
    struct Case {
        const char* what;
        std::filesystem::path path;
        HRESULT expected;
        const char* inDescription;
    };
    const std::filesystem::path text = m_home.root() / "notes.so";
    std::ofstream(text) << "not a library";
    // A real shared library, but no component library.
    const std::filesystem::path plain = modulePathOf(reinterpret_cast<const void*>(&canUnloadNow));
    const Case cases[] = {
        {"missing file", m_home.root() / "gone.so", CO_E_DLLNOTFOUND, "gone.so"},
        {"folder", m_home.root(), CO_E_DLLNOTFOUND, "通常のファイルではありません"},
        {"not a library", text, CO_E_ERRORINDLL, "notes.so"},
        {"no entry points", plain, CO_E_ERRORINDLL, "DllGetClassObject"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        pointClassAt(c.path);
        void* object = reinterpret_cast<void*>(1);
        EXPECT_EQ(createInstance(test_component::kClsid, IID_IUnknown, &object), c.expected);
        EXPECT_EQ(object, nullptr);
        EXPECT_THAT(toUtf8(takeDescription()), HasSubstr(c.inDescription));
        EXPECT_EQ(createInstanceByProgId(test_component::kProgId, IID_IUnknown, &object),
                  c.expected);
        takeErrorInfo();
    }
    EXPECT_TRUE(loadedLibraries().empty()) << "nothing half-loaded stays";
}

TEST_F(ModuleLoaderTest, FailuresOfTheObjectComeBackUnchanged) {
    void* object = nullptr;
    EXPECT_EQ(createInstance(test_component::kClsid, IID_IClassFactory, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(freeUnusedLibraries(), 1u) << "the library is free again at once";
    try {
        createObject<IClassFactory>(test_component::kClsid, IID_IClassFactory);
        ADD_FAILURE() << "created";
    } catch (const Error& error) {
        EXPECT_EQ(error.number(), errors::kNoAutomationSupport);
    }
}

TEST_F(ModuleLoaderTest, ADamagedRegistryIsReportedNotCrashedOn) {
    std::ofstream(m_home.home() / "registry", std::ios::app) << "garbage line\n";
    void* object = nullptr;
    EXPECT_EQ(createInstance(test_component::kClsid, IID_IUnknown, &object), kRegistryCorrupt);
    EXPECT_THAT(toUtf8(takeDescription()), HasSubstr("行目"));
    EXPECT_EQ(object, nullptr);
}

namespace machine_wide {

// Runs `body` in a child process as the unprivileged user 65534 (with a registry of its
// own that does not exist) and returns the text it reported.
std::string asAnotherUser(const std::function<std::string()>& body) {
    int out[2];
    if (::pipe(out) != 0)
        return "pipe failed";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(out[0]);
        std::string text = "could not become uid 65534";
        if (::setresgid(65534, 65534, 65534) == 0 && ::setresuid(65534, 65534, 65534) == 0) {
            ::setenv("CORVANE_PLATFORM_HOME", "/nonexistent/corvane-home", 1);
            text = body();
        }
        (void)!::write(out[1], text.data(), text.size());
        ::_exit(0);
    }
    ::close(out[1]);
    std::string text;
    char buffer[512];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<size_t>(n));
    ::close(out[0]);
    ::waitpid(pid, nullptr, 0);
    return text;
}

}  // namespace machine_wide

TEST_F(ModuleLoaderTest, TheUsersEntryWinsAndTheMachineWideOneServesAUserWithNone) {
    const testing::RootOwnedFolder trusted;
    if (!trusted.available())
        GTEST_SKIP() << "the machine-wide registry must rest on folders only root can change";
    const testing::MachineRegistryStandIn standIn(trusted.path() / "corvane-platform");
    Registry machine(trusted.path() / "corvane-platform", RegistryScope::machine);
    // The machine's entry names a copy of the library, so that the one loaded tells who won.
    const std::filesystem::path copy = trusted.path() / "machine" / test_component::kFileName;
    std::filesystem::create_directories(copy.parent_path());
    std::filesystem::copy_file(componentPath(), copy);
    const RegistryContents users = Registry().read();
    machine.update([&](RegistryContents& c) {
        c = users;
        c.putClass([&] {
            ClassRegistration entry = *users.findClass(test_component::kClsid);
            entry.libraryPath = copy;
            return entry;
        }());
    });
    EXPECT_EQ(Registry::machine().filePath(), machine.filePath()) << "the test stand-in";

    auto servedBy = [] {
        ComPtr<IProbe> probe;
        EXPECT_EQ(createInstanceByProgId(test_component::kProgId, IID_IProbe, probe.putVoid()),
                  S_OK);
        std::vector<std::filesystem::path> loaded = loadedLibraries();
        probe.reset();
        freeUnusedLibraries();
        return loaded;
    };
    EXPECT_EQ(servedBy(), std::vector{componentPath()}) << "the user's own registration wins";
    std::filesystem::remove(Registry().filePath());
    EXPECT_EQ(servedBy(), std::vector{copy}) << "the machine's serves a user with none";

    // A machine-wide registry anybody but root could change is refused, naming it; so is a
    // damaged one, and an entry whose library is gone says where it is and what to do.
    struct Case {
        const char* what;
        std::function<void()> spoil;
        std::filesystem::path named;
        const char* alsoSays;
    };
    const std::filesystem::path file = machine.filePath();
    const std::filesystem::path dir = file.parent_path();
    const Case cases[] = {
        {"group-writable folder", [&] { ::chmod(dir.c_str(), 0775); }, dir, "書き込める"},
        {"folder above it of another user", [&] { ::chown(trusted.path().c_str(), 65534, 65534); },
         trusted.path(), "root 以外"},
        {"world-writable file", [&] { ::chmod(file.c_str(), 0646); }, file, "chmod go-w"},
        {"file of another user", [&] { ::chown(file.c_str(), 4242, 4242); }, file, "root"},
        {"half-written file",
         [&] {
             const std::string text = users.toText();
             std::ofstream(file, std::ios::trunc) << text.substr(0, text.size() - 3);
         },
         file, "登録し直して"},
        {"library gone", [&] { std::filesystem::remove(copy); }, copy, "登録し直して"},
    };
    const std::string intact = machine.read().toText();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.spoil();
        void* object = nullptr;
        EXPECT_TRUE(failed(createInstanceByProgId(test_component::kProgId, IID_IProbe, &object)));
        const std::string description = toUtf8(takeDescription());
        EXPECT_THAT(description, HasSubstr(c.named.string()));
        EXPECT_THAT(description, HasSubstr(c.alsoSays));
        ::chmod(dir.c_str(), 0755);
        ::chown(trusted.path().c_str(), 0, 0);
        ::chown(file.c_str(), 0, 0);
        ::chmod(file.c_str(), 0644);
        std::ofstream(file, std::ios::trunc) << intact;
    }
}

// Whoever can change a library the machine's registry names runs code in every user's
// programs: only one that root alone can change is registered or loaded, and the refusal
// names the file or folder at fault. Registered as root, loaded as another user.
TEST_F(ModuleLoaderTest, TheMachineRegistryTakesOnlyLibrariesRootAloneCanChange) {
    const testing::RootOwnedFolder trusted;
    if (!trusted.available())
        GTEST_SKIP() << "needs root and a folder only root can change";
    const testing::MachineRegistryStandIn standIn(trusted.path() / "corvane-platform");
    const std::filesystem::path& t = trusted.path();
    char elsewherePattern[] = "/tmp/corvane-elsewhere-XXXXXX";  // under a sticky 1777 folder
    ASSERT_NE(::mkdtemp(elsewherePattern), nullptr);
    const std::filesystem::path elsewhere(elsewherePattern);
    ::chmod(elsewhere.c_str(), 0755);
    std::filesystem::copy_file(componentPath(), elsewhere / "lib.so");

    struct Case {
        const char* what;
        std::filesystem::path library;
        std::function<void()> arrange;
        std::string refusal;  // empty: accepted
    };
    auto place = [&](const std::filesystem::path& file, mode_t folderMode, mode_t fileMode) {
        std::filesystem::create_directories(file.parent_path());
        std::filesystem::copy_file(componentPath(), file);
        ::chmod(file.parent_path().c_str(), folderMode);
        ::chmod(file.c_str(), fileMode);
    };
    auto says = [](const std::filesystem::path& path, const char* why) {
        return "\"" + path.string() + "\" は" + why;
    };
    // A copy of the component whose search path (RUNPATH) is `entries`: the libraries it
    // needs would be looked for there, so those folders must be root's alone too.
    auto placeSearching = [&](const std::filesystem::path& file, const std::string& entries) {
        const std::string placeholder =
            "/search-path-placeholder-of-sixty-four-bytes-for-the-tests-xxxxx";
        std::ifstream in(componentPath().parent_path() / "test_component_search_path.so",
                         std::ios::binary);
        std::string bytes(std::istreambuf_iterator<char>(in), {});
        const size_t at = bytes.find(placeholder);
        ASSERT_NE(at, std::string::npos);
        ASSERT_LT(entries.size(), placeholder.size());
        bytes.replace(at, placeholder.size(),
                      entries + std::string(placeholder.size() - entries.size(), '\0'));
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << bytes;
        ::chmod(file.c_str(), 0644);
    };
    auto searchPathEntry = [](const std::string& entry, const char* why) {
        return "検索パス \"" + entry + "\" は" + why;
    };
    const Case cases[] = {
        {"root's folder, not writable by others", t / "ok" / "lib.so",
         [&] { place(t / "ok" / "lib.so", 0755, 0644); }, ""},
        {"file anybody may write", t / "open" / "lib.so",
         [&] { place(t / "open" / "lib.so", 0755, 0666); },
         says(t / "open" / "lib.so", "グループまたは他のユーザーが書き込める")},
        {"sticky folder anybody may write", t / "sticky" / "lib.so",
         [&] { place(t / "sticky" / "lib.so", 01777, 0644); },
         says(t / "sticky", "グループまたは他のユーザーが書き込める")},
        {"folder of another user", t / "theirs" / "lib.so",
         [&] {
             place(t / "theirs" / "lib.so", 0755, 0644);
             ::chown((t / "theirs").c_str(), 65534, 65534);
         },
         says(t / "theirs", " root 以外のユーザーが所有")},
        {"link to a library under /tmp", t / "link" / "lib.so",
         [&] {
             std::filesystem::create_directories(t / "link");
             std::filesystem::create_symlink(elsewhere / "lib.so", t / "link" / "lib.so");
         },
         says("/tmp", "グループまたは他のユーザーが書き込める")},
        {"search path of root's folders only", t / "origin" / "lib.so",
         [&] { placeSearching(t / "origin" / "lib.so", "$ORIGIN:${ORIGIN}/../gone:/usr/lib"); },
         ""},
        {"search path under /tmp", t / "tmp" / "lib.so",
         [&] { placeSearching(t / "tmp" / "lib.so", "/usr/lib:/tmp/corvane-planted"); },
         searchPathEntry("/tmp/corvane-planted", "信頼できません")},
        {"empty search path entry", t / "empty" / "lib.so",
         [&] { placeSearching(t / "empty" / "lib.so", "/usr/lib:"); }, searchPathEntry("", "空")},
        {"relative search path", t / "relative" / "lib.so",
         [&] { placeSearching(t / "relative" / "lib.so", "lib"); },
         searchPathEntry("lib", "相対パス")},
        {"search path with another token", t / "token" / "lib.so",
         [&] { placeSearching(t / "token" / "lib.so", "/usr/$LIB"); },
         searchPathEntry("/usr/$LIB", " $ORIGIN 以外")},
    };
    Registry machine(t / "corvane-platform", RegistryScope::machine);
    const ClassRegistration usersEntry = *Registry().read().findClass(test_component::kClsid);
    std::filesystem::remove(Registry().filePath());  // the machine's entry serves the user
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.arrange();
        // Registered by root through the library's own DllRegisterServer.
        void* handle = ::dlopen(c.library.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << ::dlerror();
        auto registerServer =
            reinterpret_cast<DllRegisterServerFn>(::dlsym(handle, "DllRegisterServer"));
        setRegistrationScope(RegistryScope::machine);
        const HRESULT registered = registerServer();
        setRegistrationScope(RegistryScope::user);
        const std::optional<ErrorInfo> registrationError = takeErrorInfo();
        ::dlclose(handle);
        if (c.refusal.empty()) {
            EXPECT_EQ(registered, S_OK);
        } else {
            EXPECT_EQ(registered, kRegistryWriteFailed);
            EXPECT_THAT(registrationError ? toUtf8(registrationError->description) : "",
                        HasSubstr(c.refusal));
            // Put there anyway (by an older version, say): loading refuses it too.
            machine.update([&](RegistryContents& contents) {
                ClassRegistration entry = usersEntry;
                entry.libraryPath = c.library;
                contents.putClass(entry);
                contents.putProgId({test_component::kProgId, test_component::kClsid});
            });
        }
        const std::string loaded = machine_wide::asAnotherUser([] {
            ComPtr<IProbe> probe;
            if (createInstanceByProgId(test_component::kProgId, IID_IProbe, probe.putVoid()) ==
                S_OK)
                return std::string("loaded");
            const std::optional<ErrorInfo> info = takeErrorInfo();
            return info ? toUtf8(info->description) : std::string("no error info");
        });
        if (c.refusal.empty()) {
            EXPECT_EQ(loaded, "loaded");
        } else {
            EXPECT_THAT(loaded, HasSubstr(c.refusal));
        }
    }
    std::filesystem::remove_all(elsewhere);
}

}  // namespace
}  // namespace platform
