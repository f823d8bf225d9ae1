#include "platform/module_runtime.h"

#include <dlfcn.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <atomic>
#include <fstream>
#include <sstream>

#include "platform/registry.h"
#include "platform/resources.h"
#include "platform/unknown.h"
#include "support/temporary_platform_home.h"

namespace platform {
namespace {

using ::testing::HasSubstr;

constexpr Guid kClsid{0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x01}};
constexpr Guid kThrowingClsid{
    0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x02}};
constexpr Guid kTypeLib{
    0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x03}};
constexpr Guid kIid{0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x04}};
constexpr Guid kSourceIid{
    0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x05}};
constexpr Guid kUnknownClsid{
    0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x06}};

ModuleCounter g_counter;

class TestObject final : public IUnknown {
  public:
    TestObject() { g_counter.lock(); }
    HRESULT QueryInterface(const Guid& iid, void** object) override {
        if (iid != IID_IUnknown && iid != kIid) {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        *object = static_cast<IUnknown*>(this);
        AddRef();
        return S_OK;
    }
    uint32_t AddRef() override { return ++m_references; }
    uint32_t Release() override {
        const uint32_t left = --m_references;
        if (left == 0)
            delete this;
        return left;
    }

  private:
    ~TestObject() { g_counter.unlock(); }
    std::atomic<uint32_t> m_references{1};
};

HRESULT createTestObject(const Guid& iid, void** object) {
    auto* created = new TestObject;
    const HRESULT hr = created->QueryInterface(iid, object);
    created->Release();
    return hr;
}

HRESULT createThrowing(const Guid&, void**) {
    throw Error(errors::kDeviceUnavailable, u"作れません");
}

constexpr uint8_t kBitmap[] = {'B', 'M', 1, 2, 3};
constexpr uint8_t kFace[] = {'G', 'I', 'F', '8', '9', 'a'};

constexpr ClassRecord kClasses[] = {
    {"Widget", kClsid, "Tests.Widget", kIid, kSourceIid, true, 30000, false, 0x20591,
     &createTestObject},
    {"Thrower", kThrowingClsid, "", kIid, GUID_NULL, false, 0, true, 0, &createThrowing},
};

constexpr ResourceRecord kResources[] = {
    {"BITMAP", 30000, kBitmap, sizeof kBitmap},
    {"GIF", "Face", kFace, sizeof kFace},
};

const LibraryRecord kRecord{"Tests", "Test library", "",       kTypeLib,   3,        1,
                            0,       "Apartment",    kClasses, kResources, g_counter};

class ModuleRuntimeTest : public ::testing::Test {
  protected:
    void TearDown() override { EXPECT_EQ(g_counter.count(), 0) << "a test leaked a lock"; }

    std::filesystem::path modulePath() const { return modulePathOf(&kRecord); }

    testing::TemporaryPlatformHome m_home;
};

TEST_F(ModuleRuntimeTest, RegistersEveryAttributeAndUnregistersOnlyItsOwn) {
    Registry registry;
    registry.update([](RegistryContents& c) {
        c.putProgId({"Other.Thing", kUnknownClsid});
        c.putTypeLibrary({kTypeLib, 9, 9, 0, "/other.so", "Other", "", ""});
    });

    ASSERT_EQ(registerServer(kRecord, modulePath()), S_OK);
    const RegistryContents contents = registry.read();
    const ClassRegistration* widget = contents.findClass(kClsid);
    ASSERT_NE(widget, nullptr);
    EXPECT_EQ(widget->libraryPath, std::filesystem::canonical("/proc/self/exe"));
    EXPECT_EQ(widget->threadingModel, "Apartment");
    EXPECT_EQ(widget->className, "Widget");
    EXPECT_EQ(widget->progId, "Tests.Widget");
    EXPECT_EQ(widget->typeLibId, kTypeLib);
    EXPECT_EQ(widget->iidDefault, kIid);
    EXPECT_EQ(widget->iidSource, kSourceIid);
    EXPECT_EQ(widget->miscStatus, 0x20591u);
    EXPECT_EQ(widget->toolboxBitmapId, 30000);
    EXPECT_TRUE(widget->raisesEvents);
    EXPECT_FALSE(widget->isDesigner);
    ASSERT_NE(contents.findClass(kThrowingClsid), nullptr);
    EXPECT_TRUE(contents.findClass(kThrowingClsid)->isDesigner);
    EXPECT_EQ(contents.progIds.size(), 2u) << "no ProgID for a class without one";
    EXPECT_EQ(registry.clsidFromProgId("tests.widget"), kClsid);
    const auto typeLibrary = registry.typeLibrary(kTypeLib, 3, 1);
    ASSERT_TRUE(typeLibrary);
    EXPECT_EQ(typeLibrary->path, widget->libraryPath);
    EXPECT_EQ(typeLibrary->name, "Tests");
    EXPECT_EQ(typeLibrary->description, "Test library");

    ASSERT_EQ(registerServer(kRecord, modulePath()), S_OK) << "registering again";
    EXPECT_EQ(registry.read().classes.size(), 2u);

    // Another copy of the library unregistering leaves this one's entries alone.
    ASSERT_EQ(unregisterServer(kRecord, m_home.root() / "copy" / "tests.so"), S_OK);
    EXPECT_EQ(registry.read(), contents);

    ASSERT_EQ(unregisterServer(kRecord, modulePath()), S_OK);
    const RegistryContents after = registry.read();
    EXPECT_TRUE(after.classes.empty());
    ASSERT_EQ(after.progIds.size(), 1u);
    EXPECT_EQ(after.progIds[0].progId, "Other.Thing");
    ASSERT_EQ(after.typeLibraries.size(), 1u);
    EXPECT_EQ(after.typeLibraries[0].versionMajor, 9);
    EXPECT_EQ(unregisterServer(kRecord, modulePath()), S_OK) << "unregistering twice is no failure";
}

TEST_F(ModuleRuntimeTest, RegistrationFailuresComeBackAsHresultsWithADescription) {
    clearErrorInfo();
    EXPECT_EQ(registerServer(kRecord, m_home.root()), kRegistryWriteFailed) << "a folder";
    std::optional<ErrorInfo> info = takeErrorInfo();
    ASSERT_TRUE(info);
    EXPECT_THAT(toUtf8(info->description), HasSubstr(m_home.root().string()));
    EXPECT_EQ(registerServer(kRecord, {}), kRegistryWriteFailed);

    std::filesystem::create_directories(m_home.home());
    const std::string damaged = "corvane-platform-registry 1\nnonsense\tx\n";
    std::ofstream(m_home.home() / "registry") << damaged;
    EXPECT_EQ(registerServer(kRecord, modulePath()), kRegistryCorrupt);
    info = takeErrorInfo();
    ASSERT_TRUE(info);
    EXPECT_THAT(toUtf8(info->description), HasSubstr("2 行目"));
    EXPECT_EQ(unregisterServer(kRecord, modulePath()), kRegistryCorrupt);
    std::stringstream kept;
    kept << std::ifstream(m_home.home() / "registry").rdbuf();
    EXPECT_EQ(kept.str(), damaged);
}

TEST_F(ModuleRuntimeTest, ClassFactoryCreatesObjectsAndRefusesWhatItCannotServe) {
    void* raw = reinterpret_cast<void*>(1);
    EXPECT_EQ(getClassObject(kRecord, kUnknownClsid, IID_IClassFactory, &raw),
              CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(raw, nullptr);
    EXPECT_EQ(getClassObject(kRecord, kClsid, kIid, &raw), E_NOINTERFACE);
    EXPECT_EQ(raw, nullptr);
    EXPECT_EQ(getClassObject(kRecord, kClsid, IID_IClassFactory, nullptr), E_POINTER);
    EXPECT_EQ(g_counter.count(), 0) << "failed requests leave no factory behind";

    ComPtr<IClassFactory> factory;
    ASSERT_EQ(getClassObject(kRecord, kClsid, IID_IClassFactory, factory.putVoid()), S_OK);
    ComPtr<IUnknown> unknown;
    ASSERT_EQ(factory->QueryInterface(IID_IUnknown, unknown.putVoid()), S_OK);
    EXPECT_EQ(static_cast<void*>(unknown.get()), static_cast<void*>(factory.get()));

    ComPtr<IUnknown> object;
    ASSERT_EQ(factory->CreateInstance(nullptr, kIid, object.putVoid()), S_OK);
    ASSERT_TRUE(object);
    ComPtr<IUnknown> refused;
    EXPECT_EQ(factory->CreateInstance(object.get(), IID_IUnknown, refused.putVoid()),
              CLASS_E_NOAGGREGATION);
    EXPECT_FALSE(refused);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, refused.putVoid()),
              E_NOINTERFACE);
    EXPECT_FALSE(refused);

    ComPtr<IClassFactory> thrower;
    ASSERT_EQ(getClassObject(kRecord, kThrowingClsid, IID_IClassFactory, thrower.putVoid()), S_OK);
    clearErrorInfo();
    const HRESULT hr = thrower->CreateInstance(nullptr, IID_IUnknown, refused.putVoid());
    EXPECT_EQ(numberFromHresult(hr), errors::kDeviceUnavailable) << "an escaping exception";
    const std::optional<ErrorInfo> info = takeErrorInfo();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->description, u"作れません");
}

TEST_F(ModuleRuntimeTest, CanUnloadOnlyWhenNoObjectFactoryOrLockIsLeft) {
    EXPECT_EQ(canUnloadNow(kRecord), S_OK);

    ComPtr<IClassFactory> factory;
    ASSERT_EQ(getClassObject(kRecord, kClsid, IID_IClassFactory, factory.putVoid()), S_OK);
    EXPECT_EQ(canUnloadNow(kRecord), S_FALSE) << "the factory itself";

    ComPtr<IUnknown> first;
    ComPtr<IUnknown> second;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, first.putVoid()), S_OK);
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, second.putVoid()), S_OK);
    ASSERT_EQ(factory->LockServer(true), S_OK);
    factory.reset();
    EXPECT_EQ(canUnloadNow(kRecord), S_FALSE) << "two objects and a lock";

    first.reset();
    EXPECT_EQ(canUnloadNow(kRecord), S_FALSE) << "one object and a lock";
    second.reset();
    EXPECT_EQ(canUnloadNow(kRecord), S_FALSE) << "the server lock";

    ASSERT_EQ(getClassObject(kRecord, kClsid, IID_IClassFactory, factory.putVoid()), S_OK);
    ASSERT_EQ(factory->LockServer(false), S_OK);
    EXPECT_EQ(canUnloadNow(kRecord), S_FALSE) << "the new factory";
    factory.reset();
    EXPECT_EQ(canUnloadNow(kRecord), S_OK);
}

TEST(ModulePath, NamesTheFileThatHoldsAnAddress) {
    EXPECT_EQ(modulePathOf(&kRecord), std::filesystem::canonical("/proc/self/exe"));
    const std::filesystem::path platformLibrary =
        modulePathOf(reinterpret_cast<const void*>(&canUnloadNow));
    // The real file behind the versioned name: libcorvane_platform.so.<version>.
    EXPECT_THAT(platformLibrary.filename().string(),
                ::testing::StartsWith("libcorvane_platform.so"));
    EXPECT_TRUE(platformLibrary.is_absolute());
    EXPECT_EQ(modulePathOf(nullptr), std::filesystem::path());
}

TEST(ModuleResources, FoundByTypeAndIdInTheRecordAndThroughTheLoadedModule) {
    const auto bitmap = findResource(kRecord, "bitmap", 30000);
    ASSERT_TRUE(bitmap);
    EXPECT_EQ(bitmap->data(), kBitmap);
    EXPECT_EQ(bitmap->size(), sizeof kBitmap);
    const auto face = findResource(kRecord, "GIF", "FACE");
    ASSERT_TRUE(face);
    EXPECT_EQ(face->size(), sizeof kFace);
    EXPECT_FALSE(findResource(kRecord, "BITMAP", 1));
    EXPECT_FALSE(findResource(kRecord, "GIF", 30000)) << "a number is no name";
    EXPECT_FALSE(findResource(kRecord, "TYPELIB", 1));

    const std::filesystem::path self = modulePathOf(&kRecord);
    EXPECT_FALSE(findResource(self, "BITMAP", 30000)) << "not known before it registers";
    {
        const ModuleRecordRegistrar registrar(kRecord, &kRecord);
        EXPECT_EQ(findModuleRecord(self), &kRecord);
        EXPECT_EQ(findModuleRecord(self.parent_path() / "." / self.filename()), &kRecord);
        const auto viaPath = findResource(self, "BITMAP", 30000);
        ASSERT_TRUE(viaPath);
        EXPECT_EQ(viaPath->data(), kBitmap);

        void* handle = ::dlopen(nullptr, RTLD_NOW);
        ASSERT_NE(handle, nullptr);
        const auto viaHandle = findResource(handle, "gif", "face");
        ::dlclose(handle);
        ASSERT_TRUE(viaHandle);
        EXPECT_EQ(viaHandle->data(), kFace);
        EXPECT_FALSE(findResource(static_cast<void*>(nullptr), "GIF", "FACE"));
    }
    EXPECT_EQ(findModuleRecord(self), nullptr) << "gone with its registrar";
    EXPECT_FALSE(findResource(self, "BITMAP", 30000));
}

}  // namespace
}  // namespace platform
