#include "components/serial_line_speed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace port_control {

int setArbitraryLineSpeed(int fd, uint32_t baud) {
    struct termios2 attributes = {};
    if (::ioctl(fd, TCGETS2, &attributes) != 0)
        return errno;
    attributes.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    attributes.c_cflag |= BOTHER;  // input speed follows: its CBAUD bits are left zero
    attributes.c_ospeed = baud;
    attributes.c_ispeed = baud;
    if (::ioctl(fd, TCSETS2, &attributes) != 0)
        return errno;
    return 0;
}

std::optional<uint32_t> readLineSpeed(int fd) {
    struct termios2 attributes = {};
    if (::ioctl(fd, TCGETS2, &attributes) != 0)
        return std::nullopt;
    return attributes.c_ospeed;
}

}  // namespace port_control
