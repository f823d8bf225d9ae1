#include "stop_signals.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "platform/error.h"

namespace tools {

StopSignals::StopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    if (::sigprocmask(SIG_BLOCK, &signals, nullptr) == 0)
        m_fd.reset(::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
    if (m_fd.get() < 0)
        throw platform::Error(platform::errors::kOutOfMemory);
}

StopSignals::~StopSignals() {
    if (m_loop)
        m_loop->removeWatch(m_watch);
}

void StopSignals::quitOnArrival(platform::MessageLoop& loop) {
    m_loop = &loop;
    m_watch = loop.watchFd(m_fd.get(), platform::MessageLoop::kReadable, [this](uint32_t) {
        signalfd_siginfo info{};
        while (::read(m_fd.get(), &info, sizeof info) == sizeof info) {
        }
        m_loop->quit();
    });
}

}  // namespace tools
