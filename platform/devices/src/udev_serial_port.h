// One tty device as udev describes it, when it is a serial port, and the port map's number
// for it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/port_map.h"
#include "platform/serial_devices.h"
#include "udev_handles.h"

namespace platform {

struct UdevSerialPort {
    std::string syspath;             // the device's key while it is present
    std::vector<std::string> names;  // its node and every link udev made to it
    SerialPortDescription description;
};

// `device` described, or none when it is no serial port: no node, no parent device (a
// pseudo-terminal or virtual console), or a UART slot with no UART behind it (type 0).
std::optional<UdevSerialPort> describeSerialPort(udev_device* device);

// The tty devices present that are serial ports. Adapters that share a serial number
// (cheap ones often do) share a by-id name, which udev points at one of them only: that
// name is forgotten for each of them (forgetById), so that each keeps names of its own.
std::vector<UdevSerialPort> presentSerialPorts(udev* context);

// Drops the port's by-id name, from its names too: it may lead to another device.
void forgetById(UdevSerialPort& port);

// Sets the port's number to the lowest of the map's entries that names it: by its node or
// one of its links as written, or by a path that resolves to the same file. Without one, a
// legacy /dev/ttyS<n> gets n + 1 when the map names nothing for that number, as that
// number opens it.
void assignPortNumber(UdevSerialPort& port, const std::vector<PortMapEntry>& entries);

// The port map's entries; none, with `refusal` set to why, when the map is refused (another
// user's, one others may write, a link ...): ports are then listed without numbers, as no
// number opens a port until the map is put right.
std::optional<std::vector<PortMapEntry>> usablePortMapEntries(std::optional<Error>& refusal);

// The map's network entries as ports.
std::vector<SerialPortDescription> networkSerialPorts(const std::vector<PortMapEntry>& entries);

// udev's "\xNN" escapes of a *_ENC value decoded where they stand for a printable
// character; anything else stays as written.
std::string decodeUdevEscapes(const std::string& encoded);

}  // namespace platform
