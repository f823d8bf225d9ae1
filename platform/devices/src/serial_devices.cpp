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

std::vector<SerialPortDescription> listSerialPorts() {
    const std::vector<PortMapEntry> entries = portMapEntries();
    UdevContext context = openUdev();
    std::vector<SerialPortDescription> ports = networkSerialPorts(entries);
    for (UdevSerialPort& port : presentSerialPorts(context.get())) {
        assignPortNumber(port, entries);
        ports.push_back(std::move(port.description));
    }
    std::sort(ports.begin(), ports.end(),
              [](const SerialPortDescription& a, const SerialPortDescription& b) {
                  return a.device < b.device;
              });
    return ports;
}

}  // namespace platform
