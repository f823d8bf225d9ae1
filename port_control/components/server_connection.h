// A TCP connection to one of a server's addresses, made before a deadline.
//
// The addresses are tried one after another: first the one preferredAddress() picks (a
// name's first IPv4 address), then the rest in the resolver's order, so "localhost" reaches
// a server on 127.0.0.1 whichever way the hosts file lists it, and still reaches one that
// listens on ::1 only. An address that refuses or cannot be reached gives way to the next at
// once. One that stays silent is given a fair share of the time left (the time left divided
// by the addresses still to try), so that a single dead address cannot use up the whole wait
// while another would have answered; the last address has all the time that is left. The
// host's check (platform/wait_interruption.h) may end the wait sooner: no address is tried
// after it.
#pragma once

#include <chrono>
#include <span>
#include <string>

#include "components/preferred_address.h"
#include "platform/file_descriptor.h"

namespace port_control {

// A connected, non-blocking socket to the first of `addresses` that accepts before
// `deadline`; otherwise none, with `reason` telling why (in Japanese, for a description).
platform::FileDescriptor connectToServer(std::span<const SocketAddress> addresses,
                                         std::chrono::steady_clock::time_point deadline,
                                         std::u16string& reason);

}  // namespace port_control
