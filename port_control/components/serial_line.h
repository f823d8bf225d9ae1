// An open serial line as SerialPort drives it: a terminal device of this machine
// (components/local_serial_line.h) or a port on a network serial server
// (components/rfc2217_serial_line.h). SerialPort keeps the settings, the buffers and the
// events; a line only carries bytes, settings and line status to and from its device.
//
// Reads and writes never block and work like read(2)/write(2): a count, 0 when nothing can
// move now, -1 with errno when the line has failed or hung up. Setters fail with the serial
// errors of components/serial_errors.h.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "components/serial_settings.h"

namespace port_control {

class SerialLine {
  public:
    virtual ~SerialLine() = default;

    // The descriptor the message loop watches for input and for room to send.
    virtual int descriptor() const = 0;
    // Whether received bytes carry in-band marks of line errors (serial_input_filter.h).
    virtual bool marksLineErrors() const = 0;

    virtual void applySettings(const SerialSettings& settings, int32_t handshaking) = 0;
    // `line` is TIOCM_DTR or TIOCM_RTS. A device without modem lines keeps quiet.
    virtual void setModemLine(int line, bool on) = 0;
    virtual void setBreak(bool on) = 0;
    // The modem lines as TIOCM_* bits; 0 on a device without them.
    virtual int modemLines() = 0;

    // Reads data bytes; line conditions the device reports out of band (modem lines, line
    // errors) are appended to `events` as CommEvent codes.
    virtual ssize_t read(char* buffer, size_t size, std::vector<int16_t>& events) = 0;
    virtual ssize_t write(const char* data, size_t size) = 0;
    // Whether the device takes data now (a server may suspend it).
    virtual bool acceptsData() const { return true; }
    // Bytes the line itself still has to hand on: to be sent once the descriptor has room
    // (flush), or already read and waiting (read without the descriptor being readable).
    virtual bool hasPendingOutput() const { return false; }
    virtual bool hasPendingInput() const { return false; }
    // Sends what the line holds; false if the line has failed.
    virtual bool flush() { return true; }
    // Output taken by the line and its device but not yet sent on.
    virtual size_t outputInDevice() = 0;
    virtual void discardInput() = 0;
    virtual void discardOutput() = 0;

    // Whether line status must be polled (poll() on a timer) rather than arriving on its own.
    virtual bool needsPolling() const { return false; }
    // Appends the changes since the last poll to `events`; false if the device is gone.
    virtual bool poll(std::vector<int16_t>& /*events*/) { return true; }
};

}  // namespace port_control
