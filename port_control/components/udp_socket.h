// The UDP socket component on a BSD socket, served by the thread's message loop.
//
// A new socket is closed: Protocol 1 (UDP), RemoteHost "", RemotePort 0, LocalPort 0,
// State 0 (closed); it is 1 (open) while bound or opened by a send.
// - Protocol 1 only: 0 (TCP) fails with 40006, anything else with 380. Protocol and the
//   endpoints can be written only while closed (40020 otherwise); a port property outside
//   0..65535 fails with 380.
// - Bind(port) binds every local address, IPv6 and IPv4 alike where the host has IPv6;
//   40021 for a port outside 0..65535, 40020 if not closed. LocalPort then reads the port
//   bound: Bind(0) leaves the port the system chose there, and it stays after Close.
// - SendData sends text as code page 932 and a byte array as is (40018 for any other
//   type), one datagram, empty ones included, to RemoteHost:RemotePort. A name is looked
//   up in the background and waited for kNameLookupWait at most: a send while it is still
//   unknown fails with 11002 (try again), and the lookup goes on, so a later send takes its
//   answer. An answer serves for NameLookup::kKeptFor (components/address_lookup.h), then
//   the name is looked up again, the previous answer standing in meanwhile. A name goes to
//   its first IPv4 address, or to IPv6 only when it has none
//   (components/preferred_address.h); an address written out goes to its own family. A closed
//   socket opens itself, unbound, for the address family of the destination; LocalPort is left
//   alone. RemotePort 0 fails with 40021. A full send buffer is waited on for up to a second, then
//   10055. A refusal left by an earlier datagram (ICMP port unreachable), or any other ICMP report
//   about one, never fails a send.
// - Every open socket receives: each datagram raises DataArrival once, in order of
//   arrival, on the thread's message loop. GetData takes the oldest datagram whole as text
//   (code page 932); with none waiting it gives "". Close drops what is waiting and stops
//   the events still due, also from inside a DataArrival handler. Datagrams nobody takes
//   are held up to about 1 MiB, each counted with kDatagramBookkeeping bytes on top of its
//   own (so 16,384 empty ones fill it too); past that the socket stops reading until
//   GetData makes room, and the system drops what does not fit in its own buffer, as UDP
//   may. A bound socket asks the system for a receive buffer of 4 MiB (capped at
//   net.core.rmem_max).
// - A socket made with Incoming::Discard only sends (the control's sender): it never reads,
//   and is not watched on the loop. What arrives at its port raises no event and is dropped
//   by the system, which keeps at most its smallest receive buffer and one datagram of it,
//   whatever a peer sends. Sending to an address written out, it connects to that address,
//   so that no other peer reaches it at all.
// Errors are platform::Error with the numbers of socket_errors.h.
#pragma once

#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "components/address_lookup.h"
#include "components/arrivals_due.h"
#include "components/datagram_queue.h"
#include "components/preferred_address.h"
#include "components/udp_component.h"
#include "platform/watched_descriptor.h"

namespace port_control {

class alignas(64) UdpSocket : public UdpComponent {
  public:
    // What becomes of the datagrams that arrive at the socket's port.
    enum class Incoming {
        Deliver,  // held for GetData, each announced by DataArrival
        Discard,  // dropped as they come: for a socket that only sends
    };

    explicit UdpSocket(Incoming incoming = Incoming::Deliver);
    ~UdpSocket() override;
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    void put_Protocol(int32_t protocol) override;
    int32_t get_Protocol() override { return m_protocol; }
    int16_t get_State() override { return m_socket.isOpen() ? kStateOpen : kStateClosed; }

    std::u16string get_RemoteHost() override { return m_remoteHost; }
    void put_RemoteHost(const std::u16string& host) override;
    int32_t get_RemotePort() override { return m_remotePort; }
    void put_RemotePort(int32_t port) override;
    int32_t get_LocalPort() override { return m_localPort; }
    void put_LocalPort(int32_t port) override;

    void Bind(int32_t localPort) override;
    void Close() override;
    void SendData(const platform::Variant& data) override;
    void GetData(std::u16string& data) override;

    void setDataArrival(std::function<void(int32_t bytes)> handler) override;
    void setDataArrivalReadAhead(const void* begin, const void* end) override;

    // The descriptor while open, else -1; it stays owned by this object (for diagnostics).
    int nativeHandle() const { return m_socket.get(); }
    // What the datagrams waiting for GetData and their events weigh, measured as the limit
    // on holding them is (for memory checks).
    size_t heldBytes() const {
        return m_datagrams.bytes() +
               kDatagramBookkeeping * std::max(m_datagrams.count(), m_arrivalsDue.size());
    }

    // What one datagram held costs beyond its bytes, rounded up: its length in the queue,
    // its event due, their share of the containers' blocks.
    static constexpr size_t kDatagramBookkeeping = 64;

    static constexpr int16_t kStateClosed = 0;
    static constexpr int16_t kStateOpen = 1;
    static constexpr int32_t kProtocolTcp = 0;
    static constexpr int32_t kProtocolUdp = 1;
    // The longest a send waits for a name's lookup: more than a name server on the network
    // takes to answer, little enough for a window's thread.
    static constexpr std::chrono::milliseconds kNameLookupWait{300};

  private:
    // Whether RemoteHost is an address written out, worked out at the first send after a
    // change of the remote endpoint.
    enum class RemoteForm { Unknown, Literal, Name };
    struct ReceiveBatch;

    void requireClosed() const;
    void open(int family, int32_t bindPort);
    SocketAddress reach(SocketAddress destination);
    void connectSender(const SocketAddress& destination);
    void sendTo(std::string_view bytes, const SocketAddress& destination);
    void onReady(uint32_t events);
    void receivePending();
    bool receiveOne();
    void receiveBatches();
    void announceArrivals();
    void continueAnnouncingLater();
    void stopAnnouncingLater();
    void resumeReading();

    // What every datagram's read and event touch comes first, together, in an object aligned
    // to a cache line: with a thousand sockets open the one a datagram comes to is out of the
    // cache, and each line it spans costs a miss. The queue last, as only the start of its
    // room is touched.
    const Incoming m_incoming;
    bool m_reading = false;  // the watch asks for readability
    // How often a report looks for more than one datagram (see receivePending).
    unsigned m_probeInterval = 0;
    unsigned m_reportsUntilProbe = 0;
    // What the DataArrival handler reads first (see onReady).
    const void* m_handlerBegin = nullptr;
    const void* m_handlerEnd = nullptr;
    // Raises the events due in a later pass (see continueAnnouncingLater); 0 while none is.
    platform::MessageLoop::TimerId m_announceTimer = 0;
    // The socket, its watch, and what a delivery checks after calling out (a handler may
    // close the socket or destroy this object). The destructor closes it first.
    platform::WatchedDescriptor m_socket;
    std::function<void(int32_t)> m_dataArrival;
    ArrivalsDue m_arrivalsDue;  // byte counts of DataArrival events not yet raised
    DatagramQueue m_datagrams;  // received, not yet taken by GetData

    // The first member no datagram touches: onReady reads ahead up to here.
    int32_t m_protocol = kProtocolUdp;
    std::u16string m_remoteHost;
    int32_t m_remotePort = 0;
    int32_t m_localPort = 0;
    RemoteForm m_remoteForm = RemoteForm::Unknown;
    SocketAddress m_literalDestination;   // while m_remoteForm is Literal
    std::unique_ptr<NameLookup> m_names;  // from the first send to a name

    int m_family = 0;
    bool m_bound = false;
    bool m_dualStack = false;  // an IPv6 socket that also carries IPv4
    bool m_connected = false;  // to the literal destination (see connectSender)

    std::unique_ptr<ReceiveBatch> m_receiveBatch;  // allocated by the first burst
    std::string m_sendBytes;  // text encoded for sending, kept for the next send
};

}  // namespace port_control
