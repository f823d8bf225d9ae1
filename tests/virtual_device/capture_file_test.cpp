// Capture files: every event written reads back as it was, in either byte order of the
// format; what tshark makes of them; and every malformed record refused by its number.
#include "virtual_device/capture_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>

#include "platform/error.h"
#include "platform/utf8.h"

namespace port_control::virtual_device {
namespace {

using std::chrono::microseconds;
namespace fs = std::filesystem;

class TemporaryFolder {
  public:
    TemporaryFolder() {
        std::string pattern = (fs::temp_directory_path() / "corvane-capture-XXXXXX").string();
        if (::mkdtemp(pattern.data()))
            m_path = pattern;
    }
    ~TemporaryFolder() {
        std::error_code ignored;
        fs::remove_all(m_path, ignored);
    }
    const fs::path& path() const { return m_path; }

  private:
    fs::path m_path;
};

std::string contentsOf(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Writes the integers of a capture by hand, in either byte order.
struct CaptureBuilder {
    bool bigEndian = false;
    bool nanoseconds = false;
    uint32_t linkType = kLinkTypeRtacSerial;
    std::string bytes;

    void put(uint32_t value, int size, bool big) {
        for (int i = 0; i < size; ++i) {
            const int shift = big ? 8 * (size - 1 - i) : 8 * i;
            bytes += static_cast<char>((value >> shift) & 0xFF);
        }
    }
    CaptureBuilder& header() {
        put(nanoseconds ? 0xa1b23c4d : 0xa1b2c3d4, 4, bigEndian);
        put(2, 2, bigEndian);
        put(4, 2, bigEndian);
        put(0, 4, bigEndian);
        put(0, 4, bigEndian);
        put(12 + kLongestData, 4, bigEndian);
        put(linkType, 4, bigEndian);
        return *this;
    }
    struct Record {
        uint32_t seconds = 1700000000;
        uint32_t microseconds = 0;
        uint8_t type = 1;
        uint8_t lines = 0;
        uint16_t footer = 0;
        std::string data = "x";
        int64_t included = -1;  // -1: the true length
        int64_t original = -1;
    };
    CaptureBuilder& record(const Record& r) {
        const auto length = static_cast<uint32_t>(12 + r.data.size());
        put(r.seconds, 4, bigEndian);
        put(nanoseconds ? r.microseconds * 1000 : r.microseconds, 4, bigEndian);
        put(r.included < 0 ? length : static_cast<uint32_t>(r.included), 4, bigEndian);
        put(r.original < 0 ? length : static_cast<uint32_t>(r.original), 4, bigEndian);
        put(r.seconds, 4, true);
        put(r.microseconds, 4, true);
        put(r.type, 1, true);
        put(r.lines, 1, true);
        put(r.footer, 2, true);
        bytes += r.data;
        return *this;
    }
};

LineEvent event(int64_t us, LineEventType type, uint8_t lineBits, std::string bytes) {
    return LineEvent{microseconds(us), type, lineBits, std::move(bytes)};
}

std::string everyByteValue() {
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes += static_cast<char>(i);
    return bytes;
}

TEST(CaptureFileTest, EveryEventReadsBackAsWritten) {
    TemporaryFolder folder;
    const fs::path file = folder.path() / "line.pcap";
    const int64_t t0 = int64_t{1700000000} * 1000000 + 250;
    const std::string longData = std::string(kLongestData, 'a') + "tail";
    const std::vector<LineEvent> written{
        event(t0, LineEventType::Settings, lines::kDtr | lines::kRts, "9600,n,8,1"),
        event(t0 + 1, LineEventType::Status, lines::kCts | lines::kDsr | lines::kDcd, ""),
        event(t0 + 1, LineEventType::Sent, lines::kDtr, everyByteValue()),
        event(t0 + 999999, LineEventType::Received, lines::kRing, "\xff\x00\x7f"),
        event(t0 + 1000000, LineEventType::CaptureLost, 0, ""),
        event(t0 + 1000001, LineEventType::Framing, 0, ""),
        event(t0 + 1000002, LineEventType::Parity, 0, ""),
        event(t0 + 1000003, LineEventType::Break, 0, ""),
        event(t0 + 1000004, LineEventType::Overrun, 0x3f, ""),
        event(t0 + 2000000, LineEventType::Settings, 0, "115200,e,7,2"),
        event(t0 + 2000001, LineEventType::Received, 0, longData),
        // The clock set back while recording: written at the last time, not before it.
        event(t0 + 1500000, LineEventType::Sent, 0, "late"),
    };
    {
        CaptureWriter writer(file);
        for (const LineEvent& e : written)
            writer.write(e);
        // Empty data says nothing and is not written.
        writer.write(event(t0 + 3000000, LineEventType::Sent, 0, ""));
    }
    std::vector<LineEvent> expected(written.begin(), written.end() - 2);
    expected.push_back(
        event(t0 + 2000001, LineEventType::Received, 0, longData.substr(0, kLongestData)));
    expected.push_back(event(t0 + 2000001, LineEventType::Received, 0, "tail"));
    expected.push_back(event(t0 + 2000001, LineEventType::Sent, 0, "late"));
    EXPECT_EQ(readCapture(file), expected);

    // As libpcap writes it on this machine: the magic in little-endian order, link type 250.
    const std::string bytes = contentsOf(file);
    ASSERT_GE(bytes.size(), 24u);
    EXPECT_EQ(bytes.substr(0, 4), std::string("\xd4\xc3\xb2\xa1", 4));
    EXPECT_EQ(bytes.substr(20, 4), std::string("\xfa\x00\x00\x00", 4));
}

TEST(CaptureFileTest, ReadsEitherByteOrderAndNanosecondTimes) {
    for (const bool bigEndian : {false, true}) {
        for (const bool nanoseconds : {false, true}) {
            CaptureBuilder builder;
            builder.bigEndian = bigEndian;
            builder.nanoseconds = nanoseconds;
            builder.header();
            builder.record(
                {.seconds = 10, .microseconds = 5, .type = 2, .lines = 0x21, .data = "ab"});
            builder.record({.seconds = 10,
                            .microseconds = 6,
                            .type = 0,
                            .footer = kSettingsFooter,
                            .data = "300,m,5,1.5"});
            const std::vector<LineEvent> expected{
                event(10000005, LineEventType::Received, 0x21, "ab"),
                event(10000006, LineEventType::Settings, 0, "300,m,5,1.5")};
            EXPECT_EQ(parseCapture(builder.bytes, "x.pcap"), expected)
                << "big-endian " << bigEndian << ", nanoseconds " << nanoseconds;
        }
    }
}

TEST(CaptureFileTest, RefusesTheFirstMalformedRecordByItsNumber) {
    using Record = CaptureBuilder::Record;
    const Record good;
    struct Case {
        const char* what;
        std::function<void(CaptureBuilder&)> build;
        std::u16string expected;  // in the description
    };
    const std::vector<Case> cases{
        {"no header", [](CaptureBuilder& b) { b.bytes = "\xd4\xc3\xb2\xa1"; }, u"ヘッダー"},
        {"not pcap", [](CaptureBuilder& b) { b.header().bytes[0] = 'X'; }, u"ヘッダー"},
        {"another link type",
         [](CaptureBuilder& b) {
             b.linkType = 147;
             b.header().record({});
         },
         u"147"},
        {"a cut header",
         [&](CaptureBuilder& b) {
             b.header().record(good).record(good);
             b.bytes.resize(b.bytes.size() - 2 - 12 - 14);
         },
         u" 2 番目"},
        {"a cut record",
         [&](CaptureBuilder& b) {
             b.header().record(good).record(good);
             b.bytes.pop_back();
         },
         u" 2 番目"},
        {"a record cut when recorded",
         [&](CaptureBuilder& b) { b.header().record(good).record(good).record({.original = 14}); },
         u" 3 番目"},
        {"longer than the snap length",
         [&](CaptureBuilder& b) {
             b.header().record({.data = std::string(kLongestData + 1, 'a')});
         },
         u" 1 番目"},
        {"too short for the event header",
         [&](CaptureBuilder& b) {
             b.header().record(good);
             b.record({.data = "", .included = 4, .original = 4});
         },
         u" 2 番目"},
        {"an unknown type", [&](CaptureBuilder& b) { b.header().record(good).record({.type = 3}); },
         u" 2 番目"},
        {"our settings code as a type",
         [&](CaptureBuilder& b) { b.header().record({.type = 0x80, .data = "9600,n,8,1"}); },
         u" 1 番目"},
        {"invalid settings",
         [&](CaptureBuilder& b) {
             b.header().record({.type = 0, .footer = kSettingsFooter, .data = "9600,x,8,1"});
         },
         u" 1 番目"},
        {"empty data",
         [&](CaptureBuilder& b) { b.header().record(good).record({.type = 2, .data = ""}); },
         u" 2 番目"},
        {"data on a break", [&](CaptureBuilder& b) { b.header().record({.type = 9}); }, u" 1 番目"},
        {"time going backwards",
         [&](CaptureBuilder& b) {
             b.header().record(good).record({.seconds = good.seconds - 1, .microseconds = 999999});
         },
         u" 2 番目"},
        {"microseconds past a second",
         [&](CaptureBuilder& b) { b.header().record({.microseconds = 1000000}); }, u" 1 番目"},
    };
    for (const Case& c : cases) {
        CaptureBuilder builder;
        c.build(builder);
        try {
            parseCapture(builder.bytes, "bad.pcap");
            ADD_FAILURE() << c.what << ": accepted";
        } catch (const platform::Error& error) {
            EXPECT_EQ(error.number(), 380) << c.what;
            EXPECT_NE(error.description().find(u"bad.pcap"), std::u16string::npos) << c.what;
            EXPECT_NE(error.description().find(c.expected), std::u16string::npos)
                << c.what << ": " << error.what();
        }
    }
}

TEST(CaptureFileTest, FilesThatCannotBeUsedAreRefused) {
    TemporaryFolder folder;
    const fs::path target = folder.path() / "elsewhere";
    std::ofstream(target) << "kept";
    const fs::path link = folder.path() / "link.pcap";
    fs::create_symlink(target, link);
    const fs::path fifo = folder.path() / "fifo.pcap";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

    const auto numberOf = [](const std::function<void()>& action) {
        try {
            action();
        } catch (const platform::Error& error) {
            return error.number();
        }
        return 0;
    };
    EXPECT_EQ(numberOf([&] { CaptureWriter writer(link); }), 75);
    EXPECT_EQ(contentsOf(target), "kept");
    EXPECT_EQ(numberOf([&] { CaptureWriter writer(fifo); }), 75);
    EXPECT_EQ(numberOf([&] { readCapture(fifo); }), 75);
    EXPECT_EQ(numberOf([&] { readCapture(folder.path() / "missing.pcap"); }), 53);
}

TEST(CaptureFileTest, TsharkDecodesTheEvents) {
    if (::access("/usr/bin/tshark", X_OK) != 0)
        GTEST_SKIP() << "tshark is not installed (scripts/setup.sh installs it)";
    TemporaryFolder folder;
    const fs::path file = folder.path() / "line.pcap";
    {
        CaptureWriter writer(file);
        writer.write(event(1000000, LineEventType::Sent, lines::kCts | lines::kDtr, "AT\r"));
        writer.write(event(2000000, LineEventType::Settings, 0, "9600,n,8,1"));
        writer.write(event(3000000, LineEventType::Break, lines::kDcd | lines::kRing, ""));
    }
    // HOME elsewhere: tshark reads no profile of this machine's user.
    const std::string command =
        "HOME=" + folder.path().string() + " /usr/bin/tshark -r " + file.string() +
        " -T fields -E separator=, -e rtacser.eventtype -e rtacser.cts -e rtacser.dcd "
        "-e rtacser.dtr -e rtacser.ring -e rtacser.footer 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[256];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
        output.append(buffer, n);
    EXPECT_EQ(::pclose(pipe), 0);
    EXPECT_EQ(output,
              "0x01,1,0,1,0,0x0000\n"
              "0x00,0,0,0,0,0x5345\n"
              "0x09,0,1,0,1,0x0000\n");
}

}  // namespace
}  // namespace port_control::virtual_device
