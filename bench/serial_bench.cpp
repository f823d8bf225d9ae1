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
#include "platform/fd_watch.h"
#include "platform/message_loop.h"
#include "port_control/support/pty_pair.h"
#include "support/comparison.h"
#include "support/raw_stream.h"
#include "support/udp_endpoints.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int16_t kPort = 9;
constexpr int16_t kLargestInBuffer = 32767;
constexpr int32_t kHandshakingRtsCts = 2;
constexpr int32_t kTextMode = 0;
constexpr int32_t kBinaryMode = 1;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

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

size_t sizeOf(const platform::Variant& value) {
    if (value.type() == platform::VarType::String)
        return value.stringValue().size();
    if (value.type() == platform::VarType::ByteArray)
        return value.bytesValue().size();
    return 0;
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
        port_control::Portula& c = m_endpoint.control;
        c.put_PortOpen(platform::kTrue);
        size_t received = 0;
        m_endpoint.site.onComm = [&] { received += sizeOf(c.get_Input2()); };
        std::string_view left = bytes;
        const auto start = Clock::now();
        {
            platform::FdWatch peer(
                m_pair.master(), platform::MessageLoop::kWritable,
                [&](uint32_t) { left.remove_prefix(bench::writeSome(m_pair.master(), left)); });
            bench::dispatchUntil([&] {
                if (left.empty())
                    peer.reset();
                return received >= bytes.size();
            });
        }
        const double seconds = secondsSince(start);
        finish(received, bytes.size());
        return seconds;
    }

    // One Output of `value` (`size` bytes); the peer reads until all have arrived.
    double controlSends(const platform::Variant& value, size_t size) {
        port_control::Portula& c = m_endpoint.control;
        c.put_PortOpen(platform::kTrue);
        m_endpoint.site.onComm = nullptr;
        size_t received = 0;
        const auto start = Clock::now();
        {
            platform::FdWatch peer(
                m_pair.master(), platform::MessageLoop::kReadable, [&](uint32_t) {
                    received += bench::readSome(m_pair.master(), m_buffer, sizeof m_buffer);
                });
            c.put_Output(value);
            bench::dispatchUntil([&] { return received >= size; });
        }
        const double seconds = secondsSince(start);
        finish(received, size);
        return seconds;
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
    void finish(size_t received, size_t expected) {
        m_endpoint.control.put_PortOpen(platform::kFalse);
        if (received != expected)
            throw std::runtime_error("the control moved " + std::to_string(received) + " of " +
                                     std::to_string(expected) + " bytes");
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
    char m_buffer[4096];
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
                             rounds.medianRatio(1, 0), bench::atLeast(0.8, ">= 0.80 x raw")});
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
