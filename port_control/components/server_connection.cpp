#include "components/server_connection.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/wait_interruption.h"

namespace port_control {
namespace {

using Clock = std::chrono::steady_clock;

int milliseconds(Clock::time_point until) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    return static_cast<int>(std::max<int64_t>(left.count(), 0));
}

// Connects to `address` before `until`; 0, ETIMEDOUT when it stays silent, ECANCELED when
// the host's check interrupts the wait, or the errno of the failure.
int connectOne(const SocketAddress& address, Clock::time_point until,
               platform::FileDescriptor& fd) {
    fd = platform::FileDescriptor(
        ::socket(address.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (fd.get() < 0)
        return errno;
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address.address), address.length) ==
        0)
        return 0;
    if (errno != EINPROGRESS)
        return errno;
    pollfd p{fd.get(), POLLOUT, 0};
    const int slice = static_cast<int>(platform::kWaitCheckInterval.count());
    int ready;
    for (;;) {
        ready = ::poll(&p, 1, std::min(milliseconds(until), slice));
        if (ready > 0 || (ready < 0 && errno != EINTR))
            break;
        if (platform::waitInterrupted())
            return ECANCELED;
        if (milliseconds(until) == 0) {
            ready = 0;
            break;
        }
    }
    if (ready == 0)
        return ETIMEDOUT;
    int error = 0;
    socklen_t length = sizeof error;
    if (ready < 0 || ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        return errno;
    return error;
}

}  // namespace

platform::FileDescriptor connectToServer(std::span<const SocketAddress> addresses,
                                         Clock::time_point deadline, std::u16string& reason) {
    reason = u"接続を拒否されました";
    if (addresses.empty())
        return platform::FileDescriptor();
    std::vector<const SocketAddress*> order{&preferredAddress(addresses)};
    for (const SocketAddress& each : addresses) {
        if (&each != order.front())
            order.push_back(&each);
    }

    bool silent = false, failed = false;
    for (size_t i = 0; i < order.size(); ++i) {
        const Clock::time_point now = Clock::now();
        if (now >= deadline) {
            silent = true;
            break;
        }
        const Clock::time_point until =
            now + (deadline - now) / static_cast<Clock::rep>(order.size() - i);
        platform::FileDescriptor fd;
        const int error = connectOne(*order[i], until, fd);
        if (error == 0)
            return fd;
        if (error == ECANCELED) {
            reason = u"中断されました";
            return platform::FileDescriptor();
        }
        silent = silent || error == ETIMEDOUT;
        failed = failed || (error != ETIMEDOUT && error != ECONNREFUSED);
    }
    if (silent)
        reason = u"応答がありません";
    else if (failed)
        reason = u"接続できません";
    return platform::FileDescriptor();
}

}  // namespace port_control
