#include "support/comparison.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <stdexcept>

#include <unistd.h>

namespace bench {

namespace {

bool g_smoke = false;
std::string g_tableFile;
// Keyed by workload so that a repeated benchmark replaces its row; printed in first-seen order.
std::vector<TableRow> g_rows;

std::string goalText(const TableRow& row) {
    if (row.target.goal == Goal::ReportOnly)
        return "-";
    return rowMet(row) ? "yes" : "NO";
}

}  // namespace

bool smokeRun() {
    return g_smoke;
}

double Rounds::medianSeconds(size_t side) const {
    return median(seconds.at(side));
}

double Rounds::medianRatio(size_t a, size_t b) const {
    std::vector<double> ratios;
    for (size_t r = 0; r < seconds.at(a).size(); ++r)
        ratios.push_back(seconds[a][r] / seconds.at(b)[r]);
    return median(ratios);
}

double Rounds::medianExtraRatio(size_t a, size_t b, size_t c) const {
    std::vector<double> ratios;
    for (size_t r = 0; r < seconds.at(a).size(); ++r)
        ratios.push_back((seconds[a][r] - seconds.at(b)[r]) / seconds.at(c)[r]);
    return median(ratios);
}

double Rounds::medianExtraSeconds(size_t a, size_t b) const {
    std::vector<double> extra;
    for (size_t r = 0; r < seconds.at(a).size(); ++r)
        extra.push_back(seconds[a][r] - seconds.at(b)[r]);
    return median(extra);
}

Rounds runRounds(const std::vector<Side>& sides, size_t opsPerRound, int minRounds,
                 double budgetSeconds, bool warmUp) {
    using Clock = std::chrono::steady_clock;
    Rounds rounds;
    rounds.seconds.resize(sides.size());
    if (warmUp && !g_smoke) {
        // Caches, allocator pools and lazily created sockets settle before anything counts.
        for (const Side& side : sides)
            side(opsPerRound);
    }
    const auto start = Clock::now();
    for (int round = 0;; ++round) {
        for (size_t i = 0; i < sides.size(); ++i) {
            // Every other round runs the sides in reverse, so neither always goes first.
            const size_t side = round % 2 == 0 ? i : sides.size() - 1 - i;
            const double seconds = sides[side](opsPerRound);
            rounds.seconds[side].push_back(seconds / static_cast<double>(opsPerRound));
        }
        if (g_smoke)
            break;
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (round + 1 >= minRounds && elapsed >= budgetSeconds)
            break;
    }
    return rounds;
}

double median(std::vector<double> values) {
    if (values.empty())
        return 0;
    const size_t middle = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle),
                     values.end());
    const double upper = values[middle];
    if (values.size() % 2 == 1)
        return upper;
    const double lower =
        *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle));
    return (lower + upper) / 2;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const double rank = std::ceil(p / 100.0 * static_cast<double>(values.size()));
    const size_t index = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
    return values[std::min(index, values.size() - 1)];
}

std::string formatFixed(double value, int digits) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", digits, value);
    return text;
}

std::string formatNanoseconds(double seconds) {
    const double ns = seconds * 1e9;
    if (ns < 1e3)
        return formatFixed(ns, ns < 10 ? 2 : 1) + " ns";
    if (ns < 1e6)
        return formatFixed(ns / 1e3, 2) + " us";
    if (ns < 1e9)
        return formatFixed(ns / 1e6, 2) + " ms";
    return formatFixed(ns / 1e9, 2) + " s";
}

std::string formatRate(double bytesPerSecond) {
    return formatFixed(bytesPerSecond / 1e6, 1) + " MB/s";
}

std::string formatBytes(double bytes) {
    if (bytes < 1024 * 1024)
        return formatFixed(bytes / 1024, 1) + " KiB";
    return formatFixed(bytes / (1024 * 1024), 1) + " MiB";
}

Target atMost(double limit, std::string text) {
    return {std::move(text), Goal::AtMost, limit, std::nullopt};
}

Target atLeast(double limit, std::string text) {
    return {std::move(text), Goal::AtLeast, limit, std::nullopt};
}

Target reportOnly() {
    return {"(report)", Goal::ReportOnly, 0, std::nullopt};
}

bool rowMet(const TableRow& row) {
    const double value = row.target.checked.value_or(row.ratio);
    switch (row.target.goal) {
        case Goal::AtMost:
            return value <= row.target.limit;
        case Goal::AtLeast:
            return value >= row.target.limit;
        case Goal::ReportOnly:
            break;
    }
    return true;
}

void recordRow(benchmark::State& state, const TableRow& row) {
    state.counters["ratio"] = row.ratio;
    if (row.target.goal != Goal::ReportOnly)
        state.counters["met"] = rowMet(row) ? 1 : 0;
    state.SetLabel(row.ours + " vs " + row.reference);
    auto same = std::find_if(g_rows.begin(), g_rows.end(),
                             [&](const TableRow& r) { return r.workload == row.workload; });
    if (same != g_rows.end())
        *same = row;
    else
        g_rows.push_back(row);
}

std::string ownExecutable() {
    char self[4096];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    return length > 0 ? std::string(self, static_cast<size_t>(length)) : std::string();
}

int takeOwnFlags(int argc, char** argv) {
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--smoke") == 0)
            g_smoke = true;
        else if (std::strncmp(argv[i], "--table=", 8) == 0)
            g_tableFile = argv[i] + 8;
        else
            argv[kept++] = argv[i];
    }
    argv[kept] = nullptr;
    return kept;
}

int runBenchmarks(int argc, char** argv) {
    // Our own flags go before Google Benchmark sees the rest.
    argc = takeOwnFlags(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    std::ofstream table;
    if (!g_tableFile.empty())
        table.open(g_tableFile, std::ios::app);
    for (const TableRow& row : g_rows) {
        const std::string line = "ROW|" + row.workload + "|" + row.ours + "|" + row.reference +
                                 "|" + formatFixed(row.ratio, 2) + "|" + row.target.text + "|" +
                                 goalText(row);
        std::cout << line << '\n';
        if (table)
            table << line << '\n';
    }
    return 0;
}

std::map<std::string, double> childFigures(const std::string& command, const std::string& what) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        throw std::runtime_error("popen failed");
    std::map<std::string, double> figures;
    char line[256];
    while (std::fgets(line, sizeof line, pipe)) {
        if (char* equals = std::strchr(line, '=')) {
            *equals = '\0';
            figures[line] = std::stod(equals + 1);
        }
    }
    if (::pclose(pipe) != 0)
        throw std::runtime_error(what + " failed");
    return figures;
}

}  // namespace bench
