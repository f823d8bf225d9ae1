// A program of its own that uses the installed Corvane: it creates two Portula controls by
// their ProgID through the platform's registry, sets both up for UDP on 127.0.0.1 with
// ports chosen free at run time, sends a frame from one to the other and prints what
// arrives through the receiver's OnComm event. It knows the control only by its published
// identifiers (portula/portula_ids.h) and talks to it through IDispatch.
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
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>

#include "platform/control_site.h"
#include "platform/error.h"
#include "platform/message_loop.h"
#include "platform/module_loader.h"
#include "platform/unknown.h"
#include "platform/variant.h"
#include "portula/portula_ids.h"

namespace {

namespace ids = port_control::ids;
namespace dispid = port_control::ids::dispid;

constexpr int16_t kComEvReceive = 2;  // CommEvent after data arrived
constexpr auto kTimeout = std::chrono::seconds(5);

// A UDP port on 127.0.0.1 that nobody uses right now: the system picks it.
int32_t freeUdpPort() {
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

// One control on a site of this program, opened for UDP between the two ports.
std::unique_ptr<platform::ControlSite> openUdpControl(int32_t localPort, int32_t remotePort) {
    const auto control =
        platform::createObject<platform::IUnknown>(ids::kProgId, platform::IID_IUnknown);
    auto site = std::make_unique<platform::ControlSite>(control.get());
    site->setUserMode(true);
    site->activate(435.0f, 435.0f);
    site->putProperty(dispid::UDPUse, platform::Variant::fromBoolean(platform::kTrue));
    site->putProperty(dispid::RemoteHost, platform::Variant::fromString(u"127.0.0.1"));
    site->putProperty(dispid::RemotePort, platform::Variant::fromLong(remotePort));
    site->putProperty(dispid::LocalPort, platform::Variant::fromLong(localPort));
    site->putProperty(dispid::RThreshold, platform::Variant::fromInteger(1));
    site->putProperty(dispid::PortOpen, platform::Variant::fromBoolean(platform::kTrue));
    return site;
}

int run() {
    const int32_t receiverPort = freeUdpPort();
    int32_t senderPort = freeUdpPort();
    while (senderPort == receiverPort)
        senderPort = freeUdpPort();
    auto receiver = openUdpControl(receiverPort, senderPort);
    auto sender = openUdpControl(senderPort, receiverPort);
    for (const std::filesystem::path& library : platform::loadedLibraries())
        std::cout << "Corvane.Portula served by " << library.string() << '\n';

    std::optional<std::u16string> arrived;
    receiver->setEventHandler([&](int32_t id, std::span<const platform::Variant>) {
        if (id != dispid::OnComm)
            return;
        if (platform::toInteger(receiver->getProperty(dispid::CommEvent)) == kComEvReceive)
            arrived = platform::toString(receiver->getProperty(dispid::Input2));
    });

    const std::u16string frame = u"Hello, Portula! こんにちは";
    sender->putProperty(dispid::Output, platform::Variant::fromString(frame));
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
