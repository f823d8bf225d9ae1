// The replayer: a served port that plays a capture back as the device. What the recording
// shows the host sending is waited for (the same number of bytes; with `strict`, the same
// bytes, and the first difference ends the replay); what it shows the device doing
// (data, line conditions, modem lines) follows after the recorded delay, divided by `speed`,
// from the event before it. Each new connection plays the recording from its start.
#include <chrono>
#include <cmath>

#include "components/rfc2217_protocol.h"
#include "virtual_device/capture_file.h"
#include "virtual_device/device_model.h"

namespace port_control::virtual_device {
namespace {

using Clock = std::chrono::steady_clock;

// How much of the expected and the received bytes a mismatch shows.
constexpr size_t kMismatchShown = 16;

class Replayer final : public DeviceModel {
  public:
    Replayer(const DeviceOptions& options, DeviceHost& host)
        : m_host(host),
          m_loop(platform::MessageLoop::current()),
          m_events(readCapture(options.capture)),
          m_strict(options.strict),
          m_speed(options.speed > 0 ? options.speed : 1.0),
          m_port(0, options.ports.empty() ? 0 : options.ports[0], options.pty, *this) {
        uint64_t sent = 0;
        for (const LineEvent& event : m_events) {
            if (event.type == LineEventType::Sent) {
                m_expected += event.bytes;
                sent += event.bytes.size();
            }
            m_sentBy.push_back(sent);
        }
        if (!m_events.empty())
            m_port.setInputs(modemStateOfLines(m_events.front().lines));
    }

    ~Replayer() override { m_loop.stopTimer(m_timer); }

    std::vector<ServedPort*> ports() override { return {&m_port}; }

    void clientData(ServedPort&, std::string_view data) override {
        if (!m_playing)
            return;
        if (!m_host.hasFaults()) {
            take(data);
        } else {
            m_pieces.clear();
            m_host.passFaults(Direction::Sent, data, m_pieces);
            for (const FaultPiece& piece : m_pieces)
                take(piece.data);
        }
        if (m_playing)
            play();
    }

    void clientChanged(ServedPort&, uint32_t changes) override {
        if (changes & ServedPort::kConnected) {
            m_next = 0;
            m_received = 0;
            m_playing = true;
            m_lastAction = Clock::now();
            play();
        }
        if (changes & ServedPort::kDisconnected) {
            m_playing = false;
            m_loop.stopTimer(m_timer);
            m_timer = 0;
        }
    }

    void roomToDeliver(ServedPort&) override {
        if (m_playing)
            play();
    }

  private:
    // The client's bytes, checked against the recording.
    void take(std::string_view data) {
        if (m_strict) {
            for (size_t i = 0; i < data.size(); ++i) {
                const uint64_t offset = m_received + i;
                if (offset < m_expected.size() && m_expected[offset] == data[i])
                    continue;
                ReplayMismatch mismatch;
                mismatch.offset = offset;
                if (offset < m_expected.size())
                    mismatch.expected = m_expected.substr(offset, kMismatchShown);
                mismatch.received = std::string(data.substr(i, kMismatchShown));
                stop();
                m_host.mismatched(mismatch);
                return;
            }
        }
        m_received += data.size();
    }

    void stop() {
        m_playing = false;
        m_loop.stopTimer(m_timer);
        m_timer = 0;
        m_port.disconnect();
    }

    // Plays what is due, up to the next wait.
    void play() {
        while (m_playing && m_next < m_events.size()) {
            const LineEvent& event = m_events[m_next];
            switch (event.type) {
                case LineEventType::Settings:
                case LineEventType::BreakSent:
                    ++m_next;  // the host's own doing
                    continue;
                case LineEventType::Sent:
                    if (m_received < m_sentBy[m_next])
                        return;  // clientData() goes on
                    m_lastAction = Clock::now();
                    ++m_next;
                    continue;
                case LineEventType::Status:
                    if (modemStateOfLines(event.lines) == m_port.inputs()) {
                        ++m_next;  // the host's lines changed, not the device's
                        continue;
                    }
                    break;
                default:
                    break;
            }
            if (m_port.full())
                return;  // roomToDeliver() goes on
            const auto due = dueTime();
            const auto now = Clock::now();
            if (due > now) {
                if (m_timer == 0) {
                    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - now);
                    m_timer = m_loop.startTimer(wait, false, [this] {
                        m_timer = 0;
                        play();
                    });
                }
                return;
            }
            m_lastAction = due;
            ++m_next;
            perform(event);
        }
        if (m_playing && m_next == m_events.size() && !m_finished) {
            m_finished = true;
            m_host.finished();
        }
    }

    // When the event at m_next is due: its recorded delay after the event before it.
    Clock::time_point dueTime() const {
        if (m_next == 0)
            return m_lastAction;
        const auto delay = m_events[m_next].time - m_events[m_next - 1].time;
        const auto scaled =
            std::chrono::duration<double, std::micro>(static_cast<double>(delay.count()) / m_speed);
        return m_lastAction + std::chrono::duration_cast<Clock::duration>(scaled);
    }

    void perform(const LineEvent& event) {
        namespace line = rfc2217::line_state;
        switch (event.type) {
            case LineEventType::Received:
                deliver(event.bytes);
                break;
            case LineEventType::Framing:
                m_port.deliverLineState(line::kFraming);
                break;
            case LineEventType::Parity:
                m_port.deliverLineState(line::kParity);
                break;
            case LineEventType::Break:
                m_port.deliverLineState(line::kBreak);
                break;
            case LineEventType::Overrun:
                m_port.deliverLineState(line::kOverrun);
                break;
            case LineEventType::Status:
                m_port.setInputs(modemStateOfLines(event.lines));
                break;
            default:
                break;
        }
    }

    void deliver(std::string_view data) {
        if (!m_host.hasFaults()) {
            m_port.deliver(data);
            return;
        }
        m_pieces.clear();
        m_host.passFaults(Direction::Received, data, m_pieces);
        for (const FaultPiece& piece : m_pieces) {
            m_port.deliver(piece.data);
            if (piece.fault)
                m_host.actOn(*piece.fault, m_port);
        }
    }

    DeviceHost& m_host;
    platform::MessageLoop& m_loop;
    std::vector<LineEvent> m_events;
    bool m_strict;
    double m_speed;
    ServedPort m_port;
    std::string m_expected;          // every byte the recording shows the host sending
    std::vector<uint64_t> m_sentBy;  // of those, how many up to each event
    size_t m_next = 0;
    uint64_t m_received = 0;
    bool m_playing = false;
    bool m_finished = false;
    Clock::time_point m_lastAction;
    platform::MessageLoop::TimerId m_timer = 0;
    std::vector<FaultPiece> m_pieces;
};

}  // namespace

std::unique_ptr<DeviceModel> makeReplayer(const DeviceOptions& options, DeviceHost& host) {
    return std::make_unique<Replayer>(options, host);
}

}  // namespace port_control::virtual_device
