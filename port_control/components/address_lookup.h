// A server's addresses, looked up within the time an open may take.
//
// An address written out (IPv4, or IPv6 without its brackets) is read as it stands, with no
// lookup. A name goes to glibc's getaddrinfo_a, which looks it up on a thread of the C
// library's own, and is waited for until the deadline only: a name server that never
// answers would otherwise hold the caller (a window's thread) for the resolver's own
// time-out. A lookup still queued then is cancelled; one already running cannot be
// (EAI_NOTCANCELED) and still writes to its request, so the request is kept until it has
// finished and freed by a later lookup. The host's check (platform/wait_interruption.h) may
// end the wait sooner.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "components/preferred_address.h"

namespace port_control {

struct AddressLookup {
    enum class Outcome { Found, NotFound, TimedOut, Interrupted };
    Outcome outcome = Outcome::NotFound;
    std::vector<SocketAddress> addresses;  // Found: in the resolver's order, never empty
};

// The TCP addresses of `host` at `port`, found before `deadline`.
AddressLookup lookUpAddresses(const std::string& host, uint16_t port,
                              std::chrono::steady_clock::time_point deadline);

}  // namespace port_control
