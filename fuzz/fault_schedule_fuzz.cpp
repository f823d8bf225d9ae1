// Fault schedules: any text either parses into at most kMostFaults faults that each name
// their line and carry a valid fault (drop of 1 byte or more, unplug for a while, a modem
// line the host receives, noise in [0, 1]), or is refused with error 380 and a description;
// and an injector with the schedule passes the text through in two cuts exactly as whole.
//
// Input: the first byte is where the traffic is cut (times its length / 256); the rest is
// the schedule's text, also the traffic.
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_input.h"
#include "platform/error.h"
#include "virtual_device/fault_schedule.h"
#include "virtual_device/line_event.h"

namespace {

using port_control::virtual_device::Direction;
using port_control::virtual_device::Fault;
using port_control::virtual_device::FaultInjector;
using port_control::virtual_device::FaultPiece;
using port_control::virtual_device::FaultSchedule;
using port_control::virtual_device::ScheduledFault;
namespace lines = port_control::virtual_device::lines;

std::string dataOf(const std::vector<FaultPiece>& pieces, size_t& faults) {
    std::string data;
    for (const FaultPiece& piece : pieces) {
        data += piece.data;
        faults += piece.fault.has_value();
    }
    return data;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzInput input(data, size);
    const uint8_t cutByte = input.takeByte();
    const std::string_view text = input.takeRemainingBytes();
    const size_t cut = text.size() * cutByte / 256;

    FaultSchedule schedule;
    try {
        schedule = FaultSchedule::parse(text, "fuzz.txt");
    } catch (const platform::Error& error) {
        FUZZ_CHECK(error.number() == 380, "refused with error %d", error.number());
        FUZZ_CHECK(!error.description().empty(), "error 380 without a description");
        return 0;
    } catch (const std::exception& e) {
        FUZZ_CHECK(false, "parse threw %s", e.what());
    }
    FUZZ_CHECK(schedule.faults.size() <= FaultSchedule::kMostFaults, "%zu faults",
               schedule.faults.size());
    for (double noise : schedule.noise)
        FUZZ_CHECK(noise >= 0 && noise <= 1, "noise %g", noise);
    int lastLine = 0;
    for (const ScheduledFault& scheduled : schedule.faults) {
        FUZZ_CHECK(scheduled.lineNumber > lastLine, "line %d after %d", scheduled.lineNumber,
                   lastLine);
        lastLine = scheduled.lineNumber;
        const Fault& fault = scheduled.fault;
        FUZZ_CHECK(fault.count >= 1, "drop of %u", fault.count);
        if (fault.kind == Fault::Kind::Unplug)
            FUZZ_CHECK(fault.pause.count() > 0, "unplug for %lld ms",
                       static_cast<long long>(fault.pause.count()));
        if (fault.kind == Fault::Kind::LineDown || fault.kind == Fault::Kind::LineUp) {
            FUZZ_CHECK(fault.line == lines::kCts || fault.line == lines::kDsr ||
                           fault.line == lines::kDcd || fault.line == lines::kRing,
                       "line bit %d", fault.line);
        }
    }

    FaultInjector whole(schedule, cutByte);
    std::vector<FaultPiece> wholePieces;
    whole.pass(Direction::Received, text, wholePieces);
    FaultInjector cutInjector(schedule, cutByte);
    std::vector<FaultPiece> cutPieces;
    cutInjector.pass(Direction::Received, text.substr(0, cut), cutPieces);
    cutInjector.pass(Direction::Received, text.substr(cut), cutPieces);
    size_t wholeFaults = 0;
    size_t cutFaults = 0;
    FUZZ_CHECK(dataOf(wholePieces, wholeFaults) == dataOf(cutPieces, cutFaults),
               "data differs when cut at %zu", cut);
    FUZZ_CHECK(wholeFaults == cutFaults, "faults differ when cut at %zu", cut);
    FUZZ_CHECK(whole.applied() == cutInjector.applied(), "applied faults differ when cut at %zu",
               cut);
    FUZZ_CHECK(dataOf(wholePieces, wholeFaults).size() <= text.size(), "more data than given");
    return 0;
}
