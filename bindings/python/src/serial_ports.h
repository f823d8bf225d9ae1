// corvane.ports() and corvane.watch_ports(): the machine's serial ports as the platform
// lists them, and a watch of them coming and going on the thread's message loop. The
// native half hands each port over as a dict of its fields; corvane/__init__.py makes the
// corvane.Port objects.
#pragma once

#include <pybind11/pybind11.h>

namespace corvane_python {

namespace py = pybind11;

// Adds _ports() and the class _PortWatch to the native module.
void defineSerialPorts(py::module_& module);

}  // namespace corvane_python
