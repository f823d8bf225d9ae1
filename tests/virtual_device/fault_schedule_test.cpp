// Fault schedules: every form of a line parses to its fault, every malformed line is refused
// by its number; and the injector puts each fault at its exact offset however the traffic is
// cut, with noise that depends on the seed alone.
#include "virtual_device/fault_schedule.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/utf8.h"
#include "virtual_device/line_event.h"

namespace port_control::virtual_device {
namespace {

using std::chrono::milliseconds;
using Kind = Fault::Kind;

ScheduledFault atTime(int64_t ms, Fault fault, int line) {
    return ScheduledFault{fault, milliseconds(ms), 0, Direction::Sent, line};
}

ScheduledFault atOffset(uint64_t offset, Direction direction, Fault fault, int line) {
    return ScheduledFault{fault, std::nullopt, offset, direction, line};
}

Fault fault(Kind kind, uint32_t count = 1, uint8_t line = 0, int64_t pauseMs = 0) {
    return Fault{kind, count, line, milliseconds(pauseMs)};
}

TEST(FaultScheduleTest, EveryFormOfALineParses) {
    const FaultSchedule schedule = FaultSchedule::parse(
        "# a comment line\n"
        "at 2.5s break\n"
        "\n"
        "  at 1000 sent corrupt   # trailing comment\n"
        "at 200 received drop 5\r\n"
        "at 40 received parity\n"
        "at 40 received framing\n"
        "at 3s overrun\n"
        "at 1s cts down\n"
        "at 1500ms dsr up\n"
        "at 0.001s dcd down\n"
        "at 0ms ring up\n"
        "at 5s unplug 2s\n"
        "at 18446744073709551615 sent break\n"
        "at 7 received unplug 250ms\n"
        "noise 0.001 sent\n"
        "noise 1 received\n",
        "faults.txt");
    const std::vector<ScheduledFault> expected{
        atTime(2500, fault(Kind::Break), 2),
        atOffset(1000, Direction::Sent, fault(Kind::Corrupt), 4),
        atOffset(200, Direction::Received, fault(Kind::Drop, 5), 5),
        atOffset(40, Direction::Received, fault(Kind::Parity), 6),
        atOffset(40, Direction::Received, fault(Kind::Framing), 7),
        atTime(3000, fault(Kind::Overrun), 8),
        atTime(1000, fault(Kind::LineDown, 1, lines::kCts), 9),
        atTime(1500, fault(Kind::LineUp, 1, lines::kDsr), 10),
        atTime(1, fault(Kind::LineDown, 1, lines::kDcd), 11),
        atTime(0, fault(Kind::LineUp, 1, lines::kRing), 12),
        atTime(5000, fault(Kind::Unplug, 1, 0, 2000), 13),
        atOffset(UINT64_MAX, Direction::Sent, fault(Kind::Break), 14),
        atOffset(7, Direction::Received, fault(Kind::Unplug, 1, 0, 250), 15),
    };
    EXPECT_EQ(schedule.faults, expected);
    EXPECT_EQ(schedule.noise[0], 0.001);
    EXPECT_EQ(schedule.noise[1], 1.0);
    const FaultSchedule both = FaultSchedule::parse("noise 0.25", "n");
    EXPECT_EQ(both.noise[0], 0.25);
    EXPECT_EQ(both.noise[1], 0.25);
}

TEST(FaultScheduleTest, RefusesAMalformedLineByItsNumber) {
    const std::vector<std::string> badLines{
        "at",
        "at 5 break",             // an offset needs a direction
        "at 5 sideways corrupt",  // no such direction
        "at 2.5 break",           // a time needs its unit
        "at 2.5h break",
        "at -1s break",
        "at 1.0005s break",  // finer than a millisecond
        "at 99999999999999s break",
        "at 18446744073709551616 sent corrupt",  // past 64 bits
        "at 1s",
        "at 1s corrupt",  // corrupt, drop, parity and framing need a byte
        "at 1s drop 2",
        "at 1s parity",
        "at 3 sent drop",
        "at 3 sent drop 0",
        "at 3 sent drop 4294967296",
        "at 3 sent drop -2",
        "at 1s unplug",
        "at 1s unplug 0s",
        "at 1s cts",
        "at 1s rts down",  // the host's own output
        "at 1s cts sideways",
        "at 1s break now",
        "at 1s explode",
        "noise",
        "noise 1.5",
        "noise -0.1",
        "noise 1e-3",
        "noise nan",
        "noise 0.1 sideways",
        "noise 0.1 sent extra",
        "bogus 1s break",
        "At 1s break",
    };
    for (const std::string& bad : badLines) {
        const std::string text = "# faults\nat 1s break\n\n" + bad + "\nat 2s break\n";
        try {
            FaultSchedule::parse(text, "faults.txt");
            ADD_FAILURE() << bad << ": accepted";
        } catch (const platform::Error& error) {
            EXPECT_EQ(error.number(), 380) << bad;
            EXPECT_NE(error.description().find(u"faults.txt の 4 行目"), std::u16string::npos)
                << bad << ": " << error.what();
        }
    }
    // Noise given twice for a direction is refused on the second line.
    EXPECT_THROW(FaultSchedule::parse("noise 0.1\nnoise 0.2 sent\n", "n"), platform::Error);

    std::string tooMany;
    for (size_t i = 0; i <= FaultSchedule::kMostFaults; ++i)
        tooMany += "# a comment\nat 1s break\n";
    try {
        FaultSchedule::parse(tooMany, "many.txt");
        ADD_FAILURE() << "more than kMostFaults faults accepted";
    } catch (const platform::Error& error) {
        const std::u16string line =
            platform::fromUtf8(std::to_string(2 * (FaultSchedule::kMostFaults + 1)));
        EXPECT_NE(error.description().find(u"many.txt の " + line + u" 行目"), std::u16string::npos)
            << error.what();
    }
}

// The output of a run of passes: the data, with each fault marked where it falls in it.
struct Flattened {
    std::string data;
    std::vector<std::pair<size_t, Fault>> faults;  // position in data, fault

    friend bool operator==(const Flattened&, const Flattened&) = default;
};

Flattened passInChunks(FaultInjector& injector, Direction direction, const std::string& bytes,
                       const std::vector<size_t>& cuts) {
    Flattened flat;
    size_t start = 0;
    std::vector<size_t> ends = cuts;
    ends.push_back(bytes.size());
    for (size_t end : ends) {
        // Traffic the other way between the runs changes nothing here.
        std::vector<FaultPiece> ignored;
        injector.pass(direction == Direction::Sent ? Direction::Received : Direction::Sent, "zzz",
                      ignored);
        std::vector<FaultPiece> pieces;
        injector.pass(direction, std::string_view(bytes).substr(start, end - start), pieces);
        for (const FaultPiece& piece : pieces) {
            flat.data += piece.data;
            if (piece.fault)
                flat.faults.emplace_back(flat.data.size(), *piece.fault);
        }
        start = end;
    }
    return flat;
}

TEST(FaultInjectorTest, ByteFaultsLandAtTheirOffsetsHoweverTheTrafficIsCut) {
    const FaultSchedule schedule = FaultSchedule::parse(
        "at 3 received corrupt\n"
        "at 5 received parity\n"
        "at 8 received break\n"
        "at 9 received drop 4\n"
        "at 11 received cts down\n"
        "at 14 received framing\n"
        "at 14 received overrun\n"
        "at 2 sent break\n"  // the other direction
        "at 100 received break\n",
        "faults.txt");
    const std::string input = "abcdefghijklmnop";
    std::vector<std::vector<size_t>> cutsList{{}, {4, 9, 10, 12}, {3, 5, 8, 11, 14, 15}, {}};
    for (size_t i = 1; i < input.size(); ++i)
        cutsList.back().push_back(i);

    for (const auto& cuts : cutsList) {
        FaultInjector injector(schedule, 7);
        const Flattened flat = passInChunks(injector, Direction::Received, input, cuts);
        // Bytes 9 to 12 are dropped; the corrupted byte 3 is in place and differs.
        ASSERT_EQ(flat.data.size(), 12u);
        EXPECT_EQ(flat.data.substr(0, 3) + "?" + flat.data.substr(4), "abc?efghinop");
        EXPECT_NE(flat.data[3], 'd');
        const std::vector<std::pair<size_t, Fault>> expectedFaults{
            {5, fault(Kind::Parity)},
            {8, fault(Kind::Break)},
            {9, fault(Kind::LineDown, 1, lines::kCts)},
            {10, fault(Kind::Framing)},
            {10, fault(Kind::Overrun)},
        };
        EXPECT_EQ(flat.faults, expectedFaults);

        const auto received = std::optional<Direction>(Direction::Received);
        const auto sent = std::optional<Direction>(Direction::Sent);
        const std::vector<AppliedFault> expectedApplied{
            {fault(Kind::Break), sent, 2, 0},
            {fault(Kind::Corrupt), received, 3, static_cast<uint8_t>(flat.data[3])},
            {fault(Kind::Parity), received, 5, 0},
            {fault(Kind::Break), received, 8, 0},
            {fault(Kind::Drop, 4), received, 9, 0},
            {fault(Kind::LineDown, 1, lines::kCts), received, 11, 0},
            {fault(Kind::Framing), received, 14, 0},
            {fault(Kind::Overrun), received, 14, 0},
        };
        EXPECT_EQ(injector.applied(), expectedApplied) << "cut in " << cuts.size() + 1;
    }
}

TEST(FaultInjectorTest, NoiseDependsOnTheSeedAloneNotOnHowTrafficIsCut) {
    const FaultSchedule schedule =
        FaultSchedule::parse("noise 0.05 received\nat 100 received corrupt\n", "noise.txt");
    std::string input;
    for (int i = 0; i < 4096; ++i)
        input += static_cast<char>(i * 7);
    const auto noiseOffsets = [](const FaultInjector& injector) {
        std::vector<uint64_t> offsets;
        for (const AppliedFault& applied : injector.applied())
            offsets.push_back(applied.offset);
        return offsets;
    };

    FaultInjector whole(schedule, 42);
    const Flattened wholeOutput = passInChunks(whole, Direction::Received, input, {});
    std::vector<size_t> cuts;
    for (size_t at = 1; at < input.size(); at += 1 + at % 97)
        cuts.push_back(at);
    FaultInjector pieces(schedule, 42);
    EXPECT_EQ(passInChunks(pieces, Direction::Received, input, cuts), wholeOutput);
    EXPECT_EQ(pieces.applied(), whole.applied());

    // About 5 % of the bytes, each changed to what applied() says, and none sent.
    const std::vector<AppliedFault>& applied = whole.applied();
    EXPECT_GT(applied.size(), 4096u * 3 / 100);
    EXPECT_LT(applied.size(), 4096u * 7 / 100);
    std::string changed = input;
    for (const AppliedFault& fault : applied) {
        EXPECT_EQ(fault.direction, Direction::Received);
        EXPECT_EQ(fault.fault.kind, Kind::Corrupt);
        changed[fault.offset] = static_cast<char>(fault.value);
    }
    EXPECT_EQ(wholeOutput.data, changed);
    EXPECT_NE(wholeOutput.data, input);
    std::vector<FaultPiece> sentPieces;
    whole.pass(Direction::Sent, input, sentPieces);
    ASSERT_EQ(sentPieces.size(), 1u);
    EXPECT_EQ(sentPieces[0].data, input);

    FaultInjector otherSeed(schedule, 43);
    passInChunks(otherSeed, Direction::Received, input, {});
    EXPECT_NE(noiseOffsets(otherSeed), noiseOffsets(whole));
}

TEST(FaultInjectorTest, TimedFaultsAreDueOnceInTimeOrder) {
    FaultInjector injector(FaultSchedule::parse("at 3s break\n"
                                                "at 1s cts down\n"
                                                "at 3s overrun\n"
                                                "at 10 sent break\n"
                                                "at 1s cts up\n",
                                                "timed.txt"),
                           0);
    EXPECT_EQ(injector.nextDue(), milliseconds(1000));
    EXPECT_EQ(injector.dueAt(milliseconds(999)), std::vector<Fault>{});
    const std::vector<Fault> first{fault(Kind::LineDown, 1, lines::kCts),
                                   fault(Kind::LineUp, 1, lines::kCts)};
    EXPECT_EQ(injector.dueAt(milliseconds(2999)), first);
    EXPECT_EQ(injector.nextDue(), milliseconds(3000));
    EXPECT_EQ(injector.dueAt(milliseconds(2999)), std::vector<Fault>{});
    const std::vector<Fault> second{fault(Kind::Break), fault(Kind::Overrun)};
    EXPECT_EQ(injector.dueAt(milliseconds(60000)), second);
    EXPECT_EQ(injector.nextDue(), std::nullopt);
    injector.noteInjected(fault(Kind::Parity));

    std::vector<AppliedFault> expected;
    for (const Fault& f : {first[0], first[1], second[0], second[1], fault(Kind::Parity)})
        expected.push_back(AppliedFault{f, std::nullopt, 0, 0});
    EXPECT_EQ(injector.applied(), expected);
}

}  // namespace
}  // namespace port_control::virtual_device
