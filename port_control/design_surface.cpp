#include "design_surface.h"

#include "components/serial_port.h"
#include "components/udp_socket.h"

namespace port_control {

namespace {
constexpr DesignItem kItems[] = {
    {"Image1", "Image", 0, 0},
    {"Winsock1", "MSWinsockLib.Winsock", 600, 120},
    {"MSComm1", "MSCommLib.MSComm", 0, 480},
    {"Winsock2", "MSWinsockLib.Winsock", 600, 600},
};

std::unique_ptr<UdpComponent> udpSocket(UdpSocket::Incoming incoming) {
    auto socket = std::make_unique<UdpSocket>(incoming);
    socket->put_Protocol(1);
    socket->put_RemoteHost(u"");
    socket->put_RemotePort(0);
    socket->put_LocalPort(0);
    return socket;
}
}  // namespace

std::span<const DesignItem> designSurfaceItems() {
    return kItems;
}

Components loadDesignSurface() {
    auto serial = std::make_unique<SerialPort>();
    serial->put_CommPort(1);
    serial->put_Settings(u"9600,n,8,1");
    serial->put_InBufferSize(1024);
    serial->put_OutBufferSize(512);
    serial->put_ParityReplace(u"?");
    // Nothing reads what arrives at the sender's port: it is dropped as it comes, or a peer
    // sending there would fill memory until the socket closes.
    return Components{std::move(serial), udpSocket(UdpSocket::Incoming::Discard),
                      udpSocket(UdpSocket::Incoming::Deliver)};
}

}  // namespace port_control
