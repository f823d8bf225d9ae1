#include "platform/message_loop.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/fd_watch.h"

namespace {

using namespace std::chrono_literals;
using platform::MessageLoop;

constexpr auto kPatience = 5s;  // generous, only reached when something is broken

struct Pipe {
    int read = -1;
    int write = -1;
    Pipe() {
        int fds[2];
        if (::pipe(fds) == 0) {
            read = fds[0];
            write = fds[1];
        }
    }
    ~Pipe() {
        closeWrite();
        if (read >= 0)
            ::close(read);
    }
    void closeWrite() {
        if (write >= 0)
            ::close(write);
        write = -1;
    }
    void put(char c = 'x') const { ASSERT_EQ(::write(write, &c, 1), 1); }
};

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

// Settles the loop so that a test starts from nothing pending.
void drain(MessageLoop& loop) {
    while (loop.dispatch(0)) {
    }
}

std::chrono::microseconds threadCpuTime() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    auto total = [](const timeval& t) {
        return std::chrono::seconds(t.tv_sec) + std::chrono::microseconds(t.tv_usec);
    };
    return total(usage.ru_utime) + total(usage.ru_stime);
}

TEST(MessageLoopFd, ReportsReadinessAndHangup) {
    MessageLoop& loop = MessageLoop::current();
    drain(loop);
    Pipe pipe;
    std::vector<uint32_t> reports;
    platform::FdWatch watch(pipe.read, MessageLoop::kReadable, [&](uint32_t events) {
        reports.push_back(events);
        char c;
        if (events & MessageLoop::kReadable)
            (void)::read(pipe.read, &c, 1);
    });

    EXPECT_FALSE(loop.dispatch(0)) << "nothing written yet";
    pipe.put();
    ASSERT_TRUE(loop.dispatch(1000));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0], MessageLoop::kReadable);
    EXPECT_FALSE(loop.dispatch(0)) << "the byte was consumed, level-triggered goes quiet";

    pipe.closeWrite();
    ASSERT_TRUE(loop.dispatch(1000));
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_TRUE(reports[1] & MessageLoop::kHangup);
}

TEST(MessageLoopFd, ModifyWatchChangesTheEventsAsked) {
    MessageLoop& loop = MessageLoop::current();
    drain(loop);
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    uint32_t seen = 0;
    int calls = 0;
    platform::FdWatch watch(pair[0], MessageLoop::kReadable, [&](uint32_t events) {
        seen = events;
        ++calls;
    });
    EXPECT_FALSE(loop.dispatch(0)) << "writable, but only readability was asked for";
    watch.setEvents(MessageLoop::kWritable);
    ASSERT_TRUE(loop.dispatch(0));
    EXPECT_EQ(seen, MessageLoop::kWritable);
    watch.setEvents(0);
    EXPECT_FALSE(loop.dispatch(0));
    EXPECT_EQ(calls, 1);
    // Asking for nothing silences a hang-up too, until something is asked again.
    ::close(std::exchange(pair[1], -1));
    EXPECT_FALSE(loop.dispatch(0));
    watch.setEvents(MessageLoop::kReadable);
    ASSERT_TRUE(loop.dispatch(0));
    EXPECT_TRUE(seen & MessageLoop::kHangup);
    watch.reset();
    ::close(pair[0]);
}

TEST(MessageLoopRemoval, WatchRemovingItselfIsNotCalledAgain) {
    MessageLoop& loop = MessageLoop::current();
    drain(loop);
    Pipe pipe;
    pipe.put();  // stays readable: nobody reads it
    int calls = 0;
    platform::FdWatch watch;
    watch = platform::FdWatch(pipe.read, MessageLoop::kReadable, [&](uint32_t) {
        ++calls;
        watch.reset();
    });
    EXPECT_TRUE(loop.dispatch(1000));
    EXPECT_FALSE(loop.dispatch(20));
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(watch.active());
}

TEST(MessageLoopRemoval, CallbackRemovingItsOwnWatchStaysAliveUntilItReturns) {
    MessageLoop& loop = MessageLoop::current();
    drain(loop);
    Pipe pipe;
    pipe.put();
    // The callback owns the only reference to `token`; it must stay valid through the
    // rest of the callback after the watch is gone, and be released once the round ends.
    auto token = std::make_shared<std::string>("still here");
    std::weak_ptr<std::string> watched = token;
    std::string seenAfterRemoval;
    platform::FdWatch watch;
    watch = platform::FdWatch(pipe.read, MessageLoop::kReadable,
                              [&, token = std::move(token)](uint32_t) {
                                  watch.reset();
                                  seenAfterRemoval = *token;
                              });
    EXPECT_TRUE(loop.dispatch(1000));
    EXPECT_EQ(seenAfterRemoval, "still here");
    EXPECT_TRUE(watched.expired()) << "the removed callback was kept after the round";
}

TEST(MessageLoopRemoval, WatchRemovedByAnotherInTheSameRoundIsNotCalled) {
    MessageLoop& loop = MessageLoop::current();
    drain(loop);
    Pipe first, second, third, fourth;
    first.put();
    second.put();
    int calls = 0, laterCalls = 0;
    platform::FdWatch a, b, later1, later2;
    // New watches made in the same round take the places the removed ones left; the event
    // still pending for the removed one must not reach them.
    const auto watchMore = [&] {
        later1 =
            platform::FdWatch(third.read, MessageLoop::kReadable, [&](uint32_t) { ++laterCalls; });
        later2 =
            platform::FdWatch(fourth.read, MessageLoop::kReadable, [&](uint32_t) { ++laterCalls; });
    };
    // Whichever runs first removes the other, which is already reported ready.
    a = platform::FdWatch(first.read, MessageLoop::kReadable, [&](uint32_t) {
        ++calls;
        b.reset();
        a.reset();
        watchMore();
    });
    b = platform::FdWatch(second.read, MessageLoop::kReadable, [&](uint32_t) {
        ++calls;
        a.reset();
        b.reset();
        watchMore();
    });
    // Both must be ready before the round starts, or the test proves nothing.
    ASSERT_TRUE(readable(first.read) && readable(second.read));
    EXPECT_TRUE(loop.dispatch(1000));
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(loop.dispatch(20));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(laterCalls, 0) << "their pipes are empty";
}

TEST(MessageLoopRemoval, ReusedFdNumberDoesNotReachTheRemovedWatch) {
    MessageLoop& loop = MessageLoop::current();
    drain(loop);
    auto first = std::make_unique<Pipe>();
    first->put();
    int oldCalls = 0, newCalls = 0;
    Pipe second;
    platform::FdWatch old, fresh;
    old = platform::FdWatch(first->read, MessageLoop::kReadable, [&](uint32_t) {
        ++oldCalls;
        old.reset();
        first.reset();  // closes the fd; the next pipe may get the same number
        auto replacement = std::make_unique<Pipe>();
        fresh = platform::FdWatch(replacement->read, MessageLoop::kReadable,
                                  [&](uint32_t) { ++newCalls; });
        first = std::move(replacement);
    });
    EXPECT_TRUE(loop.dispatch(1000));
    EXPECT_FALSE(loop.dispatch(20)) << "the new pipe is empty";
    first->put();
    char c;
    EXPECT_TRUE(loop.dispatch(1000));
    (void)::read(first->read, &c, 1);
    EXPECT_EQ(oldCalls, 1);
    EXPECT_EQ(newCalls, 1);
    fresh.reset();
}

TEST(MessageLoopTimers, OneShotTimersFireOnceInDeadlineOrder) {
    MessageLoop& loop = MessageLoop::current();
    drain(loop);
    std::vector<int> fired;
    loop.startTimer(60ms, false, [&] { fired.push_back(60); });
    loop.startTimer(20ms, false, [&] { fired.push_back(20); });
    loop.startTimer(40ms, false, [&] { fired.push_back(40); });
    // Even a loop that wakes late finds them due in deadline order.
    ASSERT_TRUE(loop.runUntil([&] { return fired.size() == 3; }, kPatience));
    EXPECT_EQ(fired, (std::vector<int>{20, 40, 60}));
    EXPECT_FALSE(loop.dispatch(80)) << "one-shot timers do not come back";
}

TEST(MessageLoopTimers, TimersDueTogetherFireInStartOrder) {
    MessageLoop& loop = MessageLoop::current();
    drain(loop);
    std::vector<int> fired;
    for (int i = 0; i < 5; ++i)
        loop.startTimer(0ms, false, [&fired, i] { fired.push_back(i); });
    ASSERT_TRUE(loop.runUntil([&] { return fired.size() == 5; }, kPatience));
    EXPECT_EQ(fired, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(MessageLoopTimers, RepeatingTimerRepeatsUntilStoppedFromItsCallback) {
    MessageLoop& loop = MessageLoop::current();
    drain(loop);
    int ticks = 0;
    MessageLoop::TimerId id = 0;
    id = loop.startTimer(5ms, true, [&] {
        if (++ticks == 3)
            loop.stopTimer(id);
    });
    ASSERT_TRUE(loop.runUntil([&] { return ticks == 3; }, kPatience));
    EXPECT_FALSE(loop.dispatch(50));
    EXPECT_EQ(ticks, 3);
}

TEST(MessageLoopTimers, TimerStoppedByAnotherDueTimerIsNotCalled) {
    MessageLoop& loop = MessageLoop::current();
    drain(loop);
    MessageLoop::TimerId second = 0;
    bool firstRan = false, secondRan = false;
    loop.startTimer(0ms, false, [&] {
        firstRan = true;
        loop.stopTimer(second);
    });
    second = loop.startTimer(0ms, false, [&] { secondRan = true; });
    std::this_thread::sleep_for(5ms);  // both due before the round starts
    ASSERT_TRUE(loop.dispatch(1000));
    EXPECT_TRUE(firstRan);
    EXPECT_FALSE(loop.dispatch(20));
    EXPECT_FALSE(secondRan);
}

TEST(MessageLoopTimers, StoppedTimerNeverFiresAndUnknownIdsAreIgnored) {
    MessageLoop& loop = MessageLoop::current();
    drain(loop);
    bool ran = false;
    auto id = loop.startTimer(10ms, false, [&] { ran = true; });
    loop.stopTimer(id);
    loop.stopTimer(id);
    loop.stopTimer(987654321);
    loop.removeWatch(987654321);
    loop.modifyWatch(987654321, MessageLoop::kReadable);
    EXPECT_FALSE(loop.dispatch(40));
    EXPECT_FALSE(ran);
}

TEST(MessageLoopTasks, PostedTasksRunInOrderAndLaterPostsWaitForTheNextRound) {
    MessageLoop& loop = MessageLoop::current();
    drain(loop);
    std::vector<int> order;
    for (int i = 1; i <= 4; ++i)
        loop.post([&, i] {
            order.push_back(i);
            if (i == 2)
                loop.post([&] { order.push_back(99); });
        });
    ASSERT_TRUE(loop.dispatch(0));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
    ASSERT_TRUE(loop.dispatch(0));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4, 99}));
    EXPECT_FALSE(loop.dispatch(0));
}

TEST(MessageLoopEmbedding, LoopFdIsReadableExactlyWhileWorkIsPending) {
    MessageLoop& loop = MessageLoop::current();
    drain(loop);
    EXPECT_FALSE(readable(loop.fd()));

    loop.post([] {});
    EXPECT_TRUE(readable(loop.fd())) << "a posted task";
    loop.dispatch(0);
    EXPECT_FALSE(readable(loop.fd()));

    bool fired = false;
    loop.startTimer(20ms, false, [&] { fired = true; });
    EXPECT_FALSE(readable(loop.fd())) << "the timer is not due yet";
    pollfd p{loop.fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1) << "an expired timer";
    EXPECT_TRUE(loop.dispatch(0));
    EXPECT_TRUE(fired);
    EXPECT_FALSE(readable(loop.fd()));

    Pipe pipe;
    platform::FdWatch watch(pipe.read, MessageLoop::kReadable, [](uint32_t) {});
    pipe.put();
    EXPECT_TRUE(readable(loop.fd())) << "a ready watch";
}

TEST(MessageLoopPasses, LongWorkIsSpreadOverPassesInOrderWithoutStarvingOthers) {
    MessageLoop& loop = MessageLoop::current();
    drain(loop);
    Pipe pipe;  // always readable: never read
    int watchCalls = 0;
    platform::FdWatch watch(pipe.read, MessageLoop::kReadable, [&](uint32_t) { ++watchCalls; });
    pipe.put();
    constexpr int kTasks = 40;
    std::vector<int> order;
    for (int i = 0; i < kTasks; ++i)
        loop.post([&, i] {
            std::this_thread::sleep_for(1ms);  // each longer than a pass can hold many of
            order.push_back(i);
        });

    loop.dispatch(0);
    EXPECT_GT(order.size(), 0u);
    EXPECT_LT(order.size(), size_t{kTasks}) << "one pass stops at its budget";
    EXPECT_TRUE(readable(loop.fd())) << "the rest is still pending";

    int passes = 1;
    while (order.size() < size_t{kTasks} && passes < 10 * kTasks) {
        loop.dispatch(0);
        ++passes;
    }
    std::vector<int> expected(kTasks);
    for (int i = 0; i < kTasks; ++i)
        expected[i] = i;
    EXPECT_EQ(order, expected) << "all of them, in the order posted";
    EXPECT_GE(watchCalls, passes) << "the ready descriptor had its turn in every pass";
}

TEST(MessageLoopIdle, WaitsWithoutSpinning) {
    MessageLoop& loop = MessageLoop::current();
    drain(loop);
    Pipe pipe;  // an idle watch and a far timer must not wake the loop either
    platform::FdWatch watch(pipe.read, MessageLoop::kReadable, [](uint32_t) {});
    auto timer = loop.startTimer(1h, false, [] {});

    auto cpuBefore = threadCpuTime();
    auto wallBefore = std::chrono::steady_clock::now();
    for (int i = 0; i < 4; ++i)
        EXPECT_FALSE(loop.dispatch(50));
    auto wall = std::chrono::steady_clock::now() - wallBefore;
    auto cpu = threadCpuTime() - cpuBefore;
    loop.stopTimer(timer);

    EXPECT_GE(wall, 190ms) << "each dispatch waits out its timeout";
    EXPECT_LT(cpu, 40ms) << "a busy loop would burn about the wall time";
}

TEST(MessageLoopFailures, ThrowingCallbackIsReportedAndTheRoundGoesOn) {
    MessageLoop& loop = MessageLoop::current();
    drain(loop);
    std::vector<int> ran;
    loop.post([&] {
        ran.push_back(1);
        throw std::runtime_error("task broke");
    });
    loop.post([&] { ran.push_back(2); });
    testing::internal::CaptureStderr();
    EXPECT_TRUE(loop.dispatch(0));
    // The second task runs in this pass or, if the pass spent its budget, in a later one.
    EXPECT_TRUE(loop.runUntil([&] { return ran.size() >= 2; }, kPatience));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(ran, (std::vector<int>{1, 2}));
    EXPECT_NE(err.find("task broke"), std::string::npos);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);

    bool later = false;
    loop.startTimer(0ms, false, [] { throw 42; });
    loop.startTimer(1ms, false, [&] { later = true; });
    testing::internal::CaptureStderr();
    EXPECT_TRUE(loop.runUntil([&] { return later; }, kPatience));
    testing::internal::GetCapturedStderr();
}

TEST(MessageLoopRunning, QuitFromACallbackEndsRun) {
    MessageLoop& loop = MessageLoop::current();
    drain(loop);
    int ticks = 0;
    auto id = loop.startTimer(1ms, true, [&] {
        if (++ticks == 3)
            loop.quit();
    });
    loop.run();
    loop.stopTimer(id);
    EXPECT_EQ(ticks, 3);

    loop.post([&] { loop.quit(); });
    loop.run();  // returns: the quit of the first run does not linger, this one is fresh
    SUCCEED();
}

TEST(MessageLoopRunning, RunUntilStopsWhenDoneOrOnTimeout) {
    MessageLoop& loop = MessageLoop::current();
    drain(loop);
    bool done = false;
    loop.startTimer(10ms, false, [&] { done = true; });
    EXPECT_TRUE(loop.runUntil([&] { return done; }, kPatience));
    EXPECT_FALSE(loop.runUntil([] { return false; }, 30ms));
    EXPECT_TRUE(loop.runUntil([] { return true; }, 0ms));
}

TEST(MessageLoopThreads, EachThreadHasItsOwnLoop) {
    MessageLoop& mine = MessageLoop::current();
    drain(mine);
    EXPECT_EQ(&mine, &MessageLoop::current());

    std::atomic<MessageLoop*> theirs{nullptr};
    std::atomic<int> theirFd{-1};
    std::atomic<bool> theirTaskRan{false};
    std::thread::id mainThread = std::this_thread::get_id();
    std::thread::id ranOn;

    std::thread other([&] {
        MessageLoop& loop = MessageLoop::current();
        theirs = &loop;
        theirFd = loop.fd();
        loop.post([&] { theirTaskRan = true; });
        // A task posted from this thread to the main loop runs on the main thread.
        mine.post([&] { ranOn = std::this_thread::get_id(); });
        loop.run();
    });
    while (!theirs)
        std::this_thread::yield();
    EXPECT_NE(theirs.load(), &mine);
    EXPECT_NE(theirFd.load(), mine.fd());

    ASSERT_TRUE(mine.runUntil([&] { return ranOn != std::thread::id{}; }, kPatience));
    EXPECT_EQ(ranOn, mainThread);
    theirs.load()->post([] { MessageLoop::current().quit(); });
    other.join();
    EXPECT_TRUE(theirTaskRan) << "the other thread ran its own task";
    EXPECT_FALSE(readable(mine.fd()));
}

// ---- fork(): the child and the parent each keep a loop of their own -----------------------

// Runs `child` in a child process, which ends with what it returns as its exit status, and
// gives that status (-1 if it did not end by itself).
int statusOfChild(const std::function<int()>& child, const std::function<void()>& meanwhile = {}) {
    std::fflush(nullptr);  // nothing buffered is written twice
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(child());
    if (meanwhile)
        meanwhile();
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

TEST(MessageLoopFork, AChildLettingGoOfWhatItInheritedLeavesTheParentsLoopAsItWas) {
    MessageLoop& loop = MessageLoop::current();
    drain(loop);
    Pipe pipe;
    int heard = 0;
    platform::FdWatch watch(pipe.read, MessageLoop::kReadable, [&](uint32_t) {
        char c;
        heard += static_cast<int>(::read(pipe.read, &c, 1) == 1);
    });
    bool fired = false;
    const auto timer = loop.startTimer(10ms, false, [&] { fired = true; });
    bool ran = false;
    loop.post([&] { ran = true; });

    // The child lets go of the watch and the timer, and runs its loop: what the parent has
    // pending must stay pending for the parent.
    EXPECT_EQ(statusOfChild([&] {
                  watch.reset();
                  loop.stopTimer(timer);
                  loop.dispatch(0);
                  return ran ? 0 : 1;
              }),
              0)
        << "the child runs the task it inherited";

    pipe.put();
    EXPECT_TRUE(loop.runUntil([&] { return heard == 1 && fired && ran; }, kPatience))
        << "heard " << heard << ", timer fired " << fired << ", task ran " << ran;
}

TEST(MessageLoopFork, AChildGoesOnWithWhatItKeptAfterTheParentLetsGo) {
    MessageLoop& loop = MessageLoop::current();
    drain(loop);
    const int loopFd = loop.fd();
    Pipe pipe;
    int heard = 0;
    auto watch =
        std::make_unique<platform::FdWatch>(pipe.read, MessageLoop::kReadable, [&](uint32_t) {
            char c;
            if (::read(pipe.read, &c, 1) == 1)
                ++heard;
        });
    bool fired = false;
    const auto timer = loop.startTimer(1ms, false, [&] { fired = true; });
    enum ChildFailure { kNone, kOtherFd, kDeaf, kNoTimer };
    // The parent lets go of its watch, as one that leaves after forking a daemon does, and
    // then writes: the child, on a loop of its own, hears it through the watch it kept, and
    // the timer it inherited fires there.
    const int status = statusOfChild(
        [&] {
            if (loop.fd() != loopFd)
                return kOtherFd;
            if (!loop.runUntil([&] { return heard == 1; }, kPatience))
                return kDeaf;
            return loop.runUntil([&] { return fired; }, kPatience) ? kNone : kNoTimer;
        },
        [&] {
            watch.reset();
            pipe.put();
        });
    loop.stopTimer(timer);
    EXPECT_EQ(status, kNone) << "1: fd() changed, 2: deaf, 3: no timer in the child";
}

}  // namespace
