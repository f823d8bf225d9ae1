// The per-user serial port map: which device a port number opens.
//
// The map is the text file `<userDataDirectory()>/ports`, one entry a line as
// "3=/dev/ttyUSB0" (blanks around the number and the path are ignored; a path without a
// leading '/' is taken under /dev; one with a scheme, "5=rfc2217://host:port", names a port
// on a network serial server and is returned as written). Lines starting with '#' are
// comments; lines that are no entry are ignored; the first entry for a number is the one
// used. A port without an entry opens /dev/ttyS<n-1>, as port 1 is the first serial device.
// A missing map is an empty one.
//
// A USB adapter's node (/dev/ttyUSB0) depends on the order adapters were plugged in; name
// it by the link udev keeps for it instead, "3=/dev/serial/by-id/usb-FTDI_..._A1B2C3-if00-port0"
// (or /dev/serial/by-path/...), and the number follows the adapter whichever node it gets.
// listSerialPorts() (serial_devices.h) gives each port's stable name.
//
// The map says where a port's traffic goes (a network server's address, say), so only the
// user may change it: the folder is made 0700 and the file written 0600, and a map that is
// not the user's own regular file (a link is not), or that a group or other users may
// write, is refused with error 70 naming it (75 and the like, naming it, when it cannot be
// read).
//
// A process may use a map of its own instead: $CORVANE_PLATFORM_PORT_MAP, an absolute path,
// names the map file (a relative or empty one is ignored, as is the variable in a program
// with more rights than its user, set-user-ID). It is read on every call, so setting it while
// the program runs takes effect at once; the checks above apply to that file and its folder
// alike. Tests and corvane.testing map virtual devices there without touching the user's map.
#pragma once

#include "platform/language_standard.h"
#include "platform/platform_export.h"

#include <filesystem>
#include <vector>

namespace platform {

// The map file itself: $CORVANE_PLATFORM_PORT_MAP, or `<userDataDirectory()>/ports`.
CORVANE_PLATFORM_EXPORT std::filesystem::path portMapFile();

// The device of `port` (1 or more; error 5 otherwise).
CORVANE_PLATFORM_EXPORT std::filesystem::path devicePathForPort(int port);

// The map's entries, the first for each number, in the file's order; each device as
// devicePathForPort() gives it. Errors as above.
// Frozen: a value type programs compile in; a change to its members needs a new SONAME.
struct CORVANE_PLATFORM_EXPORT PortMapEntry {
    int port;
    std::filesystem::path device;
};
CORVANE_PLATFORM_EXPORT std::vector<PortMapEntry> portMapEntries();

// Make `port` open `device` / drop its entry. For tools and tests: the file is rewritten
// atomically (temporary file, then rename) under a lock on its folder, which is created
// when missing; a refused map stays as it is (the error above); comments and other entries stay as
// they are. Errors: 5 for a port below 1 or an empty or multi-line path, 70 when the file may not
// be written, 61 when the disk is full, 75 for any other failure to write.
CORVANE_PLATFORM_EXPORT void setPortDevice(int port, const std::filesystem::path& device);
CORVANE_PLATFORM_EXPORT void removePortDevice(int port);

}  // namespace platform
