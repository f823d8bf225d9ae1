// UDP on 127.0.0.1: throughput of one control sending to another (each datagram read in the
// receiver's OnComm before the next is sent) against raw sockets on an epoll loop and
// against QUdpSocket on Qt's event loop; round-trip latency of two controls echoing
// against raw sockets doing the same.
#include <string>
#include <vector>

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

platform::Variant payloadText(size_t size) {
    const std::string bytes = payloadBytes(size);
    return platform::Variant::fromString(std::u16string(bytes.begin(), bytes.end()));
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

std::string sizeName(size_t size) {
    return size < 1024 ? std::to_string(size) + " B" : "1 KiB";
}

// One throughput comparison: control A sending to control B against `reference`, a side
// that moves the same datagrams of `size` bytes.
void compareThroughput(benchmark::State& state, size_t size, const bench::Side& reference,
                       const std::string& against, bench::Target target) {
    const platform::Variant text = payloadText(size);
    bench::ControlStream ours;
    bench::Rounds rounds;
    for (auto _ : state) {
        rounds = bench::runRounds({[&](size_t n) { return ours.run(text, n); }, reference},
                                  bench::pick<size_t>(2000, 20));
    }
    auto rate = [&](size_t side) {
        return bench::formatRate(static_cast<double>(size) / rounds.medianSeconds(side));
    };
    bench::recordRow(state, {"1. UDP throughput " + sizeName(size) + ", vs " + against, rate(0),
                             rate(1), rounds.medianRatio(1, 0), std::move(target)});
}

void BM_UdpThroughput(benchmark::State& state) {
    const auto size = static_cast<size_t>(state.range(0));
    const std::string bytes = payloadBytes(size);
    bench::RawStream raw;
    compareThroughput(
        state, size, [&](size_t n) { return raw.run(bytes, n); }, "raw epoll",
        bench::atLeast(0.8, ">= 0.80 x raw"));
}
BENCHMARK(BM_UdpThroughput)->Arg(16)->Arg(1024)->Iterations(1)->Unit(benchmark::kMillisecond);

#ifdef CORVANE_BENCH_WITH_QT
// Registered last: once a QUdpSocket has been bound in a process, every later UDP workload
// there runs slower (see docs/performance.md).
void BM_UdpThroughputAgainstQt(benchmark::State& state) {
    const auto size = static_cast<size_t>(state.range(0));
    const std::string bytes = payloadBytes(size);
    const QByteArray qtBytes(bytes.data(), static_cast<qsizetype>(bytes.size()));
    QtStream qt;
    compareThroughput(
        state, size, [&](size_t n) { return qt.run(qtBytes, n); }, "QUdpSocket",
        bench::atLeast(1.0, ">= 1.00 x Qt"));
}
#endif

void BM_UdpRoundTrip(benchmark::State& state) {
    const platform::Variant text = payloadText(16);
    const std::string bytes = payloadBytes(16);
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
                             bench::atMost(1.25, "<= 1.25 x raw")});
    bench::recordRow(state, {"2. UDP round trip 16 B, p99", bench::formatNanoseconds(ourP99),
                             bench::formatNanoseconds(rawP99), ourP99 / rawP99,
                             bench::atMost(1.25, "<= 1.25 x raw")});
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
