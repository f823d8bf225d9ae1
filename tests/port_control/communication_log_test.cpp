// The communication log written by Output and Input2.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "platform/support/file_contents.h"
#include "support/portula_fixture.h"

using platform::testing::fileContents;

namespace port_control::testing {
namespace {

namespace fs = std::filesystem;
using platform::Variant;

std::vector<std::string> entriesOf(const std::string& content) {
    std::vector<std::string> entries;
    size_t start = 0;
    for (size_t end; (end = content.find("\r\n", start)) != std::string::npos; start = end + 2)
        entries.push_back(content.substr(start, end - start));
    EXPECT_EQ(start, content.size()) << "a line without CR LF";
    return entries;
}

// Strips and checks the "yyyy/mm/dd hh:mm:ss:" time stamp.
std::string bodyOf(const std::string& entry) {
    static const std::regex stamp(R"(^\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}:)");
    EXPECT_TRUE(std::regex_search(entry, stamp)) << entry;
    return entry.size() >= 20 ? entry.substr(20) : entry;
}

class CommunicationLogTest : public PortulaFixture {
  protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() /
                ("corvane-log-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
    }
    void TearDown() override {
        fs::permissions(m_dir, fs::perms::owner_all);
        fs::remove_all(m_dir);
    }
    void logTo(const fs::path& path) { control->put_LogFile(platform::fromUtf8(path.string())); }

    fs::path m_dir;
};

TEST_F(CommunicationLogTest, ASendIsOneTimeStampedRenderedLine) {
    const fs::path path = m_dir / "comm.log";
    logTo(path);
    control->put_Output(Variant::fromString(u"ABC\r"));
    const auto entries = entriesOf(fileContents(path));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(bodyOf(entries[0]), "OUT:ABC<CR>");
}

TEST_F(CommunicationLogTest, JapaneseIsWrittenInCodePage932AndUnencodableAsQuestionMark) {
    const fs::path path = m_dir / "comm.log";
    logTo(path);
    control->put_Output(Variant::fromString(u"あ\U0001F600"));
    const auto entries = entriesOf(fileContents(path));
    ASSERT_EQ(entries.size(), 1u);
    // The emoji's two halves each count as "?" and pass through as "?".
    EXPECT_EQ(bodyOf(entries[0]), "OUT:<A0>??");
}

TEST_F(CommunicationLogTest, EntriesAppearInCallOrderAndReadsOnlyWhenNotEmpty) {
    const fs::path path = m_dir / "comm.log";
    useUdp();
    logTo(path);
    control->put_Output(Variant::fromString(u""));
    control->get_Input2();  // empty: no line
    receiver->deliver(u"line1\nline2\t");
    control->get_Input2();
    control->put_Output(Variant::fromBytes({0x41, 0x00, 0xFF}));
    const auto entries = entriesOf(fileContents(path));
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(bodyOf(entries[0]), "OUT:");
    EXPECT_EQ(bodyOf(entries[1]), "INP:line1<LF>line2<09>");
    EXPECT_EQ(bodyOf(entries[2]), "OUT:A<NUL><FF>");
}

TEST_F(CommunicationLogTest, ASendIsLoggedEvenWhenTheTransportFails) {
    const fs::path path = m_dir / "comm.log";
    logTo(path);
    log.failOn("put Output", 8018);
    EXPECT_THROW(control->put_Output(Variant::fromString(u"lost")), platform::Error);
    const auto entries = entriesOf(fileContents(path));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(bodyOf(entries[0]), "OUT:lost");
}

TEST_F(CommunicationLogTest, AnExistingFileIsExtendedAndADeletedOneCreatedAgain) {
    const fs::path path = m_dir / "comm.log";
    std::ofstream(path, std::ios::binary) << "kept\r\n";
    logTo(path);
    control->put_Output(Variant::fromString(u"1"));
    EXPECT_EQ(fileContents(path).substr(0, 6), "kept\r\n");
    fs::remove(path);
    control->put_Output(Variant::fromString(u"2"));
    const auto entries = entriesOf(fileContents(path));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(bodyOf(entries[0]), "OUT:2");
}

TEST_F(CommunicationLogTest, ChangingTheFileSplitsTheEntries) {
    logTo(m_dir / "a.log");
    control->put_Output(Variant::fromString(u"first"));
    logTo(m_dir / "b.log");
    control->put_Output(Variant::fromString(u"second"));
    EXPECT_EQ(entriesOf(fileContents(m_dir / "a.log")).size(), 1u);
    const auto b = entriesOf(fileContents(m_dir / "b.log"));
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(bodyOf(b[0]), "OUT:second");
}

TEST_F(CommunicationLogTest, NoPathMeansNoFile) {
    const fs::path cwd = fs::current_path();
    fs::current_path(m_dir);
    control->put_Output(Variant::fromString(u"x"));
    fs::current_path(cwd);
    EXPECT_TRUE(fs::is_empty(m_dir));
}

TEST_F(CommunicationLogTest, ARelativePathFollowsTheCurrentDirectory) {
    const fs::path cwd = fs::current_path();
    fs::current_path(m_dir);
    control->put_LogFile(u"relative.log");
    control->put_Output(Variant::fromString(u"x"));
    fs::current_path(cwd);
    EXPECT_TRUE(fs::exists(m_dir / "relative.log"));
}

TEST_F(CommunicationLogTest, UnwritableLogsNeverDisturbTheCaller) {
    std::vector<fs::path> targets{m_dir / "missing" / "comm.log", "/dev/full", m_dir};
    const fs::path readOnly = m_dir / "readonly.log";
    std::ofstream(readOnly) << "";
    fs::permissions(readOnly, fs::perms::owner_read);
    targets.push_back(readOnly);
    useUdp();
    for (const fs::path& target : targets) {
        SCOPED_TRACE(target);
        logTo(target);
        EXPECT_NO_THROW(control->put_Output(Variant::fromString(u"data")));
        receiver->deliver(u"in");
        EXPECT_EQ(control->get_Input2().stringValue(), u"in");
    }
    EXPECT_FALSE(fs::exists(m_dir / "missing"));
    if (::geteuid() != 0) {
        EXPECT_EQ(fs::file_size(readOnly), 0u);  // root may write anyway
    }
}

TEST_F(CommunicationLogTest, TwoControlsSharingAFileWriteWholeLines) {
    const fs::path path = m_dir / "shared.log";
    CallLog otherLog;
    RecordingSite otherSite;
    Portula other({std::make_unique<FakeSerial>(otherLog), std::make_unique<FakeUdp>(otherLog, "a"),
                   std::make_unique<FakeUdp>(otherLog, "b")},
                  otherSite);
    logTo(path);
    other.put_LogFile(platform::fromUtf8(path.string()));
    for (int i = 0; i < 50; ++i) {
        control->put_Output(Variant::fromString(u"one"));
        other.put_Output(Variant::fromString(u"two"));
    }
    const auto entries = entriesOf(fileContents(path));
    ASSERT_EQ(entries.size(), 100u);
    for (size_t i = 0; i < entries.size(); ++i)
        EXPECT_EQ(bodyOf(entries[i]), i % 2 == 0 ? "OUT:one" : "OUT:two");
}

}  // namespace
}  // namespace port_control::testing
