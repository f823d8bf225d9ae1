#include "port_control/support/pty_pair.h"

#include <fcntl.h>
#include <pty.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "platform/fd_watch.h"
#include "platform/message_loop.h"
#include "platform/port_map.h"

namespace port_control::testing {

TemporaryPlatformHome::TemporaryPlatformHome() {
    char pattern[] = "/tmp/corvane-serial-test.XXXXXX";
    if (!::mkdtemp(pattern))
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    m_path = pattern;
    if (const char* previous = ::getenv("CORVANE_PLATFORM_HOME"))
        m_previous = previous;
    ::setenv("CORVANE_PLATFORM_HOME", m_path.c_str(), 1);
}

TemporaryPlatformHome::~TemporaryPlatformHome() {
    if (m_previous)
        ::setenv("CORVANE_PLATFORM_HOME", m_previous->c_str(), 1);
    else
        ::unsetenv("CORVANE_PLATFORM_HOME");
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

PtyPair::PtyPair() {
    termios raw{};
    ::cfmakeraw(&raw);
    ::cfsetspeed(&raw, B9600);
    char name[128];
    if (::openpty(&m_master, &m_slave, name, &raw, nullptr) != 0)
        throw std::system_error(errno, std::generic_category(), "openpty");
    m_slavePath = name;
    ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_slave, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
}

PtyPair::~PtyPair() {
    closeMaster();
    if (m_slave >= 0)
        ::close(m_slave);
}

void PtyPair::mapToPort(int port) const {
    platform::setPortDevice(port, m_slavePath);
}

bool PtyPair::sendFromPeer(std::string_view bytes, std::chrono::milliseconds timeout) {
    // The watch wakes the loop once the master can take more.
    platform::FdWatch wake(m_master, platform::MessageLoop::kWritable, [](uint32_t) {});
    return platform::MessageLoop::current().runUntil(
        [&] {
            while (!bytes.empty()) {
                ssize_t written = ::write(m_master, bytes.data(), bytes.size());
                if (written <= 0)
                    return false;  // the slave's input is full: let the port read
                bytes.remove_prefix(static_cast<size_t>(written));
            }
            return true;
        },
        timeout);
}

std::string PtyPair::receiveAtPeer(size_t count, std::chrono::milliseconds timeout) {
    std::string received;
    // The watch wakes the loop when bytes reach the master.
    platform::FdWatch wake(m_master, platform::MessageLoop::kReadable, [](uint32_t) {});
    platform::MessageLoop::current().runUntil(
        [&] {
            received += drainPeer();
            return received.size() >= count;
        },
        timeout);
    return received;
}

std::string PtyPair::drainPeer() {
    std::string received;
    char buffer[4096];
    for (;;) {
        ssize_t count = ::read(m_master, buffer, sizeof buffer);
        if (count <= 0)
            return received;
        received.append(buffer, static_cast<size_t>(count));
    }
}

void PtyPair::closeMaster() {
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

}  // namespace port_control::testing
