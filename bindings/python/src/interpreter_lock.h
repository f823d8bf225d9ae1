// Leaving and taking back the interpreter lock around control code, safely at the
// interpreter's end.
//
// When a program ends, its daemon threads may be anywhere in control code: waiting in
// corvane.pump(), opening a port, running a handler. Once Python finalizes, a thread that
// takes the lock is ended with pthread_exit, whose unwinding aborts the process when it
// meets a frame that may not throw (the destructor that takes the lock back) or one that
// catches everything (the control's event dispatch). So at the program's end (atexit,
// before Python finalizes) the module closes a gate: from then on a thread other than the
// ending one that would take the lock waits for ever instead (a daemon, ended with the
// process), and the end first lets every thread that is taking the lock or running a
// handler get through.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>

namespace corvane_python {

namespace py = pybind11;

// Releases the lock for control code that may wait; takes it back when done.
class InterpreterLockReleased {
  public:
    InterpreterLockReleased() : m_state(PyEval_SaveThread()) {}
    ~InterpreterLockReleased();
    InterpreterLockReleased(const InterpreterLockReleased&) = delete;
    InterpreterLockReleased& operator=(const InterpreterLockReleased&) = delete;

  private:
    PyThreadState* m_state;
};

// Takes the lock for Python code that control code calls (a handler, a callback), on a
// thread that may or may not hold it already.
class InterpreterLockTaken {
  public:
    InterpreterLockTaken();
    ~InterpreterLockTaken();
    InterpreterLockTaken(const InterpreterLockTaken&) = delete;
    InterpreterLockTaken& operator=(const InterpreterLockTaken&) = delete;

  private:
    std::optional<py::gil_scoped_acquire> m_lock;
};

// Has the gate closed when the program ends (with atexit); called once, at the import.
void closeInterpreterGateAtExit();

}  // namespace corvane_python
