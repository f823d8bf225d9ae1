// The sample's transcript on the offscreen platform: 20,000 receive lines appended one by
// one, each followed by a pass of the event loop as when data arrives. The time per line of
// the last 1,000 must stay within 1.5 x of the first 1,000: appending may not slow down as
// the transcript grows.
#include <QApplication>
#include <QPlainTextEdit>
#include <cstdlib>

#include "platform/codepage932.h"
#include "support/comparison.h"
#include "transcript.h"

namespace {

QApplication& application() {
    // Offscreen unless the caller chose a platform.
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static int argc = 1;
    static char name[] = "transcript_bench";
    static char* argv[] = {name, nullptr};
    // Never destroyed: Qt's own statics may be gone by the time ours would be.
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

// A received test frame of the sample: codes 1, 2, 31, a counter, 3, 4, 255 read in code
// page 932.
std::u16string frame(size_t counter) {
    return platform::cp932::decode("\x01\x02\x1f" + std::to_string(counter) + "\x03\x04\xff");
}

// Seconds per line of the first and of the last `window` lines.
struct Windows {
    double first = 0;
    double last = 0;
};

// Appends `lines` lines to a fresh transcript in a shown view, with a pass of the event
// loop (layout, painting) after each; times the append alone and the append with its pass.
std::pair<Windows, Windows> appendLines(size_t lines, size_t window) {
    QPlainTextEdit view;
    sample_app::Transcript transcript(view);
    view.resize(600, 400);
    view.show();
    QApplication::processEvents();
    using Clock = std::chrono::steady_clock;
    Windows append, withEvents;
    auto add = [&](Windows& w, size_t i, double seconds) {
        if (i < window)
            w.first += seconds / static_cast<double>(window);
        if (i >= lines - window)
            w.last += seconds / static_cast<double>(window);
    };
    for (size_t i = 0; i < lines; ++i) {
        const auto start = Clock::now();
        transcript.appendReceiveLine(frame(i));
        const auto appended = Clock::now();
        QApplication::processEvents();
        const auto end = Clock::now();
        add(append, i, std::chrono::duration<double>(appended - start).count());
        add(withEvents, i, std::chrono::duration<double>(end - start).count());
    }
    return {append, withEvents};
}

void record(benchmark::State& state, const std::string& what, const Windows& w) {
    bench::recordRow(state, {"8. Transcript " + what + ", last 1,000 of 20,000 vs first 1,000",
                             bench::formatNanoseconds(w.last) + "/line",
                             bench::formatNanoseconds(w.first) + "/line", w.last / w.first,
                             bench::atMost(1.5, "<= 1.50 x")});
}

void BM_TranscriptAppend(benchmark::State& state) {
    application();
    appendLines(100, 10);  // fonts, glyph caches and the first layout, before anything counts
    std::pair<Windows, Windows> result;
    for (auto _ : state)
        result = appendLines(bench::pick<size_t>(20000, 200), bench::pick<size_t>(1000, 50));
    record(state, "append", result.first);
    record(state, "append + event pass", result.second);
}
BENCHMARK(BM_TranscriptAppend)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

CORVANE_BENCH_MAIN()
