#include "support/port_transfer.h"

#include <chrono>

#include "platform/fd_watch.h"
#include "platform/message_loop.h"
#include "support/raw_stream.h"

namespace bench {

namespace {
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Input2 holds text or bytes, by InputMode.
size_t sizeOf(const platform::Variant& value) {
    if (value.type() == platform::VarType::String)
        return value.stringValue().size();
    if (value.type() == platform::VarType::ByteArray)
        return value.bytesValue().size();
    return 0;
}
}  // namespace

PortTransfer transferToControl(ControlEndpoint& endpoint, int master, std::string_view bytes) {
    port_control::Portula& c = endpoint.control;
    c.put_PortOpen(platform::kTrue);
    size_t received = 0;
    endpoint.site.onComm = [&] { received += sizeOf(c.get_Input2()); };
    std::string_view left = bytes;
    const auto start = Clock::now();
    {
        platform::FdWatch peer(master, platform::MessageLoop::kWritable,
                               [&](uint32_t) { left.remove_prefix(writeSome(master, left)); });
        dispatchUntil([&] {
            if (left.empty())
                peer.reset();
            return received >= bytes.size();
        });
    }
    const double seconds = secondsSince(start);
    endpoint.site.onComm = nullptr;
    return {seconds, received};
}

PortTransfer transferFromControl(ControlEndpoint& endpoint, int master,
                                 const platform::Variant& value, size_t size) {
    port_control::Portula& c = endpoint.control;
    c.put_PortOpen(platform::kTrue);
    endpoint.site.onComm = nullptr;
    char buffer[16384];
    size_t received = 0;
    const auto start = Clock::now();
    {
        platform::FdWatch peer(master, platform::MessageLoop::kReadable, [&](uint32_t) {
            received += readSome(master, buffer, sizeof buffer);
        });
        c.put_Output(value);
        dispatchUntil([&] { return received >= size; });
    }
    return {secondsSince(start), received};
}

}  // namespace bench
