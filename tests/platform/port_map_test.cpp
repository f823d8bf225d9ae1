#include "platform/port_map.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>

#include "platform/error.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

class PortMapTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/port_map_test.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_root = pattern;
        // The map lives in a folder that does not exist yet: writing must create it.
        ::setenv("CORVANE_PLATFORM_HOME", (m_root / "home").c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("CORVANE_PLATFORM_HOME");
        ::unsetenv("CORVANE_PLATFORM_PORT_MAP");
        fs::remove_all(m_root);
    }
    void writeMap(const std::string& content) {
        fs::create_directories(m_root / "home");
        std::ofstream(portMapFile(), std::ios::binary) << content;
    }
    std::string readMap() {
        std::ifstream in(portMapFile(), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    fs::path m_root;
};

TEST_F(PortMapTest, UnmappedPortsFallBackToTheSerialDevices) {
    EXPECT_EQ(portMapFile(), m_root / "home" / "ports");
    EXPECT_EQ(devicePathForPort(1), "/dev/ttyS0");
    EXPECT_EQ(devicePathForPort(255), "/dev/ttyS254");
    writeMap("# nothing for port 2\n1=/dev/ttyUSB0\n");
    EXPECT_EQ(devicePathForPort(2), "/dev/ttyS1");
}

TEST_F(PortMapTest, ReadsEntriesLeniently) {
    writeMap(
        "# serial adapters\r\n"
        "  3 = /dev/ttyUSB0  \r\n"
        "4=ttyACM1\n"
        "junk without equals\n"
        "x=/dev/nothing\n"
        "5=\n"
        "3=/dev/second-entry-ignored\n"
        "#6=/dev/commented\n"
        "7=/dev/serial/by-id/usb-Some Adapter-if00");
    EXPECT_EQ(devicePathForPort(3), "/dev/ttyUSB0");
    EXPECT_EQ(devicePathForPort(4), "/dev/ttyACM1");
    EXPECT_EQ(devicePathForPort(5), "/dev/ttyS4");
    EXPECT_EQ(devicePathForPort(6), "/dev/ttyS5");
    EXPECT_EQ(devicePathForPort(7), "/dev/serial/by-id/usb-Some Adapter-if00");
}

TEST_F(PortMapTest, SettingAndRemovingKeepsCommentsAndOtherEntries) {
    setPortDevice(3, "/dev/pts/7");  // creates the folder and the file
    EXPECT_EQ(devicePathForPort(3), "/dev/pts/7");
    writeMap("# mine\n2=/dev/ttyUSB1\n3=/dev/old\n3=/dev/older\n9=/dev/ttyUSB9\n");

    setPortDevice(3, "/dev/pts/8");
    EXPECT_EQ(readMap(), "# mine\n2=/dev/ttyUSB1\n3=/dev/pts/8\n9=/dev/ttyUSB9\n");
    setPortDevice(12, "/dev/ttyACM0");
    EXPECT_EQ(devicePathForPort(12), "/dev/ttyACM0");

    removePortDevice(3);
    EXPECT_EQ(readMap(), "# mine\n2=/dev/ttyUSB1\n9=/dev/ttyUSB9\n12=/dev/ttyACM0\n");
    EXPECT_EQ(devicePathForPort(3), "/dev/ttyS2");
    removePortDevice(40);  // no entry: nothing changes
    EXPECT_EQ(devicePathForPort(9), "/dev/ttyUSB9");

    // Only the map is left in the folder: no temporary file survives a rewrite.
    int files = 0;
    for (const auto& entry : fs::directory_iterator(m_root / "home")) {
        (void)entry;
        ++files;
    }
    EXPECT_EQ(files, 1);
}

TEST_F(PortMapTest, RemovingFromAMissingMapCreatesNothing) {
    removePortDevice(1);
    EXPECT_FALSE(fs::exists(m_root / "home"));
}

TEST_F(PortMapTest, RefusesBadPortsAndPaths) {
    auto numberOf = [](auto&& call) {
        try {
            call();
        } catch (const Error& error) {
            return error.number();
        }
        return 0;
    };
    EXPECT_EQ(numberOf([] { devicePathForPort(0); }), 5);
    EXPECT_EQ(numberOf([] { setPortDevice(-1, "/dev/x"); }), 5);
    EXPECT_EQ(numberOf([] { removePortDevice(0); }), 5);
    EXPECT_EQ(numberOf([] { setPortDevice(1, ""); }), 5);
    EXPECT_EQ(numberOf([] { setPortDevice(1, "/dev/a\n2=/dev/b"); }), 5);
    EXPECT_EQ(numberOf([] { setPortDevice(1, " /dev/padded"); }), 5);
    EXPECT_EQ(devicePathForPort(2), "/dev/ttyS1");
}

TEST_F(PortMapTest, AFolderThatCannotBeMadeFailsWithAnError) {
    // "home" is a file, so the folder cannot be created (this holds for root too).
    std::ofstream(m_root / "home") << "not a folder";
    try {
        setPortDevice(1, "/dev/ttyUSB0");
        ADD_FAILURE() << "no error";
    } catch (const Error& error) {
        EXPECT_EQ(error.number(), 75);
    }
    EXPECT_EQ(devicePathForPort(1), "/dev/ttyS0");
}

mode_t modeOf(const fs::path& path) {
    struct stat info = {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

// The map says where a port's traffic goes: only its user may change it.
TEST_F(PortMapTest, WritesAPrivateMapAndRefusesOneOthersCouldChange) {
    const mode_t umask = ::umask(0);
    setPortDevice(1, "rfc2217://127.0.0.1:2001");
    ::umask(umask);
    EXPECT_EQ(modeOf(m_root / "home"), 0700u);
    EXPECT_EQ(modeOf(portMapFile()), 0600u);

    const fs::path map = portMapFile();
    const fs::path elsewhere = m_root / "elsewhere";
    struct Case {
        const char* what;
        std::function<void()> change;
        bool needsRoot;
    };
    const Case cases[] = {
        {"group may write",
         [&] { fs::permissions(map, fs::perms::group_write, fs::perm_options::add); }, false},
        {"others may write",
         [&] { fs::permissions(map, fs::perms::others_write, fs::perm_options::add); }, false},
        {"another user's", [&] { ASSERT_EQ(::chown(map.c_str(), 65534, 65534), 0); }, true},
        {"a link to a map",
         [&] {
             fs::rename(map, elsewhere);
             fs::create_symlink(elsewhere, map);
         },
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needsRoot && ::geteuid() != 0) {
            std::cout << "[ SKIPPED  ] " << c.what << ": only root can give a file away\n";
            continue;
        }
        fs::remove(map);
        fs::remove(elsewhere);
        writeMap("1=rfc2217://192.0.2.1:2001\n");
        fs::permissions(map, fs::perms::owner_read | fs::perms::owner_write);
        c.change();
        try {
            devicePathForPort(1);
            ADD_FAILURE() << "the map was used";
        } catch (const Error& error) {
            EXPECT_EQ(error.number(), 70);
            EXPECT_THAT(error.what(), ::testing::HasSubstr(map.string()));
        }
    }
}

// A process's own map takes the user's place while the variable names it (looked at on every
// call), with the same checks; the user's map is neither read nor written meanwhile.
TEST_F(PortMapTest, AMapOfTheProcessOwnReplacesTheUsersWhileSet) {
    writeMap("1=/dev/users-own\n");
    const fs::path userMap = portMapFile();
    const fs::path ownFolder = m_root / "own";
    const fs::path own = ownFolder / "ports";
    ::setenv("CORVANE_PLATFORM_PORT_MAP", own.c_str(), 1);
    EXPECT_EQ(portMapFile(), own);
    setPortDevice(1, "rfc2217://127.0.0.1:4001");  // creates the folder, private
    setPortDevice(2, "/dev/pts/3");
    EXPECT_EQ(devicePathForPort(1), "rfc2217://127.0.0.1:4001");
    EXPECT_EQ(modeOf(ownFolder), 0700u);
    EXPECT_EQ(modeOf(own), 0600u);
    EXPECT_EQ(readMap(), "1=rfc2217://127.0.0.1:4001\n2=/dev/pts/3\n");

    // Only an absolute path counts.
    for (const char* ignored : {"own/ports", ""}) {
        SCOPED_TRACE(ignored);
        ::setenv("CORVANE_PLATFORM_PORT_MAP", ignored, 1);
        EXPECT_EQ(portMapFile(), userMap);
        EXPECT_EQ(devicePathForPort(1), "/dev/users-own");
    }
    ::unsetenv("CORVANE_PLATFORM_PORT_MAP");
    EXPECT_EQ(devicePathForPort(2), "/dev/ttyS1");
    EXPECT_EQ(readMap(), "1=/dev/users-own\n");

    ::setenv("CORVANE_PLATFORM_PORT_MAP", own.c_str(), 1);
    fs::permissions(own, fs::perms::others_write, fs::perm_options::add);
    try {
        devicePathForPort(1);
        ADD_FAILURE() << "a map others may write was used";
    } catch (const Error& error) {
        EXPECT_EQ(error.number(), 70);
        EXPECT_THAT(error.what(), ::testing::HasSubstr(own.string()));
    }
}

// Root with a user's environment (sudo -E) finds its map in that user's home: a link of
// theirs there would have root append to whatever file they point at. Root's own link is
// followed.
TEST_F(PortMapTest, RootNeverWritesThroughAnotherUsersLink) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, to give a link away";
    const fs::path target = m_root / "target";
    const struct {
        const char* what;
        uid_t linkOwner;
        bool used;
    } cases[] = {
        {"another user's link", 65534, false},
        {"root's own link", 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(m_root / "home");
        fs::remove_all(target);
        fs::create_directory(target, m_root);
        fs::permissions(target, fs::perms::owner_all);
        fs::create_symlink(target, m_root / "home");
        ASSERT_EQ(::lchown((m_root / "home").c_str(), c.linkOwner, c.linkOwner), 0);
        try {
            setPortDevice(3, "/dev/ttyS3");
            EXPECT_TRUE(c.used) << "written";
        } catch (const Error& error) {
            EXPECT_FALSE(c.used) << error.what();
            EXPECT_EQ(error.number(), 70);
        }
        EXPECT_EQ(fs::exists(target / "ports"), c.used);
    }
}

}  // namespace
}  // namespace platform
