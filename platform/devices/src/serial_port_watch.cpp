#include <cerrno>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "platform/error.h"
#include "platform/fd_watch.h"
#include "platform/serial_devices.h"
#include "udev_serial_port.h"

namespace platform {
namespace {

// The map's entries for a port arriving: a map that cannot be read now leaves its number
// 0 rather than losing the news of its arrival.
std::vector<PortMapEntry> entriesForArrival() {
    try {
        return portMapEntries();
    } catch (const Error&) {
        return {};
    }
}

}  // namespace

struct SerialPortWatch::Monitor {
    Callback callback;
    UdevContext context;
    UdevMonitor monitor;
    std::map<std::string, SerialPortDescription> present;  // by syspath
    FdWatch watch;

    Monitor(Callback callback, MessageLoop& loop);
    void onReadable();
    // What the event means for the list of ports, if anything.
    std::optional<std::pair<Change, SerialPortDescription>> apply(udev_device* device);
};

SerialPortWatch::Monitor::Monitor(Callback callback, MessageLoop& loop)
    : callback(std::move(callback)), context(openUdev()) {
    errno = 0;
    monitor.reset(udev_monitor_new_from_netlink(context.get(), "udev"));
    if (!monitor)
        throwUdevFailure(u"の通知を受け取れません", errno != 0 ? errno : ENOMEM);
    int result = udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "tty", nullptr);
    if (result >= 0)
        result = udev_monitor_enable_receiving(monitor.get());
    if (result < 0)
        throwUdevFailure(u"の通知を受け取れません", -result);
    // Listed after the monitor is receiving, so that nothing arrives unseen in between.
    const std::vector<PortMapEntry> entries = portMapEntries();
    for (UdevSerialPort& port : presentSerialPorts(context.get())) {
        assignPortNumber(port, entries);
        present[port.syspath] = std::move(port.description);
    }
    watch = FdWatch(
        udev_monitor_get_fd(monitor.get()), MessageLoop::kReadable,
        [this](uint32_t) { onReadable(); }, loop);
}

std::optional<std::pair<SerialPortWatch::Change, SerialPortDescription>>
SerialPortWatch::Monitor::apply(udev_device* device) {
    const char* action = udev_device_get_action(device);
    const char* syspath = udev_device_get_syspath(device);
    if (!action || !syspath)
        return std::nullopt;
    const std::string_view what(action);
    if (what == "remove") {
        auto known = present.find(syspath);
        if (known == present.end())
            return std::nullopt;
        SerialPortDescription left = std::move(known->second);
        present.erase(known);
        return std::pair{Change::Left, std::move(left)};
    }
    if (what != "add")
        return std::nullopt;
    std::optional<UdevSerialPort> port = describeSerialPort(device);
    if (!port)
        return std::nullopt;
    assignPortNumber(*port, entriesForArrival());
    auto [known, inserted] = present.try_emplace(port->syspath, port->description);
    // Seen already in the list taken at the start: no news.
    if (!inserted && known->second == port->description)
        return std::nullopt;
    known->second = port->description;
    return std::pair{Change::Arrived, std::move(port->description)};
}

void SerialPortWatch::Monitor::onReadable() {
    // One event a call: the watch is level-triggered, so a burst of events shares the loop
    // with everything else.
    UdevDevice device(udev_monitor_receive_device(monitor.get()));
    if (!device)
        return;
    auto change = apply(device.get());
    device.reset();
    if (!change)
        return;
    // The callback may destroy the watch, and with it this object and `callback`.
    Callback call = callback;
    call(change->first, change->second);
}

SerialPortWatch::SerialPortWatch(Callback callback, MessageLoop& loop)
    : m_monitor(std::make_unique<Monitor>(std::move(callback), loop)) {}

SerialPortWatch::~SerialPortWatch() = default;

}  // namespace platform
