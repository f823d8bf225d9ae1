// The process an object was made in. A child made by fork() holds copies of its parent's
// descriptors, but what stands behind them is one and the same: the open file and its flock,
// a terminal's queues and modem lines, an epoll set and what is registered in it. An object
// that acts on such state when it lets go records its process, and in any other one (a
// child that inherited it) only closes its own copies.
#pragma once

#include "platform/language_standard.h"
#include "platform/platform_export.h"

#include <sys/types.h>

namespace platform {

// getpid() as of now, without a system call per question: fork() (and what calls it:
// daemon(3), Python's os.fork) renews it in the child. A child made by a bare clone(2) or
// _Fork(3) must exec or _exit without using the platform.
CORVANE_PLATFORM_EXPORT pid_t currentProcess();

// Frozen: a value type programs compile in; a change to its members needs a new SONAME.
class CORVANE_PLATFORM_EXPORT OwningProcess {
  public:
    OwningProcess() : m_pid(currentProcess()) {}

    // False in a process that inherited the object.
    bool isThisProcess() const { return m_pid == currentProcess(); }

  private:
    pid_t m_pid;
};

}  // namespace platform
