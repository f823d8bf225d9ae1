#include "components/serial_termios.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdlib>

#include "components/serial_errors.h"
#include "components/serial_line_speed.h"

namespace port_control {
namespace {

constexpr tcflag_t kFramingFlags = CSIZE | PARENB | CSTOPB | CRTSCTS;
constexpr tcflag_t kParityFlags = PARODD | CMSPAR;
constexpr tcflag_t kInputChecks = IXON | IXOFF | INPCK | PARMRK;

tcflag_t characterSize(int dataBits) {
    switch (dataBits) {
        case 5:
            return CS5;
        case 6:
            return CS6;
        case 7:
            return CS7;
        default:
            return CS8;
    }
}

tcflag_t parityFlags(Parity parity) {
    switch (parity) {
        case Parity::None:
            return 0;
        case Parity::Odd:
            return PARENB | PARODD;
        case Parity::Even:
            return PARENB;
        case Parity::Mark:
            return PARENB | CMSPAR | PARODD;
        case Parity::Space:
            return PARENB | CMSPAR;
    }
    return 0;
}

[[noreturn]] void throwCommStateFailed() {
    throw serialError(serial_errors::kCommStateFailed);
}

}  // namespace

std::optional<speed_t> standardSpeed(uint32_t baud) {
    switch (baud) {
        case 110:
            return B110;
        case 134:
            return B134;
        case 150:
            return B150;
        case 200:
            return B200;
        case 300:
            return B300;
        case 600:
            return B600;
        case 1200:
            return B1200;
        case 1800:
            return B1800;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        case 230400:
            return B230400;
        case 460800:
            return B460800;
        case 500000:
            return B500000;
        case 576000:
            return B576000;
        case 921600:
            return B921600;
        case 1000000:
            return B1000000;
        case 1152000:
            return B1152000;
        case 1500000:
            return B1500000;
        case 2000000:
            return B2000000;
        case 2500000:
            return B2500000;
        case 3000000:
            return B3000000;
        case 3500000:
            return B3500000;
        case 4000000:
            return B4000000;
        default:
            return std::nullopt;
    }
}

bool isPseudoTerminal(int fd) {
    // The pseudo-terminal subordinates: majors 136 to 143 (Unix98), 3 (the old BSD kind).
    constexpr unsigned kFirstUnix98Major = 136, kLastUnix98Major = 143, kBsdMajor = 3;
    struct stat status = {};
    if (::fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode))
        return false;
    const unsigned deviceMajor = major(status.st_rdev);
    return (deviceMajor >= kFirstUnix98Major && deviceMajor <= kLastUnix98Major) ||
           deviceMajor == kBsdMajor;
}

termios lineAttributes(const termios& current, const SerialSettings& settings,
                       int32_t handshakingMode, bool markLineErrors) {
    termios attributes = current;
    ::cfmakeraw(&attributes);
    attributes.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | IGNPAR | IMAXBEL | IUTF8);
    if (markLineErrors)
        attributes.c_iflag |= PARMRK;
    attributes.c_cflag &= ~(kFramingFlags | kParityFlags);
    attributes.c_cflag |=
        CLOCAL | CREAD | characterSize(settings.dataBits) | parityFlags(settings.parity);
    if (settings.parity != Parity::None)
        attributes.c_iflag |= INPCK;
    if (settings.stopBits != StopBits::One)
        attributes.c_cflag |= CSTOPB;  // 1.5 stop bits with 5 data bits, 2 otherwise
    if (handshakingMode == handshaking::kXonXoff || handshakingMode == handshaking::kRtsCtsXonXoff)
        attributes.c_iflag |= IXON | IXOFF;
    if (handshakingMode == handshaking::kRtsCts || handshakingMode == handshaking::kRtsCtsXonXoff)
        attributes.c_cflag |= CRTSCTS;
    attributes.c_cc[VSTART] = 0x11;
    attributes.c_cc[VSTOP] = 0x13;
    attributes.c_cc[VMIN] = 0;
    attributes.c_cc[VTIME] = 0;
    if (auto speed = standardSpeed(settings.baudRate))
        ::cfsetspeed(&attributes, *speed);
    return attributes;
}

bool keepsFraming(const termios& wanted, const termios& actual) {
    if ((wanted.c_cflag & kFramingFlags) != (actual.c_cflag & kFramingFlags))
        return false;
    if ((wanted.c_cflag & PARENB) &&
        (wanted.c_cflag & kParityFlags) != (actual.c_cflag & kParityFlags))
        return false;
    return (wanted.c_iflag & kInputChecks) == (actual.c_iflag & kInputChecks);
}

bool isNearRate(uint32_t wanted, uint32_t actual) {
    uint64_t difference = wanted > actual ? wanted - actual : actual - wanted;
    return difference * 100 <= static_cast<uint64_t>(wanted) * 3;
}

void applyLineSettings(int fd, const SerialSettings& settings, int32_t handshakingMode,
                       bool markLineErrors) {
    termios previous{};
    if (::tcgetattr(fd, &previous) != 0)
        throw serialErrorFromErrno(errno, SerialOperation::Configure);
    std::optional<uint32_t> previousRate = readLineSpeed(fd);

    auto restorePrevious = [&] {
        ::tcsetattr(fd, TCSANOW, &previous);
        if (previousRate && !standardSpeed(*previousRate))
            setArbitraryLineSpeed(fd, *previousRate);
    };

    termios wanted = lineAttributes(previous, settings, handshakingMode, markLineErrors);
    if (::tcsetattr(fd, TCSANOW, &wanted) != 0) {
        restorePrevious();
        throwCommStateFailed();
    }
    if (!standardSpeed(settings.baudRate) && setArbitraryLineSpeed(fd, settings.baudRate) != 0) {
        restorePrevious();
        throwCommStateFailed();
    }
    // tcsetattr succeeds when any part of the change was made: read back what stuck.
    termios actual{};
    std::optional<uint32_t> rate = readLineSpeed(fd);
    if (::tcgetattr(fd, &actual) != 0 || !keepsFraming(wanted, actual) || !rate ||
        !isNearRate(settings.baudRate, *rate)) {
        restorePrevious();
        throwCommStateFailed();
    }
}

}  // namespace port_control
