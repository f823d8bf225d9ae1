// How the port's settings become terminal attributes, and putting them on a device.
//
// The line runs raw both ways: no translation of CR/LF, no signals, no echo, every byte
// value passes. Two input flags stay on: PARMRK, so that the line discipline marks a byte
// that arrived with a parity error (and a received break) in-band (see
// serial_input_filter.h), unless the line can carry neither, and INPCK while the settings
// ask for parity. Handshaking 1 turns on XON/XOFF in both directions, 2 RTS/CTS, 3 both.
#pragma once

#include <termios.h>

#include <cstdint>
#include <optional>

#include "components/serial_settings.h"

namespace port_control {

namespace handshaking {
constexpr int32_t kNone = 0;
constexpr int32_t kXonXoff = 1;
constexpr int32_t kRtsCts = 2;
constexpr int32_t kRtsCtsXonXoff = 3;
}  // namespace handshaking

// The B<rate> code of a rate <termios.h> names, or nothing for other rates.
std::optional<speed_t> standardSpeed(uint32_t baud);

// Whether `fd` is a pseudo-terminal. Such a line carries no parity errors and no breaks,
// so marking them would only cost: with PARMRK the line discipline handles every byte on
// its own instead of passing whole reads through, which on a fast line is the bottleneck.
bool isPseudoTerminal(int fd);

// The attributes for `settings` and `handshakingMode`, built on `current` (the device's);
// `markLineErrors` asks for PARMRK. The speed is set only for a standard rate; others go
// through setArbitraryLineSpeed.
termios lineAttributes(const termios& current, const SerialSettings& settings,
                       int32_t handshakingMode, bool markLineErrors);

// Whether `actual` (read back from the device) keeps the framing, parity checking and
// flow control of `wanted`. Drivers silently drop what they cannot do.
bool keepsFraming(const termios& wanted, const termios& actual);

// Whether the rate a driver reports is near enough to the one asked for: UARTs reach
// rates through a divisor, and a frame tolerates a few per cent.
bool isNearRate(uint32_t wanted, uint32_t actual);

// Puts `settings` and `handshakingMode` on the terminal `fd` and reads them back. If the
// device refuses any part, its previous attributes are restored and error 8015 is thrown.
void applyLineSettings(int fd, const SerialSettings& settings, int32_t handshakingMode,
                       bool markLineErrors);

}  // namespace port_control
