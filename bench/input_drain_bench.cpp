// Draining the receive buffer in UDP mode: N characters read through Input2 in pieces of
// InputLen k. The cost per character must not grow with N (a read that copied the rest of
// the buffer each time would make draining quadratic). The buffer is filled, unmeasured,
// through a quiet UDP receiver in datagrams of 1 Ki characters.
#include <string>

#include "support/comparison.h"
#include "support/quiet_udp.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kDatagram = 1024;

void fill(bench::QuietControl& quiet, size_t characters) {
    const std::u16string datagram(kDatagram, u'x');
    for (size_t n = 0; n < characters; n += kDatagram)
        quiet.receiver->deliver(datagram.substr(0, std::min(kDatagram, characters - n)));
}

// Fills the buffer with `characters`, then returns the seconds that reading it all took.
double drain(bench::QuietControl& quiet, size_t characters) {
    fill(quiet, characters);
    const auto start = Clock::now();
    size_t taken = 0;
    while (taken < characters) {
        const platform::Variant piece = quiet.control.get_Input2();
        const size_t size = piece.stringValue().size();
        if (size == 0)
            throw std::runtime_error("the receive buffer ran dry early");
        taken += size;
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The floor for comparison: the same pieces copied out of a plain string with no buffer
// logic, so that what the memory hierarchy alone does to a larger N shows.
double plainDrain(size_t characters, size_t piece) {
    const std::u16string text(characters, u'x');
    const auto start = Clock::now();
    for (size_t at = 0; at < characters; at += piece) {
        std::u16string copy = text.substr(at, piece);
        benchmark::DoNotOptimize(copy);
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string sizeName(size_t characters) {
    return characters >= 1024 * 1024 ? std::to_string(characters / (1024 * 1024)) + " Mi"
                                     : std::to_string(characters / 1024) + " Ki";
}

void BM_DrainByInputLen(benchmark::State& state) {
    const auto inputLen = static_cast<int16_t>(state.range(0));
    const size_t large = bench::pick<size_t>(4 * 1024 * 1024, 16 * 1024);
    const size_t small = bench::pick<size_t>(64 * 1024, 4 * 1024);
    bench::QuietControl pieces;
    pieces.control.put_InputLen(inputLen);
    bench::QuietControl whole;  // InputLen 0: everything in one read
    bench::Rounds rounds;
    for (auto _ : state) {
        rounds = bench::runRounds(
            {[&](size_t) { return drain(pieces, large); },
             [&](size_t) {
                 double seconds = 0;
                 for (size_t done = 0; done < large; done += small)
                     seconds += drain(pieces, small);
                 return seconds;
             },
             [&](size_t) { return drain(whole, large); },
             [&](size_t) { return plainDrain(large, static_cast<size_t>(inputLen)); },
             [&](size_t) {
                 double seconds = 0;
                 for (size_t done = 0; done < large; done += small)
                     seconds += plainDrain(small, static_cast<size_t>(inputLen));
                 return seconds;
             }},
            1, 5, 3.0);
    }
    auto perCharacter = [&](size_t side) {
        return bench::formatNanoseconds(rounds.medianSeconds(side) / static_cast<double>(large)) +
               "/char";
    };
    const std::string k = std::to_string(inputLen);
    bench::recordRow(state, {"3. Drain InputLen " + k + ": N " + sizeName(large) + " vs " +
                                 sizeName(small) + " per char",
                             perCharacter(0), perCharacter(1), rounds.medianRatio(0, 1),
                             bench::atMost(1.5, "<= 1.50 x")});
    bench::recordRow(
        state, {"3. Drain InputLen " + k + " vs InputLen 0, N " + sizeName(large), perCharacter(0),
                perCharacter(2), rounds.medianRatio(0, 2), bench::reportOnly()});
    bench::recordRow(
        state, {"3. Plain substr drain by " + k + ": N " + sizeName(large) + " vs " +
                    sizeName(small) + " per char",
                perCharacter(3), perCharacter(4), rounds.medianRatio(3, 4), bench::reportOnly()});
}
BENCHMARK(BM_DrainByInputLen)
    ->Arg(1)
    ->Arg(16)
    ->Arg(4096)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

CORVANE_BENCH_MAIN()
