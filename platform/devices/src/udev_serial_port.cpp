#include "udev_serial_port.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <string_view>

#include "platform/utf8.h"

namespace platform {
namespace {

constexpr std::string_view kById = "/dev/serial/by-id/";
constexpr std::string_view kByPath = "/dev/serial/by-path/";
constexpr std::string_view kNetworkScheme = "rfc2217://";

// Text from udev as well-formed UTF-8 (its values come from devices and the kernel).
std::string text(const char* value) {
    return value ? toUtf8(fromUtf8(value)) : std::string();
}

std::string property(udev_device* device, const char* name) {
    return text(udev_device_get_property_value(device, name));
}

std::string lowerCase(std::string value) {
    for (char& c : value)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return value;
}

// `value` without the blanks a device may pad its strings with.
std::string withoutBlanks(std::string value) {
    const size_t first = value.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return value.substr(first, value.find_last_not_of(" \t") - first + 1);
}

// The device's own string (the *_ENC property, decoded), unless it is only the device's
// hexadecimal `identifier` (what udev puts there for a device without a string of its own);
// then the name from udev's hardware database; else udev's plain value (blanks made '_').
// Without the blanks around it.
std::string firstProperty(udev_device* device, const char* encoded, const char* fromDatabase,
                          const char* plain, const std::string& identifier) {
    std::string own;
    if (const char* value = udev_device_get_property_value(device, encoded); value && *value)
        own = withoutBlanks(text(decodeUdevEscapes(value).c_str()));
    if (!own.empty() && (identifier.empty() || lowerCase(own) != identifier))
        return own;
    if (std::string named = withoutBlanks(property(device, fromDatabase)); !named.empty())
        return named;
    if (!own.empty())
        return own;
    return withoutBlanks(property(device, plain));
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A UART slot the serial core found nothing in: the legacy ttyS0..ttyS31 the 8250 driver
// registers whether or not a UART answers there (PORT_UNKNOWN).
bool isEmptyUartSlot(udev_device* device) {
    const char* type = udev_device_get_sysattr_value(device, "type");
    return type && std::string_view(type) == "0";
}

// The device a port's driver is bound to. Since Linux 6.5 the serial core puts its own
// "serial-base" controller and port devices (driver names "ctrl" and "port") between a UART's
// tty and the hardware; they say nothing about what the port is.
udev_device* hardwareOf(udev_device* parent) {
    udev_device* hardware = parent;
    while (hardware) {
        const char* subsystem = udev_device_get_subsystem(hardware);
        if (!subsystem || std::string_view(subsystem) != "serial-base")
            return hardware;
        hardware = udev_device_get_parent(hardware);  // owned by the child
    }
    return parent;
}

// True if `a` and `b` lead to the same file, or to nodes of the same character device.
// A path that leads nowhere (absent, a loop, a dangling link) names nothing.
bool sameFile(const char* a, const char* b) {
    struct stat first = {};
    struct stat second = {};
    if (::stat(a, &first) != 0 || ::stat(b, &second) != 0)
        return false;
    if (first.st_dev == second.st_dev && first.st_ino == second.st_ino)
        return true;
    return S_ISCHR(first.st_mode) && S_ISCHR(second.st_mode) && first.st_rdev == second.st_rdev;
}

void addName(UdevSerialPort& port, std::string_view name) {
    if (name.empty() || std::find(port.names.begin(), port.names.end(), name) != port.names.end())
        return;
    port.names.emplace_back(name);
    SerialPortDescription& description = port.description;
    if (description.byId.empty() && name.starts_with(kById) && name.size() > kById.size())
        description.byId = text(std::string(name).c_str());
    else if (description.byPath.empty() && name.starts_with(kByPath) &&
             name.size() > kByPath.size())
        description.byPath = text(std::string(name).c_str());
}

// The links udev made: from its database, and from the event's DEVLINKS (a device from
// the monitor, or one whose database entry lacks them).
void addLinks(UdevSerialPort& port, udev_device* device) {
    for (udev_list_entry* link = udev_device_get_devlinks_list_entry(device); link;
         link = udev_list_entry_get_next(link)) {
        if (const char* name = udev_list_entry_get_name(link))
            addName(port, name);
    }
    const char* links = udev_device_get_property_value(device, "DEVLINKS");
    std::string_view rest(links ? links : "");
    while (!rest.empty()) {
        const size_t space = rest.find(' ');
        addName(port, rest.substr(0, space));
        rest.remove_prefix(space == std::string_view::npos ? rest.size() : space + 1);
    }
}

// The number that opens `device` without an entry of its own: port n opens /dev/ttyS<n-1>
// when the map names no device for n (1 to 255, as CommPort takes them); 0 for any other.
int fallbackPortNumber(const std::string& device, const std::vector<PortMapEntry>& entries) {
    constexpr std::string_view kLegacyNode = "/dev/ttyS";
    if (!device.starts_with(kLegacyNode) || device.size() == kLegacyNode.size() ||
        device.size() > kLegacyNode.size() + 3)
        return 0;
    int number = 0;
    for (const char c : std::string_view(device).substr(kLegacyNode.size())) {
        if (c < '0' || c > '9')
            return 0;
        number = number * 10 + (c - '0');
    }
    const int port = number + 1;
    if (port > 255 || (device[kLegacyNode.size()] == '0' && number != 0))
        return 0;
    for (const PortMapEntry& entry : entries) {
        if (entry.port == port)
            return 0;
    }
    return port;
}

}  // namespace

std::string decodeUdevEscapes(const std::string& encoded) {
    std::string decoded;
    decoded.reserve(encoded.size());
    for (size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] == '\\' && i + 3 < encoded.size() && encoded[i + 1] == 'x') {
            const int high = hexDigit(encoded[i + 2]);
            const int low = hexDigit(encoded[i + 3]);
            const int byte = high * 16 + low;
            if (high >= 0 && low >= 0 && byte >= 0x20 && byte < 0x7f) {
                decoded += static_cast<char>(byte);
                i += 3;
                continue;
            }
        }
        decoded += encoded[i];
    }
    return decoded;
}

std::optional<UdevSerialPort> describeSerialPort(udev_device* device) {
    const char* node = udev_device_get_devnode(device);
    const char* syspath = udev_device_get_syspath(device);
    udev_device* parent = udev_device_get_parent(device);  // owned by `device`
    if (!node || !syspath || !parent || isEmptyUartSlot(device))
        return std::nullopt;

    UdevSerialPort port;
    port.syspath = syspath;
    port.names.emplace_back(node);
    SerialPortDescription& description = port.description;
    description.device = text(node);
    addLinks(port, device);
    description.driver = text(udev_device_get_driver(hardwareOf(parent)));
    if (description.driver.empty())
        description.driver = property(device, "ID_USB_DRIVER");
    description.vendorId = lowerCase(property(device, "ID_VENDOR_ID"));
    description.productId = lowerCase(property(device, "ID_MODEL_ID"));
    description.manufacturer = firstProperty(device, "ID_VENDOR_ENC", "ID_VENDOR_FROM_DATABASE",
                                             "ID_VENDOR", description.vendorId);
    description.product = firstProperty(device, "ID_MODEL_ENC", "ID_MODEL_FROM_DATABASE",
                                        "ID_MODEL", description.productId);
    description.serialNumber = property(device, "ID_SERIAL_SHORT");
    description.interfaceNumber = property(device, "ID_USB_INTERFACE_NUM");
    return port;
}

void forgetById(UdevSerialPort& port) {
    if (port.description.byId.empty())
        return;
    std::erase_if(port.names, [&](const std::string& name) {
        return name.starts_with(kById) && text(name.c_str()) == port.description.byId;
    });
    port.description.byId.clear();
}

std::vector<UdevSerialPort> presentSerialPorts(udev* context) {
    UdevEnumerate enumerate(udev_enumerate_new(context));
    if (!enumerate)
        throwUdevFailure(u"で機器を列挙できません", ENOMEM);
    int result = udev_enumerate_add_match_subsystem(enumerate.get(), "tty");
    if (result >= 0)
        result = udev_enumerate_scan_devices(enumerate.get());
    if (result < 0)
        throwUdevFailure(u"で機器を列挙できません", -result);

    std::vector<UdevSerialPort> ports;
    for (udev_list_entry* entry = udev_enumerate_get_list_entry(enumerate.get()); entry;
         entry = udev_list_entry_get_next(entry)) {
        // A device that left since the scan has no entry any more: it is simply not listed.
        UdevDevice device(udev_device_new_from_syspath(context, udev_list_entry_get_name(entry)));
        if (!device)
            continue;
        if (auto port = describeSerialPort(device.get()))
            ports.push_back(std::move(*port));
    }
    std::map<std::string, int> sharing;
    for (const UdevSerialPort& port : ports) {
        if (!port.description.byId.empty())
            ++sharing[port.description.byId];
    }
    for (UdevSerialPort& port : ports) {
        if (!port.description.byId.empty() && sharing[port.description.byId] > 1)
            forgetById(port);
    }
    return ports;
}

void assignPortNumber(UdevSerialPort& port, const std::vector<PortMapEntry>& entries) {
    port.description.portNumber = 0;
    for (const PortMapEntry& entry : entries) {
        if (port.description.portNumber != 0 && port.description.portNumber < entry.port)
            continue;
        if (entry.device.native().starts_with(kNetworkScheme))
            continue;
        const std::string written = entry.device.lexically_normal().native();
        const bool names =
            std::find(port.names.begin(), port.names.end(), written) != port.names.end() ||
            sameFile(written.c_str(), port.names.front().c_str());
        if (names)
            port.description.portNumber = entry.port;
    }
    if (port.description.portNumber == 0)
        port.description.portNumber = fallbackPortNumber(port.description.device, entries);
}

std::vector<SerialPortDescription> networkSerialPorts(const std::vector<PortMapEntry>& entries) {
    std::vector<SerialPortDescription> ports;
    for (const PortMapEntry& entry : entries) {
        if (!entry.device.native().starts_with(kNetworkScheme))
            continue;
        SerialPortDescription port;
        port.device = text(entry.device.c_str());
        port.network = true;
        port.portNumber = entry.port;
        ports.push_back(std::move(port));
    }
    return ports;
}

}  // namespace platform
