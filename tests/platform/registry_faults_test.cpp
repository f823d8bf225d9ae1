// The registry when its file or folder cannot be used: the file replaced by a folder, the
// folder replaced by a file, either one read-only. Registration fails with the registry's
// HRESULT and a description naming the path, creating an object fails the same way through
// the loader (error 429 naming the cause), nothing is changed or left behind, and once the
// fault is gone registration and lookups work again. Damaged contents and files others
// could change are covered beside the registry's other tests.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>

#include "platform/module_loader.h"
#include "platform/module_runtime.h"
#include "platform/registry.h"
#include "platform/support/file_contents.h"
#include "support/temporary_platform_home.h"

using platform::testing::fileContents;
using platform::testing::namesIn;

namespace platform {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

constexpr Guid kClsid{0x5EC0FA17, 0x0001, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x01}};
constexpr Guid kTypeLib{0x5EC0FA17, 0x0001, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x02}};
constexpr Guid kIid{0x5EC0FA17, 0x0001, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x03}};

ModuleCounter g_counter;

// Never reached: every test fails before an object could be made, or stops at the lookup.
HRESULT createNothing(const Guid&, void** object) {
    *object = nullptr;
    return E_NOTIMPL;
}

constexpr ClassRecord kClasses[] = {
    {"Faulty", kClsid, "Tests.Faulty", kIid, GUID_NULL, false, 0, false, 0, &createNothing},
};

const LibraryRecord kRecord{
    "FaultTests", "Registry fault tests", "", kTypeLib, 1, 0, 0, "Apartment", kClasses, {},
    g_counter};

class RegistryFaults : public ::testing::Test {
  protected:
    fs::path registryFile() const { return m_home.home() / "registry"; }
    fs::path modulePath() const { return modulePathOf(&kRecord); }

    // Changes fail with `code`, leaving error info whose description names `path` and
    // `cause`: registering (the library moved, so that the record would change) and
    // unregistering.
    void expectChangesFail(HRESULT code, const fs::path& path, const char* cause) {
        const fs::path movedLibrary = m_home.root() / "moved.so";
        std::ofstream(movedLibrary) << "a library file";
        for (bool registering : {true, false}) {
            SCOPED_TRACE(registering ? "registering" : "unregistering");
            clearErrorInfo();
            EXPECT_EQ(registering ? registerServer(kRecord, movedLibrary)
                                  : unregisterServer(kRecord, modulePath()),
                      code);
            const std::optional<ErrorInfo> info = takeErrorInfo();
            ASSERT_TRUE(info);
            EXPECT_THAT(toUtf8(info->description), HasSubstr(path.string()));
            EXPECT_THAT(toUtf8(info->description), HasSubstr(cause));
        }
    }
    // Lookups and creation fail with `code` and a description naming `path`.
    void expectLookupsFail(HRESULT code, const fs::path& path, const char* cause) {
        try {
            Registry().classById(kClsid);
            ADD_FAILURE() << "looked up";
        } catch (const Error& error) {
            EXPECT_EQ(error.number(), code);
            EXPECT_THAT(error.what(), HasSubstr(path.string()));
            EXPECT_THAT(error.what(), HasSubstr(cause));
        }
        for (bool byProgId : {false, true}) {
            SCOPED_TRACE(byProgId ? "by ProgID" : "by CLSID");
            void* object = reinterpret_cast<void*>(1);
            clearErrorInfo();
            const HRESULT hr = byProgId
                                   ? createInstanceByProgId("Tests.Faulty", IID_IUnknown, &object)
                                   : createInstance(kClsid, IID_IUnknown, &object);
            EXPECT_EQ(hr, code);
            EXPECT_EQ(object, nullptr);
            const std::optional<ErrorInfo> info = takeErrorInfo();
            ASSERT_TRUE(info);
            EXPECT_EQ(info->number, errors::kCannotCreateObject);
            EXPECT_THAT(toUtf8(info->description), HasSubstr(path.string()));
        }
    }
    // With the fault gone, registration lands and the class is found again.
    void expectWorkingAgain() {
        EXPECT_EQ(registerServer(kRecord, modulePath()), S_OK);
        const std::optional<ClassRegistration> entry = Registry().classById(kClsid);
        ASSERT_TRUE(entry);
        EXPECT_EQ(entry->progId, "Tests.Faulty");
        EXPECT_EQ(Registry().clsidFromProgId("tests.faulty"), kClsid);
    }

    testing::TemporaryPlatformHome m_home;
};

TEST_F(RegistryFaults, AFolderInPlaceOfTheFileFailsEveryUseAndIsNeverTouched) {
    ASSERT_EQ(registerServer(kRecord, modulePath()), S_OK);
    fs::remove(registryFile());
    fs::create_directory(registryFile());
    std::ofstream(registryFile() / "inside") << "kept";
    const auto namesBefore = namesIn(m_home.home());

    expectChangesFail(kRegistryWriteFailed, registryFile(), "通常のファイルではありません");
    expectLookupsFail(kRegistryReadFailed, registryFile(), "通常のファイルではありません");
    EXPECT_EQ(fileContents(registryFile() / "inside"), "kept");
    EXPECT_EQ(namesIn(m_home.home()), namesBefore) << "a temporary file was left behind";

    fs::remove_all(registryFile());
    expectWorkingAgain();
}

TEST_F(RegistryFaults, AFileInPlaceOfTheFolderFailsEveryUseAndIsNeverTouched) {
    fs::create_directories(m_home.home().parent_path());
    std::ofstream(m_home.home()) << "not a folder";

    expectChangesFail(kRegistryWriteFailed, m_home.home(), "フォルダーではありません");
    expectLookupsFail(kRegistryReadFailed, m_home.home(), "フォルダーではありません");
    EXPECT_EQ(fileContents(m_home.home()), "not a folder");

    fs::remove(m_home.home());
    expectWorkingAgain();
}

// A registry without write permission, as a user makes it to keep it as it is: it still
// answers lookups, and registration is refused, root included, as the platform's INI files
// do.
TEST_F(RegistryFaults, AReadOnlyRegistryAnswersLookupsAndRefusesChanges) {
    ASSERT_EQ(registerServer(kRecord, modulePath()), S_OK);
    const std::string registered = fileContents(registryFile());
    const auto namesBefore = namesIn(m_home.home());
    const struct {
        const char* what;
        fs::path path;
        fs::perms permissions;
    } readOnly[] = {
        {"folder", m_home.home(), fs::perms::owner_read | fs::perms::owner_exec},
        {"file", registryFile(), fs::perms::owner_read},
    };
    for (const auto& target : readOnly) {
        SCOPED_TRACE(target.what);
        const fs::perms before = fs::status(target.path).permissions();
        fs::permissions(target.path, target.permissions);
        EXPECT_EQ(Registry().clsidFromProgId("Tests.Faulty"), kClsid);
        expectChangesFail(kRegistryWriteFailed, target.path, "");
        EXPECT_EQ(Registry().classById(kClsid)->libraryPath, modulePath());
        EXPECT_EQ(fileContents(registryFile()), registered);
        EXPECT_EQ(namesIn(m_home.home()), namesBefore);
        fs::permissions(target.path, before);
    }
    expectWorkingAgain();
}

}  // namespace
}  // namespace platform
