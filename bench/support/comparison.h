// Side-by-side comparisons on a shared, noisy machine.
//
// Every comparison runs all of its sides in the same process, in alternating rounds (the
// order flips every round), and reports the median over rounds of each side's time per
// operation and of the ratio between sides taken round by round. A burst of load from
// elsewhere then slows both sides of the same round and leaves the ratio alone; absolute
// figures are for information only.
//
// Each program ends by printing the rows of the summary table it measured (workload, ours,
// reference, ratio, target, met) as lines "ROW|...|...", to stdout and, with
// --table=FILE, appended to FILE. --smoke runs every comparison for one short round, so a
// test can check that each benchmark still works.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace bench {

// True under --smoke: benchmarks shrink their work to a token amount.
bool smokeRun();

// Chooses the amount of work: `full` normally, `smoke` under --smoke.
template <class T>
T pick(T full, T smoke) {
    return smokeRun() ? smoke : full;
}

// One side of a comparison: performs `count` operations and returns the seconds that the
// measured part took (set-up that is not to be measured stays out of the figure).
using Side = std::function<double(size_t count)>;

// seconds[side][round]: each side's time per operation in each round.
struct Rounds {
    std::vector<std::vector<double>> seconds;

    double medianSeconds(size_t side) const;
    // Median over rounds of side a's time divided by side b's time in the same round.
    double medianRatio(size_t a, size_t b) const;
    // The same for (a - b) / c: the cost that a adds over b, against c.
    double medianExtraRatio(size_t a, size_t b, size_t c) const;
    double medianExtraSeconds(size_t a, size_t b) const;
};

// Runs one untimed warm-up round (unless `warmUp` is false), then rounds of `opsPerRound`
// operations per side until at least `minRounds` rounds and about `budgetSeconds` have
// passed (one round under --smoke).
Rounds runRounds(const std::vector<Side>& sides, size_t opsPerRound, int minRounds = 7,
                 double budgetSeconds = 3.0, bool warmUp = true);

// Runs `operation` `count` times and returns the seconds taken: the body of most sides.
template <class Operation>
double timeLoop(size_t count, Operation&& operation) {
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < count; ++i)
        operation();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values);
// The p-th percentile (0..100), nearest rank.
double percentile(std::vector<double> values, double p);

// Figures as the table prints them.
std::string formatNanoseconds(double seconds);      // "123 ns", "12.3 us", "4.56 ms"
std::string formatRate(double bytesPerSecond);      // "123.4 MB/s" (MB = 10^6 bytes)
std::string formatBytes(double bytes);              // "12.3 MiB"
std::string formatFixed(double value, int digits);  // "1.23"

// How a row meets its target: a bound on its ratio (or on another figure, `checked`).
enum class Goal { AtMost, AtLeast, ReportOnly };

struct Target {
    std::string text;  // as the table shows it, "<= 1.25 x raw"
    Goal goal = Goal::ReportOnly;
    double limit = 0;
    std::optional<double> checked;  // what the bound applies to, when it is not the ratio

    // The same bound on an absolute figure (in the unit of `limit`).
    Target on(double value) const {
        Target target = *this;
        target.checked = value;
        return target;
    }
};
Target atMost(double limit, std::string text);
Target atLeast(double limit, std::string text);
Target reportOnly();

struct TableRow {
    std::string workload;
    std::string ours;
    std::string reference;
    double ratio = 0;
    Target target;
};

// Records a row of the summary table (a row of the same workload measured again replaces
// the earlier one) and puts its figures among the benchmark's counters.
void recordRow(benchmark::State& state, const TableRow& row);
bool rowMet(const TableRow& row);

// Takes --smoke and --table=FILE out of the arguments; returns the new count.
int takeOwnFlags(int argc, char** argv);

// This program's own file, for measuring in a fresh child of it; empty when unknown.
std::string ownExecutable();

// Google Benchmark's main with --smoke and --table=FILE added; prints the rows at the end.
int runBenchmarks(int argc, char** argv);

// Runs `command` (this program again, as a fresh process whose peak memory is its own) and
// reads the "name=value" lines it prints; throws naming `what` when it fails.
std::map<std::string, double> childFigures(const std::string& command, const std::string& what);

}  // namespace bench

// The main of a benchmark program.
#define CORVANE_BENCH_MAIN()                     \
    int main(int argc, char** argv) {            \
        return bench::runBenchmarks(argc, argv); \
    }
