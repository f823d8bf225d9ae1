// The settings file when it cannot be used: replaced by a folder, or missing in a read-only
// folder (a read-only file itself is covered beside the settings file's other tests). Reads give
// the defaults or the stored values, writes fail unreported and leave everything as it was (no
// half-written or temporary files), and once the fault is gone the next unload writes again.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/support/file_contents.h"
#include "settings_file.h"
#include "support/scratch_folder.h"

using platform::testing::fileContents;
using platform::testing::namesIn;

namespace {

namespace fs = std::filesystem;
using sample_app::ReadIni;
using sample_app::settingsFilePath;
using sample_app::WriteIni;
using sample_app::test_support::ScratchFolder;

// The seven keys the window writes at unload, in its order, with their load defaults.
struct Key {
    const char16_t* section;
    const char16_t* name;
    const char16_t* defaultValue;
};
constexpr Key kKeys[] = {
    {u"From", u"Left", u"0"},
    {u"From", u"Top", u"0"},
    {u"UDP", u"LocalPort", u"10001"},
    {u"UDP", u"RemotePort", u"10002"},
    {u"UDP", u"RemoteHost", u"127.0.0.1"},
    {u"COM", u"LocalComm", u"1"},
    {u"UDP", u"UDPUse", u"1"},
};

class SettingsFaults : public ::testing::Test {
  protected:
    void SetUp() override {
        m_file = settingsFilePath(m_scratch.path() / "Sampleton");
        for (const Key& key : kKeys)
            WriteIni(key.section, key.name, u"stored", m_file);
        m_stored = fileContents(m_file);
        ASSERT_FALSE(m_stored.empty());
    }
    void TearDown() override {
        fs::permissions(m_scratch.path(), fs::perms::owner_all, fs::perm_options::add);
    }
    // An unload writing new values; it must neither throw nor report anything.
    void unload(const std::u16string& value) {
        for (const Key& key : kKeys)
            EXPECT_NO_THROW(WriteIni(key.section, key.name, value, m_file));
    }
    // A load: every key as it reads now.
    std::vector<std::u16string> load() {
        std::vector<std::u16string> values;
        for (const Key& key : kKeys)
            values.push_back(ReadIni(key.section, key.name, key.defaultValue, m_file));
        return values;
    }
    static std::vector<std::u16string> all(const std::u16string& value) {
        return std::vector<std::u16string>(std::size(kKeys), value);
    }
    static std::vector<std::u16string> defaults() {
        std::vector<std::u16string> values;
        for (const Key& key : kKeys)
            values.push_back(key.defaultValue);
        return values;
    }

    ScratchFolder m_scratch;
    fs::path m_file;
    std::string m_stored;
};

TEST_F(SettingsFaults, AFolderInPlaceOfTheFileReadsAsNoFileAndIsNeverTouched) {
    fs::remove(m_file);
    fs::create_directory(m_file);
    std::ofstream(m_file / "inside") << "kept";
    const auto namesBefore = namesIn(m_scratch.path());

    EXPECT_EQ(load(), defaults());
    unload(u"new");
    EXPECT_TRUE(fs::is_directory(m_file));
    EXPECT_EQ(fileContents(m_file / "inside"), "kept");
    EXPECT_EQ(namesIn(m_file), std::vector<std::string>{"inside"});
    EXPECT_EQ(namesIn(m_scratch.path()), namesBefore) << "a temporary file was left behind";
    EXPECT_EQ(load(), defaults());

    // The folder goes: the next unload creates the file and the next load reads it.
    fs::remove_all(m_file);
    unload(u"new");
    EXPECT_EQ(load(), all(u"new"));
}

// A read-only folder takes no new file, but the writable settings file in it is updated in
// place (even for root: the folder has no write permission bit at all).
TEST_F(SettingsFaults, AReadOnlyFolderTakesNoNewFileButItsWritableFileIsUpdated) {
    fs::permissions(m_scratch.path(), fs::perms::owner_read | fs::perms::owner_exec);
    const auto namesBefore = namesIn(m_scratch.path());
    unload(u"new");
    EXPECT_EQ(namesIn(m_scratch.path()), namesBefore) << "a temporary file was left behind";
    EXPECT_EQ(load(), all(u"new"));

    fs::permissions(m_scratch.path(), fs::perms::owner_all);
    fs::remove(m_file);
    fs::permissions(m_scratch.path(), fs::perms::owner_read | fs::perms::owner_exec);
    unload(u"newer");
    EXPECT_FALSE(fs::exists(m_file));
    EXPECT_EQ(load(), defaults());

    fs::permissions(m_scratch.path(), fs::perms::owner_all);
    unload(u"new");
    EXPECT_EQ(load(), all(u"new"));
}

}  // namespace
