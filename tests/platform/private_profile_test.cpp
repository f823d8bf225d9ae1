#include "platform/private_profile.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/another_user.h"

namespace {

// What the next flock() of this program does first, once: the test's way to act at the moment
// after the writer has checked the file's name.
std::function<void()> beforeNextLock;

}  // namespace

// Stands in for the C library's flock() in this test program, the platform library's calls
// included.
extern "C" __attribute__((visibility("default"))) int flock(int fd, int operation) {
    static const auto real = reinterpret_cast<int (*)(int, int)>(::dlsym(RTLD_NEXT, "flock"));
    if (const std::function<void()> hook = std::exchange(beforeNextLock, nullptr))
        hook();
    return real(fd, operation);
}

namespace {

namespace fs = std::filesystem;
using platform::GetPrivateProfileStringA;
using platform::WritePrivateProfileStringA;

// cp932 double-byte characters whose trail bytes look like ASCII.
const std::string kSo = "\x83\x5C";       // ソ, trail '\'
const std::string kA = "\x83\x41";        // ア, trail 'A'
const std::string kDi = "\x83\x61";       // ヂ, trail 'a'
const std::string kDash = "\x81\x5D";     // ‐, trail ']'
const std::string kBracket = "\x81\x5B";  // ー, trail '['

class PrivateProfile : public testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "private_profile_XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
        m_file = m_dir / "settings.ini";
    }
    void TearDown() override {
        fs::permissions(m_dir, fs::perms::owner_all, fs::perm_options::add);
        fs::remove_all(m_dir);
    }

    void put(const std::string& bytes) const { writeBytes(m_file, bytes); }
    static void writeBytes(const fs::path& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    static std::optional<std::string> bytesOf(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        if (!in)
            return std::nullopt;
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::string contents() const { return bytesOf(m_file).value_or("<missing>"); }

    std::string get(const char* section, const char* key, const char* def = "<default>",
                    uint32_t size = 1024, uint32_t* returned = nullptr) const {
        std::vector<char> buffer(size + 1, '#');
        const uint32_t n =
            GetPrivateProfileStringA(section, key, def, buffer.data(), size, m_file.c_str());
        if (returned)
            *returned = n;
        EXPECT_LT(n, size);
        EXPECT_EQ(buffer[n], '\0') << "terminator after the copied bytes";
        EXPECT_EQ(buffer[size], '#') << "wrote past the buffer";
        return std::string(buffer.data(), n);
    }
    bool write(const char* section, const char* key, const char* value) const {
        return WritePrivateProfileStringA(section, key, value, m_file.c_str());
    }
    // What is in the folder besides the writer's lock file, which stays for the next write.
    std::set<std::string> entries() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(m_dir)) {
            if (entry.path().filename() != lockFile())
                names.insert(entry.path().filename());
        }
        return names;
    }
    fs::path lockFile() const { return "." + m_file.filename().string() + ".lock"; }

    fs::path m_dir;
    fs::path m_file;
};

struct ReadCase {
    const char* what;
    std::string file;
    const char* section;
    const char* key;
    const char* def;
    std::string expected;
};

TEST_F(PrivateProfile, ReadsValuesAsThePlatformDoes) {
    // Names built here outlive the table that points at them.
    const std::string xDash = "x" + kDash;
    const std::string aA = "a" + kA;
    const std::vector<ReadCase> cases = {
        {"plain", "[S]\r\nk=v\r\n", "S", "k", "d", "v"},
        {"case of names", "[Section]\r\nKey=v\r\n", "sECTION", "kEY", "d", "v"},
        {"blanks in the file", " \t[ S ]\t\r\n \tk \t= \t v w \t\r\n", "S", "k", "d", "v w"},
        {"blanks in the request", "[S]\r\nk=v\r\n", " \tS ", "\tk  ", "d", "v"},
        {"double quotes", "[S]\r\nk=  \" v \"  \r\n", "S", "k", "d", " v "},
        {"single quotes", "[S]\r\nk='v'\r\n", "S", "k", "d", "v"},
        {"mismatched quotes", "[S]\r\nk=\"v'\r\n", "S", "k", "d", "\"v'"},
        {"lone quote", "[S]\r\nk=\"\r\n", "S", "k", "d", "\""},
        {"quotes inside", "[S]\r\nk=a\"b\"\r\n", "S", "k", "d", "a\"b\""},
        {"empty quotes", "[S]\r\nk=\"\"\r\n", "S", "k", "d", ""},
        {"value holding =", "[S]\r\nk=a=b\r\n", "S", "k", "d", "a=b"},
        {"empty value is no default", "[S]\r\nk=\r\n", "S", "k", "d", ""},
        {"blank value is no default", "[S]\r\nk=  \t\r\n", "S", "k", "d", ""},
        {"comment", "[S]\r\n;k=v\r\n", "S", "k", "d", "d"},
        {"indented comment", "[S]\r\n  ;k=v\r\n", "S", ";k", "d", "d"},
        {"line without =", "[S]\r\nk\r\nk=v\r\n", "S", "k", "d", "v"},
        {"LF only", "[A]\nx=1\n[S]\nk=v\n", "S", "k", "d", "v"},
        {"CR only", "[A]\rx=1\r[S]\rk=v\r", "S", "k", "d", "v"},
        {"mixed endings", "[A]\r\nx=1\r[S]\nk=v", "S", "k", "d", "v"},
        {"no final newline", "[S]\r\nk=v", "S", "k", "d", "v"},
        {"header without ]", "[S\r\nk=v\r\n", "S", "k", "d", "v"},
        {"text after ]", "[S] trailing\r\nk=v\r\n", "S", "k", "d", "v"},
        {"missing section", "[S]\r\nk=v\r\n", "T", "k", "d", "d"},
        {"missing key", "[S]\r\nk=v\r\n", "S", "j", "d", "d"},
        {"key of another section", "[S]\r\n[T]\r\nk=v\r\n", "S", "k", "d", "d"},
        {"key before any section", "k=v\r\n[S]\r\n", "S", "k", "d", "d"},
        {"default loses trailing blanks", "", "S", "k", " d \t ", " d"},
        {"null default", "", "S", "k", nullptr, ""},
        {"first duplicate key", "[S]\r\nk=1\r\nK=2\r\n", "S", "k", "d", "1"},
        {"first duplicate section", "[S]\r\nj=1\r\n[s]\r\nk=2\r\n", "S", "k", "d", "d"},
        {"double-byte value", "[S]\r\nk=" + kSo + kSo + "\r\n", "S", "k", "d", kSo + kSo},
        {"trail ] in a section name", "[x" + kDash + "]\r\nk=v\r\n", xDash.c_str(), "k", "d", "v"},
        {"trail [ in a header", "[" + kBracket + "]\r\nk=v\r\n", kBracket.c_str(), "k", "d", "v"},
        {"letters fold beside a double-byte character", "[S]\r\nA" + kA + "=v\r\n", "s", aA.c_str(),
         "d", "v"},
        {"trail bytes do not fold", "[S]\r\n" + kA + "=v\r\n", "S", kDi.c_str(), "d", "d"},
        {"trail bytes do not fold in sections", "[" + kDi + "]\r\nk=v\r\n", kA.c_str(), "k", "d",
         "d"},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.what);
        put(c.file);
        EXPECT_EQ(get(c.section, c.key, c.def), c.expected);
    }
}

TEST_F(PrivateProfile, MissingOrUnreadableFileGivesTheDefault) {
    EXPECT_EQ(get("S", "k", "fallback  "), "fallback");
    EXPECT_FALSE(fs::exists(m_file)) << "reading never creates the file";
    fs::create_directory(m_file);
    EXPECT_EQ(get("S", "k", "fallback"), "fallback");
}

// What stands in the file's place may be planted to stall or exhaust the reader: it reads
// as a missing file, at once, and a write leaves it as it is.
TEST_F(PrivateProfile, OnlyARegularFileOfBoundedSizeIsRead) {
    const off_t largest = 16 * 1024 * 1024;
    const struct {
        const char* what;
        std::function<void(const fs::path&)> make;
        std::string readsAs;
    } cases[] = {
        {"a FIFO without a writer",
         [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, "<default>"},
        {"a sparse file one byte past the bound",
         [&](const fs::path& p) {
             writeBytes(p, "[S]\r\nk=planted\r\n");
             ASSERT_EQ(::truncate(p.c_str(), largest + 1), 0);
         },
         "<default>"},
        {"a file of the bound itself",
         [&](const fs::path& p) {
             writeBytes(p, "[S]\r\nk=planted\r\n");
             ASSERT_EQ(::truncate(p.c_str(), largest), 0);
         },
         "planted"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(m_file);
        c.make(m_file);
        const auto statusBefore = fs::status(m_file).type();
        // A reader that blocks is set free after a while, so that the case fails, not hangs.
        std::atomic<bool> done = false;
        std::atomic<bool> rescued = false;
        std::thread rescue([&] {
            for (int i = 0; i < 100 && !done; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (!done && fs::is_fifo(m_file)) {
                rescued = true;
                ::close(::open(m_file.c_str(), O_WRONLY | O_NONBLOCK));
            }
        });
        EXPECT_EQ(get("S", "k"), c.readsAs);
        done = true;
        rescue.join();
        EXPECT_FALSE(rescued) << "the read waited for a writer";
        if (c.readsAs == "<default>") {
            EXPECT_FALSE(write("S", "k", "mine"));
            EXPECT_EQ(fs::status(m_file).type(), statusBefore);
            if (fs::is_regular_file(m_file)) {
                EXPECT_EQ(fs::file_size(m_file), static_cast<uintmax_t>(largest + 1));
            }
        }
    }
}

TEST_F(PrivateProfile, CutsLongValuesToTheBuffer) {
    const std::string longValue(2000, 'x');
    put("[S]\r\nlong=" + longValue + "\r\nexact=" + std::string(1023, 'y') +
        "\r\ndbcs=" + std::string(1022, 'z') + kSo + "\r\n");
    uint32_t n = 0;
    EXPECT_EQ(get("S", "long", "d", 1024, &n), std::string(1023, 'x'));
    EXPECT_EQ(n, 1023u);
    EXPECT_EQ(get("S", "exact", "d", 1024, &n), std::string(1023, 'y'));
    // The cut falls on bytes, between the lead and trail byte of a double-byte character.
    EXPECT_EQ(get("S", "dbcs", "d", 1024, &n), std::string(1022, 'z') + kSo[0]);
    EXPECT_EQ(get("S", "long", "d", 4, &n), "xxx");
    EXPECT_EQ(get("S", "long", "d", 1, &n), "");
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(get("S", "missing", "defaultvalue", 5), "defa");

    char untouched = '#';
    EXPECT_EQ(GetPrivateProfileStringA("S", "long", "d", &untouched, 0, m_file.c_str()), 0u);
    EXPECT_EQ(untouched, '#');
}

TEST_F(PrivateProfile, LongLinesAndLargeFiles) {
    const std::string huge(100 * 1024, 'h');
    std::string file = "[S]\r\nhuge=" + huge + "\r\n";
    for (int i = 0; i < 20000; ++i)
        file += "key" + std::to_string(i) + "=" + std::to_string(i) + "\r\n";
    put(file);
    EXPECT_EQ(get("S", "huge", "d", huge.size() + 1), huge);
    EXPECT_EQ(get("S", "key19999"), "19999");
    ASSERT_TRUE(write("S", "key10000", "changed"));
    EXPECT_EQ(get("S", "key10000"), "changed");
    EXPECT_EQ(get("S", "huge", "d", huge.size() + 1), huge);
}

TEST_F(PrivateProfile, ListsSectionAndKeyNames) {
    put("[One]\r\na=1\r\n;c=2\r\nB = 2\r\nA=3\r\n[Two]\r\n[one]\r\nz=9\r\n");
    uint32_t n = 0;
    EXPECT_EQ(get(nullptr, "ignored", "d", 1024, &n), std::string("One\0Two\0", 8));
    EXPECT_EQ(n, 8u);
    EXPECT_EQ(get("ONE", nullptr, "d", 1024, &n), std::string("a\0B\0", 4));
    EXPECT_EQ(get("Two", nullptr, "d", 1024, &n), "");
    EXPECT_EQ(get("None", nullptr, "d", 1024, &n), "");

    // A list that does not fit ends in two zeros.
    std::vector<char> buffer(7, '#');
    n = GetPrivateProfileStringA(nullptr, nullptr, "d", buffer.data(), 7, m_file.c_str());
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(std::string(buffer.data(), 7), std::string("One\0T\0\0", 7));
}

struct WriteCase {
    const char* what;
    std::optional<std::string> before;  // nullopt: no file
    const char* section;
    const char* key;
    const char* value;
    std::optional<std::string> after;
};

TEST_F(PrivateProfile, WritesOnlyTheLinesItMust) {
    const std::string keep = "garbage line\r\n; comment\r\n";
    const std::string soXSo = kSo + "x" + kSo;  // outlives the table that points at it
    const std::vector<WriteCase> cases = {
        {"creates the file", std::nullopt, "S", "k", "v", "[S]\r\nk=v\r\n"},
        {"names lose their blanks", std::nullopt, " S\t", " k ", " v ", "[S]\r\nk= v \r\n"},
        {"replaces in place", keep + "[S]\r\n  k = old \r\nj=1\r\n[T]\r\nk=x\r\n", "S", "k", "new",
         keep + "[S]\r\nk=new\r\nj=1\r\n[T]\r\nk=x\r\n"},
        {"keeps the file's spelling", "[s]\r\nKEY=1\r\n", "S", "key", "2", "[s]\r\nKEY=2\r\n"},
        {"replaces the first duplicate", "[S]\r\nk=1\r\n[S]\r\nk=2\r\n", "s", "K", "3",
         "[S]\r\nk=3\r\n[S]\r\nk=2\r\n"},
        {"LF lines stay LF", "[S]\nk=1\nj=2\n", "S", "k", "9", "[S]\nk=9\r\nj=2\n"},
        {"CR lines stay CR", "[S]\rk=1\rj=2", "S", "j", "9", "[S]\rk=1\rj=9\r\n"},
        {"new key after the last key", "[A]\r\nx=1\r\nnoise\r\n; c\r\n\r\n[B]\r\ny=2\r\n", "A", "z",
         "3", "[A]\r\nx=1\r\nz=3\r\nnoise\r\n; c\r\n\r\n[B]\r\ny=2\r\n"},
        {"new key in a section without keys", "[A]\r\n\r\n[B]\r\n", "A", "z", "3",
         "[A]\r\nz=3\r\n\r\n[B]\r\n"},
        {"new key at an unterminated end", "[A]\r\nx=1", "A", "z", "3", "[A]\r\nx=1\r\nz=3\r\n"},
        {"new section at the end", keep + "[A]\r\nx=1\r\n\r\n", "B", "y", "2",
         keep + "[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\n"},
        {"new section after an unterminated line", "[A]\r\nx=1", "B", "y", "2",
         "[A]\r\nx=1\r\n[B]\r\ny=2\r\n"},
        {"empty value", "[A]\r\nx=1\r\n", "A", "x", "", "[A]\r\nx=\r\n"},
        {"deletes a key", keep + "[A]\r\nx=1\r\ny=2\r\n", "A", "X", nullptr,
         keep + "[A]\r\ny=2\r\n"},
        {"deletes an unterminated last key", "[A]\r\nx=1\r\ny=2", "A", "y", nullptr,
         "[A]\r\nx=1\r\n"},
        {"deletes a section", keep + "[A]\r\nx=1\r\n;c\r\n[B]\r\ny=2\r\n", "a", nullptr, nullptr,
         keep + "[B]\r\ny=2\r\n"},
        {"deletes the last section", "[A]\r\nx=1\r\n[B]\r\ny=2", "B", nullptr, "ignored",
         "[A]\r\nx=1\r\n"},
        {"deleting nothing changes nothing", "[A]\nx=1", "A", "y", nullptr, "[A]\nx=1"},
        {"deleting from no file creates none", std::nullopt, "A", nullptr, nullptr, std::nullopt},
        {"double-byte value", std::nullopt, "S", "k", soXSo.c_str(),
         "[S]\r\nk=" + kSo + "x" + kSo + "\r\n"},
        {"trail bytes keep sections apart", "[" + kDi + "]\r\nk=1\r\n", kA.c_str(), "k", "2",
         "[" + kDi + "]\r\nk=1\r\n[" + kA + "]\r\nk=2\r\n"},
    };
    for (const WriteCase& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(m_file);
        if (c.before)
            put(*c.before);
        EXPECT_TRUE(write(c.section, c.key, c.value));
        EXPECT_EQ(bytesOf(m_file), c.after);
        EXPECT_EQ(entries().size(), c.after ? 1u : 0u) << "no temporary file is left";
    }
}

TEST_F(PrivateProfile, WrittenValuesReadBack) {
    const std::string section = "x" + kDash + kA;
    ASSERT_TRUE(write(section.c_str(), (kSo + "key").c_str(), (kSo + "value" + kSo).c_str()));
    ASSERT_TRUE(write(section.c_str(), "plain", "1"));
    EXPECT_EQ(get(("X" + kDash + kA).c_str(), (kSo + "KEY").c_str()), kSo + "value" + kSo);
    EXPECT_EQ(get(section.c_str(), "PLAIN"), "1");
}

TEST_F(PrivateProfile, RefusesWhatItCannotWrite) {
    const std::string original = "[S]\r\nk=1\r\n";
    put(original);

    // Each refusal says why in errno, as a failed system call would.
    fs::permissions(m_file, fs::perms::owner_read | fs::perms::group_read);
    EXPECT_FALSE(write("S", "k", "2"));
    EXPECT_EQ(errno, EACCES);
    EXPECT_FALSE(write("S", "k", nullptr));
    EXPECT_EQ(contents(), original);
    fs::permissions(m_file, fs::perms::owner_read | fs::perms::owner_write);

    fs::permissions(m_dir, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_FALSE(WritePrivateProfileStringA("S", "k", "2", (m_dir / "new.ini").c_str()));
    EXPECT_EQ(errno, EACCES);
    fs::permissions(m_dir, fs::perms::owner_all);
    EXPECT_EQ(contents(), original);
    EXPECT_EQ(entries(), std::set<std::string>{"settings.ini"});

    EXPECT_FALSE(WritePrivateProfileStringA("S", "k", "2", (m_dir / "no" / "x.ini").c_str()));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(fs::exists(m_dir / "no"));

    fs::create_directory(m_dir / "folder.ini");
    EXPECT_FALSE(WritePrivateProfileStringA("S", "k", "2", (m_dir / "folder.ini").c_str()));
    EXPECT_EQ(errno, EISDIR);
    EXPECT_TRUE(fs::is_directory(m_dir / "folder.ini"));

    EXPECT_FALSE(write(nullptr, "k", "v"));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_FALSE(WritePrivateProfileStringA("S", "k", "v", nullptr));
    EXPECT_EQ(contents(), original);
}

// A file size limit makes writing the temporary file fail halfway: the original must survive.
TEST_F(PrivateProfile, FailedWriteLeavesTheFileAsItWas) {
    const std::string original = "[S]\r\nk=1\r\n; keep me\r\n";
    put(original);
    const std::string bigValue(64 * 1024, 'v');

    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = ::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    const bool written = write("S", "k", bigValue.c_str());
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, previousHandler);

    EXPECT_FALSE(written);
    EXPECT_EQ(contents(), original);
    EXPECT_EQ(entries(), std::set<std::string>{"settings.ini"});
}

TEST_F(PrivateProfile, KeepsPermissionsAndLinks) {
    put("[S]\r\nk=1\r\n");
    fs::permissions(m_file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    ASSERT_TRUE(write("S", "k", "2"));
    EXPECT_EQ(fs::status(m_file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

    const fs::path link = m_dir / "link.ini";
    fs::create_symlink(m_file.filename(), link);
    ASSERT_TRUE(WritePrivateProfileStringA("S", "k", "3", link.c_str()));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(contents(), "[S]\r\nk=3\r\n");

    // A new file is made as any other: 0666 less the umask, so a group may share it.
    const fs::path shared = m_dir / "shared.ini";
    const mode_t saved = ::umask(002);
    const bool created = WritePrivateProfileStringA("S", "k", "1", shared.c_str());
    ::umask(saved);
    ASSERT_TRUE(created);
    EXPECT_EQ(fs::status(shared).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                  fs::perms::group_write | fs::perms::others_read);
}

// A folder without write permission takes no new file, but the writable file in it is still
// the user's to change: each edit lands in the same file (same inode, so hard links and the
// owner stay), leaves nothing beside it, and a read-only file there stays refused. The
// folder has no write permission bit, which counts as read-only for root too.
TEST_F(PrivateProfile, UpdatesAWritableFileInAReadOnlyFolderInPlace) {
    put("[S]\r\nk=1\r\n");
    const fs::path hardLink = m_dir / "other-name.ini";
    fs::create_hard_link(m_file, hardLink);
    struct stat before = {};
    ASSERT_EQ(::stat(m_file.c_str(), &before), 0);
    fs::permissions(m_dir, fs::perms::owner_read | fs::perms::owner_exec);

    const struct {
        const char* key;
        const char* value;
        const char* after;
    } edits[] = {
        {"k", "a much longer value than before", "[S]\r\nk=a much longer value than before\r\n"},
        {"n", "2", "[S]\r\nk=a much longer value than before\r\nn=2\r\n"},
        {"k", nullptr, "[S]\r\nn=2\r\n"},
    };
    for (const auto& edit : edits) {
        SCOPED_TRACE(edit.key);
        EXPECT_TRUE(write("S", edit.key, edit.value));
        EXPECT_EQ(contents(), edit.after);
        EXPECT_EQ(bytesOf(hardLink), edit.after) << "the file was replaced, not updated";
        struct stat st = {};
        ASSERT_EQ(::stat(m_file.c_str(), &st), 0);
        EXPECT_EQ(st.st_ino, before.st_ino);
        EXPECT_EQ(entries(), (std::set<std::string>{"other-name.ini", "settings.ini"}));
    }

    fs::permissions(m_file, fs::perms::owner_read);
    EXPECT_FALSE(write("S", "n", "3"));
    EXPECT_EQ(contents(), "[S]\r\nn=2\r\n");
}

// Another user who may read the folder, or the file, may lock it; that must hold up the
// user's write a short while at most. The holder keeps its lock far longer than the bound
// checked here, which only a wait without any bound would pass. Where all may write the
// folder, the writers share the lock on the file itself: a lock file that another user
// left there, held or not, stands in nobody's way.
TEST_F(PrivateProfile, AnotherUsersLockHoldsUpAWriteAShortWhileAtMost) {
    using platform::testing::kAnotherUser;
    if (!platform::testing::canActAsAnotherUser())
        GTEST_SKIP() << "acting as another user needs root";
    const std::string original = "[S]\r\nk=1\r\n";
    const fs::perms allMayWrite = fs::perms::all;
    const fs::perms writerMayWrite = fs::perms::owner_all | fs::perms::group_read |
                                     fs::perms::group_exec | fs::perms::others_read |
                                     fs::perms::others_exec;
    const fs::perms nobodyMayWrite = fs::perms::owner_read | fs::perms::owner_exec |
                                     fs::perms::others_read | fs::perms::others_exec;
    const struct {
        const char* what;
        std::optional<fs::path> locked;
        bool othersLockFile;  // another user made the lock file (in a folder all may write)
        fs::perms folder;     // nobody may write it: the file is rewritten in place
        bool written;
    } cases[] = {
        {"the folder, which all may write", m_dir, false, allMayWrite, true},
        {"the folder, which only the writer may write", m_dir, false, writerMayWrite, true},
        {"another user's lock file", std::nullopt, true, allMayWrite, true},
        {"another user's lock file, held", m_dir / lockFile(), true, allMayWrite, true},
        {"the file, in a folder all may write", m_file, false, allMayWrite, false},
        {"the file rewritten in place", m_file, false, nobodyMayWrite, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::permissions(m_dir, fs::perms::all);
        fs::remove(m_dir / lockFile());
        put(original);
        if (c.othersLockFile) {
            writeBytes(m_dir / lockFile(), "");
            ASSERT_EQ(::chown((m_dir / lockFile()).c_str(), kAnotherUser, kAnotherUser), 0);
        }
        fs::permissions(m_dir, c.folder);
        std::optional<platform::testing::LockOfAnotherUser> lock;
        if (c.locked) {
            lock.emplace(*c.locked, 90);
            ASSERT_TRUE(lock->held());
        }

        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(write("S", "k", "2"), c.written);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(45));
        EXPECT_EQ(contents(), c.written ? "[S]\r\nk=2\r\n" : original);
    }
}

// A link that another user placed in a folder others may write (sticky or not) would have
// the writer rewrite a file of that user's choosing; the writer's own link there is followed.
TEST_F(PrivateProfile, FollowsOnlyItsOwnLinksInAFolderOthersMayWrite) {
    if (!platform::testing::canActAsAnotherUser())
        GTEST_SKIP() << "giving a link another owner needs root";
    const std::string original = "[S]\r\nk=1\r\n";
    const fs::path shared = m_dir / "shared";
    fs::create_directory(shared);
    fs::permissions(shared, fs::perms::all);  // 0777, not sticky
    const fs::path link = shared / "settings.ini";
    const struct {
        const char* what;
        uid_t owner;
        bool followed;
    } cases[] = {
        {"another user's link", platform::testing::kAnotherUser, false},
        {"the writer's own link", ::geteuid(), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        put(original);
        fs::remove(link);
        fs::create_symlink(m_file, link);
        ASSERT_EQ(::lchown(link.c_str(), c.owner, c.owner), 0);
        EXPECT_EQ(WritePrivateProfileStringA("S", "k", "2", link.c_str()), c.followed);
        EXPECT_EQ(contents(), c.followed ? "[S]\r\nk=2\r\n" : original);
        EXPECT_TRUE(fs::is_symlink(link));
    }
}

// Someone who may write the folder swaps the settings file for a link to the writer's
// private file at the moment after the writer's checks on the name (its first lock): the
// private content must reach neither the settings file nor the link's target, in a
// folder all may write (not sticky, so the kernel's link protection does not apply) as
// in the writer's own.
TEST_F(PrivateProfile, ALinkSwappedInAfterTheChecksIsNeverRead) {
    const std::string secret = "[S]\r\nsecret=private\r\n";
    const fs::path privateFile = m_dir / "private.ini";
    writeBytes(privateFile, secret);
    fs::permissions(privateFile, fs::perms::owner_read | fs::perms::owner_write);
    const struct {
        const char* what;
        fs::perms folderMode;
    } cases[] = {
        {"a folder all may write", fs::perms::all},
        {"the writer's own folder", fs::perms::owner_all},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path folder = m_dir / "folder";
        fs::remove_all(folder);
        fs::create_directory(folder);
        fs::permissions(folder, c.folderMode);
        const fs::path file = folder / "settings.ini";
        writeBytes(file, "[S]\r\nk=1\r\n");
        beforeNextLock = [&] {
            fs::create_symlink(privateFile, folder / "swap");
            fs::rename(folder / "swap", file);
        };
        const bool written = WritePrivateProfileStringA("S", "k", "2", file.c_str());
        const int error = errno;
        beforeNextLock = nullptr;

        EXPECT_FALSE(written);
        EXPECT_EQ(error, ELOOP);
        EXPECT_TRUE(fs::is_symlink(file));
        EXPECT_EQ(bytesOf(privateFile), secret);
        for (const auto& entry : fs::directory_iterator(folder)) {
            if (!entry.is_symlink()) {
                EXPECT_EQ(bytesOf(entry.path()).value_or("").find("private"), std::string::npos)
                    << entry.path();
            }
        }
    }
}

// Whatever is written comes back, for names and values the format can carry: no line
// breaks, no blanks at either end, no enclosing quotes, no "=" in keys, no "]" in sections.
TEST_F(PrivateProfile, WhatIsWrittenReadsBack) {
    std::mt19937 random(20240607);
    const std::vector<std::string> pieces = {
        "a", "B", "z",  "Q",  "0", "9", "=", "]",   "[",      ";",        "\"",
        "'", " ", "\t", "\\", kSo, kA,  kDi, kDash, kBracket, "\xE0\x40", "\xFC\xFC"};
    auto pick = [&](int minLength, int maxLength, const std::string& banned) {
        for (;;) {
            std::string s;
            const int length = std::uniform_int_distribution<>(minLength, maxLength)(random);
            for (int i = 0; i < length; ++i) {
                const std::string& piece = pieces[random() % pieces.size()];
                if (banned.find(piece) == std::string::npos || piece.size() == 2)
                    s += piece;
            }
            const bool edgeBlank = !s.empty() && (s.front() == ' ' || s.front() == '\t' ||
                                                  s.back() == ' ' || s.back() == '\t');
            const bool quoted =
                s.size() >= 2 && (s.front() == '"' || s.front() == '\'') && s.back() == s.front();
            if (static_cast<int>(s.size()) >= minLength && !edgeBlank && !quoted)
                return s;
        }
    };
    auto fold = [](const std::string& s) {
        std::string folded;
        for (size_t i = 0; i < s.size(); ++i) {
            const unsigned char c = s[i];
            if ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC)) {
                folded += s.substr(i++, 2);
            } else {
                folded += static_cast<char>(std::tolower(c));
            }
        }
        return folded;
    };

    std::vector<std::string> sections;
    for (int i = 0; i < 4; ++i)
        sections.push_back(pick(1, 6, "];"));
    std::map<std::pair<std::string, std::string>, std::pair<std::string, std::string>> model;
    for (int round = 0; round < 200; ++round) {
        const std::string& section = sections[random() % sections.size()];
        const std::string key = pick(1, 5, "=;[");
        const std::string value = pick(0, 12, "");
        ASSERT_TRUE(write(section.c_str(), key.c_str(), value.c_str()));
        model[{fold(section), fold(key)}] = {key, value};
        if (round % 50 == 0) {
            const std::string& key = model.begin()->second.first;
            ASSERT_TRUE(write(model.begin()->first.first.c_str(), key.c_str(), nullptr));
            model.erase(model.begin());
        }
    }
    for (const auto& [where, stored] : model) {
        SCOPED_TRACE(where.first + " / " + stored.first);
        EXPECT_EQ(get(where.first.c_str(), stored.first.c_str(), "<absent>"), stored.second);
    }
}

}  // namespace
