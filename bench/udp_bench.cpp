// UDP on 127.0.0.1: throughput of one control sending to another (each datagram read in the
// receiver's OnComm before the next is sent) against raw sockets on an epoll loop and
// against QUdpSocket on Qt's event loop; round-trip latency of two controls echoing
// against raw sockets doing the same.
#include <string>
#include <vector>

#include "platform/codepage932.h"
#include "support/comparison.h"
#include "support/udp_endpoints.h"

#ifdef CORVANE_BENCH_WITH_QT
#include <QCoreApplication>
#include <QHostAddress>
#include <QUdpSocket>
#include <chrono>
#endif

namespace {

std::string payloadBytes(size_t size) {
    std::string bytes;
    for (size_t i = 0; i < size; ++i)
        bytes += static_cast<char>('A' + i % 26);
    return bytes;
}

// Japanese text of `size` bytes in code page 932: hiragana, katakana and kanji, every
// character two bytes.
std::u16string japaneseText(size_t size) {
    static constexpr char16_t kCharacters[] =
        u"\u3042\u3044\u3046\u3048\u304A\u30AB\u30AD"
        u"\u30AF\u65E5\u672C\u8A9E\u6F22\u5B57";
    std::u16string text;
    for (size_t i = 0; i < size / 2; ++i)
        text += kCharacters[i % (std::size(kCharacters) - 1)];
    return text;
}

// What a throughput workload sends: the control's text and the same datagram as raw bytes.
struct Payload {
    std::string name;
    platform::Variant text;
    std::string bytes;
};

Payload asciiPayload(size_t size) {
    const std::string bytes = payloadBytes(size);
    return {size < 1024 ? std::to_string(size) + " B" : "1 KiB ASCII",
            platform::Variant::fromString(std::u16string(bytes.begin(), bytes.end())), bytes};
}

Payload japanesePayload(size_t size) {
    std::u16string text = japaneseText(size);
    std::string bytes = platform::cp932::encode(text);
    return {"1 KiB Japanese", platform::Variant::fromString(std::move(text)), std::move(bytes)};
}

#ifdef CORVANE_BENCH_WITH_QT
QCoreApplication& qtApplication() {
    static int argc = 1;
    static char name[] = "udp_bench";
    static char* argv[] = {name, nullptr};
    // Never destroyed: Qt's own statics may be gone by the time ours would be.
    static QCoreApplication* application = new QCoreApplication(argc, argv);
    return *application;
}

// QUdpSocket as a Qt program uses it: readyRead drains the socket, the event loop waits.
class QtStream {
  public:
    QtStream() : m_destination(QHostAddress::LocalHost), m_buffer(64 * 1024, '\0') {
        qtApplication();
        if (!m_receiver.bind(QHostAddress::LocalHost, 0))
            throw std::runtime_error("QUdpSocket::bind failed");
        m_port = m_receiver.localPort();
        QObject::connect(&m_receiver, &QUdpSocket::readyRead, [this] {
            while (m_receiver.hasPendingDatagrams()) {
                m_bytes += m_receiver.readDatagram(m_buffer.data(), m_buffer.size());
                ++m_arrivals;
            }
        });
    }

    double run(const QByteArray& payload, size_t count) {
        using Clock = std::chrono::steady_clock;
        const auto start = Clock::now();
        for (size_t i = 0; i < count; ++i) {
            const size_t expected = m_arrivals + 1;
            m_sender.writeDatagram(payload, m_destination, m_port);
            const auto deadline = Clock::now() + std::chrono::seconds(5);
            while (m_arrivals < expected) {
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 1000);
                if (Clock::now() > deadline)
                    throw std::runtime_error("a datagram on 127.0.0.1 was lost");
            }
        }
        return std::chrono::duration<double>(Clock::now() - start).count();
    }

  private:
    QUdpSocket m_sender;
    QUdpSocket m_receiver;
    QHostAddress m_destination;
    quint16 m_port = 0;
    QByteArray m_buffer;
    size_t m_arrivals = 0;
    qint64 m_bytes = 0;
};
#endif

// One throughput comparison: control A sending `payload` to control B against `reference`,
// a side that moves the same datagrams.
void compareThroughput(benchmark::State& state, const Payload& payload,
                       const bench::Side& reference, const std::string& against,
                       bench::Target target) {
    const platform::Variant& text = payload.text;
    const size_t size = payload.bytes.size();
    bench::ControlStream ours;
    bench::Rounds rounds;
    for (auto _ : state) {
        rounds = bench::runRounds({[&](size_t n) { return ours.run(text, n); }, reference},
                                  bench::pick<size_t>(2000, 20));
    }
    auto rate = [&](size_t side) {
        return bench::formatRate(static_cast<double>(size) / rounds.medianSeconds(side));
    };
    bench::recordRow(state, {"1. UDP throughput " + payload.name + ", vs " + against, rate(0),
                             rate(1), rounds.medianRatio(1, 0), std::move(target)});
}

// Against raw sockets: ASCII text of 16 B and 1 KiB (argument 0), and 1 KiB of Japanese
// text (argument 1), which takes code page 932's double-byte path both ways.
void BM_UdpThroughput(benchmark::State& state) {
    const auto size = static_cast<size_t>(state.range(0));
    const bool japanese = state.range(1) != 0;
    const Payload payload = japanese ? japanesePayload(size) : asciiPayload(size);
    bench::RawStream raw;
    bench::Target target = japanese || size < 1024 ? bench::atLeast(0.9, ">= 0.90 x raw")
                                                   : bench::atLeast(0.95, ">= 0.95 x raw");
    compareThroughput(
        state, payload, [&](size_t n) { return raw.run(payload.bytes, n); }, "raw epoll",
        std::move(target));
}
BENCHMARK(BM_UdpThroughput)
    ->Args({16, 0})
    ->Args({1024, 0})
    ->Args({1024, 1})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// The control's sending socket is connected to its destination, which spares the system a
// route lookup per datagram; the plain raw loop above pays for one. This row shows how much
// of the ratio that is: the same raw loop with its sender connected too.
void BM_UdpThroughputAgainstConnectedRaw(benchmark::State& state) {
    const Payload payload = asciiPayload(static_cast<size_t>(state.range(0)));
    bench::RawStream raw(true);
    compareThroughput(
        state, payload, [&](size_t n) { return raw.run(payload.bytes, n); },
        "raw epoll, sender connected", bench::reportOnly());
}
BENCHMARK(BM_UdpThroughputAgainstConnectedRaw)
    ->Arg(16)
    ->Arg(1024)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

#ifdef CORVANE_BENCH_WITH_QT
// Registered last: once a QUdpSocket has been bound in a process, every later UDP workload
// there runs slower (see docs/performance.md).
void BM_UdpThroughputAgainstQt(benchmark::State& state) {
    const Payload payload = asciiPayload(static_cast<size_t>(state.range(0)));
    const QByteArray qtBytes(payload.bytes.data(), static_cast<qsizetype>(payload.bytes.size()));
    QtStream qt;
    compareThroughput(
        state, payload, [&](size_t n) { return qt.run(qtBytes, n); }, "QUdpSocket",
        bench::atLeast(1.0, ">= 1.00 x Qt"));
}
#endif

void BM_UdpRoundTrip(benchmark::State& state) {
    const Payload payload = asciiPayload(16);
    const platform::Variant& text = payload.text;
    const std::string& bytes = payload.bytes;
    bench::ControlPingPong ours;
    bench::RawPingPong raw;
    std::vector<double> ourSamples, rawSamples;
    const size_t perRound = bench::pick<size_t>(1000, 20);
    bench::Rounds rounds;
    for (auto _ : state) {
        rounds = bench::runRounds({[&](size_t n) { return ours.run(text, n, ourSamples); },
                                   [&](size_t n) { return raw.run(bytes, n, rawSamples); }},
                                  perRound);
    }
    if (!bench::smokeRun()) {
        // The warm-up round's samples come first and do not count.
        ourSamples.erase(ourSamples.begin(), ourSamples.begin() + perRound);
        rawSamples.erase(rawSamples.begin(), rawSamples.begin() + perRound);
    }
    const double ourMedian = bench::median(ourSamples), rawMedian = bench::median(rawSamples);
    const double ourP99 = bench::percentile(ourSamples, 99),
                 rawP99 = bench::percentile(rawSamples, 99);
    bench::recordRow(state, {"2. UDP round trip 16 B, median", bench::formatNanoseconds(ourMedian),
                             bench::formatNanoseconds(rawMedian), ourMedian / rawMedian,
                             bench::atMost(1.10, "<= 1.10 x raw")});
    bench::recordRow(state, {"2. UDP round trip 16 B, p99", bench::formatNanoseconds(ourP99),
                             bench::formatNanoseconds(rawP99), ourP99 / rawP99,
                             bench::atMost(1.10, "<= 1.10 x raw")});
}
BENCHMARK(BM_UdpRoundTrip)->Iterations(1)->Unit(benchmark::kMillisecond);

#ifdef CORVANE_BENCH_WITH_QT
BENCHMARK(BM_UdpThroughputAgainstQt)
    ->Arg(16)
    ->Arg(1024)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
#endif

}  // namespace

CORVANE_BENCH_MAIN()
