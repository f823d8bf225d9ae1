#include "virtual_devices.h"

#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "control_error.h"
#include "interpreter_lock.h"
#include "platform/error.h"
#include "virtual_device/device_server.h"
#include "virtual_device/fault_schedule.h"
#include "virtual_device/line_event.h"

namespace corvane_python {

namespace {

namespace vd = port_control::virtual_device;
using std::chrono::milliseconds;

// Longest single wait, so that Ctrl+C reaches a test blocked on a device.
constexpr milliseconds kSignalCheck{100};

vd::DeviceKind kindNamed(const std::string& name) {
    if (name == "pair")
        return vd::DeviceKind::Pair;
    if (name == "echo")
        return vd::DeviceKind::Echo;
    if (name == "record")
        return vd::DeviceKind::Record;
    if (name == "replay")
        return vd::DeviceKind::Replay;
    throw py::value_error("no virtual device of the kind \"" + name +
                          "\" (pair, echo, record, replay)");
}

// One fault as the schedule's grammar words it without its trigger ("break", "cts down",
// "unplug 2s"): parsed as a schedule line due at once, so both say the same and the parser
// refuses what cannot be applied at a time (the faults that fall on a byte).
vd::Fault faultFromText(const std::string& text) {
    if (text.find_first_of("\r\n#") != std::string::npos)
        throw py::value_error("a fault is one line without comments: \"" + text + "\"");
    vd::FaultSchedule schedule;
    try {
        schedule = vd::FaultSchedule::parse("at 0ms " + text, "inject");
    } catch (const platform::Error& refused) {
        raiseError(refused);
    }
    if (schedule.faults.size() != 1)
        throw py::value_error("no fault in \"" + text + "\"");
    return schedule.faults[0].fault;
}

std::string durationText(milliseconds pause) {
    if (pause.count() % 1000 == 0)
        return std::to_string(pause.count() / 1000) + "s";
    return std::to_string(pause.count()) + "ms";
}

std::string lineName(uint8_t line) {
    switch (line) {
        case vd::lines::kCts:
            return "cts";
        case vd::lines::kDsr:
            return "dsr";
        case vd::lines::kDcd:
            return "dcd";
        case vd::lines::kRing:
            return "ring";
        default:
            return "line " + std::to_string(line);
    }
}

// The fault in the words inject() takes.
std::string faultText(const vd::Fault& fault) {
    using Kind = vd::Fault::Kind;
    switch (fault.kind) {
        case Kind::Corrupt:
            return "corrupt";
        case Kind::Drop:
            return "drop " + std::to_string(fault.count);
        case Kind::Parity:
            return "parity";
        case Kind::Framing:
            return "framing";
        case Kind::Overrun:
            return "overrun";
        case Kind::Break:
            return "break";
        case Kind::LineDown:
            return lineName(fault.line) + " down";
        case Kind::LineUp:
            return lineName(fault.line) + " up";
        case Kind::Unplug:
            return "unplug " + durationText(fault.pause);
    }
    return "?";
}

py::object directionName(const std::optional<vd::Direction>& direction) {
    if (!direction)
        return py::none();
    return py::str(*direction == vd::Direction::Sent ? "sent" : "received");
}

// The status as plain values; corvane/testing makes its dataclasses of them.
py::dict statusFields(const vd::DeviceStatus& status) {
    py::dict fields;
    fields["finished"] = status.finished;
    if (status.mismatch) {
        py::dict mismatch;
        mismatch["offset"] = status.mismatch->offset;
        mismatch["expected"] = py::bytes(status.mismatch->expected);
        mismatch["received"] = py::bytes(status.mismatch->received);
        fields["mismatch"] = mismatch;
    } else {
        fields["mismatch"] = py::none();
    }
    py::list faults;
    for (const vd::AppliedFault& applied : status.faults) {
        py::dict fault;
        fault["fault"] = faultText(applied.fault);
        fault["direction"] = directionName(applied.direction);
        fault["offset"] = applied.offset;
        fault["value"] = applied.value;
        faults.append(fault);
    }
    fields["faults"] = faults;
    return fields;
}

// One device and its thread, until close() or the object goes.
class VirtualDevice {
  public:
    VirtualDevice(const std::string& kind, std::vector<uint16_t> ports, bool pace, bool pty,
                  const std::string& source, const std::optional<std::string>& capture, bool strict,
                  double speed, const std::optional<std::string>& schedule,
                  const std::optional<std::string>& scheduleFile, uint64_t seed) {
        if (!std::isfinite(speed) || speed <= 0)
            throw py::value_error("speed must be a number above 0");
        vd::DeviceOptions options;
        options.kind = kindNamed(kind);
        options.ports = std::move(ports);
        options.pace = pace;
        options.pty = pty;
        options.source = source;
        if (capture)
            options.capture = *capture;
        options.strict = strict;
        options.speed = speed;
        options.seed = seed;
        try {
            if (schedule)
                options.faults = vd::FaultSchedule::parse(*schedule, "faults");
            else if (scheduleFile)
                options.faults = vd::FaultSchedule::read(*scheduleFile);
            // Starting waits for the device's thread to serve (or fail).
            InterpreterLockReleased released;
            m_device = std::make_unique<vd::BackgroundDevice>(std::move(options));
        } catch (const platform::Error& refused) {
            raiseError(refused);
        }
    }
    ~VirtualDevice() { close(); }
    VirtualDevice(const VirtualDevice&) = delete;
    VirtualDevice& operator=(const VirtualDevice&) = delete;

    // Stops the device and its thread: its connections close and its ports are free again.
    void close() {
        if (!m_device)
            return;
        std::unique_ptr<vd::BackgroundDevice> device = std::move(m_device);
        InterpreterLockReleased released;
        device.reset();
    }
    bool closed() const { return m_device == nullptr; }

    std::vector<std::string> addresses() const { return device().addresses(); }
    std::vector<std::string> terminals() const {
        std::vector<std::string> paths;
        for (const std::filesystem::path& path : device().terminals())
            paths.push_back(path.string());
        return paths;
    }

    void inject(const std::string& text) {
        const vd::Fault fault = faultFromText(text);
        vd::BackgroundDevice& target = device();
        try {
            InterpreterLockReleased released;
            target.inject(fault);
        } catch (const platform::Error& refused) {
            raiseError(refused);
        }
    }

    py::dict status() const {
        vd::DeviceStatus status;
        {
            InterpreterLockReleased released;
            status = device().status();
        }
        return statusFields(status);
    }

    // Waits in short steps with the lock free, so that Ctrl+C ends the wait.
    bool waitFinished(double timeout) const {
        if (std::isnan(timeout) || timeout < 0)
            throw py::value_error("timeout must be a number of seconds, 0 or more");
        const vd::BackgroundDevice& target = device();
        const auto deadline =
            std::chrono::steady_clock::now() +
            milliseconds(static_cast<int64_t>(std::min(std::ceil(timeout * 1000.0), 1e12)));
        for (;;) {
            const auto left = std::chrono::duration_cast<milliseconds>(
                deadline - std::chrono::steady_clock::now());
            bool finished;
            {
                InterpreterLockReleased released;
                finished = target.waitFinished(std::clamp(left, milliseconds(0), kSignalCheck));
            }
            if (finished)
                return true;
            if (left <= kSignalCheck)
                return false;
            if (PyErr_CheckSignals() != 0)
                throw py::error_already_set();
        }
    }

  private:
    vd::BackgroundDevice& device() const {
        if (!m_device)
            throw std::runtime_error("the virtual device is closed");
        return *m_device;
    }

    std::unique_ptr<vd::BackgroundDevice> m_device;
};

}  // namespace

void defineVirtualDevices(py::module_& module) {
    py::class_<VirtualDevice>(module, "_VirtualDevice",
                              "A virtual serial device on a thread of its own (corvane.testing).")
        .def(py::init<const std::string&, std::vector<uint16_t>, bool, bool, const std::string&,
                      const std::optional<std::string>&, bool, double,
                      const std::optional<std::string>&, const std::optional<std::string>&,
                      uint64_t>(),
             py::arg("kind"), py::kw_only(), py::arg("ports") = std::vector<uint16_t>{},
             py::arg("pace") = true, py::arg("pty") = false, py::arg("source") = "",
             py::arg("capture") = py::none(), py::arg("strict") = false, py::arg("speed") = 1.0,
             py::arg("schedule") = py::none(), py::arg("schedule_file") = py::none(),
             py::arg("seed") = 0)
        .def("close", &VirtualDevice::close)
        .def_property_readonly("closed", &VirtualDevice::closed)
        .def_property_readonly("addresses", &VirtualDevice::addresses)
        .def_property_readonly("terminals", &VirtualDevice::terminals)
        .def("inject", &VirtualDevice::inject, py::arg("fault"))
        .def("status", &VirtualDevice::status)
        .def("wait_finished", &VirtualDevice::waitFinished, py::arg("timeout"));
}

}  // namespace corvane_python
