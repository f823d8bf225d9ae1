#include "serial_ports.h"

#include <pybind11/stl.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "collectable.h"
#include "control_error.h"
#include "interpreter_lock.h"
#include "platform/serial_devices.h"
#include "platform/utf8.h"

namespace corvane_python {

namespace {

// The fields of corvane.Port, by their Python names.
py::dict fieldsOf(const platform::SerialPortDescription& port) {
    py::dict fields;
    fields["device"] = port.device;
    fields["by_id"] = port.byId;
    fields["by_path"] = port.byPath;
    fields["driver"] = port.driver;
    fields["vendor_id"] = port.vendorId;
    fields["product_id"] = port.productId;
    fields["manufacturer"] = port.manufacturer;
    fields["product"] = port.product;
    fields["serial_number"] = port.serialNumber;
    fields["interface_number"] = port.interfaceNumber;
    fields["network"] = port.network;
    fields["port_number"] =
        port.portNumber > 0 ? py::object(py::int_(port.portNumber)) : py::none();
    fields["stable_name"] = port.stableName();
    fields["description"] = port.description();
    return fields;
}

// Why the port map was refused, as "error N: description", or None.
py::object refusalText(const std::optional<platform::Error>& refusal) {
    if (!refusal)
        return py::none();
    return py::str("error " + std::to_string(refusal->number()) + ": " +
                   platform::toUtf8(refusal->description()));
}

// The ports, and why the port map was refused (None when it was not).
py::tuple listPorts() {
    std::vector<platform::SerialPortDescription> ports;
    std::optional<platform::Error> refusal;
    try {
        InterpreterLockReleased released;
        ports = platform::listSerialPorts(refusal);
    } catch (const platform::Error& error) {
        raiseError(error);
    }
    py::list list;
    for (const platform::SerialPortDescription& port : ports)
        list.append(fieldsOf(port));
    return py::make_tuple(list, refusalText(refusal));
}

// A platform watch calling a Python callable with ("arrived" | "left", fields) on the loop
// of the thread that made it, until stop().
class PortWatch {
  public:
    explicit PortWatch(py::function callback)
        : m_owner(std::this_thread::get_id()),
          m_callback(std::make_shared<py::object>(std::move(callback))) {
        try {
            m_watch = std::make_unique<platform::SerialPortWatch>(
                [callback = m_callback](platform::SerialPortWatch::Change change,
                                        const platform::SerialPortDescription& port) {
                    InterpreterLockTaken lock;
                    // The callback may stop the watch, which destroys this closure: only
                    // the local copy is used from here on (and dropped under the GIL).
                    // NOLINTNEXTLINE(performance-unnecessary-copy-initialization)
                    const std::shared_ptr<py::object> keep = callback;
                    deliver(*keep, change, port);
                });
        } catch (const platform::Error& error) {
            raiseError(error);
        }
    }
    ~PortWatch() {
        if (std::this_thread::get_id() != m_owner) {
            // The platform watch belongs to its thread's loop: from here it is left alone
            // (its callback stays alive with it) rather than torn down from the wrong thread.
            static_cast<void>(m_watch.release());
        }
    }
    PortWatch(const PortWatch&) = delete;
    PortWatch& operator=(const PortWatch&) = delete;

    void stop() {
        if (std::this_thread::get_id() != m_owner)
            throw std::runtime_error("a port watch is stopped on the thread that started it");
        m_watch.reset();
    }
    bool active() const { return m_watch != nullptr; }
    py::object portMapRefusal() const {
        return m_watch ? refusalText(m_watch->portMapRefusal()) : py::none();
    }

    // For the cyclic garbage collector: the callback may refer back to this watch. The
    // platform watch's closure shares the one reference, emptied by a clear.
    int traverse(visitproc visit, void* arg) {
        Py_VISIT(m_callback->ptr());
        return 0;
    }
    void clearReferences() { *m_callback = py::object(); }

  private:
    static void deliver(const py::object& shared, platform::SerialPortWatch::Change change,
                        const platform::SerialPortDescription& port) {
        // Held here: the collector may clear the shared one while the callback runs.
        // NOLINTNEXTLINE(performance-unnecessary-copy-initialization)
        const py::object callback = shared;
        if (!callback)
            return;
        try {
            callback(change == platform::SerialPortWatch::Change::Arrived ? "arrived" : "left",
                     fieldsOf(port));
        } catch (py::error_already_set& error) {
            if (error.matches(PyExc_Exception))
                reportHandlerException(error, "the watch_ports callback");
            else
                setPendingInterrupt(std::move(error));
        } catch (const std::exception& error) {
            std::fprintf(stderr, "corvane: exception in the watch_ports callback: %s\n",
                         error.what());
        }
    }

    std::thread::id m_owner;
    std::shared_ptr<py::object> m_callback;
    std::unique_ptr<platform::SerialPortWatch> m_watch;
};

}  // namespace

void defineSerialPorts(py::module_& module) {
    module.def("_ports", &listPorts);
    py::class_<PortWatch>(module, "_PortWatch", py::custom_type_setup(&makeCollectable<PortWatch>))
        .def(py::init<py::function>(), py::arg("callback"))
        .def("stop", &PortWatch::stop)
        .def_property_readonly("active", &PortWatch::active)
        .def_property_readonly("port_map_refusal", &PortWatch::portMapRefusal);
}

}  // namespace corvane_python
