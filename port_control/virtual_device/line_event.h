// One event of a serial line as its host sees it, the unit of a capture file and of a
// replay: data the host sent or received, a line condition on what it received, a change of
// the modem lines or of the line settings. Codes and line bits are those of the capture
// format (LINKTYPE_RTAC_SERIAL, capture_file.h), so an event is written as it stands.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace port_control::virtual_device {

enum class LineEventType : uint8_t {
    Status = 0x00,       // the modem lines changed (lines holds them all)
    Sent = 0x01,         // bytes the host sent toward the device
    Received = 0x02,     // bytes the device sent toward the host
    CaptureLost = 0x05,  // the recorder could not keep up: events are missing here
    Framing = 0x07,      // the host's next received byte had a framing error
    Parity = 0x08,       // ... a parity error
    Break = 0x09,        // the host received a BREAK
    Overrun = 0x0A,      // the host's receiver lost bytes before the next one
    Settings = 0x80,     // the host changed the line settings: bytes is "9600,n,8,1"
    BreakSent = 0x81,    // the host sent a BREAK
};

// Bits of `lines`: the host's outputs (RTS, DTR) and inputs (CTS, DCD, DSR, RING).
namespace lines {
constexpr uint8_t kCts = 0x01;
constexpr uint8_t kDcd = 0x02;
constexpr uint8_t kDsr = 0x04;
constexpr uint8_t kRts = 0x08;
constexpr uint8_t kDtr = 0x10;
constexpr uint8_t kRing = 0x20;
}  // namespace lines

struct LineEvent {
    std::chrono::microseconds time{0};  // since the Unix epoch
    LineEventType type = LineEventType::Sent;
    uint8_t lines = 0;  // the modem lines when the event happened
    std::string bytes;  // Sent, Received: the data; Settings: the settings text

    friend bool operator==(const LineEvent&, const LineEvent&) = default;
};

}  // namespace port_control::virtual_device
