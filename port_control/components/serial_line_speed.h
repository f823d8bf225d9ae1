// Line speed through the kernel's termios2 interface, which carries any rate in bits per
// second rather than only the B<rate> codes of <termios.h>. Kept in a file of its own
// because <asm/termbits.h> cannot be included together with <termios.h>.
#pragma once

#include <cstdint>
#include <optional>

namespace port_control {

// Sets input and output speed of the terminal `fd` to `baud` (BOTHER), leaving every other
// attribute as it is. Returns 0, or the errno of the failing ioctl.
int setArbitraryLineSpeed(int fd, uint32_t baud);

// The output speed the terminal `fd` runs at, as the driver reports it (a driver reports
// the rate it actually reached), or nothing if the ioctl fails.
std::optional<uint32_t> readLineSpeed(int fd);

}  // namespace port_control
