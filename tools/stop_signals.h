// SIGINT and SIGTERM as readiness on the message loop, so that a tool that runs until it is
// interrupted ends its loop in order (and puts back what it changed) instead of dying.
#pragma once

#include "platform/file_descriptor.h"
#include "platform/message_loop.h"

namespace tools {

class StopSignals {
  public:
    // Blocks both signals for the process and opens a descriptor that reports them; error 7
    // when the system gives none. Blocked from here on, neither can end the tool early.
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Quits `loop` when either signal arrives.
    void quitOnArrival(platform::MessageLoop& loop);

  private:
    platform::FileDescriptor m_fd;
    platform::MessageLoop* m_loop = nullptr;
    platform::MessageLoop::WatchId m_watch = 0;
};

}  // namespace tools
