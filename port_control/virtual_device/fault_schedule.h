// Faults on cue: a schedule read from a text file, and the injector that applies it to the
// bytes a virtual device carries, repeatably.
//
// One fault a line; '#' starts a comment, blank lines are ignored:
//
//   at 2.5s break                   at a time since the device started ("ms" or "s")
//   at 1000 sent corrupt            at a byte offset of the host's sent bytes (from 0) ...
//   at 200 received drop 5          ... or of the bytes toward the host
//   at 40 received parity           the byte at 40 arrives with a parity error
//   at 40 received framing          ... with a framing error
//   at 3s overrun                   the host's receiver reports an overrun
//   at 1s cts down                  cts, dsr, dcd or ring goes down or up
//   at 5s unplug 2s                 the device goes away for 2 s (connections closed and
//                                   refused), then comes back
//   noise 0.001                     each byte in either direction is corrupted with this
//   noise 0.01 received             probability (or only in one direction)
//
// "sent" is the direction from the host to the device (on a pair, from the first port to the
// second) and "received" the other. An echo carries every byte once, on its way back:
// its faults are "received". A byte-triggered fault applies to the byte at that
// offset (corrupt, drop from it, parity, framing) or just before it (the others).
//
// A schedule is untrusted input: the first line that is not a fault is refused with error
// 380 naming the line's number and what is wrong; nothing of a refused schedule is used.
// At most kMostFaults lines.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace port_control::virtual_device {

enum class Direction : uint8_t { Sent, Received };

struct Fault {
    enum class Kind : uint8_t {
        Corrupt,   // a byte changed in at least one bit
        Drop,      // `count` bytes lost
        Parity,    // a parity error on the byte
        Framing,   // a framing error on the byte
        Overrun,   // bytes lost by the receiver (line-state overrun)
        Break,     // a BREAK toward the host
        LineDown,  // `line` (lines::kCts, kDsr, kDcd or kRing of line_event.h) goes down
        LineUp,    // ... or up
        Unplug,    // the device goes away for `pause`
    };
    Kind kind = Kind::Corrupt;
    uint32_t count = 1;
    uint8_t line = 0;
    std::chrono::milliseconds pause{0};

    friend bool operator==(const Fault&, const Fault&) = default;
};

struct ScheduledFault {
    Fault fault;
    // Either a time since the device started or a byte offset in one direction.
    std::optional<std::chrono::milliseconds> time;
    uint64_t offset = 0;
    Direction direction = Direction::Sent;
    int lineNumber = 0;  // in the schedule's text, for reports

    friend bool operator==(const ScheduledFault&, const ScheduledFault&) = default;
};

struct FaultSchedule {
    static constexpr size_t kMostFaults = 100000;
    std::vector<ScheduledFault> faults;
    double noise[2] = {0, 0};  // per byte, indexed by Direction

    static FaultSchedule parse(std::string_view text, const std::string& name);
    static FaultSchedule read(const std::filesystem::path& file);
};

// A fault as it was applied: for the device's report and for tests that check repeatability.
struct AppliedFault {
    Fault fault;
    std::optional<Direction> direction;  // none for time-triggered faults off the data path
    uint64_t offset = 0;                 // the byte offset in that direction
    uint8_t value = 0;                   // Corrupt: the byte's value after the change

    friend bool operator==(const AppliedFault&, const AppliedFault&) = default;
};

// What the injector makes of a run of bytes: data pieces and, between them, the faults that
// the device acts on at that point (line conditions, BREAK, modem lines, unplug).
struct FaultPiece {
    std::string data;            // bytes to deliver (may be empty)
    std::optional<Fault> fault;  // then this fault, before whatever follows
};

// Applies a schedule with a seed: every random choice (which byte noise hits, which bits a
// corruption flips) comes from a generator of its own seeded with `seed`, so the same
// schedule, seed and traffic give the same faults at the same offsets on every run and every
// machine.
class FaultInjector {
  public:
    FaultInjector(FaultSchedule schedule, uint64_t seed);

    // Passes `bytes` travelling in `direction` through the faults due in them. Appends to
    // `out`; the data of all pieces is `bytes` with corruptions and drops applied.
    void pass(Direction direction, std::string_view bytes, std::vector<FaultPiece>& out);
    // The time-triggered faults due at `elapsed` since the start, each once, in order.
    std::vector<Fault> dueAt(std::chrono::milliseconds elapsed);
    // When the next time-triggered fault is due; none when no more are.
    std::optional<std::chrono::milliseconds> nextDue() const;
    // Notes a fault applied from outside the schedule (inject()), for the report.
    void noteInjected(const Fault& fault);

    const std::vector<AppliedFault>& applied() const { return m_applied; }

  private:
    uint64_t nextRandom();
    uint8_t corruptionMask();  // a nonzero byte to flip bits with

    FaultSchedule m_schedule;
    uint64_t m_random[4];  // the generator's state (xoshiro256**)
    uint64_t m_passed[2] = {0, 0};
    size_t m_nextTimed = 0;
    std::vector<size_t> m_timed;        // indexes of time-triggered faults, by time
    std::vector<size_t> m_byOffset[2];  // indexes of byte-triggered faults, by offset
    size_t m_nextByOffset[2] = {0, 0};
    uint64_t m_dropping[2] = {0, 0};        // bytes still to drop, per direction
    uint64_t m_noiseThreshold[2] = {0, 0};  // a draw below it corrupts the byte
    bool m_noiseEveryByte[2] = {false, false};
    std::vector<AppliedFault> m_applied;
};

}  // namespace port_control::virtual_device
