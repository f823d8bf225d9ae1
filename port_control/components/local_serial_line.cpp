#include "components/local_serial_line.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "components/serial_errors.h"
#include "components/serial_termios.h"
#include "platform/utf8.h"

namespace port_control {
namespace {

// Drivers without modem lines (pseudo-terminals, some USB bridges) answer these.
bool lacksModemLines(int err) {
    return err == ENOTTY || err == EINVAL;
}

}  // namespace

std::unique_ptr<LocalSerialLine> LocalSerialLine::open(const std::filesystem::path& device,
                                                       const SerialSettings& settings,
                                                       int32_t handshaking, bool dtr, bool rts) {
    // Links are followed on purpose: a port map entry may name the link udev keeps for an
    // adapter (/dev/serial/by-id/...), which only root can make there; the map itself is the
    // user's own file (port_map.h).
    platform::FileDescriptor fd(::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    // The number says what went wrong; the device, which one (an unplugged adapter's link,
    // say, is absent).
    if (fd.get() < 0)
        throw serialError(serialErrorFromErrno(errno, SerialOperation::Open).number(),
                          platform::fromUtf8(device.native()));
    // Two locks, neither complete. flock is advisory: it keeps out only programs that take
    // it too (root among them), not one that just opens the device. TIOCEXCL makes later
    // open() calls fail with EBUSY, except a process's with CAP_SYS_ADMIN (root), and
    // leaves alone whatever opened the device before it.
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
        throw serialErrorFromErrno(errno, SerialOperation::Lock);
    termios probe{};
    if (::tcgetattr(fd.get(), &probe) != 0)
        throw serialErrorFromErrno(errno, SerialOperation::Open);
    ::ioctl(fd.get(), TIOCEXCL);

    std::unique_ptr<LocalSerialLine> line(new LocalSerialLine(std::move(fd)));
    line->m_marksLineErrors = !isPseudoTerminal(line->descriptor());
    line->applySettings(settings, handshaking);
    line->setModemLine(TIOCM_DTR, dtr);
    line->setModemLine(TIOCM_RTS, rts);
    line->m_hasModemLines = ::ioctl(line->descriptor(), TIOCMGET, &line->m_modemLines) == 0;
    serial_icounter_struct counters{};
    line->m_hasErrorCounters = ::ioctl(line->descriptor(), TIOCGICOUNT, &counters) == 0;
    line->m_framingErrors = counters.frame;
    line->m_overruns = static_cast<uint64_t>(counters.overrun) + counters.buf_overrun;
    return line;
}

LocalSerialLine::~LocalSerialLine() {
    // The queues, the lines and the lock (of the open file, which fork() shares) are the
    // parent's too; and the child's close is not the last, so no hang-up follows from it.
    if (!m_owner.isThisProcess())
        return;
    const int fd = m_fd.get();
    if (m_break)
        ::ioctl(fd, TIOCCBRK);
    ::tcflush(fd, TCIOFLUSH);
    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(fd, TIOCMBIC, &lines);
    ::flock(fd, LOCK_UN);
}

void LocalSerialLine::applySettings(const SerialSettings& settings, int32_t handshaking) {
    applyLineSettings(m_fd.get(), settings, handshaking, m_marksLineErrors);
}

void LocalSerialLine::setModemLine(int line, bool on) {
    int bits = line;
    if (::ioctl(m_fd.get(), on ? TIOCMBIS : TIOCMBIC, &bits) != 0 && !lacksModemLines(errno))
        throw serialErrorFromErrno(errno, SerialOperation::Configure);
}

void LocalSerialLine::setBreak(bool on) {
    if (::ioctl(m_fd.get(), on ? TIOCSBRK : TIOCCBRK) != 0)
        throw serialErrorFromErrno(errno, SerialOperation::Configure);
    m_break = on;
}

int LocalSerialLine::modemLines() {
    int lines = 0;
    return ::ioctl(m_fd.get(), TIOCMGET, &lines) == 0 ? lines : 0;
}

ssize_t LocalSerialLine::read(char* buffer, size_t size, std::vector<int16_t>& /*events*/) {
    for (;;) {
        ssize_t count = ::read(m_fd.get(), buffer, size);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && errno == EAGAIN)
            return 0;
        return count;  // with VMIN 0 an empty read means nothing waits
    }
}

ssize_t LocalSerialLine::write(const char* data, size_t size) {
    for (;;) {
        ssize_t count = ::write(m_fd.get(), data, size);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && errno == EAGAIN)
            return 0;
        return count;
    }
}

size_t LocalSerialLine::outputInDevice() {
    int driverQueue = 0;
    if (::ioctl(m_fd.get(), TIOCOUTQ, &driverQueue) != 0 || driverQueue < 0)
        return 0;
    return static_cast<size_t>(driverQueue);
}

void LocalSerialLine::discardInput() {
    ::tcflush(m_fd.get(), TCIFLUSH);
}

void LocalSerialLine::discardOutput() {
    ::tcflush(m_fd.get(), TCOFLUSH);
}

bool LocalSerialLine::poll(std::vector<int16_t>& events) {
    if (m_hasModemLines) {
        int lines = 0;
        if (::ioctl(m_fd.get(), TIOCMGET, &lines) != 0)
            return lacksModemLines(errno) || errno == EINTR;
        int changed = lines ^ std::exchange(m_modemLines, lines);
        if (changed & TIOCM_CTS)
            events.push_back(comm_events::kCtsChange);
        if ((changed & TIOCM_DSR) && !(lines & TIOCM_DSR))
            events.push_back(comm_events::kDsrFell);
        if (changed & TIOCM_CAR)
            events.push_back(comm_events::kCdChange);
        if ((changed & TIOCM_RNG) && (lines & TIOCM_RNG))
            events.push_back(comm_events::kRing);
    }
    serial_icounter_struct counters{};
    if (m_hasErrorCounters && ::ioctl(m_fd.get(), TIOCGICOUNT, &counters) == 0) {
        uint64_t overruns = static_cast<uint64_t>(counters.overrun) + counters.buf_overrun;
        if (static_cast<uint64_t>(counters.frame) != m_framingErrors)
            events.push_back(comm_events::kFraming);
        if (overruns != m_overruns)
            events.push_back(comm_events::kOverrun);
        m_framingErrors = counters.frame;
        m_overruns = overruns;
    }
    return true;
}

}  // namespace port_control
