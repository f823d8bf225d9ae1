// The machine's serial ports as udev describes them, and a watch of them coming and going.
//
// A port is a device of the tty subsystem that a user can open as a serial line: a USB
// adapter, a UART on the board or a card. Pseudo-terminals, virtual consoles and legacy
// ttyS nodes with no UART behind them are no ports. The port map's network entries
// ("5=rfc2217://host:port") are listed too, as network ports, without connecting to them.
// Text is UTF-8 as udev gives it; a field udev does not know is empty.
#pragma once

#include "platform/language_standard.h"
#include "platform/platform_export.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/message_loop.h"

namespace platform {

// Frozen: a value type programs compile in; a change to its members needs a new SONAME.
struct CORVANE_PLATFORM_EXPORT SerialPortDescription {
    std::string device;        // "/dev/ttyUSB0", or "rfc2217://host:port" for a network port
    std::string byId;          // "/dev/serial/by-id/usb-FTDI_...-if00-port0", where udev made one
    std::string byPath;        // "/dev/serial/by-path/...", where udev made one
    std::string driver;        // "ftdi_sio", "cp210x", "serial" ...
    std::string vendorId;      // USB adapters: four lower-case hex digits, "0403"
    std::string productId;     // USB adapters: "6001"
    std::string manufacturer;  // USB adapters: "FTDI"
    std::string product;       // USB adapters: "FT232R USB UART"; else udev's model name
    std::string serialNumber;  // USB adapters that have one
    std::string interfaceNumber;  // USB adapters: "00", "01" ...
    bool network = false;         // a port map entry naming a network serial server
    int portNumber = 0;           // the number that opens this port (map or fallback), 0: none

    // The name a port map entry should use: the by-id name, else the by-path name, else the
    // device itself.
    const std::string& stableName() const;
    // One line for people: "FT232R USB UART (FTDI)", the driver's name when nothing better.
    std::string description() const;

    bool operator==(const SerialPortDescription&) const = default;
};

// The ports now present, in device order. A port's number is the lowest of the port map's
// entries naming it by its node, by one of its links (/dev/serial/by-id/...) or by a path
// that leads to the same file. A port map that is refused (port_map.h: another user's, one
// others may write, a link) hides no port: the ports are listed without numbers (0) and
// without the map's network ports, since no number opens a port until the map is put
// right; `portMapRefusal` then says why, for the caller to tell its user once. Errors are
// platform errors (a number and a description): 68 when udev cannot be reached.
CORVANE_PLATFORM_EXPORT std::vector<SerialPortDescription> listSerialPorts(
    std::optional<Error>& portMapRefusal);
CORVANE_PLATFORM_EXPORT std::vector<SerialPortDescription> listSerialPorts();

// Reports ports arriving and leaving on `loop`, from a udev monitor (no polling), until it
// is destroyed. The callback runs on the loop's thread and may destroy the watch. A leaving
// port is described as it was when it arrived (or when the watch started). A port arriving
// while the port map cannot be read is reported with number 0; a map refused when the watch
// starts is reported by portMapRefusal(), and its ports are numbered 0. A port udev announces again
// while it stays (`udevadm trigger`) is no news. When the kernel drops events (a burst the
// monitor's 4 MiB buffer cannot hold), the ports are listed again and only the differences
// are reported. Errors (when starting) are platform errors, as for listSerialPorts().
class CORVANE_PLATFORM_EXPORT SerialPortWatch {
  public:
    enum class Change { Arrived, Left };
    using Callback = std::function<void(Change, const SerialPortDescription&)>;

    explicit SerialPortWatch(Callback callback, MessageLoop& loop = MessageLoop::current());
    ~SerialPortWatch();
    SerialPortWatch(const SerialPortWatch&) = delete;
    SerialPortWatch& operator=(const SerialPortWatch&) = delete;

    // Why the port map was refused when the watch started, if it was.
    const std::optional<Error>& portMapRefusal() const;

  private:
    struct Monitor;
    std::unique_ptr<Monitor> m_monitor;
};

}  // namespace platform
