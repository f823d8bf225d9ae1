// Which of a host name's addresses the UDP socket sends to.
//
// A name goes to its first IPv4 address, in the order the resolver gave them; only a name
// without one goes to its first IPv6 address. The peers this component stands in for speak
// IPv4, and the usual hosts file lists "localhost" as ::1 before 127.0.0.1, so taking the
// resolver's first answer would send "localhost" past a peer listening on 127.0.0.1.
// Addresses written out (a literal IPv6 address included) never come here.
#pragma once

#include <netdb.h>
#include <sys/socket.h>

#include <span>
#include <vector>

namespace port_control {

// One address as the resolver gives it (port and, for IPv6, scope included).
struct SocketAddress {
    sockaddr_storage address{};
    socklen_t length = 0;
    int family = 0;  // AF_INET or AF_INET6
};

// The IPv4 and IPv6 addresses of a resolver's answer, in its order.
std::vector<SocketAddress> socketAddressesOf(const addrinfo* found);

// The address to send to out of `candidates` (not empty), in the resolver's order.
const SocketAddress& preferredAddress(std::span<const SocketAddress> candidates);

}  // namespace port_control
