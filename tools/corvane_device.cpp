// corvane-device: virtual serial devices served over RFC 2217 on 127.0.0.1, until SIGINT or
// SIGTERM.
//
//   corvane-device pair   [options]              two ends joined as a null-modem cable
//   corvane-device echo   [options]              one end that sends everything back
//   corvane-device record [options] SOURCE FILE  one end forwarded to SOURCE, recorded
//   corvane-device replay [options] FILE         one end that plays FILE back
//
// Standard output has one line for each end as soon as it serves
// ("port 1: rfc2217://127.0.0.1:40123 (CommPort 5) /dev/pts/7"), "seed: N" first when there
// is a fault schedule, and one line for each fault as it is applied
// ("fault: sent 1000 corrupt 0x5a", "fault: - - unplug 2000ms"); these lines are for
// scripts and are not translated. Each is flushed at once.
//
// Exit status 0 when interrupted or when a replay has played to its end (a second after its
// last event, so that the client gets it), 1 when the
// platform reports an error (a port taken, a source that does not open, a capture or fault
// schedule refused: nothing is served then), when a recorded source goes away or when the
// output cannot be written, 2 for a wrong command line, 3 when a strict replay receives a
// byte that was not recorded. Port map entries that --map wrote are taken back on exit.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/error.h"
#include "platform/file_descriptor.h"
#include "platform/message_loop.h"
#include "platform/port_map.h"
#include "stop_signals.h"
#include "tool_messages.h"
#include "virtual_device/capture_file.h"
#include "virtual_device/device_server.h"
#include "virtual_device/fault_schedule.h"

namespace {

using port_control::virtual_device::AppliedFault;
using port_control::virtual_device::DeviceKind;
using port_control::virtual_device::DeviceOptions;
using port_control::virtual_device::DeviceServer;
using port_control::virtual_device::DeviceStatus;
using port_control::virtual_device::Direction;
using port_control::virtual_device::Fault;
using port_control::virtual_device::FaultSchedule;
using tools::format;
using tools::translate;

constexpr int kInterrupted = 0;
constexpr int kFailed = 1;
constexpr int kWrongCommandLine = 2;
constexpr int kMismatch = 3;

// How long a replay that has played to its end goes on serving.
constexpr std::chrono::milliseconds kLingerAfterReplay{1000};

void printUsage(std::FILE* out) {
    std::fputs(
        translate("Usage: corvane-device pair [OPTION...]\n"
                  "       corvane-device echo [OPTION...]\n"
                  "       corvane-device record [OPTION...] SOURCE FILE\n"
                  "       corvane-device replay [OPTION...] FILE\n"
                  "\n"
                  "Serves virtual serial devices over RFC 2217 on 127.0.0.1 until\n"
                  "interrupted: two ports joined as a null-modem cable, a port that\n"
                  "sends everything back, a port forwarded to SOURCE (a device, a port\n"
                  "number or an rfc2217:// address) and recorded in FILE, or the\n"
                  "replay of such a recording.\n"
                  "\n"
                  "  --port P        serve the next end on TCP port P (default: a free one)\n"
                  "  --map N         make port number N of the port map open the next end\n"
                  "                  while the device runs\n"
                  "  --pty           also offer each end as a pseudo-terminal (data only)\n"
                  "  --no-pace       pass data as fast as the clients take it\n"
                  "  --faults FILE   apply the fault schedule in FILE\n"
                  "  --seed N        seed the faults' random choices (default: random)\n"
                  "  --respond       replay: answer whatever the client sends (default)\n"
                  "  --strict        replay: stop at the first byte not as recorded\n"
                  "  --speed X       replay: play X times as fast\n"
                  "  -h, --help      show this help\n"
                  "  -V, --version   show the version\n"),
        out);
}

int usageError(const std::string& message) {
    std::fprintf(stderr, "corvane-device: %s\n\n", message.c_str());
    printUsage(stderr);
    return kWrongCommandLine;
}

std::string errorText(const platform::Error& error) {
    return format(translate("error %d: %s"), static_cast<int>(error.number()),
                  tools::platformErrorText(error.number(), error.description()).c_str());
}

template <class Number>
std::optional<Number> parseNumber(std::string_view text, Number lowest, Number highest) {
    Number number{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || end != text.data() + text.size() || number < lowest ||
        number > highest)
        return std::nullopt;
    return number;
}

std::optional<double> parseSpeed(const std::string& text) {
    char* end = nullptr;
    const double speed = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(speed) || speed <= 0)
        return std::nullopt;
    return speed;
}

// The command line, checked.
struct CommandLine {
    DeviceOptions device;
    std::vector<int> mappedPorts;  // one per end, in order, for the first ends
    std::optional<std::string> faultsFile;
    std::optional<uint64_t> seed;
};

size_t endsOf(DeviceKind kind) {
    return kind == DeviceKind::Pair ? 2 : 1;
}

// The command line, or the status of a wrong one (its message already shown).
std::variant<CommandLine, int> parseCommandLine(const std::vector<std::string>& arguments) {
    static const std::pair<const char*, DeviceKind> kKinds[] = {{"pair", DeviceKind::Pair},
                                                                {"echo", DeviceKind::Echo},
                                                                {"record", DeviceKind::Record},
                                                                {"replay", DeviceKind::Replay}};
    CommandLine line;
    if (arguments.empty())
        return usageError(translate("no kind of device given."));
    bool known = false;
    for (const auto& [name, kind] : kKinds) {
        if (arguments[0] == name) {
            line.device.kind = kind;
            known = true;
        }
    }
    if (!known)
        return usageError(
            format(translate("unknown kind of device \"%s\"."), arguments[0].c_str()));
    const DeviceKind kind = line.device.kind;
    const bool replay = kind == DeviceKind::Replay;
    std::vector<std::string> operands;
    for (size_t i = 1; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        const bool takesValue = option == "--port" || option == "--map" || option == "--faults" ||
                                option == "--seed" || option == "--speed";
        if (takesValue && i + 1 == arguments.size())
            return usageError(format(translate("\"%s\" needs a value."), option.c_str()));
        const std::string value = takesValue ? arguments[++i] : std::string();
        if (option == "--port") {
            const std::optional<uint16_t> port = parseNumber<uint16_t>(value, 1, 65535);
            if (!port)
                return usageError(
                    format(translate("\"%s\" is no TCP port (1 to 65535)."), value.c_str()));
            line.device.ports.push_back(*port);
        } else if (option == "--map") {
            const std::optional<int> port = parseNumber<int>(value, 1, 255);
            if (!port)
                return usageError(format(translate("\"%s\" is no port number (%d to %d)."),
                                         value.c_str(), 1, 255));
            for (const int mapped : line.mappedPorts) {
                if (mapped == *port)
                    return usageError(format(translate("port %d is mapped twice."), *port));
            }
            line.mappedPorts.push_back(*port);
        } else if (option == "--pty") {
            line.device.pty = true;
        } else if (option == "--no-pace") {
            line.device.pace = false;
        } else if (option == "--faults") {
            line.faultsFile = value;
        } else if (option == "--seed") {
            line.seed = parseNumber<uint64_t>(value, 0, UINT64_MAX);
            if (!line.seed)
                return usageError(
                    format(translate("\"%s\" is no seed (a whole number from 0)."), value.c_str()));
        } else if ((option == "--respond" || option == "--strict") && replay) {
            line.device.strict = option == "--strict";
        } else if (option == "--speed" && replay) {
            const std::optional<double> speed = parseSpeed(value);
            if (!speed)
                return usageError(
                    format(translate("\"%s\" is no speed (a number above 0)."), value.c_str()));
            line.device.speed = *speed;
        } else if (option == "--respond" || option == "--strict" || option == "--speed") {
            return usageError(format(translate("\"%s\" is for replay only."), option.c_str()));
        } else if (option.starts_with("-") && option != "-") {
            return usageError(format(translate("unknown option \"%s\"."), option.c_str()));
        } else {
            operands.push_back(option);
        }
    }
    if (line.device.ports.size() > endsOf(kind) || line.mappedPorts.size() > endsOf(kind))
        return usageError(
            format(translate("this device has %d end(s)."), static_cast<int>(endsOf(kind))));
    const size_t wanted = kind == DeviceKind::Record ? 2 : replay ? 1 : 0;
    if (operands.size() != wanted)
        return usageError(translate("wrong number of arguments."));
    if (kind == DeviceKind::Record) {
        line.device.source = operands[0];
        line.device.capture = operands[1];
    } else if (replay) {
        line.device.capture = operands[0];
    }
    return line;
}

std::string readWholeFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Where a refused file went wrong, for a message in any language (the platform's
// description, which names it, is shown only in Japanese): the first prefix of `pieces` that
// `refuses` refuses ends at it. A refusal of a prefix holds for every longer one.
template <class Refuses>
std::optional<size_t> firstRefusedPiece(size_t pieces, Refuses refuses) {
    if (pieces == 0 || !refuses(pieces))
        return std::nullopt;
    size_t accepted = 0, refused = pieces;  // refuses(refused), !refuses(accepted)
    while (refused - accepted > 1) {
        const size_t middle = accepted + (refused - accepted) / 2;
        (refuses(middle) ? refused : accepted) = middle;
    }
    return refused;
}

// The number of the schedule's line that it is refused at.
std::optional<size_t> refusedScheduleLine(const std::filesystem::path& file) {
    const std::string text = readWholeFile(file);
    std::vector<size_t> lineEnds;
    for (size_t at = 0; at < text.size(); ++at) {
        if (text[at] == '\n' || at + 1 == text.size())
            lineEnds.push_back(at + 1);
    }
    return firstRefusedPiece(lineEnds.size(), [&](size_t lines) {
        try {
            FaultSchedule::parse(std::string_view(text).substr(0, lineEnds[lines - 1]), "");
            return false;
        } catch (const platform::Error&) {
            return true;
        }
    });
}

// The number of the capture's record (from 1) that it is refused at: the records' ends come
// from the pcap framing (a 24-byte file header, then a 16-byte header for each record with
// its length at offset 8, in the byte order of the magic number); a framing that breaks off
// ends the last record there.
std::optional<size_t> refusedCaptureRecord(const std::filesystem::path& file) {
    const std::string bytes = readWholeFile(file);
    constexpr size_t kFileHeader = 24, kRecordHeader = 16;
    if (bytes.size() < kFileHeader)
        return std::nullopt;
    const bool bigEndian = static_cast<unsigned char>(bytes[0]) == 0xA1;
    const auto word = [&](size_t at) {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            const auto byte = static_cast<unsigned char>(bytes[at + (bigEndian ? i : 3 - i)]);
            value = (value << 8) | byte;
        }
        return value;
    };
    std::vector<size_t> recordEnds;
    for (size_t at = kFileHeader; at < bytes.size();) {
        const size_t left = bytes.size() - at;
        if (left < kRecordHeader || word(at + 8) > left - kRecordHeader) {
            recordEnds.push_back(bytes.size());
            break;
        }
        at += kRecordHeader + word(at + 8);
        recordEnds.push_back(at);
    }
    return firstRefusedPiece(recordEnds.size(), [&](size_t records) {
        try {
            port_control::virtual_device::parseCapture(
                std::string_view(bytes).substr(0, recordEnds[records - 1]), "");
            return false;
        } catch (const platform::Error&) {
            return true;
        }
    });
}

// `where`: the file, and its line or record when known.
int fileRefused(const std::string& where, const platform::Error& error) {
    std::fprintf(stderr, "corvane-device: %s: %s\n", where.c_str(), errorText(error).c_str());
    return kFailed;
}

// Port map entries made for the device's ends, each put back as it was on exit.
class PortMapping {
  public:
    PortMapping() = default;
    PortMapping(const PortMapping&) = delete;
    PortMapping& operator=(const PortMapping&) = delete;
    ~PortMapping() {
        for (const auto& [port, before] : m_previous) {
            try {
                if (before)
                    platform::setPortDevice(port, *before);
                else
                    platform::removePortDevice(port);
            } catch (const platform::Error& error) {
                std::fprintf(stderr, "corvane-device: %s\n",
                             format(translate("port %d stays in %s: %s"), port,
                                    platform::portMapFile().c_str(), errorText(error).c_str())
                                 .c_str());
            }
        }
    }

    void map(int port, const std::string& address) {
        std::optional<std::filesystem::path> before;
        for (const platform::PortMapEntry& entry : platform::portMapEntries()) {
            if (entry.port == port)
                before = entry.device;
        }
        platform::setPortDevice(port, address);
        m_previous.emplace_back(port, before);
    }

  private:
    std::vector<std::pair<int, std::optional<std::filesystem::path>>> m_previous;
};

const char* lineName(uint8_t line) {
    namespace lines = port_control::virtual_device::lines;
    switch (line) {
        case lines::kCts:
            return "cts";
        case lines::kDsr:
            return "dsr";
        case lines::kDcd:
            return "dcd";
        case lines::kRing:
            return "ring";
        default:
            return "line";
    }
}

// "fault: DIRECTION OFFSET WHAT", in the schedule's words; "-" for the direction and offset
// of a fault off the data path.
std::string faultLine(const AppliedFault& applied) {
    const Fault& fault = applied.fault;
    std::string what;
    switch (fault.kind) {
        case Fault::Kind::Corrupt:
            what = format("corrupt 0x%02x", applied.value);
            break;
        case Fault::Kind::Drop:
            what = format("drop %u", static_cast<unsigned>(fault.count));
            break;
        case Fault::Kind::Parity:
            what = "parity";
            break;
        case Fault::Kind::Framing:
            what = "framing";
            break;
        case Fault::Kind::Overrun:
            what = "overrun";
            break;
        case Fault::Kind::Break:
            what = "break";
            break;
        case Fault::Kind::LineDown:
            what = format("%s down", lineName(fault.line));
            break;
        case Fault::Kind::LineUp:
            what = format("%s up", lineName(fault.line));
            break;
        case Fault::Kind::Unplug:
            what = format("unplug %lldms", static_cast<long long>(fault.pause.count()));
            break;
    }
    if (!applied.direction)
        return "fault: - - " + what;
    return format("fault: %s %llu %s", *applied.direction == Direction::Sent ? "sent" : "received",
                  static_cast<unsigned long long>(applied.offset), what.c_str());
}

std::string hexBytes(const std::string& bytes) {
    std::string hex;
    for (const char c : bytes)
        hex += format(hex.empty() ? "%02X" : " %02X", static_cast<unsigned char>(c));
    return hex;
}

// Whoever runs a device reads its lines as they come: each goes at once. Output that
// cannot be written ends the run, and main says why.
void printLine(const std::string& line) {
    std::puts(line.c_str());
    if (std::fflush(stdout) != 0)
        platform::MessageLoop::current().quit();
}

// Serves until SIGINT or SIGTERM (through a signalfd on the loop, blocked before the device
// starts so that neither can end the tool before it has taken its map entries back), the end
// of a replay, a strict replay's mismatch or a recorded source's going away.
int serve(CommandLine line) {
    tools::StopSignals stopSignals;

    if (line.faultsFile) {
        try {
            line.device.faults = FaultSchedule::read(*line.faultsFile);
        } catch (const platform::Error& error) {
            const std::optional<size_t> number =
                error.number() == platform::errors::kInvalidPropertyValue
                    ? refusedScheduleLine(*line.faultsFile)
                    : std::nullopt;
            return fileRefused(number ? format(translate("%s, line %d"), line.faultsFile->c_str(),
                                               static_cast<int>(*number))
                                      : *line.faultsFile,
                               error);
        }
    }
    std::random_device random;
    line.device.seed = line.seed ? *line.seed : (uint64_t{random()} << 32) | random();
    const DeviceKind kind = line.device.kind;
    const std::filesystem::path capture = line.device.capture;
    std::optional<DeviceServer> server;
    try {
        server.emplace(line.device);
    } catch (const platform::Error& error) {
        if (kind != DeviceKind::Replay || error.number() != platform::errors::kInvalidPropertyValue)
            throw;
        const std::optional<size_t> number = refusedCaptureRecord(capture);
        return fileRefused(
            number ? format(translate("%s, record %d"), capture.c_str(), static_cast<int>(*number))
                   : capture.string(),
            error);
    }
    PortMapping mapping;
    const std::vector<std::string> addresses = server->addresses();
    for (size_t end = 0; end < line.mappedPorts.size() && end < addresses.size(); ++end)
        mapping.map(line.mappedPorts[end], addresses[end]);

    if (line.device.faults)
        printLine(format("seed: %llu", static_cast<unsigned long long>(line.device.seed)));
    const std::vector<std::filesystem::path> terminals = server->terminals();
    for (size_t end = 0; end < addresses.size(); ++end) {
        std::string text = format("port %d: %s", static_cast<int>(end + 1), addresses[end].c_str());
        if (end < line.mappedPorts.size())
            text += format(" (CommPort %d)", line.mappedPorts[end]);
        if (end < terminals.size())
            text += " " + terminals[end].string();
        printLine(text);
    }

    platform::MessageLoop& loop = platform::MessageLoop::current();
    int status = kInterrupted;
    size_t faultsShown = 0;
    std::optional<platform::MessageLoop::TimerId> ending;
    const std::function<void()> showStatus = [&] {
        const DeviceStatus now = server->status();
        for (; faultsShown < now.faults.size(); ++faultsShown)
            printLine(faultLine(now.faults[faultsShown]));
        if (now.mismatch) {
            std::fprintf(stderr, "corvane-device: %s\n",
                         format(translate("mismatch at byte %llu: expected %s, received %s"),
                                static_cast<unsigned long long>(now.mismatch->offset),
                                hexBytes(now.mismatch->expected).c_str(),
                                hexBytes(now.mismatch->received).c_str())
                             .c_str());
            status = kMismatch;
            loop.quit();
        } else if (now.finished && kind == DeviceKind::Record) {
            std::fprintf(stderr, "corvane-device: %s\n",
                         format(translate("the source %s has gone; %s ends here."),
                                line.device.source.c_str(), capture.c_str())
                             .c_str());
            status = kFailed;
            loop.quit();
        } else if (now.finished && !ending) {
            // The last answer may still be on its way to the client: it is served a while
            // longer, so that closing does not cut it off.
            ending = loop.startTimer(kLingerAfterReplay, false, [&loop] { loop.quit(); });
        }
    };
    server->onStatusChange(showStatus);
    showStatus();
    stopSignals.quitOnArrival(loop);
    loop.run();
    return status;
}

int run(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.size() == 1 && (arguments[0] == "-h" || arguments[0] == "--help")) {
        printUsage(stdout);
        return 0;
    }
    if (arguments.size() == 1 && (arguments[0] == "-V" || arguments[0] == "--version")) {
        std::printf("corvane-device (Corvane) %s\n", CORVANE_VERSION);
        return 0;
    }
    for (const std::string& argument : arguments) {
        if (argument == "-h" || argument == "--help" || argument == "-V" || argument == "--version")
            return usageError(format(translate("\"%s\" goes alone."), argument.c_str()));
    }
    std::variant<CommandLine, int> line = parseCommandLine(arguments);
    if (const int* status = std::get_if<int>(&line))
        return *status;
    try {
        return serve(std::move(std::get<CommandLine>(line)));
    } catch (const platform::Error& error) {
        std::fprintf(stderr, "corvane-device: %s\n", errorText(error).c_str());
        return kFailed;
    }
}

}  // namespace

int main(int argc, char** argv) {
    tools::setUpMessages();
    // A reader of the output that goes away ends the run through a failed write (and the
    // port map is put back), not through SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);
    return tools::finishOutput("corvane-device", run(argc, argv));
}
