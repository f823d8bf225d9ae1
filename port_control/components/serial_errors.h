// The serial port's numbers: the errors its members fail with and the codes `CommEvent`
// reports, as a classic serial control numbers them, so that a host written against one
// works unchanged. Descriptions are Japanese. `serialErrorFromErrno` is the one place that
// turns a system error into one of these.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/error.h"

namespace port_control {

namespace serial_errors {
constexpr int32_t kTooManyFiles = platform::errors::kTooManyFiles;  // no descriptor left
constexpr int32_t kDeviceUnavailable = 68;      // no device behind the port (or not a tty)
constexpr int32_t kPermissionDenied = 70;       // the device may not be opened by this user
constexpr int32_t kInvalidPropertyValue = 380;  // a value the property does not take
constexpr int32_t kPortOpened = 8000;           // operation not valid while the port is open
constexpr int32_t kInvalidPortNumber = 8002;    // CommPort outside 1..255
constexpr int32_t kPortAlreadyOpen = 8005;      // PortOpen True on an open port
constexpr int32_t kHardwareLocked = 8010;       // another open holds the device's lock
constexpr int32_t kDeviceNotOpen = 8012;        // the device went away under a write
constexpr int32_t kCommStateFailed = 8015;      // the device refused the line settings
constexpr int32_t kPortNotOpen = 8018;          // operation valid only while the port is open
constexpr int32_t kDeviceBusy = 8019;           // the driver reports the device busy
}  // namespace serial_errors

// Values of `CommEvent`: 1..7 are events, 1001 and up errors.
namespace comm_events {
constexpr int16_t kNone = 0;
constexpr int16_t kSend = 1;     // the transmit queue fell below SThreshold
constexpr int16_t kReceive = 2;  // RThreshold or more bytes wait
constexpr int16_t kCtsChange = 3;
constexpr int16_t kDsrFell = 4;
constexpr int16_t kCdChange = 5;
constexpr int16_t kRing = 6;
constexpr int16_t kEof = 7;                 // byte 26 received (EOFEnable)
constexpr int16_t kBreak = 1001;            // a break condition was received
constexpr int16_t kFraming = 1004;          // the driver counted a framing error
constexpr int16_t kOverrun = 1006;          // the driver counted an overrun
constexpr int16_t kReceiveOverflow = 1008;  // bytes dropped: InBufferSize reached
constexpr int16_t kParity = 1009;           // a byte arrived with a parity error
constexpr int16_t kTransmitFull = 1010;     // the output queue grew past OutBufferSize
constexpr int16_t kDeviceLost = 1011;       // the device hung up; the port was closed
}  // namespace comm_events

// The Japanese description of one of the numbers above (empty for others).
std::u16string_view serialErrorDescription(int32_t number);

// An Error with `number` and its description.
platform::Error serialError(int32_t number);
// The same with what went wrong where added to the description: "<description> (<detail>)".
platform::Error serialError(int32_t number, std::u16string_view detail);

// What was being done when a system call failed; the same errno means different things.
enum class SerialOperation {
    Open,       // open(2), tcgetattr on a fresh descriptor, watching it on the loop
    Lock,       // flock(2) on the device
    Configure,  // tcsetattr, line speed, modem-line and break ioctls
    Write,      // write(2)
};

platform::Error serialErrorFromErrno(int err, SerialOperation operation);

}  // namespace port_control
