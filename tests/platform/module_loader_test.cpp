#include "platform/module_loader.h"

#include <dlfcn.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <fstream>

#include "fixtures/test_component.h"
#include "platform/module_runtime.h"
#include "platform/registry.h"
#include "platform/resources.h"
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

}  // namespace
}  // namespace platform
