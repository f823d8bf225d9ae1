#include "platform/owning_process.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>

namespace platform {
namespace {

// 0 until asked, and again in a new child; relaxed, since a child starts with one thread.
std::atomic<pid_t> g_process{0};

void forgetInChild() {
    g_process.store(0, std::memory_order_relaxed);
}

}  // namespace

pid_t currentProcess() {
    pid_t pid = g_process.load(std::memory_order_relaxed);
    if (pid != 0)
        return pid;
    // Registered before the first answer is kept, so that no fork can come between.
    static const bool registered = pthread_atfork(nullptr, nullptr, forgetInChild) == 0;
    pid = ::getpid();
    if (registered)
        g_process.store(pid, std::memory_order_relaxed);
    return pid;
}

}  // namespace platform
