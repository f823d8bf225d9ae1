#include "components/preferred_address.h"

#include <algorithm>
#include <cstring>

namespace port_control {

std::vector<SocketAddress> socketAddressesOf(const addrinfo* found) {
    std::vector<SocketAddress> addresses;
    for (const addrinfo* each = found; each; each = each->ai_next) {
        if ((each->ai_family != AF_INET && each->ai_family != AF_INET6) ||
            each->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        SocketAddress address;
        std::memcpy(&address.address, each->ai_addr, each->ai_addrlen);
        address.length = each->ai_addrlen;
        address.family = each->ai_family;
        addresses.push_back(address);
    }
    return addresses;
}

const SocketAddress& preferredAddress(std::span<const SocketAddress> candidates) {
    auto ipv4 = std::find_if(candidates.begin(), candidates.end(),
                             [](const SocketAddress& a) { return a.family == AF_INET; });
    return ipv4 != candidates.end() ? *ipv4 : candidates.front();
}

}  // namespace port_control
