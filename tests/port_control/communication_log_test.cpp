// The communication log written by Output and Input2.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>

#include "design_surface.h"
#include "platform/message_loop.h"
#include "platform/support/file_contents.h"
#include "support/portula_fixture.h"
#include "support/pty_pair.h"

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

std::string localTimeStamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    return std::string(text, std::strftime(text, sizeof text, "%Y/%m/%d %H:%M:%S", &local));
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
    const std::string before = localTimeStamp();
    control->put_Output(Variant::fromString(u"ABC\r"));
    const std::string after = localTimeStamp();
    const auto entries = entriesOf(fileContents(path));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(bodyOf(entries[0]), "OUT:ABC<CR>");
    // The stamp is the local time of the write, not merely something of its shape.
    const std::string stamp = entries[0].substr(0, 19);
    EXPECT_LE(before, stamp);
    EXPECT_LE(stamp, after);
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
    // Null has no text; the entry shows the prefix and the transport still gets the value.
    log.calls.clear();
    EXPECT_NO_THROW(control->put_Output(Variant::null()));
    EXPECT_EQ(log.count("Winsock1 SendData"), 1u);
    const auto entries = entriesOf(fileContents(path));
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(bodyOf(entries[0]), "OUT:");
    EXPECT_EQ(bodyOf(entries[1]), "INP:line1<LF>line2<09>");
    EXPECT_EQ(bodyOf(entries[2]), "OUT:A<NUL><FF>");
    EXPECT_EQ(bodyOf(entries[3]), "OUT:");
}

// Reading a serial port is logged as reading UDP is, as text and as bytes: a
// pseudo-terminal stands in for the device.
TEST_F(CommunicationLogTest, ReadingASerialPortIsLoggedAsTextOrBytes) {
    TemporaryPlatformHome home;
    PtyPair device;
    device.mapToPort(5);
    RecordingSite site;
    Portula serial{loadDesignSurface(), site};
    serial.put_CommPort(5);
    serial.put_RThreshold(1);
    serial.put_PortOpen(platform::kTrue);
    const fs::path path = m_dir / "serial.log";
    serial.put_LogFile(platform::fromUtf8(path.string()));
    struct Case {
        int16_t inputMode;
        std::string arriving;
        Variant read;
        const char* logged;
    };
    const Case cases[] = {
        {0, "OK\r\n", Variant::fromString(u"OK\r\n"), "INP:OK<CR><LF>"},
        {1, std::string("A\0\xFF", 3), Variant::fromBytes({0x41, 0x00, 0xFF}), "INP:A<NUL><FF>"},
    };
    for (const Case& c : cases) {
        serial.put_InputMode(c.inputMode);
        const int before = site.onCommCount;
        ASSERT_TRUE(device.sendFromPeer(c.arriving));
        ASSERT_TRUE(platform::MessageLoop::current().runUntil(
            [&] { return site.onCommCount > before; }, std::chrono::seconds(5)));
        EXPECT_EQ(serial.get_Input2(), c.read);
    }
    const auto entries = entriesOf(fileContents(path));
    ASSERT_EQ(entries.size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(bodyOf(entries[i]), cases[i].logged);
    serial.put_PortOpen(platform::kFalse);
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

// Between two entries another program deletes the log, moves it aside, puts another file
// in its place, or a FIFO with a reader: the second entry goes to what the name names then
// (a new file where it names nothing), never after the first one into the old file.
TEST_F(CommunicationLogTest, EachEntryGoesToTheFileTheNameNamesThen) {
    const fs::path path = m_dir / "comm.log";
    const fs::path aside = m_dir / "aside.log";
    const fs::path fifo = m_dir / "comm.fifo";
    int fifoReader = -1;
    struct Case {
        const char* what;
        std::function<void()> change;
        std::string otherAtPath;  // what the name holds before the second entry
        bool secondAtPath;
    };
    const Case cases[] = {
        {"deleted", [&] { fs::remove(path); }, "", true},
        {"moved aside", [&] { fs::rename(path, aside); }, "", true},
        {"replaced by another file",
         [&] {
             fs::rename(path, aside);
             std::ofstream(m_dir / "new.log", std::ios::binary) << "other\r\n";
             fs::rename(m_dir / "new.log", path);
         },
         "other\r\n", true},
        {"replaced by a FIFO with a reader",
         [&] {
             fs::rename(path, aside);
             ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
             fifoReader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
             fs::rename(fifo, path);
         },
         "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(path);
        fs::remove(aside);
        std::ofstream(path, std::ios::binary) << "kept\r\n";
        logTo(path);
        control->put_Output(Variant::fromString(u"1"));
        c.change();
        control->put_Output(Variant::fromString(u"2"));
        if (c.secondAtPath) {
            const std::string text = fileContents(path);
            ASSERT_EQ(text.substr(0, c.otherAtPath.size()), c.otherAtPath);
            const auto entries = entriesOf(text.substr(c.otherAtPath.size()));
            ASSERT_EQ(entries.size(), 1u);
            EXPECT_EQ(bodyOf(entries[0]), "OUT:2");
        }
        if (fs::exists(aside)) {  // the old file: its own line and the first entry alone
            const auto entries = entriesOf(fileContents(aside));
            ASSERT_EQ(entries.size(), 2u);
            EXPECT_EQ(entries[0], "kept");
            EXPECT_EQ(bodyOf(entries[1]), "OUT:1");
        }
    }
    char byte;
    EXPECT_LE(::read(fifoReader, &byte, 1), 0) << "the FIFO's reader got an entry";
    ::close(fifoReader);
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

// Anything but a regular file the name itself holds is skipped, and nothing else is even
// opened: a link (someone else's, in a shared folder, may point at the user's own files),
// a FIFO or a terminal (which would block the caller's thread, or raise SIGPIPE), a device
// (whose driver acts on open() alone); a name holding NUL names no file at all.
TEST_F(CommunicationLogTest, UnwritableLogsNeverDisturbTheCaller) {
    const auto path16 = [](const fs::path& p) { return platform::fromUtf8(p.string()); };
    std::vector<std::u16string> targets{path16(m_dir / "missing" / "comm.log"), u"/dev/full",
                                        u"/dev/null", path16(m_dir)};
    // Links to a file of the user's, to one they have yet to make, and (as root can make
    // it) a link that another user owns.
    const fs::path own = m_dir / "own.txt";
    std::ofstream(own) << "mine\n";
    const fs::path toOwn = m_dir / "to-own.log";
    const fs::path toNew = m_dir / "to-new.log";
    fs::create_symlink(own, toOwn);
    fs::create_symlink(m_dir / "made-later.txt", toNew);
    targets.insert(targets.end(), {path16(toOwn), path16(toNew)});
    // A file another user made for anyone to write, waiting for someone's traffic.
    const fs::path othersFile = m_dir / "others-file.log";
    if (::geteuid() == 0) {
        const fs::path othersLink = m_dir / "others-link.log";
        fs::create_symlink(own, othersLink);
        ASSERT_EQ(::lchown(othersLink.c_str(), 65534, 65534), 0);
        targets.push_back(path16(othersLink));
        std::ofstream(othersFile) << "";
        ASSERT_EQ(::chown(othersFile.c_str(), 65534, 65534), 0);
        fs::permissions(othersFile, fs::perms::all);
        targets.push_back(path16(othersFile));
    }
    const fs::path readOnly = m_dir / "readonly.log";
    std::ofstream(readOnly) << "";
    fs::permissions(readOnly, fs::perms::owner_read);
    targets.push_back(path16(readOnly));
    const fs::path lonelyFifo = m_dir / "no-reader.fifo";
    const fs::path readFifo = m_dir / "reader.fifo";
    ASSERT_EQ(::mkfifo(lonelyFifo.c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(readFifo.c_str(), 0600), 0);
    const int fifoReader = ::open(readFifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fifoReader, 0);
    int ptyMaster = -1, ptySlave = -1;
    char ptyName[128] = {};
    ASSERT_EQ(::openpty(&ptyMaster, &ptySlave, ptyName, nullptr, nullptr), 0);
    ::close(ptySlave);
    targets.insert(targets.end(),
                   {path16(lonelyFifo), path16(readFifo), platform::fromUtf8(ptyName),
                    path16(m_dir / "a.log") + std::u16string(1, u'\0') + u"b"});
    useUdp();
    for (const std::u16string& target : targets) {
        SCOPED_TRACE(platform::toUtf8(target));
        control->put_LogFile(target);
        EXPECT_NO_THROW(control->put_Output(Variant::fromString(u"data")));
        receiver->deliver(u"in");
        EXPECT_EQ(control->get_Input2().stringValue(), u"in");
    }
    char byte;
    EXPECT_LE(::read(fifoReader, &byte, 1), 0) << "the FIFO's reader got an entry";
    // A FIFO's reader sees a hang-up once a writer has come and gone: none ever came.
    pollfd reader{fifoReader, POLLIN, 0};
    EXPECT_EQ(::poll(&reader, 1, 0), 0) << "the FIFO was opened for writing";
    ::fcntl(ptyMaster, F_SETFL, O_NONBLOCK);
    EXPECT_EQ(::read(ptyMaster, &byte, 1), -1) << "the terminal got an entry";
    ::close(fifoReader);
    ::close(ptyMaster);
    EXPECT_FALSE(fs::exists(m_dir / "missing"));
    EXPECT_FALSE(fs::exists(m_dir / "a.log"));
    EXPECT_EQ(fileContents(own), "mine\n");
    EXPECT_FALSE(fs::exists(m_dir / "made-later.txt"));
    if (::geteuid() != 0) {
        EXPECT_EQ(fs::file_size(readOnly), 0u);  // root may write anyway
    } else {
        EXPECT_EQ(fs::file_size(othersFile), 0u);
    }
}

// The traffic is the user's alone: a new log is theirs to read, even under umask 0.
TEST_F(CommunicationLogTest, ANewLogIsPrivateWhateverTheUmask) {
    const fs::path path = m_dir / "comm.log";
    const mode_t umask = ::umask(0);
    logTo(path);
    control->put_Output(Variant::fromString(u"secret"));
    ::umask(umask);
    struct stat info = {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(entriesOf(fileContents(path)).size(), 1u);
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
