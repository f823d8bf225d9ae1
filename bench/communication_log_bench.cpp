// The communication log's cost per entry. The log writer is private to the control, so its
// cost is measured as the difference between an Output with LogFile set and the same
// Output on a control without a log (both over a quiet UDP sender, so no network is
// involved), against a plain open(O_APPEND) / write / close of the same line, prepared once.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <system_error>

#include "platform/codepage932.h"
#include "platform/error.h"
#include "support/comparison.h"
#include "support/quiet_udp.h"
#include "text_render/render_control_chars.h"

namespace {

namespace fs = std::filesystem;

// 64 characters: a test frame of the sample (codes 1, 2, 31, a counter, 3, 4, 255 read in
// code page 932), Japanese text and padding.
std::u16string payload() {
    std::u16string text = platform::cp932::decode(
        "\x01\x02\x1f"
        "12345"
        "\x03\x04\xff");
    text += u"受信データの確認";
    while (text.size() < 64)
        text += static_cast<char16_t>(u'a' + text.size() % 26);
    return text;
}

// The entry the log writer makes for an Output of `text` now.
std::string preparedLine(const std::u16string& text) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::string line(stamp, std::strftime(stamp, sizeof stamp, "%Y/%m/%d %H:%M:%S", &local));
    line += ':';
    platform::cp932::encodeAppend(text_render::RenderControlChars(u"OUT:" + text), line);
    line += "\r\n";
    return line;
}

class TemporaryFolder {
  public:
    TemporaryFolder() {
        char pattern[] = "/tmp/corvane-log-bench.XXXXXX";
        if (!::mkdtemp(pattern))
            throw std::system_error(errno, std::generic_category(), "mkdtemp");
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

void appendLine(const std::string& path, const std::string& line) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        throw std::system_error(errno, std::generic_category(), "open");
    if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        throw std::system_error(errno, std::generic_category(), "write");
    ::close(fd);
}

void BM_WriteLogEntry(benchmark::State& state) {
    TemporaryFolder folder;
    const std::string oursPath = folder.path() / "ours.log";
    const std::string rawPath = folder.path() / "raw.log";
    const platform::Variant data = platform::Variant::fromString(payload());
    const std::string line = preparedLine(payload());

    bench::QuietControl logged;
    logged.control.put_LogFile(platform::fromUtf8(oursPath));
    bench::QuietControl plain;

    // Each round starts from empty files, so that no round writes to a larger file.
    auto empty = [](const std::string& path) { fs::resize_file(path, 0); };
    appendLine(oursPath, line);
    appendLine(rawPath, line);
    bench::Rounds rounds;
    for (auto _ : state) {
        rounds = bench::runRounds(
            {[&](size_t n) {
                 empty(oursPath);
                 return bench::timeLoop(n, [&] { logged.control.put_Output(data); });
             },
             [&](size_t n) { return bench::timeLoop(n, [&] { plain.control.put_Output(data); }); },
             [&](size_t n) {
                 empty(rawPath);
                 return bench::timeLoop(n, [&] { appendLine(rawPath, line); });
             }},
            bench::pick<size_t>(20000, 10));
    }
    if (fs::file_size(oursPath) == 0)
        throw std::runtime_error("the log stayed empty");
    bench::recordRow(state,
                     {"5. WriteLog per entry, 64 chars",
                      bench::formatNanoseconds(rounds.medianExtraSeconds(0, 1)),
                      bench::formatNanoseconds(rounds.medianSeconds(2)) + " open/write/close",
                      rounds.medianExtraRatio(0, 1, 2), bench::atMost(1.3, "<= 1.30 x raw")});
}
BENCHMARK(BM_WriteLogEntry)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

CORVANE_BENCH_MAIN()
