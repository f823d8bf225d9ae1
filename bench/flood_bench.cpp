// Sampleton under a flood (workload 9): the real window on the offscreen platform, its real
// control created through the platform registry from the freshly built Corvane.so and
// receiving on 127.0.0.1, and a raw UDP socket on a thread of its own sending the sample's
// test frames at 50,000 per second for 10 seconds (0.3 s under --smoke).
//
// - Lines: at the end at least 99 % of the frames have their receive line, in order and
//   whole, and the system's drop counter for the window's socket (/proc/net/udp, udp6)
//   accounts for every other frame. The lines are read from the view as it takes them.
// - Lines per second shown during the flood, against the same stream appended one line at
//   a time as before batching (bench/support/transcript_reference.h): at least 10 x.
// - A 10 ms timer on the window's thread: the longest gap between two ticks (and the 99th
//   percentile) at most 50 ms. A click of the send button, posted from the flooding thread
//   twice a second, reaches the peer within 50 ms.
// - Memory (M), in a fresh child process: peak RSS after 1,000,000 received lines at most
//   the RSS when the scrollback first filled plus a fixed 32 MiB.
#include <QApplication>
#include <QEventLoop>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPointingDevice>
#include <QPushButton>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "control_host.h"
#include "form1.h"
#include "loop_bridge.h"
#include "platform/codepage932.h"
#include "sample_app/support/registered_corvane.h"
#include "sample_app/support/scratch_folder.h"
#include "support/comparison.h"
#include "support/transcript_reference.h"
#include "transcript.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr double kFramesPerSecond = 50'000;
constexpr double kAllowanceKiB = 32 * 1024;
constexpr size_t kMemoryLines = 1'000'000;

std::string g_self;

QApplication& application() {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static int argc = 1;
    static char name[] = "flood_bench";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Sampleton"));
    return *app;
}

std::string frameBytes(uint64_t counter) {
    return "\x01\x02\x1F" + std::to_string(counter) + "\x03\x04\xFF";
}

// CPU seconds the calling thread has used.
double threadCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Seconds the calling thread has waited for a core while ready to run (the scheduler's
// run-queue delay), from /proc/thread-self/schedstat.
double threadRunQueueSeconds() {
    std::ifstream in("/proc/thread-self/schedstat");
    double running = 0, waiting = 0;
    in >> running >> waiting;
    return waiting / 1e9;
}

double millis(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// VmRSS, VmHWM ... of this process, in KiB.
double statusKiB(const std::string& key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, key.size() + 1, key + ":") == 0)
            return std::stod(line.substr(key.size() + 1));
    return 0;
}

// The system's count of datagrams dropped at the UDP socket bound to `port` (the last
// column of /proc/net/udp and udp6); each socket of this process on that port counts.
uint64_t kernelDrops(int port) {
    char hexPort[8];
    std::snprintf(hexPort, sizeof hexPort, ":%04X", port);
    uint64_t drops = 0;
    for (const char* table : {"/proc/net/udp", "/proc/net/udp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);  // header
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local;
            fields >> slot >> local;
            if (local.size() < 5 || local.compare(local.size() - 5, 5, hexPort) != 0)
                continue;
            std::string last, field;
            while (fields >> field)
                last = field;
            drops += std::stoull(last);
        }
    }
    return drops;
}

int boundLoopbackSocket(int& port) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("cannot bind a UDP socket on 127.0.0.1");
    port = ntohs(address.sin_port);
    return fd;
}

int freePort() {
    int port = 0;
    ::close(boundLoopbackSocket(port));
    return port;
}

// Records every error the window would show in a message box.
class CountingPresenter final : public sample_app::MessagePresenter {
  public:
    void showError(const QString& description) override {
        ++errors;
        std::fprintf(stderr, "window error: %s\n", description.toUtf8().constData());
    }
    int errors = 0;
};

// Follows the lines the view takes, as they come: each receive line must be the test
// frame of a counter above the last one; send lines are counted.
class LineReader {
  public:
    explicit LineReader(QPlainTextEdit& view) : m_view(view) {
        QObject::connect(view.document(), &QTextDocument::contentsChanged, &view,
                         [this] { readNewLines(); });
    }

    uint64_t receiveLines = 0;
    uint64_t sendLines = 0;
    uint64_t malformed = 0;
    uint64_t outOfOrder = 0;
    uint64_t lastCounter = 0;
    std::function<void()> onLines;

  private:
    void readNewLines() {
        std::vector<QTextBlock> fresh;
        for (QTextBlock block = m_view.document()->lastBlock().previous();
             block.isValid() && block.text() != m_lastSeen; block = block.previous())
            fresh.push_back(block);
        if (fresh.empty())
            return;
        m_lastSeen = fresh.front().text();
        for (auto it = fresh.rbegin(); it != fresh.rend(); ++it)
            account(it->text());
        if (onLines)
            onLines();
    }

    void account(const QString& line) {
        static const QString kHead = QStringLiteral("受:<SOH><STX><1F>");
        static const QString kTail = QStringLiteral("<ETX><EOT><FF>");
        if (line.startsWith(u"送:")) {
            ++sendLines;
            return;
        }
        bool ok = line.startsWith(kHead) && line.endsWith(kTail);
        const uint64_t counter =
            ok ? line.mid(kHead.size(), line.size() - kHead.size() - kTail.size()).toULongLong(&ok)
               : 0;
        if (!ok) {
            ++malformed;
            return;
        }
        if (counter <= lastCounter)
            ++outOfOrder;
        lastCounter = counter;
        ++receiveLines;
    }

    QPlainTextEdit& m_view;
    QString m_lastSeen;
};

// The raw peer: sends test frames to the window at a steady rate from its own thread,
// posts clicks of the send button now and then and times their frames' arrival.
class Flooder {
  public:
    Flooder(int targetPort, double framesPerSecond)
        : m_target(targetPort), m_rate(framesPerSecond) {
        m_fd = boundLoopbackSocket(m_port);
    }
    ~Flooder() {
        stop();
        ::close(m_fd);
    }

    int port() const { return m_port; }

    // Sends for `duration` (or until stop()); clicks `button` every `clickEvery` if set.
    void start(Clock::duration duration, QPushButton* button, Clock::duration clickEvery) {
        // Read on this thread, the button's.
        const QPointF centre = button ? QPointF(button->rect().center()) : QPointF();
        const QPointingDevice* device = QPointingDevice::primaryPointingDevice();
        m_thread = std::thread([=, this] { run(duration, button, clickEvery, centre, device); });
    }
    void stop() {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    bool done() const { return m_done; }
    uint64_t sent() const { return m_sent; }
    Clock::time_point finished() const { return m_finished; }
    std::vector<double> clickMillis() {
        std::lock_guard lock(m_mutex);
        return m_clickMillis;
    }
    size_t clicksPosted() const { return m_clicks; }

  private:
    void run(Clock::duration duration, QPushButton* button, Clock::duration clickEvery,
             QPointF centre, const QPointingDevice* device) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(static_cast<uint16_t>(m_target));
        constexpr size_t kBurst = 64;
        std::string payloads[kBurst];
        iovec parts[kBurst];
        mmsghdr messages[kBurst];
        const Clock::time_point start = Clock::now();
        Clock::time_point nextClick = start + clickEvery / 2;
        std::vector<Clock::time_point> clicks;
        while (!m_stop && Clock::now() - start < duration) {
            // Sends what the rate owes by now, in bursts; sleeps about a millisecond between.
            const double owed =
                m_rate * std::chrono::duration<double>(Clock::now() - start).count();
            while (m_sent < static_cast<uint64_t>(owed)) {
                const size_t count =
                    std::min<uint64_t>(kBurst, static_cast<uint64_t>(owed) - m_sent);
                for (size_t i = 0; i < count; ++i) {
                    payloads[i] = frameBytes(m_sent + 1 + i);
                    parts[i] = {payloads[i].data(), payloads[i].size()};
                    messages[i] = {};
                    messages[i].msg_hdr.msg_name = &to;
                    messages[i].msg_hdr.msg_namelen = sizeof to;
                    messages[i].msg_hdr.msg_iov = &parts[i];
                    messages[i].msg_hdr.msg_iovlen = 1;
                }
                const int done = ::sendmmsg(m_fd, messages, static_cast<unsigned>(count), 0);
                if (done > 0)
                    m_sent += static_cast<uint64_t>(done);
                else
                    break;
            }
            if (button && Clock::now() >= nextClick) {
                clicks.push_back(Clock::now());
                QCoreApplication::postEvent(
                    button,
                    new QMouseEvent(QEvent::MouseButtonPress, centre, centre, Qt::LeftButton,
                                    Qt::LeftButton, Qt::NoModifier, device));
                QCoreApplication::postEvent(
                    button, new QMouseEvent(QEvent::MouseButtonRelease, centre, centre,
                                            Qt::LeftButton, Qt::NoButton, Qt::NoModifier, device));
                ++m_clicks;
                nextClick += clickEvery;
            }
            takeSentFrames(clicks);
            std::this_thread::sleep_for(1ms);
        }
        m_finished = Clock::now();
        // The last clicks' frames may still be on their way.
        for (int i = 0; i < 200 && clicks.size() > m_clickMillis.size(); ++i) {
            takeSentFrames(clicks);
            std::this_thread::sleep_for(1ms);
        }
        m_done = true;
    }

    // The window's frames, one per click, in click order.
    void takeSentFrames(const std::vector<Clock::time_point>& clicks) {
        char buffer[256];
        while (::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
            std::lock_guard lock(m_mutex);
            if (m_clickMillis.size() < clicks.size())
                m_clickMillis.push_back(millis(Clock::now() - clicks[m_clickMillis.size()]));
        }
    }

    int m_fd = -1;
    int m_port = 0;
    int m_target = 0;
    double m_rate = 0;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_done{false};
    std::atomic<uint64_t> m_sent{0};
    std::atomic<size_t> m_clicks{0};
    Clock::time_point m_finished;
    std::mutex m_mutex;
    std::vector<double> m_clickMillis;
};

// The program's window as main.cpp builds it, with its settings file in a scratch folder:
// UDP on a local port that was free, sending to `remotePort` on 127.0.0.1.
class FloodedWindow {
  public:
    explicit FloodedWindow(int localPort, int remotePort) : m_localPort(localPort) {
        if (!m_corvane.available())
            throw std::runtime_error("Corvane.so " + m_corvane.problem());
        const std::filesystem::path ini = m_folder.path() / "Sampleton.ini";
        std::ofstream(ini, std::ios::binary)
            << "[UDP]\r\nLocalPort=" << localPort << "\r\nRemotePort=" << remotePort
            << "\r\nRemoteHost=127.0.0.1\r\nUDPUse=1\r\n";
        form = std::make_unique<sample_app::Form1>(std::make_unique<sample_app::PortulaHost>(),
                                                   presenter, [ini] { return ini; });
        // As main.cpp: the control's data waits while the window is far behind.
        bridge.holdWhile([this] { return form->transcript().farBehind(); });
        form->load();
        form->show();
        QApplication::processEvents();
        view = form->findChild<QPlainTextEdit*>(QStringLiteral("Text1"));
        button = form->findChild<QPushButton*>(QStringLiteral("Command1"));
        if (!view || !button || presenter.errors)
            throw std::runtime_error("the window did not come up");
    }
    ~FloodedWindow() { form->close(); }

    int localPort() const { return m_localPort; }

    sample_app::test_support::RegisteredCorvane m_corvane;
    sample_app::test_support::ScratchFolder m_folder;
    sample_app::LoopBridge bridge;
    CountingPresenter presenter;
    std::unique_ptr<sample_app::Form1> form;
    QPlainTextEdit* view = nullptr;
    QPushButton* button = nullptr;

  private:
    int m_localPort;
};

// Runs the window's event loop until `done()`, asked every 10 ms.
void runWindowUntil(const std::function<bool()>& done) {
    QEventLoop loop;
    QTimer check;
    check.setInterval(10);
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (done())
            loop.quit();
    });
    check.start();
    loop.exec();
}

// Lines per second of the stream appended one line at a time as before batching, in a view
// of the transcript's size.
double referenceLinesPerSecond(QSize size, size_t lines) {
    QPlainTextEdit view;
    bench::OneLineAtATimeTranscript reference(view);
    view.resize(size);
    view.show();
    QApplication::processEvents();
    for (size_t i = 1; i <= 100; ++i)  // fonts and the first layout
        reference.appendReceiveLine(platform::cp932::decode(frameBytes(i)));
    const double seconds = bench::timeLoop(lines, [&, counter = size_t{100}]() mutable {
        reference.appendReceiveLine(platform::cp932::decode(frameBytes(++counter)));
    });
    return static_cast<double>(lines) / seconds;
}

std::string formatMillis(double ms) {
    return bench::formatFixed(ms, ms < 10 ? 2 : 1) + " ms";
}

void BM_SampletonFlood(benchmark::State& state) {
    application();
    const Clock::duration floodTime = bench::smokeRun() ? Clock::duration(300ms) : 10s;
    uint64_t sent = 0, drops = 0;
    double shownPerSecond = 0, referencePerSecond = 0, windowCpu = 0, windowWait = 0,
           wallSeconds = 0;
    std::vector<double> gaps, clicks;
    size_t clicksPosted = 0;
    LineReader* reader = nullptr;
    std::unique_ptr<LineReader> readerOwner;
    for (auto _ : state) {
        const int localPort = freePort();
        Flooder flooder(localPort, kFramesPerSecond);
        FloodedWindow window(localPort, flooder.port());
        readerOwner = std::make_unique<LineReader>(*window.view);
        reader = readerOwner.get();
        const uint64_t dropsBefore = kernelDrops(localPort);

        std::vector<Clock::time_point> ticks;
        QTimer tick;
        tick.setTimerType(Qt::PreciseTimer);
        tick.setInterval(10);
        QObject::connect(&tick, &QTimer::timeout, [&] { ticks.push_back(Clock::now()); });
        tick.start();

        const Clock::time_point start = Clock::now();
        const double cpuBefore = threadCpuSeconds();
        const double waitBefore = threadRunQueueSeconds();
        flooder.start(floodTime, window.button, 500ms);
        Clock::time_point lastProgress = Clock::now();
        uint64_t lastLines = 0;
        runWindowUntil([&] {
            if (!flooder.done())
                return false;
            // After the flood: until every frame is a line or counted as dropped, or nothing
            // has changed for a second.
            drops = kernelDrops(localPort) - dropsBefore;
            if (reader->receiveLines != lastLines) {
                lastLines = reader->receiveLines;
                lastProgress = Clock::now();
            }
            return reader->receiveLines + drops >= flooder.sent() ||
                   Clock::now() - lastProgress > 1s;
        });
        tick.stop();
        windowCpu = threadCpuSeconds() - cpuBefore;
        windowWait = threadRunQueueSeconds() - waitBefore;
        wallSeconds = std::chrono::duration<double>(Clock::now() - start).count();
        flooder.stop();
        sent = flooder.sent();
        drops = kernelDrops(localPort) - dropsBefore;
        const Clock::time_point floodEnd = flooder.finished();
        shownPerSecond = static_cast<double>(reader->receiveLines) /
                         std::chrono::duration<double>(floodEnd - start).count();
        for (size_t i = 1; i < ticks.size() && ticks[i] <= floodEnd; ++i)
            gaps.push_back(millis(ticks[i] - ticks[i - 1]));
        clicks = flooder.clickMillis();
        clicksPosted = flooder.clicksPosted();
        if (window.presenter.errors)
            state.SkipWithError("the window reported an error");
        referencePerSecond =
            referenceLinesPerSecond(window.view->size(), bench::pick<size_t>(2000, 50));
    }

    const double shownShare = sent ? static_cast<double>(reader->receiveLines) / sent : 0;
    const bool accounted =
        reader->receiveLines + drops == sent && reader->malformed == 0 && reader->outOfOrder == 0;
    const std::string seconds = bench::formatFixed(std::chrono::duration<double>(floodTime).count(),
                                                   floodTime < 1s ? 1 : 0);
    bench::recordRow(
        state,
        {"9. Flood 50,000 frames/s x " + seconds + " s: frames with their line",
         bench::formatFixed(100 * shownShare, 2) + " % of " + std::to_string(sent) +
             (accounted ? ", in order" : ", NOT in order or not accounted for"),
         std::to_string(drops) + " kernel drops" + (accounted ? " (the rest)" : ""), shownShare,
         bench::atLeast(0.99, ">= 99 %, rest = drops").on(accounted ? shownShare : 0)});
    bench::recordRow(state, {"9. Flood: lines/s shown vs one line at a time",
                             bench::formatFixed(shownPerSecond, 0) + " lines/s",
                             bench::formatFixed(referencePerSecond, 0) + " lines/s",
                             shownPerSecond / referencePerSecond, bench::atLeast(10, ">= 10 x")});
    const double maxGap = gaps.empty() ? 0 : *std::max_element(gaps.begin(), gaps.end());
    bench::recordRow(state,
                     {"9. Flood: 10 ms timer, longest gap (p99)",
                      formatMillis(maxGap) + " (" + formatMillis(bench::percentile(gaps, 99)) + ")",
                      std::to_string(gaps.size() + 1) + " ticks of 10 ms in " + seconds + " s",
                      maxGap / 10, bench::atMost(50, "<= 50 ms").on(maxGap)});
    const double maxClick = clicks.size() == clicksPosted && !clicks.empty()
                                ? *std::max_element(clicks.begin(), clicks.end())
                                : 1e9;  // a click without its frame fails the row
    bench::recordRow(
        state, {"9. Flood: click to frame sent, longest",
                formatMillis(clicks.empty() ? 0 : *std::max_element(clicks.begin(), clicks.end())),
                std::to_string(clicks.size()) + " of " + std::to_string(clicksPosted) + " clicks",
                maxClick / 50, bench::atMost(50, "<= 50 ms").on(maxClick)});
    // What the window's thread spent per line shown, whatever share of a core it was given:
    // the figure that does not depend on the machine's load.
    const double cpuPerLine = reader->receiveLines ? windowCpu / reader->receiveLines : 0;
    bench::recordRow(
        state,
        {"9. Flood: window thread CPU per line shown",
         bench::formatNanoseconds(cpuPerLine) + " (" +
             bench::formatFixed(cpuPerLine > 0 ? 1 / cpuPerLine : 0, 0) + " lines/s per core)",
         bench::formatFixed(100 * windowCpu / wallSeconds, 0) + " % of a core used, " +
             bench::formatFixed(100 * windowWait / wallSeconds, 0) + " % waiting for one",
         cpuPerLine > 0 ? 1 / cpuPerLine / kFramesPerSecond : 0, bench::reportOnly()});
    state.counters["send_lines"] = static_cast<double>(reader->sendLines);
}
BENCHMARK(BM_SampletonFlood)->Iterations(1)->Unit(benchmark::kMillisecond);

// ---- Memory, in a child process -------------------------------------------------------

int memoryChild() {
    application();
    const size_t lines = bench::smokeRun() ? 20'000 : kMemoryLines;
    const int localPort = freePort();
    // Faster than the flood above: the window takes what it can, the system drops the rest.
    Flooder flooder(localPort, 2 * kFramesPerSecond);
    FloodedWindow window(localPort, flooder.port());
    LineReader reader(*window.view);
    const double startKiB = statusKiB("VmRSS");
    double limitKiB = 0;
    uint64_t nextReport = sample_app::kScrollbackLines;
    reader.onLines = [&] {
        if (limitKiB == 0 && reader.receiveLines >= sample_app::kScrollbackLines)
            limitKiB = statusKiB("VmRSS");
        if (reader.receiveLines >= nextReport) {  // the course of it, for the output file
            std::fprintf(stderr, "%llu lines: RSS %.0f KiB\n",
                         static_cast<unsigned long long>(reader.receiveLines), statusKiB("VmRSS"));
            nextReport += sample_app::kScrollbackLines;
        }
    };
    flooder.start(600s, nullptr, {});
    runWindowUntil([&] { return reader.receiveLines >= lines || flooder.done(); });
    flooder.stop();
    std::printf("start_kib=%f\nlimit_kib=%f\npeak_kib=%f\nlines=%llu\nmalformed=%llu\n", startKiB,
                limitKiB, statusKiB("VmHWM"), static_cast<unsigned long long>(reader.receiveLines),
                static_cast<unsigned long long>(reader.malformed));
    return reader.receiveLines >= lines && reader.malformed == 0 ? 0 : 1;
}

std::map<std::string, double> runMemoryChild() {
    const std::string command =
        "'" + g_self + "' --flood-memory-child" + (bench::smokeRun() ? " --smoke" : "");
    return bench::childFigures(command, "the flood memory child");
}

void BM_SampletonFloodMemory(benchmark::State& state) {
    std::map<std::string, double> figures;
    for (auto _ : state)
        figures = runMemoryChild();
    const double limitKiB = figures["limit_kib"], peakKiB = figures["peak_kib"];
    const std::string lines = bench::formatFixed(figures["lines"], 0);
    if (limitKiB == 0) {  // the smoke run does not fill the scrollback
        bench::recordRow(state, {"M. Sampleton flood, peak RSS after " + lines + " lines",
                                 bench::formatBytes(peakKiB * 1024),
                                 bench::formatBytes(figures["start_kib"] * 1024) + " at start",
                                 peakKiB / figures["start_kib"], bench::reportOnly()});
        return;
    }
    bench::recordRow(
        state,
        {"M. Sampleton flood, peak RSS after " + lines + " lines",
         bench::formatBytes(peakKiB * 1024),
         bench::formatBytes(limitKiB * 1024) + " at 100,000 lines (" +
             bench::formatBytes(figures["start_kib"] * 1024) + " at start)",
         peakKiB / limitKiB,
         bench::atMost(kAllowanceKiB, "<= full scrollback + 32 MiB").on(peakKiB - limitKiB)});
}
BENCHMARK(BM_SampletonFloodMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    g_self = bench::ownExecutable();
    if (g_self.empty())
        return 2;
    argc = bench::takeOwnFlags(argc, argv);
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--flood-memory-child") == 0)
            return memoryChild();
    return bench::runBenchmarks(argc, argv);
}
