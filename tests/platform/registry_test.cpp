#include "platform/registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <fstream>
#include <functional>

#include "platform/support/file_contents.h"
#include "support/root_owned_folder.h"
#include "support/temporary_platform_home.h"

using platform::testing::fileContents;

namespace platform {
namespace {

using ::testing::HasSubstr;

constexpr Guid kClsid{0x4ACD93B7, 0x4A1E, 0x48E6, {0xB6, 0xCE, 0xBE, 0x0B, 0xA1, 0x78, 0x5C, 0x43}};
constexpr Guid kTypeLib{
    0x70EA1CB1, 0x0F47, 0x4800, {0x95, 0xEA, 0x58, 0xFD, 0x1B, 0x89, 0xC6, 0x4B}};
constexpr Guid kIid{0xAE41BAE6, 0x2B97, 0x41DA, {0x83, 0x74, 0x6B, 0xBB, 0x84, 0xB8, 0xA9, 0x01}};
constexpr Guid kSourceIid{
    0xABFBDDDB, 0x8142, 0x4D1F, {0x93, 0x22, 0x3E, 0x0D, 0xE1, 0x1D, 0x29, 0x83}};

Guid numberedGuid(uint32_t n) {
    return Guid{n, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
}

ClassRegistration sampleClass() {
    ClassRegistration entry;
    entry.clsid = kClsid;
    entry.libraryPath = "/opt/corvane/lib/Corvane.so";
    entry.threadingModel = "Apartment";
    entry.className = "Portula";
    entry.progId = "Corvane.Portula";
    entry.typeLibId = kTypeLib;
    entry.iidDefault = kIid;
    entry.iidSource = kSourceIid;
    entry.miscStatus = 0x20591;
    entry.toolboxBitmapId = 30000;
    entry.raisesEvents = true;
    return entry;
}

TypeLibraryRegistration sampleTypeLibrary() {
    return {kTypeLib, 67, 0, 0, "/opt/corvane/lib/Corvane.so", "Corvane", "Corvane", ""};
}

void writeAll(const std::filesystem::path& path, std::string_view text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

mode_t permissionBits(const std::filesystem::path& path) {
    struct stat info = {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 0777;
}

class RegistryTest : public ::testing::Test {
  protected:
    testing::TemporaryPlatformHome m_home;
    Registry m_registry;  // constructed after the home is set: the default folder
};

TEST(RegistryText, RoundTripsEveryRecordIncludingAwkwardText) {
    RegistryContents contents;
    contents.putTypeLibrary(sampleTypeLibrary());
    TypeLibraryRegistration awkward{
        numberedGuid(1),      2,          5, 0x411, "/tmp/a b\\c\td\ne\rf.so", "名前",
        "説明\twith\ttabs\\", "/help dir"};
    contents.putTypeLibrary(awkward);
    contents.putClass(sampleClass());
    ClassRegistration second = sampleClass();
    second.clsid = numberedGuid(2);
    second.progId = "";
    second.className = "x=y\\z";
    second.raisesEvents = false;
    second.isDesigner = true;
    second.miscStatus = 0xFFFFFFFF;
    second.toolboxBitmapId = 65535;
    second.iidSource = GUID_NULL;
    contents.putClass(second);
    contents.putProgId({"Corvane.Portula", kClsid});

    const std::string text = contents.toText();
    EXPECT_TRUE(text.starts_with("corvane-platform-registry 1\n"));
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 6) << "one line per record";
    EXPECT_EQ(RegistryContents::parse(text, "registry"), contents);
}

TEST(RegistryText, PutReplacesByKeyAndFindsProgIdsWithoutRegardToCase) {
    RegistryContents contents;
    contents.putClass(sampleClass());
    ClassRegistration moved = sampleClass();
    moved.libraryPath = "/elsewhere/Corvane.so";
    contents.putClass(moved);
    ASSERT_EQ(contents.classes.size(), 1u);
    EXPECT_EQ(contents.findClass(kClsid)->libraryPath, "/elsewhere/Corvane.so");

    contents.putProgId({"Corvane.Portula", kClsid});
    contents.putProgId({"CORVANE.PORTULA", numberedGuid(9)});
    ASSERT_EQ(contents.progIds.size(), 1u);
    EXPECT_EQ(contents.findProgId("corvane.portula")->clsid, numberedGuid(9));
    EXPECT_TRUE(contents.removeProgId("Corvane.PORTULA"));
    EXPECT_FALSE(contents.removeProgId("Corvane.Portula"));

    TypeLibraryRegistration v1 = sampleTypeLibrary();
    TypeLibraryRegistration v2 = sampleTypeLibrary();
    v2.versionMajor = 68;
    v2.path = "/v68.so";
    contents.putTypeLibrary(v2);
    contents.putTypeLibrary(v1);
    EXPECT_EQ(contents.findTypeLibrary(kTypeLib)->path, "/v68.so") << "highest version wins";
    EXPECT_EQ(contents.findTypeLibrary(kTypeLib, 67, 0)->path, "/opt/corvane/lib/Corvane.so");
    EXPECT_EQ(contents.findTypeLibrary(kTypeLib, 67, 1), nullptr);
    EXPECT_TRUE(contents.removeTypeLibrary(kTypeLib, 68, 0));
    EXPECT_EQ(contents.findTypeLibrary(kTypeLib)->versionMajor, 67);
}

struct CorruptCase {
    const char* what;
    std::string text;
    int line;
};

TEST(RegistryText, DamagedTextNamesTheLineAndNeverHalfLoads) {
    const std::string header = "corvane-platform-registry 1\n";
    const std::string goodClass =
        RegistryContents{{sampleClass()}, {}, {}}.toText().substr(header.size());
    const std::string clsid = kClsid.toString();
    const std::string typelib =
        "typelib\t" + kTypeLib.toString() +
        "\tversion=67.0\tlcid=0\tpath=/a.so\tname=n\tdescription=d\thelpdir=\n";
    auto replaced = [&](std::string from, std::string to) {
        std::string line = goodClass;
        line.replace(line.find(from), from.size(), to);
        return line;
    };
    const CorruptCase cases[] = {
        {"empty file", "", 1},
        {"no header", goodClass, 1},
        {"newer format", "corvane-platform-registry 2\n", 1},
        {"garbage", header + "\n" + "hello world\n", 3},
        {"unknown record kind", header + "klass\t" + clsid + "\n", 2},
        {"bad GUID", header + replaced(clsid, "{not-a-guid}"), 2},
        {"missing field", header + replaced("\tdesigner=0", ""), 2},
        {"duplicate field", header + replaced("\tdesigner=0", "\tdesigner=0\tdesigner=1"), 2},
        {"unknown field", header + replaced("\tdesigner=0", "\tdesigner=0\tcolour=red"), 2},
        {"field without =", header + replaced("\tdesigner=0", "\tdesigner"), 2},
        {"bad number", header + replaced("misc=132497", "misc=12x"), 2},
        {"number out of range", header + replaced("toolbox=30000", "toolbox=70000"), 2},
        {"bad flag", header + replaced("events=1", "events=yes"), 2},
        {"bad escape", header + replaced("name=Portula", "name=Port\\qula"), 2},
        {"relative path", header + replaced("path=/opt/corvane/lib/Corvane.so", "path=lib/C.so"),
         2},
        {"duplicate CLSID", header + goodClass + goodClass, 3},
        {"truncated last line", header + goodClass.substr(0, goodClass.size() - 10), 2},
        {"invalid UTF-8", header + typelib + "progid\tA\xff\xfe\t" + clsid + "\n", 3},
        {"progid without CLSID", header + typelib + "progid\tCorvane.Portula\n", 3},
        {"bad version",
         header + "typelib\t" + kTypeLib.toString() +
             "\tversion=67\tlcid=0\tpath=/a.so\tname=n\tdescription=d\thelpdir=\n",
         2},
        {"duplicate type library", header + typelib + typelib, 3},
    };
    for (const CorruptCase& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            RegistryContents::parse(c.text, "/home/u/registry");
            ADD_FAILURE() << "accepted";
        } catch (const Error& error) {
            EXPECT_EQ(error.number(), kRegistryCorrupt);
            EXPECT_THAT(error.what(), HasSubstr("/home/u/registry"));
            EXPECT_THAT(error.what(), HasSubstr(" " + std::to_string(c.line) + " 行目"));
        }
    }
}

TEST_F(RegistryTest, LookupsSeeWhatUpdatesWroteAndNothingWithoutAFile) {
    EXPECT_EQ(m_registry.classById(kClsid), std::nullopt);
    EXPECT_EQ(m_registry.clsidFromProgId("Corvane.Portula"), std::nullopt);
    EXPECT_EQ(m_registry.typeLibraryPath(kTypeLib), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(m_home.home())) << "reading creates nothing";

    m_registry.update([](RegistryContents& c) {
        c.putTypeLibrary(sampleTypeLibrary());
        c.putClass(sampleClass());
        c.putProgId({"Corvane.Portula", kClsid});
    });
    EXPECT_EQ(m_registry.filePath(), m_home.home() / "registry");
    EXPECT_EQ(m_registry.classById(kClsid), sampleClass());
    EXPECT_EQ(m_registry.clsidFromProgId("corvane.PORTULA"), kClsid);
    EXPECT_EQ(m_registry.typeLibraryPath(kTypeLib, 67, 0), "/opt/corvane/lib/Corvane.so");
    EXPECT_EQ(m_registry.typeLibrary(kTypeLib)->name, "Corvane");
    EXPECT_EQ(m_registry.typeLibraryPath(kTypeLib, 1, 0), std::nullopt);
    EXPECT_EQ(m_registry.classById(numberedGuid(1)), std::nullopt);

    // A second Registry object (another process, in effect) sees the same.
    EXPECT_EQ(Registry(m_home.home()).classById(kClsid), sampleClass());
}

TEST_F(RegistryTest, CreatesAPrivateFolderAndFile) {
    m_registry.update([](RegistryContents& c) { c.putClass(sampleClass()); });
    EXPECT_EQ(permissionBits(m_home.home()), 0700u);
    EXPECT_EQ(permissionBits(m_registry.filePath()), 0600u);
    EXPECT_EQ(permissionBits(m_home.home() / "registry.lock"), 0600u);
    // Only the registry and its lock are left behind: no temporary files.
    size_t files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(m_home.home()))
        ++files;
    EXPECT_EQ(files, 2u);
}

TEST_F(RegistryTest, AFailedOrEmptyChangeLeavesTheFileAsItWas) {
    m_registry.update([](RegistryContents& c) { c.putClass(sampleClass()); });
    const std::string before = fileContents(m_registry.filePath());
    struct stat first = {};
    ASSERT_EQ(::stat(m_registry.filePath().c_str(), &first), 0);

    EXPECT_THROW(m_registry.update([](RegistryContents& c) {
        c.removeClass(kClsid);
        throw Error(errors::kInvalidProcedureCall);
    }),
                 Error);
    EXPECT_EQ(fileContents(m_registry.filePath()), before);

    m_registry.update([](RegistryContents& c) { c.removeClass(numberedGuid(5)); });
    struct stat second = {};
    ASSERT_EQ(::stat(m_registry.filePath().c_str(), &second), 0);
    EXPECT_EQ(first.st_ino, second.st_ino) << "an update that changes nothing does not rewrite";
}

TEST_F(RegistryTest, EntriesThatCouldNotBeReadBackAreNeverWritten) {
    m_registry.update([](RegistryContents& c) { c.putClass(sampleClass()); });
    const std::string before = fileContents(m_registry.filePath());
    const std::function<void(RegistryContents&)> unreadable[] = {
        [](RegistryContents& c) {
            ClassRegistration entry = sampleClass();
            entry.libraryPath = "/opt/\xff\xfe.so";  // a file name that is no UTF-8
            c.putClass(entry);
        },
        [](RegistryContents& c) {
            ClassRegistration entry = sampleClass();
            entry.libraryPath = "relative/Corvane.so";
            c.putClass(entry);
        },
        [](RegistryContents& c) {
            const ProgIdRegistration unnamed{"", kClsid};
            c.putProgId(unnamed);
        },
    };
    for (const auto& change : unreadable) {
        try {
            m_registry.update(change);
            ADD_FAILURE() << "written";
        } catch (const Error& error) {
            EXPECT_EQ(error.number(), kRegistryWriteFailed);
        }
    }
    EXPECT_EQ(fileContents(m_registry.filePath()), before);
}

TEST_F(RegistryTest, ADamagedFileIsReportedAndNeverOverwritten) {
    m_registry.update([](RegistryContents& c) { c.putClass(sampleClass()); });
    const std::string damaged =
        fileContents(m_registry.filePath()) + "progid\tbroken\n" + "class\t{";
    writeAll(m_registry.filePath(), damaged);

    for (auto lookup :
         {+[](Registry& r) { r.classById(kClsid); }, +[](Registry& r) { r.clsidFromProgId("x"); },
          +[](Registry& r) { r.typeLibraryPath(kTypeLib); }}) {
        try {
            lookup(m_registry);
            ADD_FAILURE() << "a damaged file was read";
        } catch (const Error& error) {
            EXPECT_EQ(error.number(), kRegistryCorrupt);
            EXPECT_EQ(hresultFromNumber(error.number()), kRegistryCorrupt);
            EXPECT_THAT(error.what(), HasSubstr("3 行目"));
        }
    }
    EXPECT_THROW(m_registry.update([](RegistryContents& c) { c.putClass(sampleClass()); }), Error);
    EXPECT_EQ(fileContents(m_registry.filePath()), damaged);
}

TEST_F(RegistryTest, RefusesFilesAndFoldersOthersCouldChange) {
    m_registry.update([](RegistryContents& c) { c.putClass(sampleClass()); });
    auto expectRefused = [&](const char* what) {
        SCOPED_TRACE(what);
        try {
            m_registry.classById(kClsid);
            ADD_FAILURE() << "read";
        } catch (const Error& error) {
            EXPECT_EQ(error.number(), kRegistryReadFailed);
        }
        try {
            m_registry.update([](RegistryContents& c) { c.removeClass(kClsid); });
            ADD_FAILURE() << "written";
        } catch (const Error& error) {
            EXPECT_EQ(error.number(), kRegistryWriteFailed);
        }
    };

    ASSERT_EQ(::chmod(m_registry.filePath().c_str(), 0620), 0);
    expectRefused("group-writable file");
    ASSERT_EQ(::chmod(m_registry.filePath().c_str(), 0602), 0);
    expectRefused("world-writable file");
    ASSERT_EQ(::chmod(m_registry.filePath().c_str(), 0600), 0);
    ASSERT_EQ(::chmod(m_home.home().c_str(), 0770), 0);
    expectRefused("group-writable folder");
    ASSERT_EQ(::chmod(m_home.home().c_str(), 0700), 0);
    EXPECT_EQ(m_registry.classById(kClsid), sampleClass()) << "private again: accepted";

    // A symbolic link in place of the file could point anywhere.
    const std::filesystem::path real = m_home.root() / "elsewhere";
    std::filesystem::rename(m_registry.filePath(), real);
    std::filesystem::create_symlink(real, m_registry.filePath());
    expectRefused("symbolic link");
    std::filesystem::remove(m_registry.filePath());
    std::filesystem::rename(real, m_registry.filePath());

    if (geteuid() == 0) {  // only root can give the file away
        ASSERT_EQ(::chown(m_registry.filePath().c_str(), 4242, static_cast<gid_t>(-1)), 0);
        expectRefused("file of another user");
    }
}

// Root may run with a user's environment (sudo -E): its per-user folder then lies in that
// user's home, where a link or a folder of theirs would have root write the registry
// wherever they point, the machine's included. Root's own links are followed.
TEST_F(RegistryTest, RootNeverWritesWhereAnotherUsersLinkOrFolderLeads) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to give links and folders away";
    namespace fs = std::filesystem;
    const fs::path root = m_home.root();
    const fs::path target = root / "target";  // root's: where a link would lead root
    auto link = [](const fs::path& to, const fs::path& at, uid_t owner) {
        fs::create_symlink(to, at);
        ASSERT_EQ(::lchown(at.c_str(), owner, owner), 0);
    };
    const struct {
        const char* what;
        fs::path folder;
        std::function<void()> make;
        bool used;
    } cases[] = {
        {"the folder is another user's link", root / "a", [&] { link(target, root / "a", 65534); },
         false},
        {"another user's link on the way", root / "b" / "corvane",
         [&] { link(target, root / "b", 65534); }, false},
        {"another user's link inside root's", root / "c" / "corvane",
         [&] {
             link(root / "c2", root / "c", 0);
             link(target, root / "c2", 65534);
         },
         false},
        {"another user's folder", root / "d",
         [&] {
             fs::create_directory(root / "d");
             ASSERT_EQ(::chown((root / "d").c_str(), 65534, 65534), 0);
         },
         false},
        {"root's own link", root / "e", [&] { link(target, root / "e", 0); }, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(target);
        fs::create_directories(target / "corvane");
        c.make();
        try {
            Registry(c.folder).update([](RegistryContents& r) { r.putClass(sampleClass()); });
            EXPECT_TRUE(c.used) << "written";
        } catch (const Error& error) {
            EXPECT_FALSE(c.used) << error.what();
            EXPECT_EQ(error.number(), kRegistryWriteFailed);
        }
        EXPECT_EQ(fs::exists(target / "registry") || fs::exists(target / "corvane" / "registry"),
                  c.used);
    }
}

TEST_F(RegistryTest, ParallelRegistrationsFromSeveralProcessesAllLand) {
    constexpr int kProcesses = 6;
    constexpr int kEntriesEach = 15;
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(go[1]);
            char byte;
            (void)!::read(go[0], &byte, 1);  // all start together once the pipe closes
            int status = 0;
            try {
                Registry registry;
                for (int i = 0; i < kEntriesEach; ++i) {
                    registry.update([&](RegistryContents& c) {
                        ClassRegistration entry = sampleClass();
                        entry.clsid = numberedGuid(static_cast<uint32_t>(p * 1000 + i));
                        entry.progId = "Test.P" + std::to_string(p) + "I" + std::to_string(i);
                        c.putClass(entry);
                        c.putProgId({entry.progId, entry.clsid});
                    });
                }
            } catch (...) {
                status = 1;
            }
            ::_exit(status);
        }
        children.push_back(pid);
    }
    ::close(go[0]);
    ::close(go[1]);
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    const RegistryContents contents = m_registry.read();
    EXPECT_EQ(contents.classes.size(), size_t{kProcesses * kEntriesEach});
    EXPECT_EQ(contents.progIds.size(), size_t{kProcesses * kEntriesEach});
    for (int p = 0; p < kProcesses; ++p) {
        for (int i = 0; i < kEntriesEach; ++i) {
            const Guid clsid = numberedGuid(static_cast<uint32_t>(p * 1000 + i));
            EXPECT_NE(contents.findClass(clsid), nullptr) << p << "/" << i;
        }
    }
}

TEST(RegistryPaths, LibraryPathsAreStoredAbsoluteAndNormalised) {
    testing::TemporaryPlatformHome home;
    const std::filesystem::path folder = home.root() / "lib";
    std::filesystem::create_directories(folder);
    writeAll(folder / "real.so", "x");
    std::filesystem::create_symlink(folder / "real.so", folder / "link.so");

    EXPECT_EQ(normalisedLibraryPath(folder / "." / ".." / "lib" / "link.so"),
              std::filesystem::canonical(folder / "real.so"));
    EXPECT_EQ(normalisedLibraryPath(folder / "missing" / ".." / "gone.so"),
              std::filesystem::canonical(folder) / "gone.so");
    EXPECT_TRUE(normalisedLibraryPath("relative.so").is_absolute());
}

// Root's environment must not choose where root writes the machine's registry (the
// maintainer scripts run in whatever environment dpkg was given): XDG_DATA_DIRS is never
// consulted, the test stand-in is ignored by a program running with more rights than its
// user, and is refused unless root alone can change the folder it names.
TEST(MachineRegistryFolder, ComesFromTheBuildAndNeverFromAnEnvironmentOthersControl) {
    const testing::RootOwnedFolder trusted;
    if (!trusted.available())
        GTEST_SKIP() << "needs root and a folder only root can change";
    testing::TemporaryPlatformHome scratch;  // under /tmp: anybody may add to /tmp
    const std::filesystem::path planted = scratch.root() / "share" / "corvane-platform";
    std::filesystem::create_directories(planted);
    writeAll(planted / "registry", "corvane-platform-registry 1\n");
    ::setenv("XDG_DATA_DIRS", (scratch.root() / "share").c_str(), 1);
    ::unsetenv("CORVANE_PLATFORM_MACHINE_HOME");
    const std::filesystem::path builtIn = Registry::machine().filePath();
    EXPECT_FALSE(builtIn.string().starts_with(scratch.root().string())) << builtIn;

    // In a child whose real user is not root but whose effective one is (set-user-ID).
    auto inSetUidChild = [](const std::function<bool()>& check) {
        const pid_t pid = ::fork();
        if (pid == 0)
            ::_exit(::setresuid(65534, 0, 0) == 0 && check() ? 0 : 1);
        int status = -1;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    };
    {
        const testing::MachineRegistryStandIn standIn(trusted.path() / "corvane-platform");
        EXPECT_EQ(Registry::machine().filePath(), trusted.path() / "corvane-platform" / "registry");
        EXPECT_TRUE(inSetUidChild([&] { return Registry::machine().filePath() == builtIn; }))
            << "a set-user-ID program ignores the stand-in";
        Registry::machine().update([](RegistryContents& c) { c.putClass(sampleClass()); });
        EXPECT_EQ(Registry::machine().classById(kClsid), sampleClass());
        EXPECT_EQ(fileContents(planted / "registry"), "corvane-platform-registry 1\n");
    }
    {
        const testing::MachineRegistryStandIn standIn(planted);
        try {
            Registry::machine().update([](RegistryContents& c) { c.putClass(sampleClass()); });
            ADD_FAILURE() << "wrote under /tmp";
        } catch (const Error& error) {
            EXPECT_EQ(error.number(), kRegistryWriteFailed);
            EXPECT_THAT(toUtf8(error.description()),
                        HasSubstr("\"/tmp\" はグループまたは他のユーザーが書き込める"));
        }
        EXPECT_EQ(fileContents(planted / "registry"), "corvane-platform-registry 1\n");
    }
    ::unsetenv("XDG_DATA_DIRS");
}

}  // namespace
}  // namespace platform
