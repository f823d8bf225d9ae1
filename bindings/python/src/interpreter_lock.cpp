#include "interpreter_lock.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace corvane_python {

namespace {

using Clock = std::chrono::steady_clock;

// The longest the program's end waits for handlers of other threads to return: one that
// runs on after that is left to Python's own end of daemon threads.
constexpr std::chrono::milliseconds kLongestHandlerWait{1000};

// Plain atomics and an id: nothing here is destroyed at the process's exit, while other
// threads may still pass the gate.
std::atomic<bool> g_ending{false};
std::thread::id g_endingThread;  // written before g_ending is set
// Threads taking the lock back or holding it for Python code that control code called.
std::atomic<int> g_passing{0};

[[noreturn]] void waitForEver() {
    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(24));
}

// Counts the calling thread as passing; once the program is ending, another thread that
// would have to take the lock waits for ever instead.
void enterGate(bool holdsLock) {
    g_passing.fetch_add(1);
    if (g_ending.load() && !holdsLock && std::this_thread::get_id() != g_endingThread) {
        g_passing.fetch_sub(1);
        waitForEver();
    }
}

void leaveGate() {
    g_passing.fetch_sub(1);
}

void closeGate() {
    g_endingThread = std::this_thread::get_id();
    g_ending.store(true);
    // Those already passing need the lock to get through: it is theirs meanwhile.
    py::gil_scoped_release released;
    const Clock::time_point giveUp = Clock::now() + kLongestHandlerWait;
    while (g_passing.load() > 0 && Clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

}  // namespace

InterpreterLockReleased::~InterpreterLockReleased() {
    enterGate(false);
    PyEval_RestoreThread(m_state);
    leaveGate();
}

InterpreterLockTaken::InterpreterLockTaken() {
    enterGate(PyGILState_Check() != 0);
    m_lock.emplace();
}

InterpreterLockTaken::~InterpreterLockTaken() {
    m_lock.reset();
    leaveGate();
}

void closeInterpreterGateAtExit() {
    // Registered at import, before the package's own atexit functions: it runs after them.
    py::module_::import("atexit").attr("register")(py::cpp_function(&closeGate));
}

}  // namespace corvane_python
