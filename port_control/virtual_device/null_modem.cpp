// The null-modem cable (pair) and the loop-back plug (echo): each end's data goes to the
// other end (or back to itself) at the sending end's character time, taken as the
// receiving end's UART would take it; DTR drives the other end's DSR and DCD, RTS its CTS,
// and a BREAK reaches the other end as one.
#include <chrono>
#include <cmath>

#include "components/rfc2217_protocol.h"
#include "virtual_device/device_model.h"
#include "virtual_device/uart_reception.h"

namespace port_control::virtual_device {
namespace {

using Clock = std::chrono::steady_clock;
namespace modem = rfc2217::modem_state;

// Data a client has sent that waits for its character time or for room at the other end.
constexpr size_t kMostQueued = 64 * 1024;

class NullModem final : public DeviceModel {
  public:
    NullModem(const DeviceOptions& options, DeviceHost& host)
        : m_host(host), m_pace(options.pace), m_loop(platform::MessageLoop::current()) {
        const bool echo = options.kind == DeviceKind::Echo;
        const size_t count = echo ? 1 : 2;
        for (size_t i = 0; i < count; ++i) {
            const uint16_t wanted = i < options.ports.size() ? options.ports[i] : 0;
            m_ends[i].port =
                std::make_unique<ServedPort>(static_cast<int>(i), wanted, options.pty, *this);
        }
        // Bytes toward the first port are "received", as seen from its host; an echo's
        // bytes all come back to it.
        m_ends[0].peer = echo ? &m_ends[0] : &m_ends[1];
        m_ends[0].direction = echo ? Direction::Received : Direction::Sent;
        if (!echo) {
            m_ends[1].peer = &m_ends[0];
            m_ends[1].direction = Direction::Received;
        }
    }

    ~NullModem() override {
        for (End& end : m_ends)
            m_loop.stopTimer(end.timer);
    }

    std::vector<ServedPort*> ports() override {
        std::vector<ServedPort*> result;
        for (End& end : m_ends) {
            if (end.port)
                result.push_back(end.port.get());
        }
        return result;
    }

    void clientData(ServedPort& port, std::string_view data) override {
        End& end = endOf(port);
        if (end.taken == end.queued.size()) {
            end.queued.clear();
            end.taken = 0;
            restartPace(end);
        }
        end.queued.append(data);
        if (end.queued.size() - end.taken >= kMostQueued)
            port.holdClient(true);
        pump(end);
    }

    void clientChanged(ServedPort& port, uint32_t changes) override {
        End& end = endOf(port);
        const Rfc2217ServerSession& session = port.session();
        if (changes & (ServedPort::kConnected | ServedPort::kDisconnected)) {
            dropQueued(end);
            updatePeerInputs(end);
        }
        if (changes & (Rfc2217ServerSession::kDtrChanged | Rfc2217ServerSession::kRtsChanged))
            updatePeerInputs(end);
        if ((changes & Rfc2217ServerSession::kBreakChanged) && session.breakOn())
            end.peer->port->deliverLineState(rfc2217::line_state::kBreak);
        if (changes & Rfc2217ServerSession::kSettingsChanged)
            restartPace(end);
        if (changes & Rfc2217ServerSession::kPurgeReceive)
            dropQueued(*end.peer);
        if (changes & Rfc2217ServerSession::kPurgeTransmit)
            dropQueued(end);
    }

    void roomToDeliver(ServedPort& port) override {
        for (End& end : m_ends) {
            if (end.port && end.peer->port.get() == &port) {
                restartPace(end);
                pump(end);
            }
        }
    }

  private:
    struct End {
        std::unique_ptr<ServedPort> port;
        End* peer = nullptr;
        Direction direction = Direction::Sent;
        std::string queued;  // the client's data, sent on up to `taken`
        size_t taken = 0;
        Clock::time_point paceStart;  // characters go at their time from here
        uint64_t paced = 0;           // characters sent on since paceStart
        platform::MessageLoop::TimerId timer = 0;
    };

    End& endOf(ServedPort& port) { return m_ends[static_cast<size_t>(port.index())]; }

    static double charactersPerSecond(const End& end) {
        const SerialSettings& settings = end.port->session().settings();
        return settings.baudRate / bitsPerCharacter(settings);
    }

    static void restartPace(End& end) {
        end.paceStart = Clock::now();
        end.paced = 0;
    }

    void dropQueued(End& end) {
        end.queued.clear();
        end.taken = 0;
        end.port->holdClient(false);
    }

    void updatePeerInputs(End& end) {
        const Rfc2217ServerSession& session = end.port->session();
        uint8_t inputs = 0;
        if (session.rts())
            inputs |= modem::kCts;
        if (session.dtr())
            inputs |= modem::kDsr | modem::kCd;
        end.peer->port->setInputs(inputs);
    }

    // Sends on what is due of `end`'s data.
    void pump(End& end) {
        size_t count = end.queued.size() - end.taken;
        if (count == 0 || end.peer->port->full())
            return;  // roomToDeliver() goes on
        const auto now = Clock::now();
        double rate = 0;
        if (m_pace) {
            rate = charactersPerSecond(end);
            const double elapsed = std::chrono::duration<double>(now - end.paceStart).count();
            const auto due = static_cast<uint64_t>(elapsed * rate);
            count = std::min<uint64_t>(count, due > end.paced ? due - end.paced : 0);
        }
        if (count > 0) {
            const std::string_view chunk = std::string_view(end.queued).substr(end.taken, count);
            end.taken += count;
            end.paced += count;
            transfer(end, chunk);
            if (end.taken == end.queued.size()) {
                end.queued.clear();
                end.taken = 0;
            }
            if (end.queued.size() - end.taken < kMostQueued / 2)
                end.port->holdClient(false);
        }
        if (m_pace && end.taken < end.queued.size() && end.timer == 0) {
            // The next character's time.
            const double next = static_cast<double>(end.paced + 1) / rate;
            const double elapsed = std::chrono::duration<double>(now - end.paceStart).count();
            const auto wait = std::chrono::milliseconds(
                std::max<int64_t>(1, static_cast<int64_t>(std::ceil((next - elapsed) * 1000))));
            end.timer = m_loop.startTimer(wait, false, [this, &end] {
                end.timer = 0;
                pump(end);
            });
        }
    }

    void transfer(End& from, std::string_view bytes) {
        End& to = *from.peer;
        if (!to.port->connected() && to.port->terminal().empty())
            return;  // nobody has the other end open: the line drops what arrives
        if (!m_host.hasFaults()) {
            receive(from, to, bytes);
            return;
        }
        m_pieces.clear();
        m_host.passFaults(from.direction, bytes, m_pieces);
        for (const FaultPiece& piece : m_pieces) {
            receive(from, to, piece.data);
            if (piece.fault)
                m_host.actOn(*piece.fault, *to.port);
        }
    }

    // `bytes` as the receiving end's UART takes them from the sending end's.
    void receive(const End& from, End& to, std::string_view bytes) {
        const SerialSettings& sender = from.port->session().settings();
        const SerialSettings& receiver = to.port->session().settings();
        if (receiver.dataBits == 8 && receivesUnchanged(sender, receiver)) {
            to.port->deliver(bytes);
            return;
        }
        m_received.clear();
        receiveCharacters(sender, receiver, bytes, m_received);
        std::string run;
        for (const ReceivedCharacter& each : m_received) {
            if (each.lineState == 0) {
                run.push_back(static_cast<char>(each.value));
                continue;
            }
            // The condition is reported where it happened: after the bytes before it.
            to.port->deliver(run);
            run.clear();
            to.port->deliverLineState(each.lineState);
            if (!(each.lineState & rfc2217::line_state::kBreak))
                run.push_back(static_cast<char>(each.value));
        }
        to.port->deliver(run);
    }

    DeviceHost& m_host;
    bool m_pace;
    platform::MessageLoop& m_loop;
    End m_ends[2];
    std::vector<FaultPiece> m_pieces;
    std::vector<ReceivedCharacter> m_received;
};

}  // namespace

std::unique_ptr<DeviceModel> makeNullModem(const DeviceOptions& options, DeviceHost& host) {
    return std::make_unique<NullModem>(options, host);
}

}  // namespace port_control::virtual_device
