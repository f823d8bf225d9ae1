#include "components/address_lookup.h"

#include <netdb.h>

#include <algorithm>
#include <memory>
#include <mutex>

#include "platform/wait_interruption.h"

namespace port_control {

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

namespace {

using Clock = std::chrono::steady_clock;

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
    return {AddressLookup::Outcome::Found, std::move(addresses), 0};
}

// Keeps a running lookup until the C library's thread is done with it.
void abandon(std::unique_ptr<PendingLookup> lookup) {
    if (::gai_cancel(&lookup->request) == EAI_NOTCANCELED) {
        Abandoned& all = abandoned();
        std::lock_guard<std::mutex> lock(all.mutex);
        all.lookups.push_back(std::move(lookup));
    }
}

// Starts `lookup` on the C library's thread; false when it could not be handed over.
bool start(PendingLookup& lookup) {
    freeFinishedAbandoned();
    gaicb* requests[] = {&lookup.request};
    return ::getaddrinfo_a(GAI_NOWAIT, requests, 1, nullptr) == 0;
}

// The answer of an ended lookup.
AddressLookup answerOf(PendingLookup& lookup) {
    if (const int code = ::gai_error(&lookup.request); code != 0)
        return {AddressLookup::Outcome::NotFound, {}, code};
    return found(socketAddressesOf(lookup.request.ar_result));
}

timespec timeLeft(Clock::time_point deadline) {
    const auto left = std::max<int64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now()).count(), 0);
    return {static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
}

enum class WaitEnd { Finished, TimedOut, Interrupted };

// Waits for `lookup` until it ends or `deadline` passes (a signal ends a wait early: the
// loop looks again), or, when `interruptible`, until the host's check says to stop (asked
// every platform::kWaitCheckInterval).
WaitEnd waitFor(PendingLookup& lookup, Clock::time_point deadline, bool interruptible) {
    const gaicb* const waitedFor[] = {&lookup.request};
    while (!lookup.finished() && deadline > Clock::now()) {
        const timespec wait =
            timeLeft(interruptible ? std::min(deadline, Clock::now() + platform::kWaitCheckInterval)
                                   : deadline);
        ::gai_suspend(waitedFor, 1, &wait);
        if (interruptible && !lookup.finished() && platform::waitInterrupted())
            return WaitEnd::Interrupted;
    }
    return lookup.finished() ? WaitEnd::Finished : WaitEnd::TimedOut;
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

    auto lookup = std::make_unique<PendingLookup>(host, port);
    if (!start(*lookup))
        return {};
    const WaitEnd end = waitFor(*lookup, deadline, true);
    if (end != WaitEnd::Finished) {
        // A queued lookup is cancelled and freed here; a running one is left to finish.
        abandon(std::move(lookup));
        return {end == WaitEnd::Interrupted ? AddressLookup::Outcome::Interrupted
                                            : AddressLookup::Outcome::TimedOut,
                {},
                0};
    }
    return answerOf(*lookup);
}

NameLookup::NameLookup() = default;

NameLookup::~NameLookup() {
    abandonRunning();
}

void NameLookup::abandonRunning() {
    if (m_running)
        abandon(std::move(m_running));
}

AddressLookup NameLookup::addressesOf(const std::string& host, uint16_t port,
                                      Clock::time_point deadline) {
    if (host != m_host || port != m_port) {
        abandonRunning();
        m_answer = {};
        m_host = host;
        m_port = port;
    }
    const bool fresh =
        m_answer.outcome == AddressLookup::Outcome::Found && Clock::now() - m_answeredAt < kKeptFor;
    if (fresh)
        return m_answer;
    if (!m_running) {
        auto lookup = std::make_unique<PendingLookup>(host, port);
        // Addresses only: the socket type of the hints does not change them.
        if (!start(*lookup))
            return {AddressLookup::Outcome::NotFound, {}, EAI_AGAIN};
        m_running = std::move(lookup);
    }
    // A send's wait is short already: the host's check is not asked.
    if (waitFor(*m_running, deadline, false) != WaitEnd::Finished) {
        if (m_answer.outcome == AddressLookup::Outcome::Found)
            return m_answer;  // the previous answer, until the new one comes
        return {AddressLookup::Outcome::TimedOut, {}, 0};
    }
    const AddressLookup answer = answerOf(*m_running);
    m_running.reset();
    if (answer.outcome == AddressLookup::Outcome::Found) {
        m_answer = answer;
        m_answeredAt = Clock::now();
    } else {
        m_answer = {};  // a name that went away is looked up afresh at the next call
    }
    return answer;
}

}  // namespace port_control
