#include "components/udp_socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "components/read_ahead.h"
#include "components/socket_errors.h"
#include "platform/codepage932.h"
#include "platform/error.h"

namespace port_control {

namespace {

constexpr int32_t kMaxPort = 65535;
// Holds the largest datagram IPv4 or IPv6 can carry without jumbograms.
constexpr size_t kReceiveBufferSize = 64 * 1024;
// Datagrams taken by one recvmmsg, each into a buffer of its own.
constexpr size_t kReceiveBatch = 16;
// The most readiness reports that read one datagram without looking for more.
constexpr unsigned kMaxProbeInterval = 32;
// Room for encoded text kept from one send to the next: twice the largest datagram.
constexpr size_t kKeptSendRoom = 128 * 1024;
// Datagrams held for GetData before the socket stops reading (see the header), as
// UdpSocket::heldBytes counts them.
constexpr size_t kMaxHeldBytes = 1024 * 1024;
// The system's receive buffer asked for a bound socket: at 50,000 small datagrams a second
// the default (about 200 KiB) holds only a few milliseconds of them.
constexpr size_t kSystemReceiveBuffer = 4 * 1024 * 1024;
constexpr auto kSendBufferWait = std::chrono::seconds(1);
// A pending ICMP refusal is one slot per socket; a few tries always get past it.
constexpr int kRefusedRetries = 3;

bool isPort(int32_t port) {
    return port >= 0 && port <= kMaxPort;
}

// What a datagram socket reports on a later call when an earlier datagram was refused
// (ICMP port unreachable).
bool isRefusalOfEarlierDatagram(int err) {
    return err == ECONNREFUSED || err == ECONNRESET;
}

// What else a connected datagram socket may report on a later call about an earlier
// datagram: the other ICMP reports the system passes on (host or network unreachable, a
// firewall's "prohibited", which IPv6 reports as EACCES, protocol unreachable). The same
// numbers can also be this send's own failure (no route now); a report is used up by the
// call that returns it, so a retry tells the two apart.
bool mayReportEarlierDatagram(int err) {
    return err == EHOSTUNREACH || err == ENETUNREACH || err == EHOSTDOWN || err == ENONET ||
           err == ENOPROTOOPT || err == EACCES || err == EPROTO;
}

// The destination when `host` is an IPv4 or IPv6 address written out, which needs no
// resolver: false for anything else (names, and the numeric forms only the resolver reads,
// such as "127.1" or a scope after "%"), which goes to getaddrinfo as before.
bool literalAddress(std::u16string_view host, int32_t port, sockaddr_storage& address,
                    socklen_t& length, int& family) {
    char text[INET6_ADDRSTRLEN];  // the longest literal and its terminator
    if (host.empty() || host.size() >= sizeof text)
        return false;
    for (size_t i = 0; i < host.size(); ++i) {
        if (host[i] >= 0x80)
            return false;
        text[i] = static_cast<char>(host[i]);
    }
    text[host.size()] = '\0';
    address = {};
    if (auto& in4 = reinterpret_cast<sockaddr_in&>(address);
        ::inet_pton(AF_INET, text, &in4.sin_addr) == 1) {
        in4.sin_family = AF_INET;
        in4.sin_port = htons(static_cast<uint16_t>(port));
        length = sizeof in4;
        family = AF_INET;
        return true;
    }
    if (auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
        ::inet_pton(AF_INET6, text, &in6.sin6_addr) == 1) {
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(static_cast<uint16_t>(port));
        length = sizeof in6;
        family = AF_INET6;
        return true;
    }
    return false;
}

// Bound sockets are IPv6 carrying IPv4 too, where the host allows it. The host's answer is
// kept; a process out of descriptors gets none (its bind fails the same way in a moment), so
// a later bind asks again rather than settle for IPv4 alone for the rest of the process.
bool hostHasDualStack() {
    enum Answer : int { kNotAsked, kYes, kNo };
    static std::atomic<int> known{kNotAsked};
    if (const int answer = known.load(std::memory_order_relaxed); answer != kNotAsked)
        return answer == kYes;
    const int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
        const bool outOfResources =
            errno == EMFILE || errno == ENFILE || errno == ENOMEM || errno == ENOBUFS;
        if (!outOfResources)
            known.store(kNo, std::memory_order_relaxed);
        return outOfResources;  // then the IPv6 socket fails as this one did
    }
    int v6only = 0;
    const bool ok = ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only) == 0;
    ::close(fd);
    known.store(ok ? kYes : kNo, std::memory_order_relaxed);
    return ok;
}

}  // namespace

// What a batch of datagrams is read into, set up once: the system writes back only the
// lengths and flags, so the headers serve every call. The buffers are left uninitialised and so
// take memory only as far as datagrams fill them: a page each for small ones, not 64 KiB.
struct UdpSocket::ReceiveBatch {
    ReceiveBatch() {
        for (size_t i = 0; i < kReceiveBatch; ++i) {
            parts[i] = {buffers[i], kReceiveBufferSize};
            messages[i] = {};
            messages[i].msg_hdr.msg_iov = &parts[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
    }

    mmsghdr messages[kReceiveBatch];
    iovec parts[kReceiveBatch];
    char buffers[kReceiveBatch][kReceiveBufferSize];
};

UdpSocket::UdpSocket(Incoming incoming) : m_incoming(incoming) {}

UdpSocket::~UdpSocket() {
    Close();
}

void UdpSocket::requireClosed() const {
    if (m_socket.isOpen())
        throw socketError(SocketFailure::InvalidOperation);
}

void UdpSocket::put_Protocol(int32_t protocol) {
    requireClosed();
    if (protocol == kProtocolTcp)
        throw socketError(SocketFailure::TcpUnsupported);
    if (protocol != kProtocolUdp)
        throw socketError(SocketFailure::InvalidPropertyValue);
    m_protocol = protocol;
}

void UdpSocket::put_RemoteHost(const std::u16string& host) {
    requireClosed();
    m_remoteHost = host;
    m_remoteForm = RemoteForm::Unknown;
}

void UdpSocket::put_RemotePort(int32_t port) {
    requireClosed();
    if (!isPort(port))
        throw socketError(SocketFailure::InvalidPropertyValue);
    m_remotePort = port;
    m_remoteForm = RemoteForm::Unknown;
}

void UdpSocket::put_LocalPort(int32_t port) {
    requireClosed();
    if (!isPort(port))
        throw socketError(SocketFailure::InvalidPropertyValue);
    m_localPort = port;
}

void UdpSocket::setDataArrival(std::function<void(int32_t bytes)> handler) {
    m_dataArrival = std::move(handler);
}

void UdpSocket::setDataArrivalReadAhead(const void* begin, const void* end) {
    m_handlerBegin = begin;
    m_handlerEnd = end;
}

// Opens a non-blocking socket of `family`, bound to `bindPort` on every local address
// unless `bindPort` is negative, and starts watching it if it receives. Leaves the socket
// closed on failure.
void UdpSocket::open(int family, int32_t bindPort) {
    platform::FileDescriptor descriptor(
        ::socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP));
    const int fd = descriptor.get();
    if (fd < 0)
        throw socketErrorFromErrno(errno);

    bool dualStack = false;
    if (family == AF_INET6) {
        int v6only = 0;
        dualStack = ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only) == 0;
    }
    const bool receives = m_incoming == Incoming::Deliver;
    bool bound = bindPort >= 0;
    if (!receives) {
        // Nothing is ever read from it: the system keeps the least it may of what arrives
        // (it raises 1 to its minimum) and drops the rest.
        const int receiveBuffer = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    } else if (bound) {
        // A host that is busy for a while (a window painting, a loaded machine) must find
        // a fast stream still waiting; the system caps the size at its own maximum, and a
        // refusal only leaves its default.
        const int receiveBuffer = static_cast<int>(kSystemReceiveBuffer);
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    if (bound) {
        sockaddr_storage address{};
        socklen_t length;
        if (family == AF_INET6) {
            auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
            in6.sin6_family = AF_INET6;
            in6.sin6_addr = in6addr_any;
            in6.sin6_port = htons(static_cast<uint16_t>(bindPort));
            length = sizeof in6;
        } else {
            auto& in4 = reinterpret_cast<sockaddr_in&>(address);
            in4.sin_family = AF_INET;
            in4.sin_addr.s_addr = htonl(INADDR_ANY);
            in4.sin_port = htons(static_cast<uint16_t>(bindPort));
            length = sizeof in4;
        }
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) < 0)
            throw socketErrorFromErrno(errno);
        length = sizeof address;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) < 0)
            throw socketErrorFromErrno(errno);
        bindPort = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(address).sin6_port
                                            : reinterpret_cast<sockaddr_in&>(address).sin_port);
    }

    if (!receives) {
        // Left out of the loop's wait set: there it would be woken by every send of its own
        // (the system tells waiters that room came free), for nothing.
        m_socket.hold(std::move(descriptor));
    } else {
        try {
            m_socket.open(std::move(descriptor), platform::MessageLoop::kReadable,
                          [this](uint32_t events) { onReady(events); });
        } catch (const std::system_error& e) {
            throw socketErrorFromErrno(e.code().value());
        }
    }
    m_family = family;
    m_bound = bound;
    m_dualStack = dualStack;
    m_connected = false;
    m_reading = receives;
    if (bound)
        m_localPort = bindPort;
}

void UdpSocket::Bind(int32_t localPort) {
    requireClosed();
    if (!isPort(localPort))
        throw socketError(SocketFailure::ArgumentOutOfRange);
    open(hostHasDualStack() ? AF_INET6 : AF_INET, localPort);
}

void UdpSocket::Close() {
    stopAnnouncingLater();
    m_socket.close();
    m_family = 0;
    m_bound = m_dualStack = m_connected = m_reading = false;
    m_datagrams.clear();
    m_arrivalsDue.clear();
}

// Makes the socket able to send to `destination` and gives the address to send to: an
// IPv6 socket that carries IPv4 reaches an IPv4 address as its mapped form; an unbound
// socket of another family is reopened, a bound one keeps its port and fails.
SocketAddress UdpSocket::reach(SocketAddress destination) {
    if (m_socket.isOpen()) {
        if (destination.family == m_family)
            return destination;
        if (m_family == AF_INET6 && m_dualStack && destination.family == AF_INET) {
            const auto in4 = reinterpret_cast<const sockaddr_in&>(destination.address);
            sockaddr_in6 mapped{};
            mapped.sin6_family = AF_INET6;
            mapped.sin6_port = in4.sin_port;
            mapped.sin6_addr.s6_addr[10] = 0xff;
            mapped.sin6_addr.s6_addr[11] = 0xff;
            std::memcpy(&mapped.sin6_addr.s6_addr[12], &in4.sin_addr, 4);
            destination.address = {};
            std::memcpy(&destination.address, &mapped, sizeof mapped);
            destination.length = sizeof mapped;
            destination.family = AF_INET6;
            return destination;
        }
        if (m_bound)
            throw socketError(SocketFailure::FamilyNotSupported);
        Close();
    }
    open(destination.family, -1);
    return destination;
}

void UdpSocket::SendData(const platform::Variant& data) {
    if (data.type() != platform::VarType::String && data.type() != platform::VarType::ByteArray)
        throw socketError(SocketFailure::UnsupportedVariantType);
    if (m_remotePort == 0)
        throw socketError(SocketFailure::ArgumentOutOfRange);
    // Bytes go as they are; text is encoded into room kept from one send to the next, which
    // only grows, so that no send clears or fills it first.
    std::string_view bytes;
    std::string once;  // for text too long to be worth keeping room for
    if (data.type() == platform::VarType::ByteArray) {
        const platform::ByteArray& array = data.bytesValue();
        bytes = {reinterpret_cast<const char*>(array.data()), array.size()};
    } else {
        const std::u16string& text = data.stringValue();
        std::string& room = 2 * text.size() <= kKeptSendRoom ? m_sendBytes : once;
        if (room.size() < 2 * text.size())
            room.resize(2 * text.size());
        bytes = {room.data(), platform::cp932::encodeInto(text, room.data())};
    }

    // A name is looked up at each send (its addresses may change); a literal needs no lookup
    // and is read once.
    if (m_remoteForm == RemoteForm::Unknown) {
        SocketAddress& d = m_literalDestination;
        m_remoteForm = literalAddress(m_remoteHost, m_remotePort, d.address, d.length, d.family)
                           ? RemoteForm::Literal
                           : RemoteForm::Name;
    }
    if (m_remoteForm == RemoteForm::Literal) {
        // The usual case: the socket is open for the address's own family.
        if (m_socket.isOpen() && m_family == m_literalDestination.family)
            return sendTo(bytes, m_literalDestination);
        const SocketAddress destination = reach(m_literalDestination);
        connectSender(destination);
        sendTo(bytes, destination);
        return;
    }

    const std::string host = platform::toUtf8(m_remoteHost);
    if (host.empty())
        throw socketError(SocketFailure::HostNotFound);
    if (!m_names)
        m_names = std::make_unique<NameLookup>();
    const AddressLookup lookup =
        m_names->addressesOf(host, static_cast<uint16_t>(m_remotePort),
                             std::chrono::steady_clock::now() + kNameLookupWait);
    if (lookup.outcome == AddressLookup::Outcome::TimedOut)
        throw socketError(SocketFailure::HostNotFoundTryAgain);
    if (lookup.outcome == AddressLookup::Outcome::NotFound)
        throw socketErrorFromResolver(lookup.resolverCode, EIO);
    const std::vector<SocketAddress>& candidates = lookup.addresses;
    sendTo(bytes, reach(preferredAddress(candidates)));
}

// A socket that only sends, to an address written out, is connected to it: the system then
// keeps the route from one send to the next instead of looking it up for each datagram, and
// drops what other peers send before it reaches us. The destination cannot change while the
// socket is open (the endpoint properties need it closed). Should the system refuse the
// connection (a broadcast address without permission, say), sends go unconnected and report
// what the system says of each.
void UdpSocket::connectSender(const SocketAddress& destination) {
    if (m_incoming != Incoming::Discard || m_bound || m_connected)
        return;
    m_connected = ::connect(m_socket.get(), reinterpret_cast<const sockaddr*>(&destination.address),
                            destination.length) == 0;
}

void UdpSocket::sendTo(std::string_view bytes, const SocketAddress& destination) {
    // The wait for room starts with the first full send buffer, not before every send.
    std::optional<std::chrono::steady_clock::time_point> deadline;
    int refusals = 0;
    bool retriedReport = false;
    // A connected socket is given no address: the system checks none, and the one connected
    // to is the destination (see connectSender).
    const auto* address =
        m_connected ? nullptr : reinterpret_cast<const sockaddr*>(&destination.address);
    const socklen_t addressLength = m_connected ? 0 : destination.length;
    for (;;) {
        ssize_t sent = ::sendto(m_socket.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL, address,
                                addressLength);
        if (sent >= 0)
            return;
        int err = errno;
        if (err == EINTR)
            continue;
        // The refusal belongs to an earlier datagram and was reported instead of sending
        // this one; it is used up now, so this datagram goes on the next try.
        if (isRefusalOfEarlierDatagram(err)) {
            if (++refusals <= kRefusedRetries)
                continue;
            return;  // as lost as any datagram may be
        }
        // Likewise another report; one that comes back on the retry is this send's own.
        if (m_connected && mayReportEarlierDatagram(err) && !retriedReport) {
            retriedReport = true;
            continue;
        }
        if (err == EAGAIN || err == EWOULDBLOCK) {
            const auto now = std::chrono::steady_clock::now();
            if (!deadline)
                deadline = now + kSendBufferWait;
            auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - now);
            if (left.count() <= 0)
                throw socketError(SocketFailure::NoBufferSpace);
            pollfd p{m_socket.get(), POLLOUT, 0};
            ::poll(&p, 1, static_cast<int>(left.count()));
            continue;
        }
        throw socketErrorFromErrno(err);
    }
}

void UdpSocket::GetData(std::u16string& data) {
    data.clear();
    if (m_datagrams.empty())
        return;
    platform::cp932::decodeAppend(m_datagrams.front(), data);
    m_datagrams.pop();
    resumeReading();
}

void UdpSocket::resumeReading() {
    if (m_socket.isOpen() && !m_reading && heldBytes() < kMaxHeldBytes) {
        m_socket.setEvents(platform::MessageLoop::kReadable);
        m_reading = true;
    }
}

void UdpSocket::onReady(uint32_t events) {
    if (events & platform::MessageLoop::kError) {
        // A pending error (ICMP for an earlier datagram) concerns no call of ours; taking
        // it clears the level-triggered report.
        int err = 0;
        socklen_t length = sizeof err;
        ::getsockopt(m_socket.get(), SOL_SOCKET, SO_ERROR, &err, &length);
    }
    // The rest of this object's hot part and the handler's are read right after the system
    // call that reads the datagram: fetched meanwhile, they are not each a wait of its own.
    readAhead(this, &m_protocol);
    readAhead(m_handlerBegin, m_handlerEnd);
    if (m_reading)
        receivePending();
    announceArrivals();
}

// Reads what a readiness report found. A datagram that comes on its own, as in an exchange
// of requests and replies, costs one plain call, as in a loop that reads one datagram per
// report; looking for more would cost a call that finds nothing. A burst, though, must be
// read in full at once, or a host that runs the loop rarely would see the socket overflow.
// So every so often the report looks for a second datagram and, finding one, drains the
// socket in batches; while it finds more, every report drains, and while it finds nothing it
// looks at longer intervals, up to one report in kMaxProbeInterval.
void UdpSocket::receivePending() {
    if (!receiveOne())
        return;
    if (m_reportsUntilProbe > 0) {
        --m_reportsUntilProbe;
    } else if (heldBytes() >= kMaxHeldBytes) {
        // No room to look for more; the first report after GetData makes room looks.
    } else if (receiveOne()) {
        // A plain call looks for a second datagram (cheaper than a batch that finds none);
        // only a burst goes on in batches.
        receiveBatches();
        m_probeInterval = 0;
    } else {
        m_probeInterval = std::min(std::max(2 * m_probeInterval, 1u), kMaxProbeInterval);
        m_reportsUntilProbe = m_probeInterval;
    }
    if (heldBytes() >= kMaxHeldBytes && m_reading) {
        m_socket.setEvents(0);
        m_reading = false;
    }
}

// One datagram with a plain call; false if none was taken. An error here speaks of an
// earlier send (ICMP) and is used up by reading it.
bool UdpSocket::receiveOne() {
    // Read into the thread's one buffer, which stays in the cache from one socket's datagram
    // to the next, then copied into the queue's small store: reading straight into a store
    // that has room for the largest datagram would take a page of its own per socket, cold
    // again by the time the socket hears from its peer next, with a thousand of them open.
    // Nothing calls out between the read and the copy, so a handler that runs the loop again
    // finds the buffer free.
    thread_local char t_received[kReceiveBufferSize];
    // MSG_TRUNC makes the call tell the whole length, which shows a datagram cut short (only
    // a jumbogram can be); that one is not delivered.
    const ssize_t length =
        ::recv(m_socket.get(), t_received, kReceiveBufferSize, MSG_DONTWAIT | MSG_TRUNC);
    if (length < 0)
        return false;
    if (static_cast<size_t>(length) <= kReceiveBufferSize) {
        m_datagrams.push({t_received, static_cast<size_t>(length)});
        m_arrivalsDue.push(static_cast<int32_t>(length));
    }
    return true;
}

// Takes every datagram waiting, a batch at a time, while there is room. A batch that comes
// back short found the queue empty. (Should a refusal cut a batch
// short, the system keeps it pending: the loop reports the socket again at once and the rest
// follows on that report, in order.)
void UdpSocket::receiveBatches() {
    // Made by the first burst, not at opening: a socket that is never flooded (most of a
    // program's thousand) keeps no 1 MiB of buffers, nor the page its headers fill.
    if (!m_receiveBatch)
        m_receiveBatch.reset(new ReceiveBatch);  // no (): the buffers stay untouched
    int errors = 0;
    constexpr size_t kLargestHeld = kReceiveBufferSize + kDatagramBookkeeping;
    for (size_t held = heldBytes(); held < kMaxHeldBytes; held = heldBytes()) {
        // Each datagram of a batch still starts below the limit, as if read one at a time.
        const size_t room = kMaxHeldBytes - held;
        const size_t wanted = std::min(kReceiveBatch, (room + kLargestHeld - 1) / kLargestHeld);
        mmsghdr* messages = m_receiveBatch->messages;
        const int count = ::recvmmsg(m_socket.get(), messages, static_cast<unsigned>(wanted),
                                     MSG_DONTWAIT, nullptr);
        if (count < 0) {
            int err = errno;
            if (err == EAGAIN || err == EWOULDBLOCK)
                break;
            // A run of refusals ends the round rather than spin; the next report goes on.
            if (++errors > 16)
                break;
            continue;
        }
        for (int i = 0; i < count; ++i) {
            // A datagram cut short is not delivered, as above.
            if (messages[i].msg_hdr.msg_flags & MSG_TRUNC)
                continue;
            m_datagrams.push({m_receiveBatch->buffers[i], messages[i].msg_len});
            m_arrivalsDue.push(static_cast<int32_t>(messages[i].msg_len));
        }
        if (static_cast<size_t>(count) < wanted)
            break;
    }
}

// Raises the events due, for as long as the loop's pass allows: a socket that is never
// empty must leave the thread to the rest of its work (and to the host's window). What is
// left follows in the next pass, in order, before anything read later.
void UdpSocket::announceArrivals() {
    const platform::WatchedDescriptor::Ticket ticket = m_socket.ticket();
    while (!m_arrivalsDue.empty()) {
        const int32_t bytes = m_arrivalsDue.pop();
        if (!m_dataArrival)
            continue;
        auto handler = m_dataArrival;  // the handler may replace itself
        try {
            handler(bytes);
        } catch (...) {
            // The failure goes to the loop that delivered the event; the events still
            // due follow in a later round.
            if (ticket.sameOpening())
                continueAnnouncingLater();
            throw;
        }
        if (!ticket.sameOpening())
            return;
        if (!m_arrivalsDue.empty() && platform::MessageLoop::current().passBudgetSpent()) {
            continueAnnouncingLater();
            return;
        }
    }
}

// A timer rather than a posted task: a timer can be taken back when the socket closes, so
// nothing of this module is left in the loop once the socket is gone (the module may be
// unloaded after that).
void UdpSocket::continueAnnouncingLater() {
    if (m_arrivalsDue.empty() || m_announceTimer != 0)
        return;
    m_announceTimer =
        platform::MessageLoop::current().startTimer(std::chrono::milliseconds(0), false, [this] {
            m_announceTimer = 0;
            // Reading first keeps the system's buffer from overflowing while events wait.
            if (m_reading)
                receivePending();
            announceArrivals();
        });
}

void UdpSocket::stopAnnouncingLater() {
    if (m_announceTimer != 0)
        platform::MessageLoop::current().stopTimer(m_announceTimer);
    m_announceTimer = 0;
}

}  // namespace port_control
