#include "platform/serial_devices.h"

#include <algorithm>

#include "udev_serial_port.h"

namespace platform {

const std::string& SerialPortDescription::stableName() const {
    if (!byId.empty())
        return byId;
    if (!byPath.empty())
        return byPath;
    return device;
}

std::string SerialPortDescription::description() const {
    if (!product.empty() && !manufacturer.empty())
        return product + " (" + manufacturer + ")";
    if (!product.empty())
        return product;
    if (!manufacturer.empty())
        return manufacturer;
    if (!driver.empty())
        return driver;
    return device;
}

std::optional<std::vector<PortMapEntry>> usablePortMapEntries(std::optional<Error>& refusal) {
    try {
        return portMapEntries();
    } catch (const Error& error) {
        refusal = error;
        return std::nullopt;
    }
}

std::vector<SerialPortDescription> listSerialPorts() {
    std::optional<Error> ignored;
    return listSerialPorts(ignored);
}

std::vector<SerialPortDescription> listSerialPorts(std::optional<Error>& portMapRefusal) {
    portMapRefusal.reset();
    const std::optional<std::vector<PortMapEntry>> entries = usablePortMapEntries(portMapRefusal);
    UdevContext context = openUdev();
    std::vector<SerialPortDescription> ports =
        entries ? networkSerialPorts(*entries) : std::vector<SerialPortDescription>{};
    for (UdevSerialPort& port : presentSerialPorts(context.get())) {
        if (entries)
            assignPortNumber(port, *entries);
        ports.push_back(std::move(port.description));
    }
    std::sort(ports.begin(), ports.end(),
              [](const SerialPortDescription& a, const SerialPortDescription& b) {
                  return a.device < b.device;
              });
    return ports;
}

}  // namespace platform
