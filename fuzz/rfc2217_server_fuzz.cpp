// A client's byte stream as a virtual device's server reads it: any bytes, cut anywhere, give
// the same data, answers and port state as read whole; answers stay in proportion to what
// was read (a client cannot make the server say more than a bounded amount per byte); and
// the line settings the server keeps are always ones a UART can take.
//
// Input: the first byte is where the stream is cut (times the stream's length / 256); the
// rest is the stream.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_input.h"
#include "virtual_device/rfc2217_server_session.h"

namespace {

using port_control::SerialSettings;
using port_control::virtual_device::Rfc2217ServerSession;

// Longest answer to one command: a sub-negotiation of a four-byte value, every byte escaped.
constexpr size_t kLongestAnswer = 6 + 2 * 32;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzInput input(data, size);
    const uint8_t cutByte = input.takeByte();
    const std::string_view wire = input.takeRemainingBytes();
    const size_t cut = wire.size() * cutByte / 256;

    Rfc2217ServerSession whole;
    std::string wholeData;
    std::string wholeReplies = whole.start();
    uint32_t wholeChanges = whole.read(wire, wholeData, wholeReplies);

    Rfc2217ServerSession pieces;
    std::string piecesData;
    std::string piecesReplies = pieces.start();
    uint32_t piecesChanges = pieces.read(wire.substr(0, cut), piecesData, piecesReplies);
    piecesChanges |= pieces.read(wire.substr(cut), piecesData, piecesReplies);

    FUZZ_CHECK(wholeData == piecesData, "data differs when cut at %zu", cut);
    FUZZ_CHECK(wholeReplies == piecesReplies, "answers differ when cut at %zu", cut);
    FUZZ_CHECK(whole.settings() == pieces.settings() && whole.dtr() == pieces.dtr() &&
                   whole.rts() == pieces.rts() && whole.breakOn() == pieces.breakOn(),
               "port state differs when cut at %zu", cut);
    // A change seen whole is seen in pieces too (pieces may see one undone later).
    FUZZ_CHECK((wholeChanges & ~piecesChanges) == 0, "changes lost when cut at %zu", cut);
    FUZZ_CHECK(wholeData.size() <= wire.size(), "more data than stream");
    FUZZ_CHECK(wholeReplies.size() <= 64 + wire.size() / 3 * kLongestAnswer,
               "%zu bytes of answers to %zu bytes", wholeReplies.size(), wire.size());

    const SerialSettings& settings = whole.settings();
    FUZZ_CHECK(settings.dataBits >= 5 && settings.dataBits <= 8, "%d data bits", settings.dataBits);
    FUZZ_CHECK(settings.baudRate >= 50 && settings.baudRate <= 0x7FFFFFFF, "%u bit/s",
               settings.baudRate);
    return 0;
}
