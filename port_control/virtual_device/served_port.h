// One port of a virtual device: an RFC 2217 server on 127.0.0.1 that takes one client at a
// time, and optionally a pseudo-terminal that carries the port's data for programs that
// open a device path. It speaks the protocol (virtual_device/rfc2217_server_session.h) and
// moves bytes; the device behind it (Device) decides what the port receives.
//
// Bounded whatever the client does: what waits to go to the client beyond kMostWaiting
// makes the port full() (the device holds its data back until roomToDeliver()), and a
// client that lets more than kMostUnread pile up (answers to commands it keeps sending
// without reading) is disconnected. A second client while one is connected is closed at
// once. The pseudo-terminal takes what it has room for: data toward it is dropped while no
// program reads it, as a serial port nobody has opened drops what arrives.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "platform/file_descriptor.h"
#include "platform/message_loop.h"
#include "virtual_device/rfc2217_server_session.h"

namespace port_control::virtual_device {

class ServedPort {
  public:
    static constexpr size_t kMostWaiting = 64 * 1024;
    static constexpr size_t kMostUnread = 1024 * 1024;
    // Change bits beyond Rfc2217ServerSession's: a client came or went.
    static constexpr uint32_t kConnected = 1u << 16;
    static constexpr uint32_t kDisconnected = 1u << 17;

    class Device {
      public:
        virtual ~Device() = default;
        // Data from the client (or the pseudo-terminal).
        virtual void clientData(ServedPort& port, std::string_view data) = 0;
        // Rfc2217ServerSession::Change bits, kConnected, kDisconnected.
        virtual void clientChanged(ServedPort& port, uint32_t changes) = 0;
        // The port was full() and has room again.
        virtual void roomToDeliver(ServedPort& port) = 0;
    };

    // Listens on 127.0.0.1:`tcpPort` (0: a free port); platform::Error when it cannot.
    ServedPort(int index, uint16_t tcpPort, bool pseudoTerminal, Device& device);
    ~ServedPort();
    ServedPort(const ServedPort&) = delete;
    ServedPort& operator=(const ServedPort&) = delete;

    int index() const { return m_index; }
    uint16_t tcpPort() const { return m_tcpPort; }
    std::string address() const;
    std::filesystem::path terminal() const { return m_terminalPath; }
    bool connected() const { return m_client.get() >= 0; }
    // What the client asked for; a fresh session (9600,n,8,1, lines off) without a client.
    const Rfc2217ServerSession& session() const { return *m_session; }

    // Toward the client.
    void deliver(std::string_view data);
    void deliverLineState(uint8_t state);
    // The port's inputs (rfc2217::modem_state kCts, kDsr, kRing, kCd); the client is told
    // of a change.
    void setInputs(uint8_t state);
    uint8_t inputs() const { return m_inputs; }
    bool full() const { return m_out.size() - m_sent >= kMostWaiting; }

    // Stops (true) or resumes reading the client: the device cannot take more now.
    void holdClient(bool hold);
    // Closes the client's connection.
    void disconnect();
    // The device goes away: the client is disconnected and connections are refused until
    // replug().
    void unplug();
    void replug();

  private:
    void listen();
    void accept();
    void readClient();
    void readTerminal();
    void queue(std::string_view wire);
    void flush();
    void updateWatch();
    void endClient();

    int m_index;
    Device& m_device;
    platform::MessageLoop& m_loop;
    uint16_t m_tcpPort = 0;
    platform::FileDescriptor m_listener;
    platform::MessageLoop::WatchId m_listenerWatch = 0;
    platform::FileDescriptor m_client;
    platform::MessageLoop::WatchId m_clientWatch = 0;
    std::unique_ptr<Rfc2217ServerSession> m_session;
    std::string m_out;  // wire bytes toward the client, sent up to m_sent
    size_t m_sent = 0;
    bool m_wasFull = false;
    bool m_held = false;
    uint8_t m_inputs = 0;
    // The pseudo-terminal: its master, and the slave kept open so that the master never
    // reads as hung up while no program has it open.
    platform::FileDescriptor m_terminal;
    platform::FileDescriptor m_terminalSlave;
    platform::MessageLoop::WatchId m_terminalWatch = 0;
    std::filesystem::path m_terminalPath;
};

}  // namespace port_control::virtual_device
