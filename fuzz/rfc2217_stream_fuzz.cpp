// A network serial server's byte stream: any bytes, cut anywhere, give the same data and
// commands as read whole; data never grows; escaped data reads back unchanged; the client
// answers a negotiation with nothing or with one refusal or agreement on the same option;
// and a server address parses only into a host and a port from 1 to 65535.
//
// Input: the first byte is where the stream is cut (times the stream's length / 256); the
// rest is the stream, also taken as an address text.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "components/rfc2217_protocol.h"
#include "fuzz_input.h"

namespace {

namespace rfc2217 = port_control::rfc2217;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzInput input(data, size);
    const uint8_t cutByte = input.takeByte();
    const std::string_view wire = input.takeRemainingBytes();
    const size_t cut = wire.size() * cutByte / 256;

    rfc2217::StreamReader whole;
    std::string wholeData;
    std::vector<rfc2217::Command> wholeCommands;
    whole.read(wire, wholeData, wholeCommands);

    rfc2217::StreamReader pieces;
    std::string piecesData;
    std::vector<rfc2217::Command> piecesCommands;
    pieces.read(wire.substr(0, cut), piecesData, piecesCommands);
    pieces.read(wire.substr(cut), piecesData, piecesCommands);

    FUZZ_CHECK(wholeData == piecesData, "data differs when cut at %zu", cut);
    FUZZ_CHECK(wholeCommands == piecesCommands, "commands differ when cut at %zu", cut);
    FUZZ_CHECK(wholeData.size() <= wire.size(), "more data than stream");

    std::string escaped;
    rfc2217::appendEscaped(wholeData, escaped);
    rfc2217::StreamReader again;
    std::string againData;
    std::vector<rfc2217::Command> againCommands;
    again.read(escaped, againData, againCommands);
    FUZZ_CHECK(againData == wholeData && againCommands.empty(), "escaped data reads back changed");

    rfc2217::OptionNegotiator negotiator;
    negotiator.initialRequests();
    for (const rfc2217::Command& command : wholeCommands) {
        if (command.kind == rfc2217::Command::Kind::ComPort) {
            FUZZ_CHECK(command.option == rfc2217::telnet::kComPort, "sub-negotiation of %d",
                       command.option);
            FUZZ_CHECK(command.value.size() < rfc2217::StreamReader::kLongestSubnegotiation,
                       "value of %zu bytes", command.value.size());
            continue;
        }
        const std::string answer = negotiator.answer(command.verb, command.option);
        if (answer.empty())
            continue;
        FUZZ_CHECK(answer.size() == 3 && static_cast<uint8_t>(answer[0]) == 255 &&
                       static_cast<uint8_t>(answer[1]) >= rfc2217::telnet::kWill &&
                       static_cast<uint8_t>(answer[2]) == command.option,
                   "answer of %zu bytes", answer.size());
        // The same request again changes nothing, so it is not answered again.
        FUZZ_CHECK(
            negotiator.answer(command.verb, command.option).empty() ||
                (command.verb == rfc2217::telnet::kWill || command.verb == rfc2217::telnet::kDo),
            "a repeated refusal was answered");
    }
    FUZZ_CHECK(!(negotiator.comPortAgreed() && negotiator.comPortRefused()),
               "agreed and refused at once");

    if (auto address = rfc2217::parseServerAddress(wire)) {
        FUZZ_CHECK(address->port >= 1 && !address->host.empty(), "address %s:%u",
                   address->host.c_str(), address->port);
        FUZZ_CHECK(address->host.find_first_of("/ @") == std::string::npos, "host %s",
                   address->host.c_str());
    }
    return 0;
}
