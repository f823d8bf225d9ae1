// What the control uses of a UDP socket component (`Winsock1` sends, `Winsock2` receives).
//
// `State` is 0 while closed and non-zero while bound or in use. Endpoints and `Protocol`
// can be written on a closed socket and read back unchanged; a socket that is not closed
// may refuse such a write. Every failure is a platform::Error.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/variant.h"

namespace port_control {

class UdpComponent {
  public:
    virtual ~UdpComponent() = default;

    virtual void put_Protocol(int32_t protocol) = 0;
    virtual int32_t get_Protocol() = 0;
    virtual int16_t get_State() = 0;

    virtual std::u16string get_RemoteHost() = 0;
    virtual void put_RemoteHost(const std::u16string& host) = 0;
    virtual int32_t get_RemotePort() = 0;
    virtual void put_RemotePort(int32_t port) = 0;
    virtual int32_t get_LocalPort() = 0;
    virtual void put_LocalPort(int32_t port) = 0;

    virtual void Bind(int32_t localPort) = 0;
    virtual void Close() = 0;
    // One datagram to RemoteHost:RemotePort; text goes as code page 932, a byte array as
    // is. A closed socket makes itself ready on its first send.
    virtual void SendData(const platform::Variant& data) = 0;
    // The pending datagram, whole, as text; it is removed.
    virtual void GetData(std::u16string& data) = 0;

    // The DataArrival event: once per datagram, with its byte count, on the thread's
    // message loop.
    virtual void setDataArrival(std::function<void(int32_t bytes)> handler) = 0;
    // What the handler reads first, from `begin` up to `end`: the socket may ask the processor
    // for it while the system reads the datagram. A hint only; none by default.
    virtual void setDataArrivalReadAhead(const void* /*begin*/, const void* /*end*/) {}
};

}  // namespace port_control
