// The sample's transcript on the offscreen platform: receive lines appended one by one,
// each followed by a pass of the event loop as when data arrives. The time per line of the
// last 1,000 of 20,000 must stay within 1.5 x of the first 1,000: appending may not slow
// down as the transcript grows. And lines per second when data pours in (a pass of the
// loop for every 200 lines, what 4 ms of a 50,000 frames/s flood bring), against the same
// stream appended one line at a time with a pass each, as before batching: at least 10 x.
#include <QApplication>
#include <QPlainTextEdit>
#include <cstdlib>

#include "platform/codepage932.h"
#include "support/comparison.h"
#include "support/transcript_reference.h"
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

// A transcript in a shown view.
class ShownTranscript {
  public:
    ShownTranscript() : m_transcript(m_view) {
        m_view.resize(600, 400);
        m_view.show();
        QApplication::processEvents();
    }

    // Appends `count` lines untimed, with a pass of the event loop now and then.
    void fill(size_t count) {
        for (size_t i = 0; i < count; ++i) {
            m_transcript.appendReceiveLine(frame(m_lines++));
            if (i % 500 == 0)
                QApplication::processEvents();
        }
        QApplication::processEvents();
    }

    // Appends `count` lines, each followed by a pass of the event loop (layout, painting)
    // as when data arrives; returns the seconds of the appends with their passes and adds
    // those of the appends alone to `appendOnly`.
    double append(size_t count, double& appendOnly) {
        using Clock = std::chrono::steady_clock;
        double total = 0;
        for (size_t i = 0; i < count; ++i) {
            const auto start = Clock::now();
            m_transcript.appendReceiveLine(frame(m_lines++));
            const auto appended = Clock::now();
            QApplication::processEvents();
            appendOnly += std::chrono::duration<double>(appended - start).count();
            total += std::chrono::duration<double>(Clock::now() - start).count();
        }
        return total;
    }

  private:
    QPlainTextEdit m_view;
    sample_app::Transcript m_transcript;
    size_t m_lines = 0;
};

// The first 1,000 lines of one transcript and the last 1,000 of 20,000 in another are
// appended in alternating rounds of 50, so that a change of load touches both alike.
void BM_TranscriptAppend(benchmark::State& state) {
    application();
    ShownTranscript().fill(100);  // fonts, glyph caches and the first layout
    const size_t total = bench::pick<size_t>(20000, 200);
    const size_t window = bench::pick<size_t>(1000, 50);
    const size_t perRound = 50;
    ShownTranscript young, old;
    old.fill(total - window);
    std::vector<double> youngAppend, oldAppend;
    bench::Rounds rounds;
    for (auto _ : state) {
        rounds = bench::runRounds({[&](size_t n) {
                                       oldAppend.push_back(0);
                                       return old.append(n, oldAppend.back());
                                   },
                                   [&](size_t n) {
                                       youngAppend.push_back(0);
                                       return young.append(n, youngAppend.back());
                                   }},
                                  perRound, static_cast<int>(window / perRound), 0, false);
    }
    std::vector<double> appendRatios;
    for (size_t r = 0; r < oldAppend.size(); ++r)
        appendRatios.push_back(oldAppend[r] / youngAppend[r]);
    auto perLine = [&](const std::vector<double>& seconds) {
        return bench::formatNanoseconds(bench::median(seconds) / perRound) + "/line";
    };
    bench::recordRow(state, {"8. Transcript append, lines 19,001-20,000 vs 1-1,000",
                             perLine(oldAppend), perLine(youngAppend), bench::median(appendRatios),
                             bench::atMost(1.5, "<= 1.50 x")});
    auto perLineRounds = [&](size_t side) {
        return bench::formatNanoseconds(rounds.medianSeconds(side)) + "/line";
    };
    bench::recordRow(
        state, {"8. Transcript append + event pass, 19,001-20,000 vs 1-1,000", perLineRounds(0),
                perLineRounds(1), rounds.medianRatio(0, 1), bench::atMost(1.5, "<= 1.50 x")});
}
BENCHMARK(BM_TranscriptAppend)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_TranscriptFloodLinesPerSecond(benchmark::State& state) {
    application();
    constexpr size_t kLinesPerPass = 200;
    QPlainTextEdit batchedView, referenceView;
    sample_app::Transcript batched(batchedView);
    bench::OneLineAtATimeTranscript reference(referenceView);
    for (QPlainTextEdit* view : {&batchedView, &referenceView}) {
        view->resize(600, 400);
        view->show();
    }
    QApplication::processEvents();
    size_t counter = 0;
    bench::Rounds rounds;
    for (auto _ : state) {
        rounds = bench::runRounds(
            {[&](size_t n) {
                 return bench::timeLoop(n / kLinesPerPass, [&] {
                     for (size_t i = 0; i < kLinesPerPass; ++i)
                         batched.appendReceiveLine(frame(++counter));
                     QApplication::processEvents();
                 });
             },
             [&](size_t n) {
                 return bench::timeLoop(n, [&] { reference.appendReceiveLine(frame(++counter)); });
             }},
            bench::pick<size_t>(1000, 200), 5, 3.0);
    }
    auto linesPerSecond = [&](size_t side) {
        return bench::formatFixed(1 / rounds.medianSeconds(side), 0) + " lines/s";
    };
    bench::recordRow(
        state, {"8. Transcript lines/s, 200 per pass vs one line at a time", linesPerSecond(0),
                linesPerSecond(1), rounds.medianRatio(1, 0), bench::atLeast(10, ">= 10 x")});
}
BENCHMARK(BM_TranscriptFloodLinesPerSecond)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

CORVANE_BENCH_MAIN()
