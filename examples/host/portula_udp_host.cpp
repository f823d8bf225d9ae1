// A program of its own that uses the installed Corvane: it creates two Portula controls by
// their ProgID (corvane::Portula, portula/portula.h), sets both up for UDP on 127.0.0.1 with
// ports chosen free at run time, sends a frame from one to the other and prints what
// arrives through the receiver's OnComm event. Then it shows how the control refuses what
// it cannot do: a control with no remote port sends nothing, with an error.
//
// Exit status 0 when the frame arrived unchanged, 1 otherwise (with a message).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>

#include "platform/error.h"
#include "platform/message_loop.h"
#include "platform/module_loader.h"
#include "platform/utf8.h"
#include "portula/portula.h"

namespace {

constexpr std::int16_t kComEvReceive = 2;  // CommEvent after data arrived
constexpr auto kTimeout = std::chrono::seconds(5);

// A UDP port on 127.0.0.1 that nobody uses right now: the system picks it.
std::int32_t freeUdpPort() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("no UDP socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                       ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    ::close(fd);
    if (!bound)
        throw std::runtime_error("no free UDP port");
    return ntohs(address.sin_port);
}

// A control opened for UDP between the two ports, each event of which is an OnComm.
corvane::Portula openUdpControl(std::int32_t localPort, std::int32_t remotePort) {
    corvane::Portula control;  // Corvane.Portula
    control.setUDPUse(true);
    control.setRemoteHost("127.0.0.1");
    control.setRemotePort(remotePort);
    control.setLocalPort(localPort);
    control.setRThreshold(1);
    control.setPortOpen(true);
    return control;
}

int run() {
    const std::int32_t receiverPort = freeUdpPort();
    std::int32_t senderPort = freeUdpPort();
    while (senderPort == receiverPort)
        senderPort = freeUdpPort();
    corvane::Portula receiver = openUdpControl(receiverPort, senderPort);
    corvane::Portula sender = openUdpControl(senderPort, receiverPort);
    for (const std::filesystem::path& library : platform::loadedLibraries())
        std::cout << "Corvane.Portula served by " << library.string() << '\n';
    std::cout << std::boolalpha << "receiver: UDPUse " << receiver.udpUse() << ", LocalPort "
              << receiver.localPort() << ", RemoteHost " << platform::toUtf8(receiver.remoteHost())
              << ", RemotePort " << receiver.remotePort() << ", RThreshold "
              << receiver.rThreshold() << ", PortOpen " << receiver.portOpen() << '\n';
    if (receiver.localPort() != receiverPort || receiver.remotePort() != senderPort ||
        !receiver.portOpen()) {
        std::cerr << "portula_udp_host: the receiver reads back other values than it was given\n";
        return 1;
    }

    // Over UDP, Input2 gives text (bytes only in binary mode on a serial port).
    std::optional<std::u16string> arrived;
    receiver.onComm([&] {
        if (receiver.commEvent() != kComEvReceive)
            return;
        corvane::Portula::Data data = receiver.input2();
        if (const auto* text = std::get_if<std::u16string>(&data))
            arrived = *text;
    });

    const std::u16string frame = u"Hello, Portula! こんにちは";
    sender.setOutput(frame);
    if (!platform::MessageLoop::current().runUntil([&] { return arrived.has_value(); }, kTimeout)) {
        std::cerr << "portula_udp_host: nothing arrived within 5 seconds\n";
        return 1;
    }
    std::cout << "OnComm: port " << receiverPort << " received \"" << platform::toUtf8(*arrived)
              << "\" from port " << senderPort << std::endl;
    if (*arrived != frame) {
        std::cerr << "portula_udp_host: the frame arrived changed\n";
        return 1;
    }

    // The control's error, with its number and description, as a platform::Error.
    corvane::Portula unaimed;
    unaimed.setUDPUse(true);
    try {
        unaimed.setOutput("nobody to send to");
        std::cerr << "portula_udp_host: a control with no remote port sent\n";
        return 1;
    } catch (const platform::Error& error) {
        std::cout << "refused: error " << error.number() << ": "
                  << platform::toUtf8(error.description()) << '\n';
    }
    return 0;
}

}  // namespace

int main() {
    try {
        return run();
    } catch (const platform::Error& error) {
        std::cerr << "portula_udp_host: error " << error.number() << ": "
                  << platform::toUtf8(error.description()) << '\n';
    } catch (const std::exception& error) {
        std::cerr << "portula_udp_host: " << error.what() << '\n';
    }
    return 1;
}
