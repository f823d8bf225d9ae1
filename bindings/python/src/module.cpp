// The native half of the corvane package: controls, the thread's message loop,
// registration and the virtual devices of corvane.testing. The Python half
// (corvane/__init__.py) defines corvane.Error, connect() and the asyncio bridge on top of it.
#include <dlfcn.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <optional>
#include <string>

#include "collectable.h"
#include "control_error.h"
#include "control_object.h"
#include "interpreter_lock.h"
#include "platform/message_loop.h"
#include "platform/module_loader.h"
#include "platform/module_runtime.h"
#include "platform/registry.h"
#include "platform/unknown.h"
#include "serial_ports.h"
#include "virtual_devices.h"

namespace corvane_python {

namespace {

using Clock = std::chrono::steady_clock;

// Longest single wait, so that Ctrl+C reaches a script blocked in the loop.
constexpr int kSignalCheckMs = 100;

int toMilliseconds(double seconds) {
    if (std::isnan(seconds) || seconds < 0)
        throw py::value_error("timeout must be a number of seconds, 0 or more");
    return static_cast<int>(std::min(std::ceil(seconds * 1000.0), 2'000'000'000.0));
}

// One round of the loop, the GIL free while it waits; handlers take it back.
bool dispatchOnce(int timeoutMs) {
    bool handled;
    {
        InsideControlCode inside;
        InterpreterLockReleased released;
        handled = platform::MessageLoop::current().dispatch(timeoutMs);
    }
    raisePendingInterrupt();
    return handled;
}

bool pump(double timeout) {
    int remaining = toMilliseconds(timeout);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(remaining);
    for (;;) {
        const bool handled = dispatchOnce(std::min(remaining, kSignalCheckMs));
        if (handled || remaining <= kSignalCheckMs)
            return handled;
        if (PyErr_CheckSignals() != 0)
            throw py::error_already_set();
        remaining = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        if (remaining <= 0)
            return false;
    }
}

bool runUntil(const py::object& predicate, std::optional<double> timeout) {
    std::optional<Clock::time_point> deadline;
    if (timeout)
        deadline = Clock::now() + std::chrono::milliseconds(toMilliseconds(*timeout));
    for (;;) {
        if (py::bool_(predicate()))
            return true;
        int wait = kSignalCheckMs;
        if (deadline) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now())
                    .count();
            if (left <= 0)
                return false;
            wait = static_cast<int>(std::min<long long>(left, wait));
        }
        dispatchOnce(wait);
        if (PyErr_CheckSignals() != 0)
            throw py::error_already_set();
    }
}

// Calls the library's own DllRegisterServer / DllUnregisterServer, as corvane-register
// does, in the user's registry or (`system`, as root only) the machine's.
void callRegistrationEntry(const std::string& path, const char* entryName, bool system) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(std::filesystem::absolute(path, error), error) || error)
        throw py::value_error("no component library at \"" + path + "\"");
    // Checked as corvane-register checks it, before any code of the library runs.
    std::filesystem::path library;
    try {
        library = platform::libraryToRegister(
            path, system ? platform::RegistryScope::machine : platform::RegistryScope::user);
    } catch (const platform::Error& refused) {
        raiseError(refused);
    }
    ::dlerror();
    void* handle = ::dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = ::dlerror();
        throw py::value_error("cannot load \"" + library.string() + "\": " + (why ? why : "?"));
    }
    auto entry = reinterpret_cast<platform::DllRegisterServerFn>(::dlsym(handle, entryName));
    if (!entry) {
        ::dlclose(handle);
        throw py::value_error("\"" + library.string() + "\" is no component library (it has no " +
                              entryName + ")");
    }
    platform::setRegistrationScope(system ? platform::RegistryScope::machine
                                          : platform::RegistryScope::user);
    platform::clearErrorInfo();
    const platform::HRESULT hr = entry();
    platform::setRegistrationScope(platform::RegistryScope::user);
    std::optional<platform::ErrorInfo> info = platform::takeErrorInfo();
    ::dlclose(handle);
    if (platform::failed(hr)) {
        if (info)
            raiseError(info->number, info->description, info->source);
        raiseError(platform::numberFromHresult(hr), {}, {});
    }
}

// Runs `body` inside a type slot: a C++ or Python exception becomes the Python error.
template <class Body>
auto inSlot(Body&& body, decltype(body()) failure) noexcept {
    try {
        return body();
    } catch (py::error_already_set& error) {
        error.restore();
    } catch (py::builtin_exception& error) {
        error.set_error();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    }
    return failure;
}

// Class attributes (events, __doc__ ...) first, then the control's members.
PyObject* getControlAttribute(PyObject* self, PyObject* name) {
    ControlObject* control = valueOf<ControlObject>(self);
    if (control && control->isBound(name)) {
        return inSlot(
            [&] {
                return control->getAttribute(py::reinterpret_borrow<py::str>(name)).release().ptr();
            },
            nullptr);
    }
    if (PyObject* found = PyObject_GenericGetAttr(self, name))
        return found;
    if (!control || !PyErr_ExceptionMatches(PyExc_AttributeError) || !PyUnicode_Check(name))
        return nullptr;
    PyErr_Clear();
    return inSlot(
        [&] {
            return control->getAttribute(py::reinterpret_borrow<py::str>(name)).release().ptr();
        },
        nullptr);
}

int setControlAttribute(PyObject* self, PyObject* name, PyObject* value) {
    ControlObject* control = valueOf<ControlObject>(self);
    if (!control || !PyUnicode_Check(name))
        return PyObject_GenericSetAttr(self, name, value);
    if (!value) {
        PyErr_Format(PyExc_AttributeError, "members of a control cannot be deleted ('%U')", name);
        return -1;
    }
    return inSlot(
        [&] {
            control->setAttribute(py::reinterpret_borrow<py::str>(name), value);
            return 0;
        },
        -1);
}

void setUpControlType(PyHeapTypeObject* heapType) {
    makeCollectable<ControlObject>(heapType);
    // Member access straight through the type's slots: a Python-level __getattr__ would
    // first build an AttributeError for every member read.
    heapType->ht_type.tp_getattro = &getControlAttribute;
    heapType->ht_type.tp_setattro = &setControlAttribute;
}

// The Events view of a control: attribute names are event names (any case). A handler
// that keeps the view refers back to the control through it.
struct EventsView {
    py::object control;
    ControlObject& object() const { return control.cast<ControlObject&>(); }
    int traverse(visitproc visit, void* arg) {
        Py_VISIT(control.ptr());
        return 0;
    }
    void clearReferences() { control = py::none(); }
};

}  // namespace

}  // namespace corvane_python

using namespace corvane_python;

PYBIND11_MODULE(_corvane, m) {
    m.doc() =
        "The native half of corvane: controls by name, the message loop, registration, "
        "virtual devices.";

    m.def("_set_error_class", &setErrorClass);
    closeInterpreterGateAtExit();

    py::class_<EventsView>(m, "Events", "The event handlers of one control, by event name.",
                           py::custom_type_setup(&makeCollectable<EventsView>))
        .def("__getattr__", [](const EventsView& view,
                               const std::string& name) { return view.object().handler(name); })
        .def("__setattr__",
             [](EventsView& view, const std::string& name, py::object handler) {
                 view.object().setHandler(name, std::move(handler));
             })
        .def("__delattr__",
             [](EventsView& view, const std::string& name) {
                 view.object().setHandler(name, py::none());
             })
        .def("__dir__", [](const EventsView& view) { return view.object().eventNames(); })
        .def("__repr__",
             [](const EventsView& view) { return "<events of " + view.object().repr() + ">"; });

    py::class_<ControlObject>(m, "Control",
                              "A control created by name; its members are its attributes.",
                              py::custom_type_setup(&setUpControlType))
        .def(py::init<const std::string&>(), py::arg("name"))
        .def("__dir__",
             [](const ControlObject& control) {
                 std::vector<std::string> names = control.memberNames();
                 names.push_back("events");
                 return names;
             })
        .def_property_readonly("__doc__", &ControlObject::documentation)
        .def("__repr__", &ControlObject::repr)
        .def_property_readonly("events",
                               [](py::object self) {
                                   self.cast<ControlObject&>();
                                   return EventsView{self};
                               })
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](ControlObject& control, py::args) { control.release(); })
        .def("_release", &ControlObject::release)
        .def_property_readonly("_released", &ControlObject::released)
        .def("_event_names", &ControlObject::eventNames);

    m.def("pump", &pump, py::arg("timeout") = 0.0,
          "Handles what is ready in the thread's message loop, waiting at most `timeout` "
          "seconds for something; True if anything was handled.");
    m.def("run_until", &runUntil, py::arg("predicate"), py::arg("timeout") = py::none(),
          "Runs the thread's message loop until predicate() is true (True) or `timeout` "
          "seconds have passed (False; None waits for ever).");
    m.def(
        "loop_fd", [] { return platform::MessageLoop::current().fd(); },
        "The thread's message loop as one file descriptor, readable whenever work is "
        "pending: watch it and call pump() when it is.");
    m.def(
        "register",
        [](const std::string& path, bool system) {
            callRegistrationEntry(path, "DllRegisterServer", system);
        },
        py::arg("path"), py::arg("system") = false,
        "Registers the component library at `path` (its DllRegisterServer) for this user, "
        "or with system=True (as root) in the machine-wide registry for all users.");
    m.def(
        "unregister",
        [](const std::string& path, bool system) {
            callRegistrationEntry(path, "DllUnregisterServer", system);
        },
        py::arg("path"), py::arg("system") = false,
        "Removes the registration of the library at `path` from this user's registry, or "
        "with system=True from the machine-wide one.");
    defineSerialPorts(m);
    defineVirtualDevices(m);
    m.def("_release_all", &ControlObject::releaseAllOfThisThread);
    m.def("_loaded_libraries", [] {
        std::vector<std::string> paths;
        for (const auto& path : platform::loadedLibraries())
            paths.push_back(path.string());
        return paths;
    });
}
