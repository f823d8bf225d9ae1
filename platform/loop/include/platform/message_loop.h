// The thread's message loop: file descriptor watches, timers and posted tasks on one
// epoll set. One loop per thread, created on first use. It runs on its own (`run()`, for
// headless hosts and tests) or inside another loop: the host watches `fd()` and calls
// `dispatch()` whenever it becomes readable (the Qt window does this).
//
// Callbacks may add or remove watches and timers, their own included, while being
// dispatched; a watch or timer removed is never called again, even if it was already
// reported ready in the same round. A callback that throws does not break the loop: the
// exception's text goes to stderr as one line and the round goes on. Only post() may be
// called from another thread; everything else belongs to the loop's own thread, and a
// loop ends with its thread (watches and timers must end first).
//
// One dispatch is a bounded pass: its first callback always runs, and it stops calling back
// once kPassBudget has passed since the first time it asked whether to go on (before its
// second callback, or inside a callback with long work of its own); what was ready but not
// yet handled goes first in the next pass, in the order it was reported. So a descriptor
// that is always ready starves neither the timers, the posted tasks and the other
// descriptors, nor the host loop that embeds this one (its painting, input and timers run
// between passes). A callback with long work of its own asks passBudgetSpent() and leaves
// the rest for a later pass (post()).
//
// A child made by fork() inherits the loop of the thread that forked, but never changes the
// parent's: letting go of inherited watches and timers only forgets them, and the child's
// first other use moves its loop to an epoll set, eventfd and timerfd of its own (fd() keeps
// its number), where the watches, timers and tasks it kept go on. A descriptor both
// processes keep watching is reported to both; one of them should let it go. A child that
// cannot make its own descriptors gets the system's refusal (std::system_error) from that use.
#pragma once

#include "platform/language_standard.h"
#include "platform/platform_export.h"

#include <chrono>
#include <cstdint>
#include <functional>

namespace platform {

class CORVANE_PLATFORM_EXPORT MessageLoop {
  public:
    // Event bits passed to and reported by fd watches.
    enum : uint32_t {
        kReadable = 1u << 0,
        kWritable = 1u << 1,
        kHangup = 1u << 2,  // reported only: the peer hung up
        kError = 1u << 3,   // reported only: an error condition on the fd
    };
    using WatchId = uint64_t;
    using TimerId = uint64_t;
    using FdCallback = std::function<void(uint32_t events)>;

    // The loop of the calling thread.
    static MessageLoop& current();

    MessageLoop(const MessageLoop&) = delete;
    MessageLoop& operator=(const MessageLoop&) = delete;
    ~MessageLoop();

    // Watches `fd` (level-triggered) for `events`; the fd stays owned by the caller and
    // must be removed before it is closed. One watch per fd; the system's refusal (a
    // second watch, a bad fd) is thrown as std::system_error. A watch for no events reports
    // nothing, not even a hang-up or an error, until it asks for something again.
    WatchId watchFd(int fd, uint32_t events, FdCallback callback);
    void modifyWatch(WatchId id, uint32_t events);
    void removeWatch(WatchId id);  // unknown ids are ignored

    // A repeating timer keeps its rhythm from the start; one that fell behind fires once
    // and does not catch up with a burst. Timers due together fire in start order.
    TimerId startTimer(std::chrono::milliseconds interval, bool repeat,
                       std::function<void()> callback);
    void stopTimer(TimerId id);  // unknown ids are ignored

    // Runs `task` on this loop's thread at the next dispatch.
    void post(std::function<void()> task);

    // Pollable fd, readable whenever work is pending.
    int fd() const;

    // How long one pass may go on calling back before it leaves the rest for the next.
    static constexpr std::chrono::milliseconds kPassBudget{4};

    // Handles what is ready, waiting at most `timeoutMs` (0: do not wait, -1: wait
    // forever) for something to become ready; work left from the last pass goes first and
    // needs no wait. Returns true if anything was handled.
    bool dispatch(int timeoutMs = 0);

    // True inside a callback of a pass that has used up its budget: long work should stop
    // at a point where it can go on later, and leave the rest for the next pass. False
    // outside a pass.
    bool passBudgetSpent() const;

    // Dispatches until quit() is called.
    void run();
    void quit();

    // Dispatches until `done()` is true or `timeout` has passed; true if done. For tests
    // and simple hosts.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

  private:
    MessageLoop();
    struct Impl;
    Impl* m_impl;
};

}  // namespace platform
