#include "virtual_device/served_port.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "components/socket_errors.h"
#include "platform/error.h"
#include "platform/utf8.h"

namespace port_control::virtual_device {
namespace {

constexpr size_t kReadChunk = 64 * 1024;

[[noreturn]] void failListening(uint16_t port, int err) {
    std::string text = "127.0.0.1:" + std::to_string(port) + ": " + std::strerror(err);
    throw platform::Error(err == EADDRINUSE || err == EACCES ? platform::errors::kPermissionDenied
                                                             : platform::errors::kDeviceUnavailable,
                          u"仮想ポートを開けません: " + platform::fromUtf8(text));
}

}  // namespace

ServedPort::ServedPort(int index, uint16_t tcpPort, bool pseudoTerminal, Device& device)
    : m_index(index),
      m_device(device),
      m_loop(platform::MessageLoop::current()),
      m_tcpPort(tcpPort),
      m_session(std::make_unique<Rfc2217ServerSession>()) {
    listen();
    if (!pseudoTerminal)
        return;
    m_terminal.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    char name[128];
    if (m_terminal.get() < 0 || ::grantpt(m_terminal.get()) != 0 ||
        ::unlockpt(m_terminal.get()) != 0 || ::ptsname_r(m_terminal.get(), name, sizeof name) != 0)
        throw platform::Error(platform::errors::kDeviceUnavailable,
                              u"疑似端末を作れません: " + platform::fromUtf8(std::strerror(errno)));
    m_terminalPath = name;
    m_terminalSlave.reset(::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    termios raw{};
    if (m_terminalSlave.get() >= 0 && ::tcgetattr(m_terminalSlave.get(), &raw) == 0) {
        ::cfmakeraw(&raw);
        ::tcsetattr(m_terminalSlave.get(), TCSANOW, &raw);
    }
    m_terminalWatch = m_loop.watchFd(m_terminal.get(), platform::MessageLoop::kReadable,
                                     [this](uint32_t) { readTerminal(); });
}

ServedPort::~ServedPort() {
    m_loop.removeWatch(m_terminalWatch);
    m_loop.removeWatch(m_clientWatch);
    m_loop.removeWatch(m_listenerWatch);
}

std::string ServedPort::address() const {
    return "rfc2217://127.0.0.1:" + std::to_string(m_tcpPort);
}

void ServedPort::listen() {
    platform::FileDescriptor listener(
        ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (listener.get() < 0)
        failListening(m_tcpPort, errno);
    // The same port again after an unplug, while the last connection is in TIME_WAIT.
    const int on = 1;
    ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(m_tcpPort);
    if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener.get(), 4) != 0)
        failListening(m_tcpPort, errno);
    socklen_t length = sizeof address;
    ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length);
    m_tcpPort = ntohs(address.sin_port);
    m_listener = std::move(listener);
    m_listenerWatch = m_loop.watchFd(m_listener.get(), platform::MessageLoop::kReadable,
                                     [this](uint32_t) { accept(); });
}

void ServedPort::accept() {
    platform::FileDescriptor client(
        ::accept4(m_listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (client.get() < 0)
        return;
    // A client held up (its data waiting for the other end) is not read, so its hang-up
    // has not been seen: one that is gone makes room for the new one.
    if (connected() && m_held) {
        pollfd state{m_client.get(), POLLRDHUP, 0};
        if (::poll(&state, 1, 0) > 0 && (state.revents & (POLLRDHUP | POLLHUP | POLLERR)))
            endClient();
    }
    if (connected())
        return;  // a serial port opens once: a second client is closed at once
    const int on = 1;
    ::setsockopt(client.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    m_client = std::move(client);
    m_session = std::make_unique<Rfc2217ServerSession>();
    m_out.clear();
    m_sent = 0;
    m_wasFull = false;
    m_clientWatch =
        m_loop.watchFd(m_client.get(), platform::MessageLoop::kReadable, [this](uint32_t events) {
            if (events & platform::MessageLoop::kWritable)
                flush();
            if (connected() && (events & ~platform::MessageLoop::kWritable))
                readClient();
        });
    queue(m_session->start());
    // Where the lines stand, without changes, so the client starts from them.
    std::string wire;
    m_session->appendModemState(m_inputs, m_inputs, wire);
    queue(wire);
    if (connected())  // sending the negotiation may have found it gone
        m_device.clientChanged(*this, kConnected);
}

void ServedPort::readClient() {
    char buffer[kReadChunk];
    const ssize_t n = ::read(m_client.get(), buffer, sizeof buffer);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n <= 0) {
        endClient();
        return;
    }
    std::string data;
    std::string replies;
    uint32_t changes =
        m_session->read(std::string_view(buffer, static_cast<size_t>(n)), data, replies);
    if (changes & Rfc2217ServerSession::kModemStateAsked)
        m_session->appendModemState(m_inputs, m_inputs, replies);
    queue(replies);
    if (!connected())
        return;
    if (!data.empty())
        m_device.clientData(*this, data);
    changes &= ~Rfc2217ServerSession::kModemStateAsked;
    if (changes != 0 && connected())
        m_device.clientChanged(*this, changes);
}

void ServedPort::readTerminal() {
    char buffer[4096];
    const ssize_t n = ::read(m_terminal.get(), buffer, sizeof buffer);
    if (n > 0)
        m_device.clientData(*this, std::string_view(buffer, static_cast<size_t>(n)));
}

void ServedPort::deliver(std::string_view data) {
    if (m_terminal.get() >= 0 && !data.empty()) {
        const ssize_t written = ::write(m_terminal.get(), data.data(), data.size());
        (void)written;  // what does not fit is dropped: nobody reads the terminal
    }
    if (!connected() || data.empty())
        return;
    std::string wire;
    wire.reserve(data.size() + data.size() / 64 + 8);
    Rfc2217ServerSession::appendData(data, wire);
    queue(wire);
}

void ServedPort::deliverLineState(uint8_t state) {
    if (!connected())
        return;
    std::string wire;
    m_session->appendLineState(state, wire);
    queue(wire);
}

void ServedPort::setInputs(uint8_t state) {
    const uint8_t before = m_inputs;
    m_inputs = state;
    if (!connected() || before == state)
        return;
    std::string wire;
    m_session->appendModemState(state, before, wire);
    queue(wire);
}

void ServedPort::queue(std::string_view wire) {
    if (wire.empty() || !connected())
        return;
    if (m_sent == m_out.size()) {
        m_out.clear();
        m_sent = 0;
    }
    m_out.append(wire);
    if (m_out.size() - m_sent > kMostUnread) {
        endClient();  // it neither reads nor stops asking
        return;
    }
    flush();
}

void ServedPort::flush() {
    while (connected() && m_sent < m_out.size()) {
        const ssize_t n =
            ::send(m_client.get(), m_out.data() + m_sent, m_out.size() - m_sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            break;
        if (n <= 0) {
            endClient();
            return;
        }
        m_sent += static_cast<size_t>(n);
    }
    if (m_sent == m_out.size()) {
        m_out.clear();
        m_sent = 0;
    } else if (m_sent > kMostWaiting) {
        m_out.erase(0, m_sent);
        m_sent = 0;
    }
    if (full())
        m_wasFull = true;
    updateWatch();
    if (m_wasFull && m_out.size() - m_sent <= kMostWaiting / 2) {
        m_wasFull = false;
        m_device.roomToDeliver(*this);
    }
}

void ServedPort::updateWatch() {
    if (!connected())
        return;
    uint32_t events = m_held ? 0u : uint32_t{platform::MessageLoop::kReadable};
    if (m_sent < m_out.size())
        events |= platform::MessageLoop::kWritable;
    m_loop.modifyWatch(m_clientWatch, events);
}

void ServedPort::holdClient(bool hold) {
    if (m_held == hold)
        return;
    m_held = hold;
    updateWatch();
    if (m_terminalWatch != 0)
        m_loop.modifyWatch(m_terminalWatch, hold ? 0u : uint32_t{platform::MessageLoop::kReadable});
}

void ServedPort::disconnect() {
    if (!connected())
        return;
    m_loop.removeWatch(m_clientWatch);
    m_clientWatch = 0;
    m_client.reset();
    m_out.clear();
    m_sent = 0;
    m_held = false;
    m_session = std::make_unique<Rfc2217ServerSession>();
}

void ServedPort::endClient() {
    if (!connected())
        return;
    disconnect();
    m_device.clientChanged(*this, kDisconnected);
}

void ServedPort::unplug() {
    endClient();
    m_loop.removeWatch(m_listenerWatch);
    m_listenerWatch = 0;
    m_listener.reset();
}

void ServedPort::replug() {
    if (m_listener.get() < 0)
        listen();
}

}  // namespace port_control::virtual_device
