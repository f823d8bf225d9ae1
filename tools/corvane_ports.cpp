// corvane-ports: the machine's serial ports and the port numbers that open them.
//
//   corvane-ports                   a table: port number, device, stable name, description,
//                                   VID:PID, serial number
//   corvane-ports --json            the same as a JSON array, ASCII only, for scripts
//   corvane-ports --map N DEVICE    port N opens DEVICE (by its stable name when it has one)
//   corvane-ports --unmap N         port N's entry goes
//   corvane-ports --watch           a line for each port arriving or leaving, until SIGINT
//                                   or SIGTERM
//
// Exit status 0 on success, 1 when the platform reports an error (shown with its number
// and description), when --unmap finds no entry or when the output cannot be written, 2 for
// a wrong command line (port numbers run from 1 to 255, as CommPort's). Messages in the
// user's language (gettext domain "corvane"); the JSON keys and the watch's
// "arrived"/"left" are not translated.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"
#include "platform/file_descriptor.h"
#include "platform/message_loop.h"
#include "platform/port_map.h"
#include "platform/serial_devices.h"
#include "platform/utf8.h"
#include "stop_signals.h"
#include "tool_messages.h"

namespace {

using platform::SerialPortDescription;
using tools::format;
using tools::translate;

void printUsage(std::FILE* out) {
    std::fputs(translate("Usage: corvane-ports [--json | --watch]\n"
                         "       corvane-ports --map N DEVICE\n"
                         "       corvane-ports --unmap N\n"
                         "\n"
                         "Lists the machine's serial ports and the port numbers of the\n"
                         "user's port map that open them.\n"
                         "\n"
                         "  -j, --json        print the list as JSON\n"
                         "  -m, --map N DEV   make port N open DEV (its stable name when it\n"
                         "                    has one)\n"
                         "  -u, --unmap N     remove port N from the port map\n"
                         "  -w, --watch       print each port as it arrives or leaves\n"
                         "  -h, --help        show this help\n"
                         "  -V, --version     show the version\n"),
               out);
}

int usageError(const std::string& message) {
    std::fprintf(stderr, "corvane-ports: %s\n\n", message.c_str());
    printUsage(stderr);
    return 2;
}

std::string errorText(const platform::Error& error) {
    return format(translate("error %d: %s"), static_cast<int>(error.number()),
                  tools::platformErrorText(error.number(), error.description()).c_str());
}

int platformFailure(const platform::Error& error) {
    std::fprintf(stderr, "corvane-ports: %s\n", errorText(error).c_str());
    return 1;
}

// A refused port map hides no port: they are listed without numbers, and this says once why.
void warnOfRefusedMap(const std::optional<platform::Error>& refusal) {
    if (!refusal)
        return;
    std::fprintf(stderr, "corvane-ports: %s\n",
                 format(translate("warning: the port map %s is not used (%s); the ports are "
                                  "listed without numbers."),
                        platform::portMapFile().c_str(), errorText(*refusal).c_str())
                     .c_str());
}

std::vector<SerialPortDescription> listPorts() {
    std::optional<platform::Error> refusal;
    std::vector<SerialPortDescription> ports = platform::listSerialPorts(refusal);
    warnOfRefusedMap(refusal);
    return ports;
}

// Text for a line of the table or the watch: control characters (a tab or a line break
// udev passed on from a device) shown as escapes, so that each port stays one line and its
// columns stay apart; a backslash doubled, so that an escape and a name that holds one
// read differently.
std::string printable(std::string_view text) {
    std::string shown;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\\') {
            shown += "\\\\";
        } else if (byte == '\t') {
            shown += "\\t";
        } else if (byte == '\n') {
            shown += "\\n";
        } else if (byte < 0x20 || byte == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", byte);
            shown += escape;
        } else {
            shown += c;
        }
    }
    return shown;
}

std::string orDash(const std::string& text) {
    return text.empty() ? std::string("-") : printable(text);
}

std::string vendorAndProduct(const SerialPortDescription& port) {
    if (port.vendorId.empty() && port.productId.empty())
        return "-";
    return port.vendorId + ":" + port.productId;
}

std::string portNumberText(const SerialPortDescription& port) {
    return port.portNumber > 0 ? std::to_string(port.portNumber) : std::string("-");
}

// One UTF-8 character at `text[at]`: its code point (U+FFFD for a malformed sequence) and
// length in bytes.
std::pair<char32_t, size_t> decodeCharacter(std::string_view text, size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    size_t length = lead < 0x80           ? 1
                    : (lead >> 5) == 0x6  ? 2
                    : (lead >> 4) == 0xE  ? 3
                    : (lead >> 3) == 0x1E ? 4
                                          : 0;
    if (length == 0 || at + length > text.size())
        return {U'\uFFFD', 1};
    if (length == 1)
        return {lead, 1};
    char32_t code = lead & (0x3F >> (length - 1));
    for (size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80)
            return {U'\uFFFD', 1};
        code = (code << 6) | (next & 0x3F);
    }
    static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return {U'\uFFFD', 1};
    return {code, length};
}

// The columns a text takes on a terminal: East Asian wide characters take two.
size_t displayWidth(std::string_view text) {
    size_t width = 0;
    for (size_t at = 0; at < text.size();) {
        const auto [code, length] = decodeCharacter(text, at);
        at += length;
        const bool wide =
            (code >= 0x1100 && code <= 0x115F) || (code >= 0x2E80 && code <= 0xA4CF) ||
            (code >= 0xAC00 && code <= 0xD7A3) || (code >= 0xF900 && code <= 0xFAFF) ||
            (code >= 0xFE30 && code <= 0xFE4F) || (code >= 0xFF00 && code <= 0xFF60) ||
            (code >= 0xFFE0 && code <= 0xFFE6) || (code >= 0x20000 && code <= 0x3FFFD);
        width += wide ? 2 : 1;
    }
    return width;
}

// A JSON string of `text`, ASCII only: quotes, backslashes, control characters and every
// character beyond ASCII escaped (\uXXXX, surrogate pairs above U+FFFF); a malformed UTF-8
// sequence becomes U+FFFD.
std::string jsonString(std::string_view text) {
    std::string json = "\"";
    auto escape = [&json](unsigned unit) {
        char buffer[12];
        std::snprintf(buffer, sizeof buffer, "\\u%04x", unit);
        json += buffer;
    };
    for (size_t at = 0; at < text.size();) {
        const auto [code, length] = decodeCharacter(text, at);
        at += length;
        if (code == U'"') {
            json += "\\\"";
        } else if (code == U'\\') {
            json += "\\\\";
        } else if (code == U'\n') {
            json += "\\n";
        } else if (code == U'\t') {
            json += "\\t";
        } else if (code >= 0x20 && code < 0x7F) {
            json += static_cast<char>(code);
        } else if (code > 0xFFFF) {
            const char32_t offset = code - 0x10000;
            escape(0xD800 + static_cast<unsigned>(offset >> 10));
            escape(0xDC00 + static_cast<unsigned>(offset & 0x3FF));
        } else {
            escape(static_cast<unsigned>(code));
        }
    }
    return json + "\"";
}

std::string jsonObject(const SerialPortDescription& port) {
    const std::pair<const char*, const std::string*> texts[] = {
        {"device", &port.device},
        {"by_id", &port.byId},
        {"by_path", &port.byPath},
        {"driver", &port.driver},
        {"vendor_id", &port.vendorId},
        {"product_id", &port.productId},
        {"manufacturer", &port.manufacturer},
        {"product", &port.product},
        {"serial_number", &port.serialNumber},
        {"interface_number", &port.interfaceNumber},
    };
    std::string json = "{";
    for (const auto& [key, value] : texts)
        json += jsonString(key) + ": " + jsonString(*value) + ", ";
    json += "\"network\": ";
    json += port.network ? "true" : "false";
    json += ", \"port_number\": ";
    json += port.portNumber > 0 ? std::to_string(port.portNumber) : "null";
    json += ", \"stable_name\": " + jsonString(port.stableName());
    json += ", \"description\": " + jsonString(port.description()) + "}";
    return json;
}

int printJson(const std::vector<SerialPortDescription>& ports) {
    std::string json = "[";
    for (size_t i = 0; i < ports.size(); ++i)
        json += (i == 0 ? "\n  " : ",\n  ") + jsonObject(ports[i]);
    json += ports.empty() ? "]\n" : "\n]\n";
    std::fputs(json.c_str(), stdout);
    return 0;
}

// Device names in the order a person counts them: runs of digits compare as numbers, so
// ttyUSB2 comes before ttyUSB10.
bool comesBefore(std::string_view a, std::string_view b) {
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            size_t endA = i, endB = j;
            while (endA < a.size() && isDigit(a[endA]))
                ++endA;
            while (endB < b.size() && isDigit(b[endB]))
                ++endB;
            // Without leading zeros, the longer run is the larger number.
            std::string_view runA = a.substr(i, endA - i), runB = b.substr(j, endB - j);
            runA.remove_prefix(std::min(runA.find_first_not_of('0'), runA.size()));
            runB.remove_prefix(std::min(runB.find_first_not_of('0'), runB.size()));
            if (runA.size() != runB.size())
                return runA.size() < runB.size();
            if (runA != runB)
                return runA < runB;
            i = endA;
            j = endB;
        } else {
            if (a[i] != b[j])
                return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

// The widest a description is shown: a device may name itself at any length, and one long
// name must not widen every row.
constexpr size_t kWidestDescription = 80;

// `text` cut to at most `width` columns, ending in "..." when cut.
std::string capped(const std::string& text, size_t width) {
    if (displayWidth(text) <= width)
        return text;
    std::string cut;
    size_t columns = 0;
    for (size_t at = 0; at < text.size();) {
        const auto [code, length] = decodeCharacter(text, at);
        const size_t next = displayWidth(text.substr(at, length));
        if (columns + next > width - 3)
            break;
        cut += text.substr(at, length);
        columns += next;
        at += length;
    }
    return cut + "...";
}

int printTable(std::vector<SerialPortDescription> ports) {
    std::stable_sort(ports.begin(), ports.end(),
                     [](const SerialPortDescription& a, const SerialPortDescription& b) {
                         return comesBefore(a.device, b.device);
                     });
    std::vector<std::vector<std::string>> rows;
    rows.push_back({translate("PORT"), translate("DEVICE"), translate("STABLE NAME"),
                    translate("DESCRIPTION"), translate("VID:PID"), translate("SERIAL")});
    for (const SerialPortDescription& port : ports) {
        rows.push_back({portNumberText(port), orDash(port.device), orDash(port.stableName()),
                        capped(orDash(port.description()), kWidestDescription),
                        vendorAndProduct(port), orDash(port.serialNumber)});
    }
    std::vector<size_t> widths(rows.front().size(), 0);
    for (const auto& row : rows) {
        for (size_t column = 0; column < row.size(); ++column)
            widths[column] = std::max(widths[column], displayWidth(row[column]));
    }
    for (const auto& row : rows) {
        std::string line;
        for (size_t column = 0; column < row.size(); ++column) {
            line += row[column];
            if (column + 1 < row.size())
                line.append(widths[column] - displayWidth(row[column]) + 2, ' ');
        }
        std::puts(line.c_str());
    }
    return 0;
}

// The character device `path` leads to, links followed, or nothing.
std::optional<dev_t> characterDevice(const char* path) {
    struct stat info = {};
    if (::stat(path, &info) != 0 || !S_ISCHR(info.st_mode))
        return std::nullopt;
    return info.st_rdev;
}

// The name a port map entry should use for `device`: the stable name of the listed port
// it leads to (by its node, one of its links, or any other name for the same device: a name
// without a leading '/' is taken under /dev, as the map reads it, and "/dev/./ttyUSB0" is
// /dev/ttyUSB0), else `device` as given (a pseudo-terminal, a network server's address, a
// port not plugged in now).
std::filesystem::path entryFor(const std::string& device) {
    if (device.find("://") != std::string::npos)
        return device;
    namespace fs = std::filesystem;
    const fs::path named =
        (device.starts_with("/") ? fs::path(device) : fs::path("/dev") / device).lexically_normal();
    const std::optional<dev_t> node = characterDevice(named.c_str());
    for (const SerialPortDescription& port : platform::listSerialPorts()) {
        if (named == fs::path(port.device) || (!port.byId.empty() && named == port.byId) ||
            (!port.byPath.empty() && named == port.byPath) ||
            (node && characterDevice(port.device.c_str()) == node))
            return port.stableName();
    }
    return device;
}

// The numbers a program can open, as the control's CommPort takes them.
constexpr int kLowestPort = 1;
constexpr int kHighestPort = 255;

std::optional<int> parsePortNumber(std::string_view text) {
    int number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || end != text.data() + text.size() || number < kLowestPort ||
        number > kHighestPort)
        return std::nullopt;
    return number;
}

int noPortNumber(const char* text) {
    return usageError(
        format(translate("\"%s\" is no port number (%d to %d)."), text, kLowestPort, kHighestPort));
}

int mapPort(int port, const std::string& device) {
    const std::filesystem::path entry = entryFor(device);
    platform::setPortDevice(port, entry);
    std::printf("corvane-ports: %s\n", format(translate("port %d opens %s (in %s)."), port,
                                              entry.c_str(), platform::portMapFile().c_str())
                                           .c_str());
    return 0;
}

int unmapPort(int port) {
    bool mapped = false;
    for (const platform::PortMapEntry& entry : platform::portMapEntries())
        mapped = mapped || entry.port == port;
    if (!mapped) {
        std::fprintf(
            stderr, "corvane-ports: %s\n",
            format(translate("port %d has no entry in %s."), port, platform::portMapFile().c_str())
                .c_str());
        return 1;
    }
    platform::removePortDevice(port);
    std::printf("corvane-ports: %s\n",
                format(translate("port %d removed from %s."), port, platform::portMapFile().c_str())
                    .c_str());
    return 0;
}

void printChange(platform::SerialPortWatch::Change change, const SerialPortDescription& port) {
    const bool arrived = change == platform::SerialPortWatch::Change::Arrived;
    std::printf("%s\t%s\t%s\t%s\t%s\t%s\t%s\n", arrived ? "arrived" : "left",
                portNumberText(port).c_str(), orDash(port.device).c_str(),
                orDash(port.stableName()).c_str(), orDash(port.description()).c_str(),
                vendorAndProduct(port).c_str(), orDash(port.serialNumber).c_str());
    // Nobody reads a watch whose output cannot be written: it ends, and main says why.
    if (std::fflush(stdout) != 0)
        platform::MessageLoop::current().quit();
}

// Until SIGINT or SIGTERM, which arrive through a signalfd on the loop, so that the watch
// and the loop end in order.
int watchPorts() {
    platform::MessageLoop& loop = platform::MessageLoop::current();
    const platform::SerialPortWatch watch(&printChange, loop);
    warnOfRefusedMap(watch.portMapRefusal());
    tools::StopSignals stopSignals;
    stopSignals.quitOnArrival(loop);
    std::fprintf(stderr, "corvane-ports: %s\n",
                 translate("watching the serial ports; Ctrl+C ends."));
    loop.run();
    return 0;
}

int run(int argc, char** argv) {
    const std::vector<std::string_view> arguments(argv + 1, argv + argc);
    if (!arguments.empty() && (arguments[0] == "-h" || arguments[0] == "--help")) {
        printUsage(stdout);
        return 0;
    }
    if (!arguments.empty() && (arguments[0] == "-V" || arguments[0] == "--version")) {
        std::printf("corvane-ports (Corvane) %s\n", CORVANE_VERSION);
        return 0;
    }
    for (const std::string_view argument : arguments) {
        if (argument == "-h" || argument == "--help" || argument == "-V" || argument == "--version")
            return usageError(format(translate("\"%s\" goes alone."), argument.data()));
    }
    try {
        if (arguments.empty())
            return printTable(listPorts());
        const std::string_view command = arguments[0];
        const size_t operands = arguments.size() - 1;
        if ((command == "-j" || command == "--json") && operands == 0)
            return printJson(listPorts());
        if ((command == "-w" || command == "--watch") && operands == 0)
            return watchPorts();
        if ((command == "-m" || command == "--map") && operands == 2) {
            const std::optional<int> port = parsePortNumber(arguments[1]);
            if (!port)
                return noPortNumber(argv[2]);
            return mapPort(*port, argv[3]);
        }
        if ((command == "-u" || command == "--unmap") && operands == 1) {
            const std::optional<int> port = parsePortNumber(arguments[1]);
            if (!port)
                return noPortNumber(argv[2]);
            return unmapPort(*port);
        }
        if (command.starts_with("-") && command != "--map" && command != "-m" &&
            command != "--unmap" && command != "-u" && command != "--json" && command != "-j" &&
            command != "--watch" && command != "-w")
            return usageError(format(translate("unknown option \"%s\"."), argv[1]));
        return usageError(translate("wrong number of arguments."));
    } catch (const platform::Error& error) {
        return platformFailure(error);
    }
}

}  // namespace

int main(int argc, char** argv) {
    tools::setUpMessages();
    return tools::finishOutput("corvane-ports", run(argc, argv));
}
