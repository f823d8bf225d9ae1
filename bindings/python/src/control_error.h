// How failures reach Python: a control's failure (number, description, source) becomes
// corvane.Error, the Python class defined by the package and handed to the native module
// once at import.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>

#include "platform/dispatch.h"
#include "platform/error.h"

namespace corvane_python {

namespace py = pybind11;

void setErrorClass(py::object errorClass);

// Raises corvane.Error (throws py::error_already_set).
[[noreturn]] void raiseError(int32_t number, const std::u16string& description,
                             const std::u16string& source);
[[noreturn]] void raiseError(const platform::Error& error);
// A failed Invoke: the number a C++ host's helpers report for it (platform::throwFromInvoke),
// with the source the control left.
[[noreturn]] void raiseInvokeFailure(platform::HRESULT hr, const platform::ExcepInfo& excepInfo);

// An exception a handler raised that must not be swallowed (KeyboardInterrupt, SystemExit)
// waits with the thread that raised it until control returns to Python on that thread,
// where raisePendingInterrupt re-raises it. The first one waiting is kept.
void setPendingInterrupt(py::error_already_set&& error);
void raisePendingInterrupt();

// A handler's ordinary exception: printed to sys.stderr with its traceback under a line
// naming `where`; the loop goes on.
void reportHandlerException(py::error_already_set& error, const std::string& where);

}  // namespace corvane_python
