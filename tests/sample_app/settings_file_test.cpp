#include "settings_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/codepage932.h"
#include "platform/support/another_user.h"

namespace {

namespace fs = std::filesystem;
using sample_app::ReadIni;
using sample_app::settingsFilePath;
using sample_app::WriteIni;

class SettingsFile : public testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "settings_file_XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
        m_file = settingsFilePath(m_dir / "Sampleton");
    }
    void TearDown() override { fs::remove_all(m_dir); }

    void put(const std::string& bytes) const { std::ofstream(m_file, std::ios::binary) << bytes; }
    std::string contents() const {
        std::ifstream in(m_file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    fs::path m_dir;
    fs::path m_file;
};

TEST(SettingsFilePath, SitsBesideTheExecutableUnderItsName) {
    EXPECT_EQ(settingsFilePath("/opt/corvane/Sampleton"), fs::path("/opt/corvane/Sampleton.ini"));
    EXPECT_EQ(settingsFilePath("/opt/corvane/Sampleton.exe"),
              fs::path("/opt/corvane/Sampleton.ini"));
    EXPECT_EQ(settingsFilePath("/home/u/bin/Copy of Sampleton"),
              fs::path("/home/u/bin/Copy of Sampleton.ini"));
    EXPECT_EQ(settingsFilePath("/srv/sample.v2.bin"), fs::path("/srv/sample.v2.ini"));
    EXPECT_EQ(settingsFilePath("Sampleton"), fs::path("Sampleton.ini"));
}

TEST(SettingsFilePath, TheRunningProgramIsThisTest) {
    const fs::path executable = sample_app::currentExecutablePath();
    EXPECT_TRUE(executable.is_absolute());
    EXPECT_TRUE(fs::equivalent(executable, "/proc/self/exe"));
    EXPECT_EQ(settingsFilePath(executable).parent_path(), executable.parent_path());
    EXPECT_EQ(settingsFilePath(executable).filename(), executable.filename().string() + ".ini");
}

// An installed program lies in a folder the user may not write: its settings then go to
// the user's configuration folder, unless a file beside it already exists.
TEST_F(SettingsFile, FallsBackToTheConfigFolderOnlyWhereTheFileCannotBeKeptBesideTheProgram) {
    const fs::path program = m_dir / "bin" / "Sampleton";
    const fs::path home = m_dir / "home";
    struct Case {
        const char* name;
        bool folderWritable;
        bool fileExists;
        bool configVariableSet;
        fs::path expected;
    };
    const Case cases[] = {
        {"writable folder", true, false, true, program.parent_path() / "Sampleton.ini"},
        {"read-only folder holding the file", false, true, true,
         program.parent_path() / "Sampleton.ini"},
        {"read-only folder", false, false, true, m_dir / "config" / "Sampleton.ini"},
        {"read-only folder, no XDG_CONFIG_HOME", false, false, false,
         home / ".config" / "Sampleton.ini"},
    };
    const char* savedConfig = ::getenv("XDG_CONFIG_HOME");
    const std::string savedHome = ::getenv("HOME") ? ::getenv("HOME") : "";
    ::setenv("HOME", home.c_str(), 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(m_dir / "config");
        fs::remove_all(home);
        fs::create_directories(program.parent_path());
        fs::permissions(program.parent_path(), fs::perms::owner_all);
        fs::remove(program.parent_path() / "Sampleton.ini");
        if (c.fileExists)
            std::ofstream(program.parent_path() / "Sampleton.ini") << "[From]\r\n";
        if (!c.folderWritable)
            fs::permissions(program.parent_path(), fs::perms::owner_read | fs::perms::owner_exec);
        if (c.configVariableSet) {
            ::setenv("XDG_CONFIG_HOME", (m_dir / "config").c_str(), 1);
        } else {
            ::unsetenv("XDG_CONFIG_HOME");
        }

        const fs::path chosen = sample_app::usableSettingsFilePath(program);
        EXPECT_EQ(chosen, c.expected);
        EXPECT_TRUE(fs::is_directory(chosen.parent_path())) << "the config folder is created";
        if (chosen.parent_path() != program.parent_path() || c.folderWritable) {
            WriteIni(u"From", u"Left", u"1500", chosen);
            EXPECT_EQ(ReadIni(u"From", u"Left", u"0", chosen), u"1500") << "and kept there";
        }
        fs::permissions(program.parent_path(), fs::perms::owner_all);
    }
    savedConfig ? ::setenv("XDG_CONFIG_HOME", savedConfig, 1) : ::unsetenv("XDG_CONFIG_HOME");
    ::setenv("HOME", savedHome.c_str(), 1);
}

// Root leaves no settings file beside a program installed for every user (a folder root owns,
// no group or other user may write and all may enter), and a file beside the program that
// the user may only read (root's, left by one run as root) is not taken for theirs: they
// keep their own in the configuration folder.
TEST_F(SettingsFile, KeepsNoSettingsBesideAnInstalledProgramThatAreNotTheUsers) {
    using platform::testing::runAsAnotherUser;
    if (!platform::testing::canActAsAnotherUser())
        GTEST_SKIP() << "a folder of root's and another user need root";
    const fs::path program = m_dir / "bin" / "Sampleton";
    const fs::path beside = program.parent_path() / "Sampleton.ini";
    const fs::path config = m_dir / "config" / "Sampleton.ini";
    constexpr fs::perms kInstalled = fs::perms::owner_all | fs::perms::group_read |
                                     fs::perms::group_exec | fs::perms::others_read |
                                     fs::perms::others_exec;  // 0755
    const struct {
        const char* what;
        fs::perms folderMode;
        bool rootsFileBeside;
        bool asAnotherUser;
        fs::path expected;
    } cases[] = {
        {"root, a folder of its own", fs::perms::owner_all, false, false, beside},
        {"root, an installed program", kInstalled, false, false, config},
        {"another user, root's file beside an installed program", kInstalled, true, true, config},
        {"another user, a folder all may write", fs::perms::all, false, true, beside},
    };
    const char* savedConfig = ::getenv("XDG_CONFIG_HOME");
    ::setenv("XDG_CONFIG_HOME", config.parent_path().c_str(), 1);
    fs::permissions(m_dir, kInstalled);  // for the other user to reach the program's folder
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(program.parent_path());
        fs::create_directories(program.parent_path());
        fs::permissions(program.parent_path(), c.folderMode);
        if (c.rootsFileBeside)
            std::ofstream(beside) << "[From]\r\nLeft=1500\r\n";
        auto chosen = [&] {
            const fs::path path = sample_app::usableSettingsFilePath(program);
            return path == beside ? 1 : path == config ? 2 : 3;
        };
        EXPECT_EQ(c.asAnotherUser ? runAsAnotherUser(chosen) : chosen(),
                  c.expected == beside ? 1 : 2);
    }
    savedConfig ? ::setenv("XDG_CONFIG_HOME", savedConfig, 1) : ::unsetenv("XDG_CONFIG_HOME");
}

TEST_F(SettingsFile, MissingFileGivesTheDefaults) {
    EXPECT_EQ(ReadIni(u"From", u"Left", u"0", m_file), u"0");
    EXPECT_EQ(ReadIni(u"UDP", u"RemoteHost", u"127.0.0.1", m_file), u"127.0.0.1");
    EXPECT_EQ(ReadIni(u"COM", u"LocalComm", u"既定 ", m_file), u"既定");
    EXPECT_FALSE(fs::exists(m_file));
}

TEST_F(SettingsFile, ReadsStoredTextAsItStands) {
    put("[UDP]\r\nLocalPort=\r\nRemotePort= 10002 \r\n[From]\r\nLeft=12abc\r\n");
    EXPECT_EQ(ReadIni(u"UDP", u"LocalPort", u"10001", m_file), u"");
    EXPECT_EQ(ReadIni(u"udp", u"remoteport", u"x", m_file), u"10002");
    EXPECT_EQ(ReadIni(u"From", u"Left", u"0", m_file), u"12abc");
    EXPECT_EQ(ReadIni(u"From", u"Top", u"0", m_file), u"0");
}

TEST_F(SettingsFile, LongValuesAreCutTo1023Bytes) {
    put("[S]\r\nascii=" + std::string(2000, 'x') + "\r\n");
    EXPECT_EQ(ReadIni(u"S", u"ascii", u"", m_file), std::u16string(1023, u'x'));

    // 512 double-byte characters: the cut leaves a lone lead byte, kept as its escape.
    WriteIni(u"S", u"kana", std::u16string(512, u'ア'), m_file);
    const std::u16string kana = ReadIni(u"S", u"kana", u"", m_file);
    EXPECT_EQ(kana, std::u16string(511, u'ア') + char16_t(platform::cp932::kEscapeBase + 0x83));
}

TEST_F(SettingsFile, JapaneseTextTravelsInCodePage932) {
    const std::u16string host = u"ホスト\\ソ表";
    WriteIni(u"UDP", u"RemoteHost", host, m_file);
    EXPECT_EQ(ReadIni(u"UDP", u"RemoteHost", u"", m_file), host);
    EXPECT_EQ(contents(), "[UDP]\r\nRemoteHost=" + platform::cp932::encode(host) + "\r\n");
    EXPECT_NE(contents().find("\x83\x5C\x95\x5C"), std::string::npos) << "ソ表 as cp932 bytes";
}

TEST_F(SettingsFile, UnloadOrderBuildsThreeSections) {
    WriteIni(u"From", u"Left", u"-1200", m_file);
    WriteIni(u"From", u"Top", u"300", m_file);
    WriteIni(u"UDP", u"LocalPort", u"10001", m_file);
    WriteIni(u"UDP", u"RemotePort", u"10002", m_file);
    WriteIni(u"UDP", u"RemoteHost", u"127.0.0.1", m_file);
    WriteIni(u"COM", u"LocalComm", u"1", m_file);
    WriteIni(u"UDP", u"UDPUse", u"1", m_file);
    EXPECT_EQ(contents(),
              "[From]\r\nLeft=-1200\r\nTop=300\r\n"
              "[UDP]\r\nLocalPort=10001\r\nRemotePort=10002\r\nRemoteHost=127.0.0.1\r\nUDPUse=1\r\n"
              "[COM]\r\nLocalComm=1\r\n");

    // A second unload replaces values in place.
    WriteIni(u"From", u"Left", u"0", m_file);
    EXPECT_EQ(ReadIni(u"From", u"Left", u"x", m_file), u"0");
    EXPECT_EQ(ReadIni(u"From", u"Top", u"x", m_file), u"300");
}

TEST_F(SettingsFile, FailedWritesGoUnreported) {
    const std::string original = "[UDP]\r\nLocalPort=10001\r\n";
    put(original);
    fs::permissions(m_file, fs::perms::owner_read);
    EXPECT_NO_THROW(WriteIni(u"UDP", u"LocalPort", u"20001", m_file));
    EXPECT_EQ(contents(), original);
    EXPECT_EQ(ReadIni(u"UDP", u"LocalPort", u"", m_file), u"10001");

    const fs::path nowhere = m_dir / "missing" / "Sampleton.ini";
    EXPECT_NO_THROW(WriteIni(u"UDP", u"LocalPort", u"20001", nowhere));
    EXPECT_FALSE(fs::exists(nowhere.parent_path()));
}

}  // namespace
