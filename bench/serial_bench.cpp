// Serial bulk transfer over a pseudo-terminal: 1 MiB received by the control (the peer
// writes to the master, the control's OnComm handler reads Input2) and 1 MiB sent by it
// (one Output, the peer reads the master), in text and binary mode, against raw
// non-blocking read/write on the same pseudo-terminal with an epoll loop. The control's
// port is opened before and closed after each of its rounds, outside the measured time;
// the raw side puts the line back into raw mode before each of its rounds.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>

#include "design_surface.h"
#include "port_control/support/pty_pair.h"
#include "support/comparison.h"
#include "support/port_transfer.h"
#include "support/raw_stream.h"
#include "support/udp_endpoints.h"

namespace {

constexpr int16_t kPort = 9;
constexpr int16_t kLargestInBuffer = 32767;
constexpr int32_t kHandshakingRtsCts = 2;
constexpr int32_t kTextMode = 0;
constexpr int32_t kBinaryMode = 1;

// Text mode carries printable ASCII (one character per byte); binary mode every byte value.
std::string payload(size_t size, int32_t mode) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(mode == kTextMode ? ' ' + i % 95 : i % 256);
    return bytes;
}

platform::Variant outputValue(const std::string& bytes, int32_t mode) {
    if (mode == kTextMode)
        return platform::Variant::fromString(std::u16string(bytes.begin(), bytes.end()));
    return platform::Variant::fromBytes(platform::ByteArray(bytes.begin(), bytes.end()));
}

class SerialTransfer {
  public:
    explicit SerialTransfer(int32_t mode) {
        m_pair.mapToPort(kPort);
        port_control::Portula& c = m_endpoint.control;
        c.put_CommPort(kPort);
        c.put_InBufferSize(kLargestInBuffer);
        // Hold the sender while the buffer is full, so that no byte is dropped.
        c.put_Handshaking(kHandshakingRtsCts);
        c.put_RThreshold(1);
        c.put_InputMode(mode);
        m_raw = ::open(m_pair.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m_raw < 0)
            bench::failWithErrno("open");
    }
    ~SerialTransfer() { ::close(m_raw); }
    SerialTransfer(const SerialTransfer&) = delete;
    SerialTransfer& operator=(const SerialTransfer&) = delete;

    // The peer writes `bytes`; the control's OnComm handler reads them.
    double controlReceives(const std::string& bytes) {
        return finish(bench::transferToControl(m_endpoint, m_pair.master(), bytes), bytes.size());
    }

    // One Output of `value` (`size` bytes); the peer reads until all have arrived.
    double controlSends(const platform::Variant& value, size_t size) {
        return finish(bench::transferFromControl(m_endpoint, m_pair.master(), value, size), size);
    }

    // The same with the master and a descriptor of our own on the slave: `fromPeer` tells
    // the direction.
    double rawTransfer(const std::string& bytes, bool fromPeer) {
        rawMode();
        const int writer = fromPeer ? m_pair.master() : m_raw;
        const int reader = fromPeer ? m_raw : m_pair.master();
        return bench::rawStreamTransfer(writer, reader, bytes);
    }

  private:
    double finish(bench::PortTransfer transfer, size_t expected) {
        m_endpoint.control.put_PortOpen(platform::kFalse);
        if (transfer.received != expected)
            throw std::runtime_error("the control moved " + std::to_string(transfer.received) +
                                     " of " + std::to_string(expected) + " bytes");
        return transfer.seconds;
    }

    // The control leaves its own line settings behind; the raw side reads plain bytes.
    void rawMode() {
        termios raw{};
        if (::tcgetattr(m_raw, &raw) != 0)
            bench::failWithErrno("tcgetattr");
        ::cfmakeraw(&raw);
        if (::tcsetattr(m_raw, TCSANOW, &raw) != 0)
            bench::failWithErrno("tcsetattr");
        ::tcflush(m_raw, TCIOFLUSH);
    }

    port_control::testing::TemporaryPlatformHome m_home;
    port_control::testing::PtyPair m_pair;
    bench::ControlEndpoint m_endpoint;
    int m_raw = -1;
};

void BM_SerialBulk(benchmark::State& state) {
    const auto mode = static_cast<int32_t>(state.range(0));
    const bool controlSends = state.range(1) != 0;
    const size_t size = bench::pick<size_t>(1024 * 1024, 16 * 1024);
    const std::string bytes = payload(size, mode);
    const platform::Variant value = outputValue(bytes, mode);
    SerialTransfer transfer(mode);
    bench::Rounds rounds;
    for (auto _ : state) {
        rounds =
            bench::runRounds({[&](size_t) {
                                  return controlSends ? transfer.controlSends(value, size)
                                                      : transfer.controlReceives(bytes);
                              },
                              [&](size_t) { return transfer.rawTransfer(bytes, !controlSends); }},
                             1, 7, 3.0);
    }
    auto rate = [&](size_t side) {
        return bench::formatRate(static_cast<double>(size) / rounds.medianSeconds(side));
    };
    const std::string what = std::string(controlSends ? "send" : "receive") + " 1 MiB, " +
                             (mode == kTextMode ? "text" : "binary");
    bench::recordRow(state, {"6. Serial " + what + " over a pty", rate(0), rate(1),
                             rounds.medianRatio(1, 0), bench::atLeast(0.95, ">= 0.95 x raw")});
}
BENCHMARK(BM_SerialBulk)
    ->ArgNames({"binary", "send"})
    ->Args({kTextMode, 0})
    ->Args({kBinaryMode, 0})
    ->Args({kTextMode, 1})
    ->Args({kBinaryMode, 1})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

CORVANE_BENCH_MAIN()
