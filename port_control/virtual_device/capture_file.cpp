#include "virtual_device/capture_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <utility>

#include "components/serial_settings.h"
#include "platform/error.h"
#include "platform/file_descriptor.h"
#include "platform/utf8.h"
#include "virtual_device/input_file.h"

namespace port_control::virtual_device {

namespace {

constexpr uint32_t kMagicMicroseconds = 0xa1b2c3d4;
constexpr uint32_t kMagicNanoseconds = 0xa1b23c4d;
constexpr size_t kFileHeaderSize = 24;
constexpr size_t kRecordHeaderSize = 16;
constexpr size_t kEventHeaderSize = 12;
constexpr uint32_t kSnapLength = kEventHeaderSize + kLongestData;
// Far more than kMostEvents records of usual size; checked before a byte is read.
constexpr size_t kLargestFile = size_t{256} << 20;
constexpr int64_t kMicrosecondsPerSecond = 1000000;

std::u16string u16(const std::string& text) {
    return platform::fromUtf8(text);
}

std::u16string number(uint64_t value) {
    return u16(std::to_string(value));
}

bool carriesData(LineEventType type) {
    return type == LineEventType::Sent || type == LineEventType::Received;
}

std::optional<LineEventType> typeFromCode(uint8_t code) {
    switch (static_cast<LineEventType>(code)) {
        case LineEventType::Status:
        case LineEventType::Sent:
        case LineEventType::Received:
        case LineEventType::CaptureLost:
        case LineEventType::Framing:
        case LineEventType::Parity:
        case LineEventType::Break:
        case LineEventType::Overrun:
            return static_cast<LineEventType>(code);
        case LineEventType::Settings:   // only a status change with its own footer
        case LineEventType::BreakSent:  // only a BREAK with its own footer
            break;
    }
    return std::nullopt;
}

bool validSettingsText(std::string_view text) {
    std::u16string wide;
    for (unsigned char c : text) {
        if (c >= 0x80)
            return false;
        wide += static_cast<char16_t>(c);
    }
    return SerialSettings::parse(wide).has_value();
}

// What is wrong with an event's own content, whoever made it; empty when nothing is.
std::u16string contentProblem(const LineEvent& event) {
    if (carriesData(event.type)) {
        if (event.bytes.empty())
            return u"データのないデータ イベントです。";
    } else if (event.type == LineEventType::Settings) {
        if (!validSettingsText(event.bytes))
            return u"通信設定 \"" + u16(event.bytes.substr(0, 40)) + u"\" は不正です。";
    } else if (!event.bytes.empty()) {
        return u"データを持たないイベント (種類 " + number(static_cast<uint8_t>(event.type)) +
               u") にデータがあります。";
    }
    return {};
}

void putBigEndian32(std::string& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out += static_cast<char>((value >> shift) & 0xFF);
}

void putLittleEndian32(std::string& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8)
        out += static_cast<char>((value >> shift) & 0xFF);
}

void putLittleEndian16(std::string& out, uint16_t value) {
    out += static_cast<char>(value & 0xFF);
    out += static_cast<char>(value >> 8);
}

// Reads the integers of the file's headers in the byte order its magic number gave.
class ByteReader {
  public:
    explicit ByteReader(std::string_view bytes) : m_bytes(bytes) {}

    size_t remaining() const { return m_bytes.size() - m_position; }
    void setBigEndian(bool bigEndian) { m_bigEndian = bigEndian; }

    uint32_t fileOrder32() {
        const uint32_t value = bigEndian32();
        return m_bigEndian ? value : __builtin_bswap32(value);
    }
    uint16_t fileOrder16() {
        const uint16_t value = bigEndian16();
        return m_bigEndian ? value : __builtin_bswap16(value);
    }
    uint32_t bigEndian32() {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i)
            value = (value << 8) | byte();
        return value;
    }
    uint16_t bigEndian16() {
        const uint16_t high = byte();
        return static_cast<uint16_t>((high << 8) | byte());
    }
    uint8_t byte() { return static_cast<uint8_t>(m_bytes[m_position++]); }
    std::string_view take(size_t size) {
        const std::string_view taken = m_bytes.substr(m_position, size);
        m_position += size;
        return taken;
    }

  private:
    std::string_view m_bytes;
    size_t m_position = 0;
    bool m_bigEndian = false;
};

class CaptureParser {
  public:
    CaptureParser(std::string_view bytes, const std::string& name) : m_in(bytes), m_name(name) {}

    std::vector<LineEvent> parse() {
        readFileHeader();
        std::vector<LineEvent> events;
        while (m_in.remaining() > 0) {
            ++m_record;
            if (events.size() == kMostEvents)
                fail(u"イベントが多すぎます (最大 " + number(kMostEvents) + u" 個)。");
            events.push_back(readRecord());
            if (events.size() > 1 && events.back().time < events[events.size() - 2].time)
                fail(u"時刻が前のレコードより前です。");
        }
        return events;
    }

  private:
    [[noreturn]] void failHeader(std::u16string_view detail) const {
        throw platform::Error(platform::errors::kInvalidPropertyValue,
                              u"キャプチャ ファイル " + u16(m_name) + u" のヘッダーが不正です: " +
                                  std::u16string(detail));
    }

    [[noreturn]] void fail(std::u16string_view detail) const {
        throw platform::Error(platform::errors::kInvalidPropertyValue,
                              u"キャプチャ ファイル " + u16(m_name) + u" の " + number(m_record) +
                                  u" 番目のレコードが不正です: " + std::u16string(detail));
    }

    void readFileHeader() {
        if (m_in.remaining() < kFileHeaderSize)
            failHeader(u"pcap のヘッダーがありません。");
        const uint32_t magic = m_in.bigEndian32();
        if (magic == kMagicMicroseconds || magic == kMagicNanoseconds) {
            m_in.setBigEndian(true);
        } else if (magic == __builtin_bswap32(kMagicMicroseconds) ||
                   magic == __builtin_bswap32(kMagicNanoseconds)) {
            m_in.setBigEndian(false);
        } else {
            failHeader(u"pcap ファイルではありません。");
        }
        m_fractionsPerSecond =
            (magic == kMagicNanoseconds || magic == __builtin_bswap32(kMagicNanoseconds))
                ? 1000000000
                : 1000000;
        const uint16_t major = m_in.fileOrder16();
        m_in.fileOrder16();  // minor version
        m_in.fileOrder32();  // time zone, unused
        m_in.fileOrder32();  // time stamp accuracy, unused
        m_snapLength = m_in.fileOrder32();
        const uint32_t linkType = m_in.fileOrder32();
        if (major != 2)
            failHeader(u"pcap のバージョン " + number(major) + u" は読めません。");
        if (linkType != kLinkTypeRtacSerial) {
            failHeader(u"リンク タイプ " + number(linkType) + u" はシリアル回線 (" +
                       number(kLinkTypeRtacSerial) + u") ではありません。");
        }
    }

    LineEvent readRecord() {
        if (m_in.remaining() < kRecordHeaderSize)
            fail(u"レコードのヘッダーが途中で切れています。");
        m_in.fileOrder32();  // seconds: the event's own time below is the one used
        const uint32_t fraction = m_in.fileOrder32();
        const uint32_t included = m_in.fileOrder32();
        const uint32_t original = m_in.fileOrder32();
        if (fraction >= m_fractionsPerSecond)
            fail(u"pcap の時刻の秒未満が 1 秒以上です。");
        if (included > m_snapLength || included > kSnapLength)
            fail(u"長さ " + number(included) + u" バイトは大きすぎます。");
        if (included != original)
            fail(u"記録時に切り詰められたレコードです。");
        if (included < kEventHeaderSize)
            fail(u"長さ " + number(included) + u" バイトにイベントのヘッダーが入りません。");
        if (m_in.remaining() < included)
            fail(u"ファイルがレコードの途中で終わっています。");

        const uint32_t seconds = m_in.bigEndian32();
        const uint32_t microseconds = m_in.bigEndian32();
        const uint8_t code = m_in.byte();
        LineEvent event;
        event.lines = m_in.byte();
        const uint16_t footer = m_in.bigEndian16();
        event.bytes = std::string(m_in.take(included - kEventHeaderSize));
        if (microseconds >= kMicrosecondsPerSecond)
            fail(u"時刻のマイクロ秒 " + number(microseconds) + u" が 1 秒以上です。");
        event.time = std::chrono::microseconds(seconds * kMicrosecondsPerSecond + microseconds);

        const std::optional<LineEventType> type = typeFromCode(code);
        if (!type)
            fail(u"イベントの種類 " + number(code) + u" は不明です。");
        event.type = *type;
        if (event.type == LineEventType::Status && footer == kSettingsFooter)
            event.type = LineEventType::Settings;
        if (event.type == LineEventType::Break && footer == kSentFooter)
            event.type = LineEventType::BreakSent;
        const std::u16string problem = contentProblem(event);
        if (!problem.empty())
            fail(problem);
        return event;
    }

    ByteReader m_in;
    const std::string& m_name;
    uint32_t m_fractionsPerSecond = 1000000;
    uint32_t m_snapLength = 0;
    uint64_t m_record = 0;  // the number of the record being read, from 1
};

}  // namespace

CaptureWriter::CaptureWriter(const std::filesystem::path& file) : m_file(file) {
    // O_NONBLOCK: a FIFO in the file's place is refused at once instead of waited on.
    m_fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK,
                  0644);
    if (m_fd < 0) {
        throw platform::Error(fileErrorNumber(errno),
                              fileErrorText(u"キャプチャ ファイル", m_file, errno));
    }
    struct stat info = {};
    if (::fstat(m_fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(m_fd);
        m_fd = -1;
        throw platform::Error(
            platform::errors::kPathFileAccessError,
            u"キャプチャ ファイル " + u16(m_file.string()) + u" は通常のファイルではありません。");
    }
    std::string header;
    putLittleEndian32(header, kMagicMicroseconds);
    putLittleEndian16(header, 2);
    putLittleEndian16(header, 4);
    putLittleEndian32(header, 0);  // times are UTC
    putLittleEndian32(header, 0);
    putLittleEndian32(header, kSnapLength);
    putLittleEndian32(header, kLinkTypeRtacSerial);
    try {
        writeRecord(header);
    } catch (...) {
        ::close(m_fd);
        m_fd = -1;
        throw;
    }
}

CaptureWriter::~CaptureWriter() {
    if (m_fd >= 0)
        ::close(m_fd);
}

void CaptureWriter::write(const LineEvent& event) {
    // Empty data says nothing, and a reader would refuse it.
    if (carriesData(event.type) && event.bytes.empty())
        return;
    const std::u16string problem = contentProblem(event);
    if (!problem.empty()) {
        throw platform::Error(platform::errors::kInvalidPropertyValue,
                              u"キャプチャ ファイル " + u16(m_file.string()) +
                                  u" に書けないイベントです: " + problem);
    }
    const int64_t since = event.time.count();
    if (since < 0 || since / kMicrosecondsPerSecond > UINT32_MAX) {
        throw platform::Error(
            platform::errors::kInvalidPropertyValue,
            u"キャプチャ ファイル " + u16(m_file.string()) + u" に書けない時刻のイベントです。");
    }
    // The clock may be set back while a recording runs: a later event is never written
    // as earlier, as a reader refuses time going backwards.
    const int64_t time = std::max(since, m_lastTime);
    m_lastTime = time;
    const auto seconds = static_cast<uint32_t>(time / kMicrosecondsPerSecond);
    const auto microseconds = static_cast<uint32_t>(time % kMicrosecondsPerSecond);
    uint8_t code = static_cast<uint8_t>(event.type);
    uint16_t footer = 0;
    if (event.type == LineEventType::Settings) {
        code = static_cast<uint8_t>(LineEventType::Status);
        footer = kSettingsFooter;
    } else if (event.type == LineEventType::BreakSent) {
        code = static_cast<uint8_t>(LineEventType::Break);
        footer = kSentFooter;
    }

    std::string_view rest = event.bytes;
    do {
        const std::string_view piece = rest.substr(0, kLongestData);
        rest.remove_prefix(piece.size());
        const auto length = static_cast<uint32_t>(kEventHeaderSize + piece.size());
        std::string record;
        record.reserve(kRecordHeaderSize + length);
        putLittleEndian32(record, seconds);
        putLittleEndian32(record, microseconds);
        putLittleEndian32(record, length);
        putLittleEndian32(record, length);
        putBigEndian32(record, seconds);
        putBigEndian32(record, microseconds);
        record += static_cast<char>(code);
        record += static_cast<char>(event.lines);
        record += static_cast<char>(footer >> 8);
        record += static_cast<char>(footer & 0xFF);
        record += piece;
        writeRecord(record);
    } while (!rest.empty());
}

void CaptureWriter::writeRecord(std::string_view record) {
    if (platform::writeAll(m_fd, record)) {
        m_written += record.size();
        return;
    }
    const int error = errno;
    // A part of a record would end the file for a reader; without it the file still
    // reads to its last whole record.
    if (::ftruncate(m_fd, static_cast<off_t>(m_written)) == 0)
        ::lseek(m_fd, static_cast<off_t>(m_written), SEEK_SET);
    throw platform::Error(fileErrorNumber(error),
                          fileErrorText(u"キャプチャ ファイル", m_file, error));
}

std::vector<LineEvent> readCapture(const std::filesystem::path& file) {
    const std::string bytes = readInputFile(file, kLargestFile, u"キャプチャ ファイル");
    return parseCapture(bytes, file.string());
}

std::vector<LineEvent> parseCapture(std::string_view bytes, const std::string& name) {
    return CaptureParser(bytes, name).parse();
}

}  // namespace port_control::virtual_device
