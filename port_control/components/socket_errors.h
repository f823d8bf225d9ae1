// The UDP socket's error numbers and their descriptions: one table, and the one place
// that turns system error codes (errno, resolver codes) into them.
//
// Numbers follow the socket control hosts know (10040 datagram too large, 10048 address in
// use, 11001 host not found, 40020 invalid operation in the current state ...). A system
// error with no number of its own becomes 40000 with the errno in its description.
#pragma once

#include <cstdint>

#include "platform/error.h"

namespace port_control {

enum class SocketFailure {
    OutOfMemory,             // 7
    InvalidPropertyValue,    // 380: a Protocol other than 0 or 1, a port outside 0..65535
    TcpUnsupported,          // 40006: Protocol 0 (TCP); this socket carries UDP only
    UnsupportedVariantType,  // 40018: SendData with neither text nor a byte array
    InvalidOperation,        // 40020: Bind while open, an endpoint write while open
    ArgumentOutOfRange,      // 40021: Bind outside 0..65535, a send with RemotePort 0
    PermissionDenied,        // 10013
    TooManySockets,          // 10024
    MessageTooLarge,         // 10040
    FamilyNotSupported,      // 10047
    AddressInUse,            // 10048
    AddressNotAvailable,     // 10049
    NetworkDown,             // 10050
    NetworkUnreachable,      // 10051
    ConnectionReset,         // 10054
    NoBufferSpace,           // 10055
    HostUnreachable,         // 10065
    HostNotFound,            // 11001
    HostNotFoundTryAgain,    // 11002
};

// Base number of system errors that have no number of their own.
constexpr int32_t kSocketSystemErrorNumber = 40000;

platform::Error socketError(SocketFailure failure);
// `err` is an errno value.
platform::Error socketErrorFromErrno(int err);
// `code` is a getaddrinfo result; `err` the errno that came with EAI_SYSTEM.
platform::Error socketErrorFromResolver(int code, int err);

}  // namespace port_control
