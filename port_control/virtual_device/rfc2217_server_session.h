// The server's side of one RFC 2217 connection as pure values: what the client asks of the
// port (line settings, DTR, RTS, BREAK, flow control, notification masks, purges) and the
// server's answers, from the client's byte stream; and the wire bytes of what the server
// sends (data, line-state and modem-state notifications). No sockets here;
// virtual_device/served_port.h drives it. Reading and escaping are the client's own
// (components/rfc2217_protocol.h).
//
// Every setting a client asks for is taken and confirmed, except values outside what a UART
// can do, which are answered with the value kept. A query (value 0) is answered with the
// value kept.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "components/rfc2217_protocol.h"
#include "components/serial_settings.h"

namespace port_control::virtual_device {

class Rfc2217ServerSession {
  public:
    // What the client's commands changed, for the device behind the port.
    enum Change : uint32_t {
        kSettingsChanged = 1u << 0,
        kDtrChanged = 1u << 1,
        kRtsChanged = 1u << 2,
        kBreakChanged = 1u << 3,
        kPurgeReceive = 1u << 4,   // drop what waits to go to the client
        kPurgeTransmit = 1u << 5,  // drop what the client sent and the device has not taken
        kModemStateAsked = 1u << 6,
    };

    // The negotiation the server opens with.
    std::string start();

    // Reads the client's `wire`: appends its data bytes to `data` and the server's answers to
    // `replies`; returns the Change bits of the commands read.
    uint32_t read(std::string_view wire, std::string& data, std::string& replies);

    // Wire bytes toward the client.
    static void appendData(std::string_view data, std::string& wire) {
        rfc2217::appendEscaped(data, wire);
    }
    // A NOTIFY-LINESTATE with `state` (rfc2217::line_state bits), if the client's mask lets
    // any of them through.
    void appendLineState(uint8_t state, std::string& wire) const;
    // A NOTIFY-MODEMSTATE for the inputs `state` (rfc2217::modem_state kCts, kDsr, kRing,
    // kCd) with delta bits against `before`; nothing if the client's mask lets nothing through.
    void appendModemState(uint8_t state, uint8_t before, std::string& wire) const;

    const SerialSettings& settings() const { return m_settings; }
    bool dtr() const { return m_dtr; }
    bool rts() const { return m_rts; }
    bool breakOn() const { return m_break; }
    // The client asked the server to stop sending data (FLOWCONTROL-SUSPEND).
    bool suspended() const { return m_suspended; }
    // The client agreed to the COM Port option.
    bool comPortAgreed() const { return m_options.comPortAgreed(); }

  private:
    uint32_t handle(const rfc2217::Command& command, std::string& replies);
    uint32_t handleControl(uint8_t value, std::string& replies);

    rfc2217::StreamReader m_reader;
    rfc2217::OptionNegotiator m_options{rfc2217::OptionNegotiator::Role::Server};
    std::vector<rfc2217::Command> m_commands;
    SerialSettings m_settings;
    bool m_dtr = false;
    bool m_rts = false;
    bool m_break = false;
    bool m_suspended = false;
    uint8_t m_flowControl = rfc2217::control::kNoFlowControl;
    uint8_t m_lineStateMask = 0xFF;
    uint8_t m_modemStateMask = 0xFF;
};

}  // namespace port_control::virtual_device
