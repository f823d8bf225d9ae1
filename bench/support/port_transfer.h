// The control's side of the byte-stream benchmarks: a control whose port's far end is the
// master of a pseudo-terminal (directly, or through a serial server) moves bytes to or
// from a peer on that master. The port is opened before the clock starts; closing it and
// checking the count are the caller's.
#pragma once

#include <cstddef>
#include <string_view>

#include "platform/variant.h"
#include "support/udp_endpoints.h"

namespace bench {

struct PortTransfer {
    double seconds;
    size_t received;
};

// The peer writes `bytes` to `master` as fast as it takes them; the control's OnComm
// handler reads Input2, until every byte has arrived.
PortTransfer transferToControl(ControlEndpoint& endpoint, int master, std::string_view bytes);

// The control sends `value` (`size` bytes) in one Output; the peer reads `master` until
// every byte has arrived.
PortTransfer transferFromControl(ControlEndpoint& endpoint, int master,
                                 const platform::Variant& value, size_t size);

}  // namespace bench
