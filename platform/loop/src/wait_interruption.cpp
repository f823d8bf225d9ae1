#include "platform/wait_interruption.h"

#include <utility>

namespace platform {

namespace {

// A plain pointer: nothing to destroy when the thread ends.
thread_local WaitInterruptionCheck t_check = nullptr;

}  // namespace

WaitInterruptionCheck setWaitInterruptionCheck(WaitInterruptionCheck check) {
    return std::exchange(t_check, check);
}

bool waitInterrupted() {
    return t_check && t_check();
}

}  // namespace platform
