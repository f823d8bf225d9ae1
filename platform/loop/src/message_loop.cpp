#include "platform/message_loop.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/owning_process.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC, the clock the timerfd runs on

// Tags in epoll_event.data for the loop's own two fds; watch ids count up from 1.
constexpr uint64_t kTaskTag = ~uint64_t{0};
constexpr uint64_t kTimerTag = ~uint64_t{0} - 1;
constexpr int kBatchSize = 64;

[[noreturn]] void throwErrno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

uint32_t toEpollEvents(uint32_t events) {
    uint32_t result = 0;
    if (events & MessageLoop::kReadable)
        result |= EPOLLIN;
    if (events & MessageLoop::kWritable)
        result |= EPOLLOUT;
    return result;
}

uint32_t fromEpollEvents(uint32_t events) {
    uint32_t result = 0;
    if (events & (EPOLLIN | EPOLLPRI))
        result |= MessageLoop::kReadable;
    if (events & EPOLLOUT)
        result |= MessageLoop::kWritable;
    if (events & (EPOLLHUP | EPOLLRDHUP))
        result |= MessageLoop::kHangup;
    if (events & EPOLLERR)
        result |= MessageLoop::kError;
    return result;
}

// A failing callback must not take the loop down with it: its error goes no further
// than the platform that delivered the event, which notes it and carries on.
template <typename Callable>
void callGuarded(Callable&& callable) {
    try {
        callable();
    } catch (const std::exception& e) {
        std::cerr << "platform: message loop callback failed: " << e.what() << '\n';
    } catch (...) {
        std::cerr << "platform: message loop callback failed with an unknown exception\n";
    }
}

}  // namespace

struct CORVANE_PLATFORM_NO_EXPORT MessageLoop::Impl {
    // A watch lives in a slot; its id is the slot's index and the slot's generation, which
    // moves on whenever the slot is let go, so that an id (or an event still pending) of a
    // removed watch never reaches the watch that reuses its slot.
    struct Watch {
        int fd = -1;
        uint32_t epollEvents = 0;  // as last given to epoll, so that an unchanged set costs nothing
        uint32_t generation = 1;
        std::unique_ptr<FdCallback> callback;  // null while the slot is free
    };
    struct Timer {
        Clock::time_point deadline;
        Clock::duration interval;
        bool repeat;
        std::shared_ptr<std::function<void()>> callback;
    };

    int epollFd = -1;
    int taskFd = -1;
    int timerFd = -1;
    // The process whose set, eventfd and timerfd these are (see leaveInheritedSet).
    OwningProcess owner;

    uint64_t nextId = 1;  // of timers
    // Found straight from the id every event carries: a host with a thousand controls pays
    // no more per event than one with a single control.
    std::vector<Watch> watches;
    std::vector<uint32_t> freeSlots;
    // A watch removed while callbacks run keeps its callback here until the outermost one
    // returns, so that a callback that removes its own watch keeps running on a live object.
    int watchCallbacksRunning = 0;
    std::vector<std::unique_ptr<FdCallback>> retiredCallbacks;
    std::unordered_map<TimerId, Timer> timers;
    // Deadline order; the id breaks ties, so timers due together fire in start order.
    std::set<std::pair<Clock::time_point, TimerId>> timerQueue;
    Clock::time_point armedDeadline = Clock::time_point::max();

    // post() may come from any thread; everything else belongs to the loop's thread.
    std::mutex taskMutex;
    std::deque<std::function<void()>> tasks;

    bool quitRequested = false;

    // What the last wait found ready and no pass has handled yet, in the order it runs
    // (pending[pendingNext] to pending[pendingEnd]): a fixed array, so that a pass costs no
    // allocation.
    epoll_event pending[kBatchSize] = {};
    int pendingNext = 0;
    int pendingEnd = 0;
    // The end of the innermost pass running (a callback may run a loop of its own), set by
    // the first look at it: the budget counts from the first time the pass asks (before its
    // second callback, or a callback with long work of its own), so that a pass of a single
    // short callback reads no clock.
    std::optional<Clock::time_point> passDeadline;
    int passDepth = 0;

    // The loop's three descriptors, made together: all of them or, thrown, none.
    struct Descriptors {
        int epoll = -1;
        int task = -1;
        int timer = -1;
    };

    Impl() {
        const Descriptors made = makeDescriptors();
        epollFd = made.epoll;
        taskFd = made.task;
        timerFd = made.timer;
    }

    ~Impl() { closeAll(); }

    static void closeDescriptors(const Descriptors& d) {
        for (int fd : {d.timer, d.task, d.epoll}) {
            if (fd >= 0)
                ::close(fd);
        }
    }

    void closeAll() {
        closeDescriptors({epollFd, taskFd, timerFd});
        epollFd = taskFd = timerFd = -1;
    }

    static void addToEpoll(int epoll, int fd, uint32_t events, uint64_t tag) {
        epoll_event ev{};
        ev.events = events;
        ev.data.u64 = tag;
        if (epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &ev) < 0)
            throwErrno("epoll_ctl(ADD)");
    }
    void addToEpoll(int fd, uint32_t events, uint64_t tag) { addToEpoll(epollFd, fd, events, tag); }

    static Descriptors makeDescriptors() {
        Descriptors made;
        made.epoll = epoll_create1(EPOLL_CLOEXEC);
        if (made.epoll < 0)
            throwErrno("epoll_create1");
        made.task = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        made.timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        try {
            if (made.task < 0 || made.timer < 0)
                throwErrno("eventfd/timerfd_create");
            addToEpoll(made.epoll, made.task, EPOLLIN, kTaskTag);
            addToEpoll(made.epoll, made.timer, EPOLLIN, kTimerTag);
        } catch (...) {
            const int saved = errno;
            closeDescriptors(made);
            errno = saved;
            throw;
        }
        return made;
    }

    // In a child made by fork() the set, the eventfd and the timerfd are the parent's too: a
    // watch the child removed would leave the parent's set, a timer it stopped would disarm
    // the parent's, a wait would take the parent's events. So a child's loop never touches
    // them; its first use (other than letting go of watches and timers) moves it to
    // descriptors of its own, with the watches, timers and tasks it inherited. The set keeps
    // its number, so that a host that watched fd() before the fork watches the child's set.
    bool inherited() const { return !owner.isThisProcess(); }

    void leaveInheritedSet() {
        if (!inherited())
            return;
        const Descriptors made = makeDescriptors();
        for (const Watch& watch : watches) {
            // A descriptor the child has closed meanwhile fails here: its watch hears
            // nothing until its owner removes it.
            if (watch.callback && watch.epollEvents != 0) {
                epoll_event ev{};
                ev.events = watch.epollEvents;
                ev.data.u64 =
                    watchId(static_cast<uint32_t>(&watch - watches.data()), watch.generation);
                epoll_ctl(made.epoll, EPOLL_CTL_ADD, watch.fd, &ev);
            }
        }
        if (::dup3(made.epoll, epollFd, O_CLOEXEC) < 0) {
            const int saved = errno;
            closeDescriptors(made);
            errno = saved;
            throwErrno("dup3");
        }
        ::close(made.epoll);
        ::close(taskFd);  // the child's copies; the parent keeps its own
        ::close(timerFd);
        taskFd = made.task;
        timerFd = made.timer;
        owner = OwningProcess();
        // What the parent's last wait found is the parent's to handle; the child's own set
        // reports again whatever is still ready.
        pendingNext = pendingEnd = 0;
        armedDeadline = Clock::time_point::max();
        rearmTimerFd();
        std::lock_guard lock(taskMutex);
        if (!tasks.empty())
            signalWork();
    }

    void scheduleTimer(TimerId id, Timer& timer, Clock::time_point deadline) {
        timer.deadline = deadline;
        timerQueue.emplace(deadline, id);
    }

    // Keeps the timerfd armed for the earliest deadline (disarmed when there is none).
    void rearmTimerFd() {
        Clock::time_point earliest =
            timerQueue.empty() ? Clock::time_point::max() : timerQueue.begin()->first;
        if (earliest == armedDeadline)
            return;
        itimerspec expiry{};
        if (earliest != Clock::time_point::max()) {
            auto ns =
                std::chrono::duration_cast<std::chrono::nanoseconds>(earliest.time_since_epoch())
                    .count();
            ns = std::max<int64_t>(ns, 1);  // all zeros would disarm instead
            expiry.it_value.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
            expiry.it_value.tv_nsec = static_cast<long>(ns % 1'000'000'000);
        }
        if (timerfd_settime(timerFd, TFD_TIMER_ABSTIME, &expiry, nullptr) < 0)
            throwErrno("timerfd_settime");
        armedDeadline = earliest;
    }

    static WatchId watchId(uint32_t slot, uint32_t generation) {
        return uint64_t{generation} << 32 | slot;
    }

    // The watch of `id`, or null when it was removed.
    Watch* findWatch(WatchId id) {
        const uint64_t slot = id & 0xFFFF'FFFFu;
        if (slot >= watches.size())
            return nullptr;
        Watch& watch = watches[slot];
        return watch.callback && watch.generation == id >> 32 ? &watch : nullptr;
    }

    WatchId addWatch(int fd, uint32_t epollEvents, FdCallback callback) {
        if (freeSlots.empty()) {
            freeSlots.push_back(static_cast<uint32_t>(watches.size()));
            watches.emplace_back();
        }
        const uint32_t slot = freeSlots.back();
        Watch& watch = watches[slot];
        const WatchId id = watchId(slot, watch.generation);
        addToEpoll(fd, epollEvents, id);  // a refusal leaves the slot free
        if (epollEvents == 0)
            epoll_ctl(epollFd, EPOLL_CTL_DEL, fd, nullptr);  // added only to be checked
        freeSlots.pop_back();
        watch.fd = fd;
        watch.epollEvents = epollEvents;
        watch.callback = std::make_unique<FdCallback>(std::move(callback));
        return id;
    }

    void releaseWatch(Watch& watch) {
        if (watchCallbacksRunning > 0)
            retiredCallbacks.push_back(std::move(watch.callback));
        watch.callback.reset();
        watch.fd = -1;
        // Generations stay below 2^31, so that no id is one of the loop's own two tags.
        watch.generation = watch.generation == 0x7FFF'FFFFu ? 1 : watch.generation + 1;
        freeSlots.push_back(static_cast<uint32_t>(&watch - watches.data()));
    }

    bool runWatch(uint64_t id, uint32_t epollEvents) {
        Watch* watch = findWatch(id);
        if (!watch)
            return false;  // removed earlier in this round
        FdCallback* callback = watch->callback.get();
        uint32_t events = fromEpollEvents(epollEvents);
        ++watchCallbacksRunning;
        callGuarded([&] { (*callback)(events); });
        if (--watchCallbacksRunning == 0)
            retiredCallbacks.clear();
        return true;
    }

    bool runDueTimers() {
        uint64_t expirations;
        while (::read(timerFd, &expirations, sizeof expirations) > 0) {
        }
        // Only what is due now runs this round, so a zero-interval repeating timer cannot
        // hold the loop.
        const Clock::time_point now = Clock::now();
        std::vector<TimerId> due;
        for (auto it = timerQueue.begin(); it != timerQueue.end() && it->first <= now;) {
            due.push_back(it->second);
            it = timerQueue.erase(it);
        }
        armedDeadline = Clock::time_point::max();  // the read above consumed the expiry
        bool ran = false;
        for (TimerId id : due) {
            auto it = timers.find(id);
            if (it == timers.end())
                continue;  // stopped by an earlier callback
            std::shared_ptr<std::function<void()>> callback = it->second.callback;
            if (it->second.repeat) {
                // Keep to the original rhythm, but a loop that fell behind fires once and
                // does not catch up with a burst.
                Clock::time_point next = it->second.deadline + it->second.interval;
                if (next <= now)
                    next = now + it->second.interval;
                scheduleTimer(id, it->second, next);
            } else {
                timers.erase(it);
            }
            callGuarded([&] { (*callback)(); });
            ran = true;
        }
        rearmTimerFd();
        return ran;
    }

    bool runPostedTasks() {
        uint64_t count;
        // Resets the counter before taking the queue; an empty counter (EAGAIN) is as good.
        [[maybe_unused]] const ssize_t reset = ::read(taskFd, &count, sizeof count);
        std::deque<std::function<void()>> batch;
        {
            std::lock_guard lock(taskMutex);
            batch.swap(tasks);
        }
        // Tasks posted by these tasks signal the eventfd again and run next round.
        size_t done = 0;
        while (done < batch.size() && (done == 0 || !budgetSpent()))
            callGuarded(batch[done++]);
        if (done < batch.size()) {
            // The rest goes back ahead of anything posted meanwhile.
            std::lock_guard lock(taskMutex);
            tasks.insert(tasks.begin(), std::make_move_iterator(batch.begin() + done),
                         std::make_move_iterator(batch.end()));
            signalWork();
        }
        return done > 0;
    }

    bool budgetSpent() {
        if (passDepth == 0)
            return false;
        const Clock::time_point now = Clock::now();
        if (!passDeadline) {
            passDeadline = now + kPassBudget;
            return false;
        }
        return now >= *passDeadline;
    }

    // Keeps the loop's fd readable while work waits for the next pass, so that a host
    // waiting on it comes back.
    void signalWork() {
        uint64_t one = 1;
        // Fails only when the counter is already at its highest, which wakes the loop too.
        [[maybe_unused]] const ssize_t written = ::write(taskFd, &one, sizeof one);
    }

    bool runPending(uint64_t tag, uint32_t epollEvents) {
        if (tag == kTimerTag)
            return runDueTimers();
        if (tag == kTaskTag)
            return runPostedTasks();
        return runWatch(tag, epollEvents);
    }
};

MessageLoop& MessageLoop::current() {
    thread_local std::unique_ptr<MessageLoop> loop(new MessageLoop());
    return *loop;
}

MessageLoop::MessageLoop() : m_impl(new Impl()) {}

MessageLoop::~MessageLoop() {
    delete m_impl;
}

MessageLoop::WatchId MessageLoop::watchFd(int fd, uint32_t events, FdCallback callback) {
    m_impl->leaveInheritedSet();
    return m_impl->addWatch(fd, toEpollEvents(events), std::move(callback));
}

void MessageLoop::modifyWatch(WatchId id, uint32_t events) {
    Impl::Watch* it = m_impl->findWatch(id);
    if (!it)
        return;
    const uint32_t epollEvents = toEpollEvents(events);
    if (epollEvents == it->epollEvents)
        return;
    m_impl->leaveInheritedSet();
    // A watch that asks for nothing leaves the set: epoll reports hang-ups and errors whatever
    // is asked, and one that cannot be acted on yet would come back every round.
    const int operation = it->epollEvents == 0 ? EPOLL_CTL_ADD
                          : epollEvents == 0   ? EPOLL_CTL_DEL
                                               : EPOLL_CTL_MOD;
    epoll_event ev{};
    ev.events = epollEvents;
    ev.data.u64 = id;
    if (epoll_ctl(m_impl->epollFd, operation, it->fd, &ev) < 0)
        throwErrno("epoll_ctl");
    it->epollEvents = epollEvents;
}

void MessageLoop::removeWatch(WatchId id) {
    Impl::Watch* watch = m_impl->findWatch(id);
    if (!watch)
        return;
    // Fails only if the fd was closed already, which took it out of the set anyway. An
    // inherited set is the parent's: the child's copy of the fd leaves with the child's set.
    if (!m_impl->inherited())
        epoll_ctl(m_impl->epollFd, EPOLL_CTL_DEL, watch->fd, nullptr);
    m_impl->releaseWatch(*watch);
}

MessageLoop::TimerId MessageLoop::startTimer(std::chrono::milliseconds interval, bool repeat,
                                             std::function<void()> callback) {
    m_impl->leaveInheritedSet();
    interval = std::max(interval, std::chrono::milliseconds(0));
    TimerId id = m_impl->nextId++;
    auto [it, inserted] = m_impl->timers.emplace(
        id,
        Impl::Timer{
            {}, interval, repeat, std::make_shared<std::function<void()>>(std::move(callback))});
    m_impl->scheduleTimer(id, it->second, Clock::now() + interval);
    m_impl->rearmTimerFd();
    return id;
}

void MessageLoop::stopTimer(TimerId id) {
    auto it = m_impl->timers.find(id);
    if (it == m_impl->timers.end())
        return;
    m_impl->timerQueue.erase({it->second.deadline, id});
    m_impl->timers.erase(it);
    if (!m_impl->inherited())  // the timerfd is the parent's; the child's is armed when made
        m_impl->rearmTimerFd();
}

void MessageLoop::post(std::function<void()> task) {
    {
        std::lock_guard lock(m_impl->taskMutex);
        m_impl->tasks.push_back(std::move(task));
    }
    // An inherited eventfd would wake the parent; the child's own is signalled when made.
    if (!m_impl->inherited())
        m_impl->signalWork();
}

int MessageLoop::fd() const {
    m_impl->leaveInheritedSet();
    return m_impl->epollFd;
}

bool MessageLoop::dispatch(int timeoutMs) {
    Impl& d = *m_impl;
    d.leaveInheritedSet();
    if (d.pendingNext == d.pendingEnd) {
        epoll_event events[kBatchSize];
        int count = epoll_wait(d.epollFd, events, kBatchSize, timeoutMs < 0 ? -1 : timeoutMs);
        if (count <= 0)
            return false;  // timeout, or EINTR: the caller dispatches again
        // Descriptors first, then the timers due and the posted tasks, each in the order
        // reported.
        int end = 0;
        for (bool own : {false, true}) {
            for (int i = 0; i < count; ++i) {
                const bool isOwn =
                    events[i].data.u64 == kTimerTag || events[i].data.u64 == kTaskTag;
                if (isOwn == own)
                    d.pending[end++] = events[i];
            }
        }
        d.pendingNext = 0;
        d.pendingEnd = end;
    }

    struct Pass {
        Impl& d;
        std::optional<Clock::time_point> outerDeadline;
        explicit Pass(Impl& impl) : d(impl), outerDeadline(impl.passDeadline) {
            d.passDeadline.reset();
            ++d.passDepth;
        }
        ~Pass() {
            --d.passDepth;
            d.passDeadline = outerDeadline;
        }
    } pass(d);

    // Something always runs, so every pass makes progress.
    bool handled = false;
    for (bool first = true; d.pendingNext < d.pendingEnd; first = false) {
        if (!first && d.budgetSpent()) {
            d.signalWork();
            break;
        }
        const epoll_event event = d.pending[d.pendingNext++];
        handled |= d.runPending(event.data.u64, event.events);
    }
    return handled;
}

bool MessageLoop::passBudgetSpent() const {
    return m_impl->budgetSpent();
}

void MessageLoop::run() {
    m_impl->quitRequested = false;
    while (!m_impl->quitRequested)
        dispatch(-1);
    m_impl->quitRequested = false;
}

void MessageLoop::quit() {
    m_impl->quitRequested = true;
}

bool MessageLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    while (!done()) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return false;
        dispatch(static_cast<int>(std::min<int64_t>(left.count(), 1'000'000)));
    }
    return true;
}

}  // namespace platform
