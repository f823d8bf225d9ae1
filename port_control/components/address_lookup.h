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
#include <memory>
#include <string>
#include <vector>

#include "components/preferred_address.h"

namespace port_control {

struct AddressLookup {
    enum class Outcome { Found, NotFound, TimedOut, Interrupted };
    Outcome outcome = Outcome::NotFound;
    std::vector<SocketAddress> addresses;  // Found: in the resolver's order, never empty
    int resolverCode = 0;                  // NotFound: what getaddrinfo said, when it said
};

// The TCP addresses of `host` at `port`, found before `deadline`.
AddressLookup lookUpAddresses(const std::string& host, uint16_t port,
                              std::chrono::steady_clock::time_point deadline);

struct PendingLookup;

// One name's addresses for a sender that must never wait for the resolver past a deadline
// (UDP sends to a name): a lookup that runs past it goes on in the background, and a later
// call takes its answer instead of starting another. An answer is kept for kKeptFor, then
// looked up again (the name's addresses may change); while that lookup runs past the
// deadline, the previous answer stands in.
class NameLookup {
  public:
    static constexpr std::chrono::seconds kKeptFor{10};

    NameLookup();
    ~NameLookup();  // a lookup still running is left to finish, then freed
    NameLookup(const NameLookup&) = delete;
    NameLookup& operator=(const NameLookup&) = delete;

    // The addresses of `host` at `port` (any socket type): TimedOut while the name is still
    // being looked up at `deadline`, with no earlier answer for it.
    AddressLookup addressesOf(const std::string& host, uint16_t port,
                              std::chrono::steady_clock::time_point deadline);

  private:
    void abandonRunning();

    std::string m_host;
    uint16_t m_port = 0;
    std::unique_ptr<PendingLookup> m_running;
    AddressLookup m_answer;  // Found or nothing
    std::chrono::steady_clock::time_point m_answeredAt;
};

}  // namespace port_control
