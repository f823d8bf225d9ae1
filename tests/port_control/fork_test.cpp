// The control's ports across fork(), for each way it carries traffic: UDP, a serial port on
// a pseudo-terminal, and that port through a network serial server. A child that ends,
// letting go of the controls it inherited, leaves its parent's ports as they were: what
// waited is still there, the device still locked, and traffic still arrives. A child that
// goes on after its parent has ended (a daemon) keeps receiving on the ports it inherited.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "design_surface.h"
#include "platform/file_descriptor.h"
#include "platform/message_loop.h"
#include "platform/port_map.h"
#include "platform/utf8.h"
#include "support/fake_components.h"
#include "support/loopback_sender.h"
#include "support/pty_pair.h"
#include "support/rfc2217_servers.h"

namespace port_control::testing {
namespace {

using namespace std::chrono_literals;
using platform::kTrue;

constexpr int16_t kPort = 4;

enum class Mode { Udp, Serial, Network };

std::string modeName(const ::testing::TestParamInfo<Mode>& info) {
    return info.param == Mode::Udp ? "Udp" : info.param == Mode::Serial ? "Serial" : "Network";
}

// A UDP port on 127.0.0.1 that nobody holds now; -1 if none could be had.
int32_t freeUdpPort() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                       ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    ::close(fd);
    return bound ? ntohs(address.sin_port) : -1;
}

// Reads `fd` until its writers have all closed it.
std::string readToEnd(int fd) {
    std::string text;
    platform::readToEnd(fd, text);
    return text;
}

// The far end of one mode's traffic, made by the test's own process: a UDP sender, or the
// peer of a pseudo-terminal (behind a network serial server in Mode::Network).
class FarEnd {
  public:
    explicit FarEnd(Mode mode) : m_mode(mode) {
        if (mode == Mode::Serial)
            m_pty.mapToPort(kPort);
        if (mode == Mode::Network) {
            m_server =
                std::make_unique<Rfc2217Server>(Rfc2217Server::Kind::Python, m_pty.slavePath());
            platform::setPortDevice(kPort, m_server->address());
        }
    }

    // Opens `control` on this end's port, raising OnComm for every arrival.
    void open(Portula& control) const {
        if (m_mode == Mode::Udp) {
            control.put_UDPUse(kTrue);
            control.put_LocalPort(m_udpPort);
        } else {
            control.put_CommPort(kPort);
        }
        control.put_RThreshold(1);
        control.put_PortOpen(kTrue);
    }

    bool send(std::string_view bytes) {
        return m_mode == Mode::Udp ? m_sender.send(m_udpPort, bytes) : m_pty.sendFromPeer(bytes);
    }

    // Whether another open of the device would find it locked (a serial port only).
    bool deviceLocked() const {
        if (::flock(m_pty.slave(), LOCK_EX | LOCK_NB) == 0) {
            ::flock(m_pty.slave(), LOCK_UN);
            return false;
        }
        return errno == EWOULDBLOCK;
    }

  private:
    Mode m_mode;
    int32_t m_udpPort = freeUdpPort();
    LoopbackSender m_sender;
    PtyPair m_pty;
    std::unique_ptr<Rfc2217Server> m_server;
};

// A control with what it has received, as text.
struct ReceivingControl {
    RecordingSite site;
    Portula control{loadDesignSurface(), site};
    std::u16string received;

    ReceivingControl() {
        site.onComm = [this] { received += control.get_Input2().stringValue(); };
    }
    bool receive(std::u16string_view expected) {
        return platform::MessageLoop::current().runUntil([&] { return received == expected; }, 5s);
    }
};

// A process forked to run `body`, which ends as a program does that returns from main
// (std::exit: the thread's loop ends too) with the status `body` returns.
class ChildProcess {
  public:
    explicit ChildProcess(const std::function<int()>& body) {
        int error[2];
        if (::pipe(error) != 0)
            return;
        std::fflush(nullptr);  // nothing buffered is written twice
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(error[1], STDERR_FILENO);
            ::close(error[0]);
            ::close(error[1]);
            std::exit(body());
        }
        ::close(error[1]);
        m_stderr = error[0];
    }
    ~ChildProcess() {
        if (m_stderr >= 0)
            ::close(m_stderr);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Its exit status (-1 if it did not exit), and what it wrote to standard error, it and
    // every process that inherited that from it.
    std::pair<int, std::string> wait() {
        int status = 0;
        if (m_pid <= 0 || ::waitpid(m_pid, &status, 0) != m_pid || !WIFEXITED(status))
            status = -1;
        else
            status = WEXITSTATUS(status);
        return {status, readToEnd(m_stderr)};
    }

  private:
    pid_t m_pid = -1;
    int m_stderr = -1;
};

class ForkedControl : public ::testing::TestWithParam<Mode> {
  protected:
    TemporaryPlatformHome m_home;
    FarEnd m_farEnd{GetParam()};
};

TEST_P(ForkedControl, AChildThatEndsLeavesTheParentsPortWithWhatWaitedOnIt) {
    auto parent = std::make_unique<ReceivingControl>();
    m_farEnd.open(parent->control);
    ASSERT_TRUE(m_farEnd.send("kept"));  // not read before the child has ended

    ChildProcess child([&] {
        parent.reset();  // let go of, as the child's exit would
        return 0;
    });
    EXPECT_EQ(child.wait(), std::make_pair(0, std::string()));

    EXPECT_TRUE(parent->receive(u"kept")) << platform::toUtf8(parent->received);
    if (GetParam() == Mode::Serial) {
        EXPECT_TRUE(m_farEnd.deviceLocked());
    }
    ASSERT_TRUE(m_farEnd.send("after"));
    EXPECT_TRUE(parent->receive(u"keptafter")) << platform::toUtf8(parent->received);
}

TEST_P(ForkedControl, AChildGoesOnReceivingAfterItsParentHasEnded) {
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    // The parent opens, forks the daemon and ends, letting go of its control. The daemon
    // waits until the parent is gone, says it is ready, and reports what it then receives.
    ChildProcess parent([&] {
        ::close(report[0]);
        auto control = std::make_unique<ReceivingControl>();
        m_farEnd.open(control->control);
        int parentAlive[2];
        if (::pipe(parentAlive) != 0)
            return 1;
        if (::fork() == 0) {
            ::close(parentAlive[1]);
            char byte;
            while (::read(parentAlive[0], &byte, 1) > 0) {
            }
            (void)!::write(report[1], "R", 1);
            control->receive(u"after");
            const std::string received = platform::toUtf8(control->received);
            (void)!::write(report[1], received.data(), received.size());
            std::exit(0);
        }
        ::close(report[1]);
        control.reset();
        return 0;
    });
    ::close(report[1]);

    char ready = 0;
    ASSERT_EQ(::read(report[0], &ready, 1), 1) << "the daemon ended without a word";
    ASSERT_TRUE(m_farEnd.send("after"));
    const std::string received = readToEnd(report[0]);
    ::close(report[0]);
    EXPECT_EQ(received, "after");
    EXPECT_EQ(parent.wait(), std::make_pair(0, std::string()));
}

INSTANTIATE_TEST_SUITE_P(Modes, ForkedControl,
                         ::testing::Values(Mode::Udp, Mode::Serial, Mode::Network), modeName);

}  // namespace
}  // namespace port_control::testing
