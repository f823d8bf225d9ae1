#include "components/rfc2217_serial_line.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

#include "components/address_lookup.h"
#include "components/serial_errors.h"
#include "components/server_connection.h"
#include "platform/error.h"
#include "platform/wait_interruption.h"

namespace port_control {
namespace {

using Clock = std::chrono::steady_clock;
namespace telnet = rfc2217::telnet;
namespace command = rfc2217::command;
namespace control = rfc2217::control;

constexpr size_t kReceiveChunk = 16 * 1024;
// Chunks one read may go through without finding data: a server that floods us with
// negotiation must not hold the loop.
constexpr int kChunksPerRead = 4;
// Data read ahead while waiting for an answer; an answer behind more is taken later.
constexpr size_t kLongestReadAhead = 64 * 1024;
// Data taken per write: bounds what waits in the line itself once the socket is full.
constexpr size_t kWriteChunk = 16 * 1024;
static_assert(2 * kWriteChunk < Rfc2217SerialLine::kLongestOutgoing);
// Settings changes taken as made and still unanswered: a server that leaves more
// unanswered does not answer at all.
constexpr size_t kLongestUnanswered = 8;

std::u16string widen(std::string_view text) {
    return platform::fromUtf8(text);
}

uint8_t flowControlValue(int32_t handshaking) {
    switch (handshaking) {
        case 1:
            return control::kXonXoffFlowControl;
        case 2:
        case 3:  // the option has no value for both at once; hardware is the stronger
            return control::kHardwareFlowControl;
        default:
            return control::kNoFlowControl;
    }
}

// The description's end when the host's check interrupts an open.
constexpr std::u16string_view kInterrupted = u"中断されました";

int milliseconds(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<int64_t>(left.count(), 0));
}

// Lets a connection that dies quietly show as a failed read, a hang-up.
void watchForLoss(const platform::FileDescriptor& fd) {
    int on = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    // A network that goes away silently, within about 20 s of quiet.
    const int idle = 10, interval = 5, probes = 2;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    // Likewise data that stays unacknowledged for 20 s.
    const unsigned int unacknowledged = 20000;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_USER_TIMEOUT, &unacknowledged, sizeof unacknowledged);
}

}  // namespace

bool Rfc2217SerialLine::isNetworkAddress(std::string_view entry) {
    return entry.find("://") != std::string_view::npos;
}

Rfc2217SerialLine::Rfc2217SerialLine(platform::FileDescriptor socket, std::string server)
    : m_socket(std::move(socket)), m_server(std::move(server)) {}

void Rfc2217SerialLine::fail(int32_t number, std::u16string_view reason) const {
    throw serialError(number, widen(m_server) + u": " + std::u16string(reason));
}

std::unique_ptr<Rfc2217SerialLine> Rfc2217SerialLine::open(std::string_view address,
                                                           const SerialSettings& settings,
                                                           int32_t handshaking, bool dtr,
                                                           bool rts) {
    std::optional<rfc2217::ServerAddress> server = rfc2217::parseServerAddress(address);
    if (!server)
        throw serialError(serial_errors::kDeviceUnavailable,
                          widen(address) + u": ポートの指定が不正です (rfc2217://ホスト:ポート)");
    const Clock::time_point deadline = Clock::now() + kOpenWait;
    const bool bracketed = server->host.find(':') != std::string::npos;
    std::string name =
        (bracketed ? "[" + server->host + "]" : server->host) + ":" + std::to_string(server->port);
    const AddressLookup lookup = lookUpAddresses(server->host, server->port, deadline);
    if (lookup.outcome == AddressLookup::Outcome::TimedOut)
        throw serialError(serial_errors::kDeviceUnavailable,
                          widen(name) + u": ホスト名を時間内に解決できませんでした");
    if (lookup.outcome == AddressLookup::Outcome::NotFound)
        throw serialError(serial_errors::kDeviceUnavailable,
                          widen(name) + u": ホスト名を解決できません");
    if (lookup.outcome == AddressLookup::Outcome::Interrupted)
        throw serialError(serial_errors::kDeviceUnavailable,
                          widen(name) + u": " + std::u16string(kInterrupted));
    std::u16string reason;
    platform::FileDescriptor socket = connectToServer(lookup.addresses, deadline, reason);
    if (socket.get() < 0)
        throw serialError(serial_errors::kDeviceUnavailable, widen(name) + u": " + reason);
    watchForLoss(socket);

    std::unique_ptr<Rfc2217SerialLine> line(new Rfc2217SerialLine(std::move(socket), name));
    line->send(line->m_options.initialRequests());
    if (!line->exchangeUntil(
            [&] { return line->m_options.comPortAgreed() || line->m_options.comPortRefused(); },
            deadline, true))
        line->fail(serial_errors::kDeviceUnavailable,
                   u"COM ポート制御 (RFC 2217) の応答がありません");
    if (!line->m_options.comPortAgreed())
        line->fail(serial_errors::kDeviceUnavailable,
                   u"COM ポート制御 (RFC 2217) に対応していません");

    line->sendCommand(
        command::kSetLineStateMask,
        std::string(
            1, static_cast<char>(rfc2217::line_state::kOverrun | rfc2217::line_state::kParity |
                                 rfc2217::line_state::kFraming | rfc2217::line_state::kBreak)));
    line->sendCommand(command::kSetModemStateMask, std::string(1, static_cast<char>(0xFF)));
    line->applySettings(settings, handshaking, deadline, true);
    line->setModemLine(TIOCM_DTR, dtr);
    line->setModemLine(TIOCM_RTS, rts);
    // What the lines were at opening is where a local port starts too: no events for it.
    line->m_events.clear();
    return line;
}

// --- Sending -----------------------------------------------------------------------------

void Rfc2217SerialLine::queue(std::string_view wire) {
    if (m_sendFailure != 0)
        return;  // nothing goes out any more
    if (m_sent == m_outgoing.size()) {
        m_outgoing.clear();
        m_sent = 0;
    }
    m_outgoing.append(wire);
}

void Rfc2217SerialLine::send(std::string_view wire) {
    queue(wire);
    flush();
    if (m_outgoing.size() - m_sent > kLongestOutgoing) {
        // A server that does not read cannot make us hold ever more for it.
        std::string().swap(m_outgoing);
        m_sent = 0;
        m_sendFailure = ENOBUFS;
        endReceiving(ENOBUFS);
    }
}

void Rfc2217SerialLine::sendCommand(uint8_t code, std::string_view value) {
    send(rfc2217::comPortCommand(code, value));
}

bool Rfc2217SerialLine::flush() {
    while (m_sendFailure == 0 && m_sent < m_outgoing.size()) {
        ssize_t count = ::send(m_socket.get(), m_outgoing.data() + m_sent,
                               m_outgoing.size() - m_sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (count < 0) {
            m_sendFailure = errno;
            break;
        }
        m_sent += static_cast<size_t>(count);
    }
    // The sent part leaves the front once it outweighs the rest (moved about once in all).
    if (m_sent == m_outgoing.size()) {
        m_outgoing.clear();
        m_sent = 0;
    } else if (m_sent > m_outgoing.size() - m_sent) {
        m_outgoing.erase(0, m_sent);
        m_sent = 0;
    }
    return m_sendFailure == 0;
}

ssize_t Rfc2217SerialLine::write(const char* data, size_t size) {
    if (!flush()) {
        errno = m_sendFailure;
        return -1;
    }
    if (m_suspended || hasPendingOutput())
        return 0;
    size_t take = std::min(size, kWriteChunk);
    rfc2217::appendEscaped(std::string_view(data, take), m_outgoing);
    if (!flush()) {
        errno = m_sendFailure;
        return -1;
    }
    return static_cast<ssize_t>(take);
}

size_t Rfc2217SerialLine::outputInDevice() {
    int unsent = 0;
    if (::ioctl(m_socket.get(), TIOCOUTQ, &unsent) != 0 || unsent < 0)
        unsent = 0;
    return m_outgoing.size() - m_sent + static_cast<size_t>(unsent);
}

// --- Receiving ---------------------------------------------------------------------------

ssize_t Rfc2217SerialLine::receive(size_t most) {
    if (m_receiveEnded)
        return -1;
    char chunk[kReceiveChunk];
    ssize_t count;
    while ((count = ::recv(m_socket.get(), chunk, std::min(most, sizeof chunk), MSG_DONTWAIT)) <
               0 &&
           errno == EINTR) {
    }
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return 0;
    if (count <= 0) {
        endReceiving(count == 0 ? ECONNRESET : errno);
        return -1;
    }
    if (m_receivedTaken == m_received.size())
        restartReceived();
    m_commands.clear();
    m_reader.read(std::string_view(chunk, static_cast<size_t>(count)), m_received, m_commands);
    for (const rfc2217::Command& each : m_commands)
        handle(each);
    if (!m_commands.empty())
        send({});  // the answers, at once
    return count;
}

void Rfc2217SerialLine::endReceiving(int error) {
    if (!m_receiveEnded) {
        m_receiveEnded = true;
        m_receiveFailure = error;
    }
    m_moreToReceive = false;
}

void Rfc2217SerialLine::restartReceived() {
    for (PendingEvent& event : m_events)
        event.at = event.at > m_receivedTaken ? event.at - m_receivedTaken : 0;
    m_received.clear();
    m_receivedTaken = 0;
}

void Rfc2217SerialLine::handle(const rfc2217::Command& each) {
    m_commandAt = each.dataAt;
    if (each.kind == rfc2217::Command::Kind::Negotiation) {
        queue(m_options.answer(each.verb, each.option));
        return;
    }
    const uint8_t value = each.value.empty() ? 0 : static_cast<uint8_t>(each.value[0]);
    switch (each.code) {
        case command::kServerOffset + command::kSetBaudRate:
        case command::kServerOffset + command::kSetDataSize:
        case command::kServerOffset + command::kSetParity:
        case command::kServerOffset + command::kSetStopSize:
            noteSettingsAnswer(each.code - command::kServerOffset, each.value);
            break;
        case command::kServerOffset + command::kNotifyLineState:
            if (!each.value.empty())
                noteLineState(value);
            break;
        case command::kServerOffset + command::kNotifyModemState:
            if (!each.value.empty())
                noteModemState(value);
            break;
        case command::kServerOffset + command::kFlowControlSuspend:
            m_suspended = true;
            break;
        case command::kServerOffset + command::kFlowControlResume:
            m_suspended = false;
            break;
        default:
            break;  // SET-CONTROL answers and the rest change nothing here
    }
}

void Rfc2217SerialLine::noteModemState(uint8_t state) {
    namespace modem = rfc2217::modem_state;
    const uint8_t changed = static_cast<uint8_t>(state ^ m_modemState);
    m_modemState = state & 0xF0;
    if ((state & modem::kCtsDelta) || (changed & modem::kCts))
        m_events.push_back({m_commandAt, comm_events::kCtsChange});
    if (((state & modem::kDsrDelta) || (changed & modem::kDsr)) && !(state & modem::kDsr))
        m_events.push_back({m_commandAt, comm_events::kDsrFell});
    if ((state & modem::kCdDelta) || (changed & modem::kCd))
        m_events.push_back({m_commandAt, comm_events::kCdChange});
    if (state & modem::kRingTrailingEdge)
        m_events.push_back({m_commandAt, comm_events::kRing});
}

void Rfc2217SerialLine::noteLineState(uint8_t state) {
    namespace line = rfc2217::line_state;
    if (state & line::kBreak)
        m_events.push_back({m_commandAt, comm_events::kBreak});
    if (state & line::kFraming)
        m_events.push_back({m_commandAt, comm_events::kFraming});
    if (state & line::kOverrun)
        m_events.push_back({m_commandAt, comm_events::kOverrun});
    if (state & line::kParity)
        m_events.push_back({m_commandAt, comm_events::kParity});
}

bool Rfc2217SerialLine::hasPendingInput() const {
    return m_receivedTaken < m_received.size() || !m_events.empty() || m_receiveEnded ||
           m_moreToReceive;
}

// Reads on after the connection has ended until the data that had arrived is all taken:
// the system keeps what came before a reset, and so does the read-ahead.
ssize_t Rfc2217SerialLine::read(char* buffer, size_t size, std::vector<int16_t>& events) {
    m_moreToReceive = false;
    for (int chunks = 0; m_receivedTaken == m_received.size(); ++chunks) {
        if (chunks == kChunksPerRead) {
            m_moreToReceive = true;
            break;
        }
        if (receive(kReceiveChunk) <= 0)
            break;
    }
    // The data up to the next event, then the events that came there.
    size_t count = std::min(size, m_received.size() - m_receivedTaken);
    if (!m_events.empty() && m_events.front().at > m_receivedTaken)
        count = std::min(count, m_events.front().at - m_receivedTaken);
    std::memcpy(buffer, m_received.data() + m_receivedTaken, count);
    m_receivedTaken += count;
    size_t delivered = 0;
    while (delivered < m_events.size() && m_events[delivered].at <= m_receivedTaken)
        events.push_back(m_events[delivered++].code);
    m_events.erase(m_events.begin(), m_events.begin() + static_cast<ptrdiff_t>(delivered));
    if (count == 0 && delivered == 0 && m_receiveEnded) {
        errno = m_receiveFailure;
        return -1;
    }
    return static_cast<ssize_t>(count);
}

template <typename Done>
bool Rfc2217SerialLine::exchangeUntil(Done done, Clock::time_point deadline, bool interruptible) {
    for (;;) {
        flush();
        if (gone())
            fail(serial_errors::kDeviceUnavailable, u"接続が切れました");
        if (done())
            return true;
        int wait = milliseconds(deadline);
        if (wait == 0)
            return false;
        if (interruptible)
            wait = std::min(wait, static_cast<int>(platform::kWaitCheckInterval.count()));
        // Data read ahead meanwhile is bounded; an answer behind more is taken later.
        const bool readsAhead = m_received.size() - m_receivedTaken < kLongestReadAhead;
        const short asked =
            static_cast<short>((readsAhead ? POLLIN : 0) | (hasPendingOutput() ? POLLOUT : 0));
        pollfd p{m_socket.get(), asked, 0};
        int ready = ::poll(&p, 1, wait);
        if (ready < 0 && errno != EINTR)
            fail(serial_errors::kDeviceUnavailable, u"接続が切れました");
        if (interruptible && platform::waitInterrupted())
            fail(serial_errors::kDeviceUnavailable, kInterrupted);
        if (ready > 0 && readsAhead && (p.revents & (POLLIN | POLLHUP | POLLERR)))
            receive(kReceiveChunk);
        else if (ready > 0 && !(p.revents & POLLOUT))
            return false;  // a hang-up behind data not yet taken: nothing comes before it
    }
}

// --- Line control ------------------------------------------------------------------------

void Rfc2217SerialLine::applySettings(const SerialSettings& settings, int32_t handshaking) {
    applySettings(settings, handshaking, Clock::now() + kSettingsWait, false);
}

void Rfc2217SerialLine::applySettings(const SerialSettings& settings, int32_t handshaking,
                                      Clock::time_point deadline, bool opening) {
    const uint8_t flowControl = flowControlValue(handshaking);
    if (flowControl != m_flowControl) {
        sendCommand(command::kSetControl, std::string(1, static_cast<char>(flowControl)));
        m_flowControl = flowControl;
    }
    if (m_requested && *m_requested == settings)
        return;  // only the handshaking changed
    SettingsRequest request;
    request.number = ++m_lastRequest;
    request.settings = settings;
    request.wanted[1] = rfc2217::baudRateValue(settings.baudRate);
    request.wanted[2] = std::string(1, static_cast<char>(settings.dataBits));
    request.wanted[3] = std::string(1, static_cast<char>(rfc2217::parityValue(settings.parity)));
    request.wanted[4] =
        std::string(1, static_cast<char>(rfc2217::stopSizeValue(settings.stopBits)));
    for (int index = 1; index <= 4; ++index)
        sendCommand(static_cast<uint8_t>(index), request.wanted[index]);
    m_requests.push_back(std::move(request));

    const uint64_t number = m_lastRequest;
    if (exchangeUntil([&] { return m_lastSettled >= number; }, deadline, opening)) {
        if (!m_lastSettledMatched) {
            m_requested.reset();
            fail(serial_errors::kCommStateFailed, u"通信設定を受け付けませんでした");
        }
        m_requested = settings;
        return;
    }
    // The server answers once it has read what was sent before: on an open port that may be
    // long after, and the answer settles the change when it comes (noteSettingsAnswer).
    if (opening || m_requests.size() > kLongestUnanswered) {
        if (!opening)
            endReceiving(ETIMEDOUT);
        fail(serial_errors::kCommStateFailed, u"通信設定の確認がありません");
    }
    m_requests.back().takenAsMade = true;
    m_requested = settings;
}

void Rfc2217SerialLine::noteSettingsAnswer(int index, const std::string& value) {
    auto asked =
        std::find_if(m_requests.begin(), m_requests.end(),
                     [&](const SettingsRequest& request) { return !request.answered[index]; });
    if (asked == m_requests.end())
        return;  // an answer to nothing asked
    asked->answers[index] = value;
    asked->answered[index] = true;
    while (!m_requests.empty() &&
           std::all_of(m_requests.front().answered + 1, m_requests.front().answered + 5,
                       [](bool answered) { return answered; })) {
        const SettingsRequest& settled = m_requests.front();
        bool matched = true;
        for (int i = 1; i <= 4; ++i)
            matched = matched && rfc2217::numberValue(settled.answers[i]) ==
                                     rfc2217::numberValue(settled.wanted[i]);
        // A late refusal of the settings the control shows leaves the device on others: the
        // line ends rather than run on them unseen. A later request settles it otherwise.
        if (!matched && settled.takenAsMade && m_requests.size() == 1)
            endReceiving(EPROTO);
        m_lastSettled = settled.number;
        m_lastSettledMatched = matched;
        m_requests.pop_front();
    }
}

void Rfc2217SerialLine::setModemLine(int line, bool on) {
    uint8_t value = line == TIOCM_DTR ? (on ? control::kDtrOn : control::kDtrOff)
                                      : (on ? control::kRtsOn : control::kRtsOff);
    sendCommand(command::kSetControl, std::string(1, static_cast<char>(value)));
}

void Rfc2217SerialLine::setBreak(bool on) {
    sendCommand(command::kSetControl,
                std::string(1, static_cast<char>(on ? control::kBreakOn : control::kBreakOff)));
}

int Rfc2217SerialLine::modemLines() {
    namespace modem = rfc2217::modem_state;
    return ((m_modemState & modem::kCts) ? TIOCM_CTS : 0) |
           ((m_modemState & modem::kDsr) ? TIOCM_DSR : 0) |
           ((m_modemState & modem::kCd) ? TIOCM_CAR : 0) |
           ((m_modemState & modem::kRing) ? TIOCM_RNG : 0);
}

void Rfc2217SerialLine::discardInput() {
    // What the socket holds has arrived as much as what was read ahead, and goes too, as a
    // local port's flush empties the driver's queue; the commands among it still count.
    int waiting = 0;
    if (::ioctl(m_socket.get(), FIONREAD, &waiting) != 0 || waiting < 0)
        waiting = 0;
    for (size_t left = static_cast<size_t>(waiting); left > 0;) {
        m_receivedTaken = m_received.size();
        restartReceived();
        const ssize_t count = receive(std::min(left, kReceiveChunk));
        if (count <= 0)
            break;
        left -= std::min(left, static_cast<size_t>(count));
    }
    m_receivedTaken = m_received.size();
    restartReceived();
    m_moreToReceive = false;
    sendCommand(command::kPurgeData, std::string(1, static_cast<char>(rfc2217::purge::kReceive)));
}

void Rfc2217SerialLine::discardOutput() {
    sendCommand(command::kPurgeData, std::string(1, static_cast<char>(rfc2217::purge::kTransmit)));
}

}  // namespace port_control
