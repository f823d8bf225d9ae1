#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/fd_watch.h"
#include "platform/serial_devices.h"
#include "udev_serial_port.h"

namespace platform {
namespace {

// The ports present now by syspath, numbered from the map unless it is refused: a map that
// cannot be read leaves their numbers 0 rather than losing the news of them.
std::map<std::string, SerialPortDescription> presentPorts(udev* context,
                                                          std::optional<Error>& mapRefusal) {
    const std::optional<std::vector<PortMapEntry>> entries = usablePortMapEntries(mapRefusal);
    std::map<std::string, SerialPortDescription> ports;
    for (UdevSerialPort& port : presentSerialPorts(context)) {
        if (entries)
            assignPortNumber(port, *entries);
        ports[port.syspath] = std::move(port.description);
    }
    return ports;
}

// The monitor socket's receive buffer: a few hundred events.
constexpr int kReceiveBufferSize = 4 * 1024 * 1024;

}  // namespace

struct CORVANE_PLATFORM_NO_EXPORT SerialPortWatch::Monitor {
    Callback callback;
    UdevContext context;
    UdevMonitor monitor;
    std::map<std::string, SerialPortDescription> present;  // by syspath
    std::optional<Error> mapRefusal;                       // when the watch started
    FdWatch watch;
    // False once this object is gone: a callback may end the watch among several changes.
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);

    Monitor(Callback callback, MessageLoop& loop);
    ~Monitor() { *alive = false; }
    void onReadable();
    // What the event means for the list of ports, if anything.
    std::optional<std::pair<Change, SerialPortDescription>> apply(udev_device* device);
    // The ports present now against those known: what left and what arrived unseen (events
    // the kernel dropped when the socket's buffer was full).
    std::vector<std::pair<Change, SerialPortDescription>> rescan();
};

SerialPortWatch::Monitor::Monitor(Callback callback, MessageLoop& loop)
    : callback(std::move(callback)), context(openUdev()) {
    errno = 0;
    monitor.reset(udev_monitor_new_from_netlink(context.get(), "udev"));
    if (!monitor)
        throwUdevFailure(u"の通知を受け取れません", errno != 0 ? errno : ENOMEM);
    // Room for a burst (a hub with many adapters); what still overflows is found by a rescan.
    // A smaller buffer than asked for (an unprivileged user's limit) still works.
    udev_monitor_set_receive_buffer_size(monitor.get(), kReceiveBufferSize);
    int result = udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "tty", nullptr);
    if (result >= 0)
        result = udev_monitor_enable_receiving(monitor.get());
    if (result < 0)
        throwUdevFailure(u"の通知を受け取れません", -result);
    // Listed after the monitor is receiving, so that nothing arrives unseen in between.
    present = presentPorts(context.get(), mapRefusal);
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
    // A by-id name another present port has too (a shared serial number) names neither.
    const std::string byId = port->description.byId;
    bool shared = false;
    for (auto& [syspath, known] : present) {
        if (!byId.empty() && syspath != port->syspath && known.byId == byId) {
            known.byId.clear();
            shared = true;
        }
    }
    if (shared)
        forgetById(*port);
    std::optional<Error> refusal;
    if (const auto entries = usablePortMapEntries(refusal))
        assignPortNumber(*port, *entries);
    auto [known, inserted] = present.try_emplace(port->syspath, port->description);
    // A port known already (from the list taken at the start, or announced again as
    // `udevadm trigger` makes udev do): no news, only what it now says of itself.
    if (!inserted) {
        known->second = std::move(port->description);
        return std::nullopt;
    }
    return std::pair{Change::Arrived, std::move(port->description)};
}

std::vector<std::pair<SerialPortWatch::Change, SerialPortDescription>>
SerialPortWatch::Monitor::rescan() {
    std::optional<Error> refusal;
    std::map<std::string, SerialPortDescription> now = presentPorts(context.get(), refusal);
    // Another device where one was (both its leaving and the other's arrival lost) is a
    // change too.
    const auto sameDevice = [](const SerialPortDescription& a, const SerialPortDescription& b) {
        return a.device == b.device && a.byId == b.byId && a.serialNumber == b.serialNumber &&
               a.vendorId == b.vendorId && a.productId == b.productId;
    };
    std::vector<std::pair<Change, SerialPortDescription>> changes;
    std::vector<SerialPortDescription> arrived;
    for (const auto& [syspath, port] : now) {
        const auto known = present.find(syspath);
        if (known != present.end() && sameDevice(known->second, port))
            continue;
        if (known != present.end())
            changes.emplace_back(Change::Left, known->second);
        arrived.push_back(port);
    }
    for (const auto& [syspath, port] : present) {
        if (!now.contains(syspath))
            changes.emplace_back(Change::Left, port);
    }
    for (SerialPortDescription& port : arrived)
        changes.emplace_back(Change::Arrived, std::move(port));
    present = std::move(now);
    return changes;
}

void SerialPortWatch::Monitor::onReadable() {
    // One event a call: the watch is level-triggered, so a burst of events shares the loop
    // with everything else.
    errno = 0;
    UdevDevice device(udev_monitor_receive_device(monitor.get()));
    if (!device && errno == ENOBUFS) {
        // Events were lost: the list is taken again, and only its differences reported.
        std::vector<std::pair<Change, SerialPortDescription>> changes;
        try {
            changes = rescan();
        } catch (const Error&) {
            return;  // udev cannot list now; the next event is still seen
        }
        Callback call = callback;
        const std::shared_ptr<bool> stillAlive = alive;
        for (const auto& [change, port] : changes) {
            if (!*stillAlive)
                return;
            call(change, port);
        }
        return;
    }
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

const std::optional<Error>& SerialPortWatch::portMapRefusal() const {
    return m_monitor->mapRefusal;
}

}  // namespace platform
