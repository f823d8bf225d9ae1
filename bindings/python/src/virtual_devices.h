// The native half of corvane.testing: virtual serial devices (RFC 2217 servers on
// 127.0.0.1), each on a thread of its own that never takes the interpreter lock, so that a
// control on the Python thread may open, wait on and talk to them. corvane/testing maps
// their ports and makes the context managers and the pytest fixtures.
#pragma once

#include <pybind11/pybind11.h>

namespace corvane_python {

namespace py = pybind11;

// Adds the class _VirtualDevice to the native module.
void defineVirtualDevices(py::module_& module);

}  // namespace corvane_python
