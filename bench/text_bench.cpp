// Text conversion: code page 932 decoding and encoding of mixed Japanese and ASCII text,
// and the control-character rendering of the same text, against memcpy of as many bytes;
// then decoding and encoding of pure ASCII, 32 Ki characters and a datagram's 1 KiB.
// Every rate counts the text's size in code page 932 bytes, so the rates are comparable.
#include <cstring>
#include <string>
#include <vector>

#include "platform/codepage932.h"
#include "support/comparison.h"
#include "text_render/render_control_chars.h"

namespace {

// About 64 KiB of what a serial line of a Japanese site carries: kanji, kana, half-width
// katakana, ASCII, digits and line ends.
std::u16string mixedText() {
    const std::u16string lines[] = {
        u"受信データ: 温度=23.5C 湿度=41% 状態=正常\r\n",
        u"ｽﾃｰﾀｽ OK / ﾊﾞｯﾃﾘｰ 87%\r\n",
        u"STATUS,0001,READY,電源オン,2024/05/01 12:34:56\r\n",
        u"エラーなし。次の測定まで 30 秒。Next sample in 30 s.\r\n",
    };
    std::u16string text;
    for (size_t i = 0; text.size() < 32 * 1024; ++i)
        text += lines[i % 4];
    return text;
}

void BM_TextConversion(benchmark::State& state) {
    const std::u16string text = mixedText();
    const std::string bytes = platform::cp932::encode(text);
    if (platform::cp932::decode(bytes) != text)
        throw std::runtime_error("the corpus does not round-trip");
    std::vector<char> copy(bytes.size());
    const size_t perRound = bench::pick<size_t>(200, 1);
    bench::Rounds rounds;
    for (auto _ : state) {
        rounds = bench::runRounds(
            {[&](size_t n) {
                 return bench::timeLoop(
                     n, [&] { benchmark::DoNotOptimize(platform::cp932::decode(bytes)); });
             },
             [&](size_t n) {
                 return bench::timeLoop(
                     n, [&] { benchmark::DoNotOptimize(platform::cp932::encode(text)); });
             },
             [&](size_t n) {
                 return bench::timeLoop(
                     n, [&] { benchmark::DoNotOptimize(text_render::RenderControlChars(text)); });
             },
             [&](size_t n) {
                 return bench::timeLoop(n, [&] {
                     std::memcpy(copy.data(), bytes.data(), bytes.size());
                     benchmark::ClobberMemory();
                 });
             }},
            perRound);
    }
    const double size = static_cast<double>(bytes.size());
    auto rate = [&](size_t side) { return size / rounds.medianSeconds(side); };
    const std::string memcpyRate = bench::formatRate(rate(3)) + " memcpy";
    bench::recordRow(
        state, {"7. Code page 932 decode, mixed text", bench::formatRate(rate(0)), memcpyRate,
                rounds.medianRatio(3, 0), bench::atLeast(200, ">= 200 MB/s").on(rate(0) / 1e6)});
    bench::recordRow(
        state, {"7. Code page 932 encode, mixed text", bench::formatRate(rate(1)), memcpyRate,
                rounds.medianRatio(3, 1), bench::atLeast(200, ">= 200 MB/s").on(rate(1) / 1e6)});
    bench::recordRow(state, {"7. RenderControlChars, mixed text", bench::formatRate(rate(2)),
                             memcpyRate, rounds.medianRatio(3, 2), bench::reportOnly()});
}
BENCHMARK(BM_TextConversion)->Iterations(1)->Unit(benchmark::kMillisecond);

// Printable ASCII with line ends: what most lines of a device or a datagram hold.
std::u16string asciiText(size_t length) {
    std::u16string text;
    for (size_t i = 0; text.size() < length; ++i)
        text += i % 64 == 63 ? u'\n' : static_cast<char16_t>(0x20 + i % 0x5F);
    return text;
}

// Pure ASCII through the same calls as above: the conversion's best case, which should come
// near a plain copy.
void BM_AsciiConversion(benchmark::State& state) {
    const auto length = static_cast<size_t>(state.range(0));
    const std::u16string text = asciiText(length);
    const std::string bytes = platform::cp932::encode(text);
    if (bytes.size() != length || platform::cp932::decode(bytes) != text)
        throw std::runtime_error("the ASCII corpus does not round-trip");
    std::vector<char> copy(bytes.size());
    // About the same work per round for both sizes.
    const size_t perRound = bench::pick<size_t>(200 * (32 * 1024) / length, 1);
    bench::Rounds rounds;
    for (auto _ : state) {
        rounds = bench::runRounds({[&](size_t n) {
                                       return bench::timeLoop(n, [&] {
                                           benchmark::DoNotOptimize(platform::cp932::decode(bytes));
                                       });
                                   },
                                   [&](size_t n) {
                                       return bench::timeLoop(n, [&] {
                                           benchmark::DoNotOptimize(platform::cp932::encode(text));
                                       });
                                   },
                                   [&](size_t n) {
                                       return bench::timeLoop(n, [&] {
                                           std::memcpy(copy.data(), bytes.data(), bytes.size());
                                           benchmark::ClobberMemory();
                                       });
                                   }},
                                  perRound);
    }
    const std::string size =
        length == 1024 ? "1 KiB (a datagram)" : std::to_string(length / 1024) + " Ki";
    auto rate = [&](size_t side) {
        return static_cast<double>(length) / rounds.medianSeconds(side);
    };
    const std::string memcpyRate = bench::formatRate(rate(2)) + " memcpy";
    const bench::Target target = bench::atLeast(8000, ">= 8 GB/s");
    bench::recordRow(state, {"7. Code page 932 decode, ASCII " + size, bench::formatRate(rate(0)),
                             memcpyRate, rounds.medianRatio(2, 0), target.on(rate(0) / 1e6)});
    bench::recordRow(state, {"7. Code page 932 encode, ASCII " + size, bench::formatRate(rate(1)),
                             memcpyRate, rounds.medianRatio(2, 1), target.on(rate(1) / 1e6)});
}
BENCHMARK(BM_AsciiConversion)
    ->Arg(32 * 1024)
    ->Arg(1024)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

CORVANE_BENCH_MAIN()
