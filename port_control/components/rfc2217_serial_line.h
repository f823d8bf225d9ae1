// A serial line on a network serial server, over TCP with the Telnet COM Port Control
// option (RFC 2217): `CommPort` n reaches it through a port map line "n=rfc2217://host:port".
//
// Opening looks the server's name up, connects and negotiates, all within kOpenWait (the
// name's addresses in turn, components/server_connection.h); a name that cannot be resolved
// in that time, a server that cannot be reached, refuses, stays silent or does not take the
// COM Port option fails the open with error 68, whose description names the server; so does
// the host's check (platform/wait_interruption.h) when it interrupts the open's wait. Line
// settings are sent and must be confirmed by the server: at opening within kOpenWait (8015
// otherwise). On an open port the server takes a change only once it has read the data sent
// before it, which at a low speed may take minutes: a refusal within kSettingsWait fails the
// change (8015), and once the wait has run out the change counts as made and the server's
// answer, whenever it comes, settles it; an answer that refuses it then ends the line, so
// that the control and the device never disagree about the line. DTR, RTS, flow control and
// break are sent and not waited for: many servers never answer them (a pseudo-terminal
// behind the server has no modem lines), so, as on a local device without modem lines, the
// value is kept and nothing fails. Modem-state and line-state notifications become the
// events a local port raises. Data bytes 0xFF are doubled on the wire both ways. A
// sub-negotiation too long to keep (a long signature) is skipped.
//
// A connection that closes, is reset or fails reads as a hang-up, but only after every data
// byte that had arrived before it has been read. The server may suspend our sending
// (FLOWCONTROL-SUSPEND); data then waits. What waits to go out is bounded
// (kLongestOutgoing): a server that does not read what we send, our answers to its
// negotiation included, ends the line once that much waits.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "components/rfc2217_protocol.h"
#include "components/serial_line.h"
#include "platform/file_descriptor.h"

namespace port_control {

class Rfc2217SerialLine final : public SerialLine {
  public:
    // The longest an open waits for the server, connecting and confirming settings; and
    // the longest a change of settings on an open port waits for the confirmation.
    static constexpr std::chrono::milliseconds kOpenWait{3000};
    static constexpr std::chrono::milliseconds kSettingsWait{3000};
    // Wire bytes that may wait to go out: a chunk of data, escaped, and the commands and
    // answers to negotiation behind it.
    static constexpr size_t kLongestOutgoing = 64 * 1024;

    // Whether a port map entry names a network port (has a scheme, "rfc2217://...").
    static bool isNetworkAddress(std::string_view entry);

    // Connects to `address` ("rfc2217://host:port") and opens the remote port with the
    // settings, handshaking and modem lines given.
    static std::unique_ptr<Rfc2217SerialLine> open(std::string_view address,
                                                   const SerialSettings& settings,
                                                   int32_t handshaking, bool dtr, bool rts);

    int descriptor() const override { return m_socket.get(); }
    bool marksLineErrors() const override { return false; }
    void applySettings(const SerialSettings& settings, int32_t handshaking) override;
    void setModemLine(int line, bool on) override;
    void setBreak(bool on) override;
    int modemLines() override;
    ssize_t read(char* buffer, size_t size, std::vector<int16_t>& events) override;
    ssize_t write(const char* data, size_t size) override;
    bool acceptsData() const override { return !m_suspended; }
    bool hasPendingOutput() const override {
        return m_sendFailure == 0 && m_sent < m_outgoing.size();
    }
    bool hasPendingInput() const override;
    bool flush() override;
    size_t outputInDevice() override;
    void discardInput() override;
    void discardOutput() override;

  private:
    // A change of line settings sent and not yet answered in full.
    struct SettingsRequest {
        uint64_t number = 0;
        SerialSettings settings;
        std::string wanted[5];  // the values asked, indexed by command (1..4)
        std::string answers[5];
        bool answered[5] = {};
        bool takenAsMade = false;  // the wait ran out: a refusal now ends the line
    };
    Rfc2217SerialLine(platform::FileDescriptor socket, std::string server);

    void applySettings(const SerialSettings& settings, int32_t handshaking,
                       std::chrono::steady_clock::time_point deadline, bool opening);
    // Adds to what goes out; send() also sends what it can and keeps the rest bounded.
    void queue(std::string_view wire);
    void send(std::string_view wire);
    void sendCommand(uint8_t code, std::string_view value);
    // Reads at most `most` bytes of what the socket holds into the read-ahead: the count,
    // 0 when nothing waits, -1 once nothing more is read.
    ssize_t receive(size_t most);
    // Nothing more is read: the connection has ended or the server cannot be followed.
    void endReceiving(int error);
    bool gone() const { return m_receiveEnded || m_sendFailure != 0; }
    void handle(const rfc2217::Command& command);
    void noteSettingsAnswer(int index, const std::string& value);
    void noteModemState(uint8_t state);
    void noteLineState(uint8_t state);
    // Sends and receives until `done` holds or `deadline` passes; false on timeout. A lost
    // connection fails with 68, and so does the host's check where `interruptible` (the
    // waits of an open, which leave nothing behind).
    template <typename Done>
    bool exchangeUntil(Done done, std::chrono::steady_clock::time_point deadline,
                       bool interruptible);
    [[noreturn]] void fail(int32_t number, std::u16string_view reason) const;

    platform::FileDescriptor m_socket;
    std::string m_server;  // "host:port", for error descriptions
    rfc2217::StreamReader m_reader;
    rfc2217::OptionNegotiator m_options;
    std::vector<rfc2217::Command> m_commands;

    std::string m_outgoing;  // wire bytes not yet sent past m_sent
    size_t m_sent = 0;
    int m_sendFailure = 0;   // errno once sending has failed
    std::string m_received;  // data bytes read ahead
    size_t m_receivedTaken = 0;
    bool m_receiveEnded = false;
    int m_receiveFailure = 0;
    bool m_moreToReceive = false;  // a read stopped at its budget, not at an empty socket
    // Events for the host, each after the first `at` bytes of m_received: a line condition
    // is reported at the byte where it happened.
    struct PendingEvent {
        size_t at;
        int16_t code;
    };
    std::vector<PendingEvent> m_events;
    size_t m_commandAt = 0;  // where the command being handled came among the data
    // m_received starts anew: what waits is now at its start.
    void restartReceived();

    uint8_t m_modemState = 0;
    bool m_suspended = false;
    // The settings last asked for and not refused, and the flow control last asked for.
    std::optional<SerialSettings> m_requested;
    uint8_t m_flowControl = 0;
    // Requests in the order sent, which is the order the server answers them in; and the
    // outcome of the last one settled.
    std::deque<SettingsRequest> m_requests;
    uint64_t m_lastRequest = 0;
    uint64_t m_lastSettled = 0;
    bool m_lastSettledMatched = false;
};

}  // namespace port_control
