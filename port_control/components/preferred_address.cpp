#include "components/preferred_address.h"

#include <algorithm>

namespace port_control {

const SocketAddress& preferredAddress(std::span<const SocketAddress> candidates) {
    auto ipv4 = std::find_if(candidates.begin(), candidates.end(),
                             [](const SocketAddress& a) { return a.family == AF_INET; });
    return ipv4 != candidates.end() ? *ipv4 : candidates.front();
}

}  // namespace port_control
