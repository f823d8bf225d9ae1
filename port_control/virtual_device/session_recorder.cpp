// The recorder: a served port forwarded to a real one (a device path, a port of the port map
// or a network serial server), every event of the session written to a capture file as
// the host saw it.
#include <sys/ioctl.h>

#include <algorithm>
#include <cctype>
#include <chrono>

#include "components/local_serial_line.h"
#include "components/rfc2217_protocol.h"
#include "components/rfc2217_serial_line.h"
#include "components/serial_errors.h"
#include "components/serial_input_filter.h"
#include "platform/error.h"
#include "platform/port_map.h"
#include "virtual_device/capture_file.h"
#include "virtual_device/device_model.h"

namespace port_control::virtual_device {
namespace {

namespace modem = rfc2217::modem_state;

constexpr size_t kMostQueued = 64 * 1024;
// How often the modem lines of a local device are looked at: the kernel reports no change.
constexpr std::chrono::milliseconds kPollInterval{50};

std::chrono::microseconds now() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch());
}

std::unique_ptr<SerialLine> openSource(std::string source) {
    const bool number = !source.empty() && source.size() <= 3 &&
                        std::all_of(source.begin(), source.end(), [](char c) {
                            return std::isdigit(static_cast<unsigned char>(c));
                        });
    if (number)
        source = platform::devicePathForPort(std::stoi(source)).string();
    if (Rfc2217SerialLine::isNetworkAddress(source))
        return Rfc2217SerialLine::open(source, SerialSettings{}, 0, false, false);
    return LocalSerialLine::open(source, SerialSettings{}, 0, false, false);
}

// The modem_state input bits of TIOCM_* lines.
uint8_t inputsOf(int lines) {
    uint8_t inputs = 0;
    if (lines & TIOCM_CTS)
        inputs |= modem::kCts;
    if (lines & TIOCM_DSR)
        inputs |= modem::kDsr;
    if (lines & TIOCM_CAR)
        inputs |= modem::kCd;
    if (lines & TIOCM_RNG)
        inputs |= modem::kRing;
    return inputs;
}

class Recorder final : public DeviceModel {
  public:
    Recorder(const DeviceOptions& options, DeviceHost& host)
        : m_host(host),
          m_loop(platform::MessageLoop::current()),
          m_source(openSource(options.source)),
          m_writer(options.capture),
          m_port(0, options.ports.empty() ? 0 : options.ports[0], options.pty, *this) {
        m_sourceWatch = m_loop.watchFd(m_source->descriptor(), platform::MessageLoop::kReadable,
                                       [this](uint32_t events) { sourceReady(events); });
        if (m_source->needsPolling())
            m_pollTimer = m_loop.startTimer(kPollInterval, true, [this] { pollSource(); });
        m_port.setInputs(inputsOf(m_source->modemLines()));
    }

    ~Recorder() override {
        m_loop.stopTimer(m_pollTimer);
        m_loop.removeWatch(m_sourceWatch);
    }

    std::vector<ServedPort*> ports() override { return {&m_port}; }

    void clientData(ServedPort& port, std::string_view data) override {
        if (!m_source)
            return;
        if (m_host.hasFaults()) {
            m_pieces.clear();
            m_host.passFaults(Direction::Sent, data, m_pieces);
            for (const FaultPiece& piece : m_pieces)
                toSource(piece.data);
        } else {
            toSource(data);
        }
        if (m_toSource.size() - m_toSourceTaken >= kMostQueued)
            port.holdClient(true);
    }

    void clientChanged(ServedPort& port, uint32_t changes) override {
        if (!m_source)
            return;
        const Rfc2217ServerSession& session = port.session();
        try {
            if (changes & (ServedPort::kConnected | ServedPort::kDisconnected)) {
                m_toSource.clear();
                m_toSourceTaken = 0;
            }
            if (changes & (Rfc2217ServerSession::kSettingsChanged | ServedPort::kConnected)) {
                m_source->applySettings(session.settings(), 0);
                write(LineEventType::Settings, toNarrow(session.settings().format()));
            }
            if (changes & (Rfc2217ServerSession::kDtrChanged | ServedPort::kConnected |
                           ServedPort::kDisconnected))
                m_source->setModemLine(TIOCM_DTR, session.dtr());
            if (changes & (Rfc2217ServerSession::kRtsChanged | ServedPort::kConnected |
                           ServedPort::kDisconnected))
                m_source->setModemLine(TIOCM_RTS, session.rts());
            if (changes & (Rfc2217ServerSession::kDtrChanged | Rfc2217ServerSession::kRtsChanged))
                write(LineEventType::Status, {});
            if (changes & Rfc2217ServerSession::kBreakChanged) {
                m_source->setBreak(session.breakOn());
                if (session.breakOn())
                    write(LineEventType::BreakSent, {});
            }
            if (changes & Rfc2217ServerSession::kPurgeReceive)
                m_source->discardInput();
            if (changes & Rfc2217ServerSession::kPurgeTransmit) {
                m_source->discardOutput();
                m_toSource.clear();
                m_toSourceTaken = 0;
            }
        } catch (const platform::Error&) {
            // The device refused a setting: the client goes on as a real port's would,
            // and what the device took is what the recording shows it took.
        }
    }

    void roomToDeliver(ServedPort&) override { updateSourceWatch(); }

  private:
    static std::string toNarrow(const std::u16string& text) {
        return std::string(text.begin(), text.end());  // settings texts are ASCII
    }

    uint8_t lines() const {
        const Rfc2217ServerSession& session = m_port.session();
        uint8_t result = linesOfModemState(m_port.inputs());
        if (session.rts())
            result |= lines::kRts;
        if (session.dtr())
            result |= lines::kDtr;
        return result;
    }

    void write(LineEventType type, std::string bytes) {
        m_writer.write({now(), type, lines(), std::move(bytes)});
    }

    void toSource(std::string_view data) {
        if (data.empty())
            return;
        write(LineEventType::Sent, std::string(data));
        if (m_toSourceTaken == m_toSource.size()) {
            m_toSource.clear();
            m_toSourceTaken = 0;
        }
        m_toSource.append(data);
        flushSource();
    }

    void flushSource() {
        if (!m_source)
            return;
        m_source->flush();
        while (m_toSourceTaken < m_toSource.size()) {
            const ssize_t n = m_source->write(m_toSource.data() + m_toSourceTaken,
                                              m_toSource.size() - m_toSourceTaken);
            if (n < 0) {
                sourceGone();
                return;
            }
            if (n == 0)
                break;
            m_toSourceTaken += static_cast<size_t>(n);
        }
        if (m_toSource.size() - m_toSourceTaken < kMostQueued / 2)
            m_port.holdClient(false);
        updateSourceWatch();
    }

    void updateSourceWatch() {
        if (!m_source)
            return;
        uint32_t events = m_port.full() ? 0u : uint32_t{platform::MessageLoop::kReadable};
        if (m_toSourceTaken < m_toSource.size() || m_source->hasPendingOutput())
            events |= platform::MessageLoop::kWritable;
        m_loop.modifyWatch(m_sourceWatch, events);
    }

    void sourceReady(uint32_t events) {
        if (events & platform::MessageLoop::kWritable)
            flushSource();
        if (!m_source || !(events & ~platform::MessageLoop::kWritable))
            return;
        for (int rounds = 0; m_source && rounds < 4 && !m_port.full(); ++rounds) {
            char buffer[16 * 1024];
            m_events.clear();
            const ssize_t n = m_source->read(buffer, sizeof buffer, m_events);
            if (n < 0) {
                sourceGone();
                return;
            }
            std::string data(buffer, static_cast<size_t>(n));
            SerialInputFilter::Report report;
            if (m_source->marksLineErrors() && n > 0) {
                std::string filtered;
                report = m_filter.filter(data, {}, filtered);
                data = std::move(filtered);
            }
            fromSource(data);
            for (size_t i = 0; i < report.parityErrors; ++i)
                lineCondition(LineEventType::Parity, rfc2217::line_state::kParity);
            for (size_t i = 0; i < report.breaks; ++i)
                lineCondition(LineEventType::Break, rfc2217::line_state::kBreak);
            takeEvents();
            if (n == 0 && !m_source->hasPendingInput())
                break;
        }
        updateSourceWatch();
    }

    void fromSource(std::string_view data) {
        if (data.empty())
            return;
        if (!m_host.hasFaults()) {
            write(LineEventType::Received, std::string(data));
            m_port.deliver(data);
            return;
        }
        m_pieces.clear();
        m_host.passFaults(Direction::Received, data, m_pieces);
        for (const FaultPiece& piece : m_pieces) {
            if (!piece.data.empty()) {
                write(LineEventType::Received, piece.data);
                m_port.deliver(piece.data);
            }
            if (piece.fault)
                m_host.actOn(*piece.fault, m_port);
        }
    }

    void lineCondition(LineEventType type, uint8_t state) {
        write(type, {});
        m_port.deliverLineState(state);
    }

    void takeEvents() {
        bool linesChanged = false;
        for (int16_t event : m_events) {
            switch (event) {
                case comm_events::kBreak:
                    lineCondition(LineEventType::Break, rfc2217::line_state::kBreak);
                    break;
                case comm_events::kFraming:
                    lineCondition(LineEventType::Framing, rfc2217::line_state::kFraming);
                    break;
                case comm_events::kOverrun:
                    lineCondition(LineEventType::Overrun, rfc2217::line_state::kOverrun);
                    break;
                case comm_events::kParity:
                    lineCondition(LineEventType::Parity, rfc2217::line_state::kParity);
                    break;
                default:
                    linesChanged = true;
                    break;
            }
        }
        if (linesChanged)
            refreshInputs();
    }

    void refreshInputs() {
        const uint8_t inputs = inputsOf(m_source->modemLines());
        if (inputs == m_port.inputs())
            return;
        m_port.setInputs(inputs);
        write(LineEventType::Status, {});
    }

    void pollSource() {
        if (!m_source)
            return;
        m_events.clear();
        if (!m_source->poll(m_events)) {
            sourceGone();
            return;
        }
        takeEvents();
        refreshInputs();
    }

    void sourceGone() {
        m_loop.stopTimer(m_pollTimer);
        m_pollTimer = 0;
        m_loop.removeWatch(m_sourceWatch);
        m_sourceWatch = 0;
        m_source.reset();
        m_port.unplug();
        m_host.finished();
    }

    DeviceHost& m_host;
    platform::MessageLoop& m_loop;
    std::unique_ptr<SerialLine> m_source;
    CaptureWriter m_writer;
    ServedPort m_port;
    platform::MessageLoop::WatchId m_sourceWatch = 0;
    platform::MessageLoop::TimerId m_pollTimer = 0;
    std::string m_toSource;
    size_t m_toSourceTaken = 0;
    SerialInputFilter m_filter;
    std::vector<int16_t> m_events;
    std::vector<FaultPiece> m_pieces;
};

}  // namespace

std::unique_ptr<DeviceModel> makeRecorder(const DeviceOptions& options, DeviceHost& host) {
    return std::make_unique<Recorder>(options, host);
}

}  // namespace port_control::virtual_device
