#include "components/address_lookup.h"

#include <netdb.h>

#include <algorithm>
#include <memory>
#include <mutex>

#include "platform/wait_interruption.h"

namespace port_control {
namespace {

using Clock = std::chrono::steady_clock;

// One lookup handed to the C library: all that its thread reads and writes.
struct PendingLookup {
    std::string host;
    std::string service;
    addrinfo hints{};
    gaicb request{};

    PendingLookup(const std::string& name, uint16_t port)
        : host(name), service(std::to_string(port)) {
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICSERV;
        request.ar_name = host.c_str();
        request.ar_service = service.c_str();
        request.ar_request = &hints;
    }
    ~PendingLookup() {
        if (request.ar_result)
            ::freeaddrinfo(request.ar_result);
    }
    PendingLookup(const PendingLookup&) = delete;
    PendingLookup& operator=(const PendingLookup&) = delete;
    bool finished() { return ::gai_error(&request) != EAI_INPROGRESS; }
};

// Lookups given up while running. Never destroyed: at exit the C library's thread may
// still write to them.
struct Abandoned {
    std::mutex mutex;
    std::vector<std::unique_ptr<PendingLookup>> lookups;
};
Abandoned& abandoned() {
    static Abandoned* const all = new Abandoned;
    return *all;
}

void freeFinishedAbandoned() {
    Abandoned& all = abandoned();
    std::lock_guard<std::mutex> lock(all.mutex);
    std::erase_if(all.lookups,
                  [](const std::unique_ptr<PendingLookup>& each) { return each->finished(); });
}

AddressLookup found(std::vector<SocketAddress> addresses) {
    if (addresses.empty())
        return {};
    return {AddressLookup::Outcome::Found, std::move(addresses)};
}

timespec timeLeft(Clock::time_point deadline) {
    const auto left = std::max<int64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now()).count(), 0);
    return {static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
}

}  // namespace

AddressLookup lookUpAddresses(const std::string& host, uint16_t port, Clock::time_point deadline) {
    // An address written out needs no lookup, and no thread.
    addrinfo numeric{};
    numeric.ai_family = AF_UNSPEC;
    numeric.ai_socktype = SOCK_STREAM;
    numeric.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* written = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &numeric, &written);
    if (rc == 0) {
        std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owned(written, ::freeaddrinfo);
        return found(socketAddressesOf(written));
    }
    if (rc != EAI_NONAME)
        return {};

    freeFinishedAbandoned();
    auto lookup = std::make_unique<PendingLookup>(host, port);
    gaicb* requests[] = {&lookup->request};
    if (::getaddrinfo_a(GAI_NOWAIT, requests, 1, nullptr) != 0)
        return {};
    const gaicb* const waitedFor[] = {&lookup->request};
    bool interrupted = false;
    while (!lookup->finished() && deadline > Clock::now() && !interrupted) {
        // Returns when the lookup ends, the time is up or a signal came: the loop looks.
        const timespec wait =
            timeLeft(std::min(deadline, Clock::now() + platform::kWaitCheckInterval));
        ::gai_suspend(waitedFor, 1, &wait);
        interrupted = platform::waitInterrupted();
    }
    if (interrupted || !lookup->finished()) {
        // A queued lookup is cancelled and freed here; a running one is left to finish.
        if (::gai_cancel(&lookup->request) == EAI_NOTCANCELED) {
            Abandoned& all = abandoned();
            std::lock_guard<std::mutex> lock(all.mutex);
            all.lookups.push_back(std::move(lookup));
        }
        return {
            interrupted ? AddressLookup::Outcome::Interrupted : AddressLookup::Outcome::TimedOut,
            {}};
    }
    if (::gai_error(&lookup->request) != 0)
        return {};
    return found(socketAddressesOf(lookup->request.ar_result));
}

}  // namespace port_control
