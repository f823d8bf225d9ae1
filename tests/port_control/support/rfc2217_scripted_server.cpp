#include "port_control/support/rfc2217_scripted_server.h"

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <string_view>

namespace port_control::testing {
namespace {

namespace rfc = rfc2217;
using Clock = std::chrono::steady_clock;

constexpr size_t kSendAhead = 64 * 1024;  // flood bytes made ready at a time
constexpr std::chrono::milliseconds kRound{10};

}  // namespace

ScriptedRfc2217Server::ScriptedRfc2217Server() {
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (m_listener < 0 ||
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listener, 1) != 0 ||
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (m_listener >= 0)
            ::close(m_listener);
        throw std::runtime_error("scripted RFC 2217 server: cannot listen");
    }
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { serve(); });
}

ScriptedRfc2217Server::~ScriptedRfc2217Server() {
    m_stop = true;
    m_thread.join();
    ::close(m_listener);
}

std::string ScriptedRfc2217Server::address() const {
    return "rfc2217://127.0.0.1:" + std::to_string(m_port);
}

void ScriptedRfc2217Server::send(const std::string& wire) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_toSend += wire;
    m_delivered = false;
}

void ScriptedRfc2217Server::flood(const std::string& unit, size_t total) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_floodUnit = unit;
    m_floodLeft = unit.empty() ? 0 : total;
    m_delivered = m_delivered && m_floodLeft == 0;
}

void ScriptedRfc2217Server::resetWhenSent() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_resetWhenSent = true;
}

void ScriptedRfc2217Server::readAtMost(size_t bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_readLimit = bytes;
}

bool ScriptedRfc2217Server::delivered() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_delivered;
}

std::string ScriptedRfc2217Server::data() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_data;
}

bool ScriptedRfc2217Server::receivedCommand(uint8_t code, const std::string& value) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::any_of(m_commands.begin(), m_commands.end(), [&](const rfc::Command& command) {
        return command.kind == rfc::Command::Kind::ComPort && command.code == code &&
               command.value == value;
    });
}

void ScriptedRfc2217Server::serve() {
    pollfd p{m_listener, POLLIN, 0};
    while (!m_stop && ::poll(&p, 1, 50) == 0) {
    }
    if (m_stop)
        return;
    int connection = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (connection < 0)
        return;
    rfc::StreamReader reader;
    while (!m_stop && serveRound(connection, reader)) {
    }
    if (!m_reset)
        ::close(connection);
}

bool ScriptedRfc2217Server::serveRound(int connection, rfc::StreamReader& reader) {
    size_t readLimit;
    bool wantsToSend;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        while (m_toSend.size() < kSendAhead && m_floodLeft > 0) {
            const size_t take = std::min(m_floodLeft, m_floodUnit.size());
            m_toSend.append(m_floodUnit, 0, take);
            m_floodLeft -= take;
        }
        if (!m_toSend.empty()) {
            ssize_t sent = ::send(connection, m_toSend.data(), m_toSend.size(), MSG_NOSIGNAL);
            if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                return false;
            if (sent > 0)
                m_toSend.erase(0, static_cast<size_t>(sent));
        }
        int unacknowledged = 0;
        if (::ioctl(connection, SIOCOUTQ, &unacknowledged) != 0)
            unacknowledged = 0;
        m_delivered = m_toSend.empty() && m_floodLeft == 0 && unacknowledged == 0;
        if (m_delivered && m_resetWhenSent) {
            const linger abort{1, 0};
            ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
            ::close(connection);
            m_reset = true;
            return false;
        }
        readLimit = m_readLimit;
        wantsToSend = !m_toSend.empty();
    }
    // A slow reader reads once a round; a plain one whenever something comes.
    const bool mayRead =
        readLimit == SIZE_MAX || (readLimit > 0 && Clock::now() - m_lastRead >= kRound);
    pollfd p{connection, static_cast<short>((mayRead ? POLLIN : 0) | (wantsToSend ? POLLOUT : 0)),
             0};
    if (::poll(&p, 1, static_cast<int>(kRound.count())) <= 0 || !mayRead ||
        !(p.revents & (POLLIN | POLLHUP | POLLERR)))
        return true;
    char buffer[4096];
    ssize_t count = ::recv(connection, buffer, std::min(readLimit, sizeof buffer), 0);
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return true;
    if (count <= 0)
        return false;
    m_lastRead = Clock::now();
    std::lock_guard<std::mutex> lock(m_mutex);
    const size_t first = m_commands.size();
    reader.read(std::string_view(buffer, static_cast<size_t>(count)), m_data, m_commands);
    takeCommands(first);
    return true;
}

// Agrees to the COM Port option and confirms each line setting with the value asked.
void ScriptedRfc2217Server::takeCommands(size_t first) {
    for (size_t i = first; i < m_commands.size(); ++i) {
        const rfc::Command& command = m_commands[i];
        if (command.kind == rfc::Command::Kind::Negotiation && command.verb == rfc::telnet::kWill &&
            command.option == rfc::telnet::kComPort)
            m_toSend += "\xff\xfd\x2c";
        if (command.kind == rfc::Command::Kind::ComPort && command.code >= 1 && command.code <= 4)
            m_toSend +=
                rfc::comPortCommand(static_cast<uint8_t>(command.code + 100), command.value);
    }
    m_delivered = m_delivered && m_toSend.empty();
}

}  // namespace port_control::testing
