// A network serial server the test plays from a second thread, on 127.0.0.1 at a port free
// at run time, for what real servers in front of a pseudo-terminal never do: notifications,
// flow control, garbage, long sub-negotiations, floods, resets, and a peer that reads slowly
// or not at all.
//
// It takes one connection, agrees to the COM Port option and confirms every line setting
// as asked, keeps what the client sends (data and commands, as the stream reader splits
// them) and sends what it is given, never blocking its thread. Every call is safe from the
// test's thread; the client's loop is not woken by the server, so tests look every few
// milliseconds.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "components/rfc2217_protocol.h"

namespace port_control::testing {

class ScriptedRfc2217Server {
  public:
    ScriptedRfc2217Server();
    ~ScriptedRfc2217Server();
    ScriptedRfc2217Server(const ScriptedRfc2217Server&) = delete;
    ScriptedRfc2217Server& operator=(const ScriptedRfc2217Server&) = delete;

    // "rfc2217://127.0.0.1:<port>", for the port map.
    std::string address() const;

    // Sends `wire` as it stands (escape data with rfc2217::appendEscaped); a long
    // sub-negotiation is rfc2217::comPortCommand with a long value.
    void send(const std::string& wire);
    // Sends `unit` over and over, `total` bytes in all, as fast as the client takes them.
    void flood(const std::string& unit, size_t total);
    // Once everything given is sent and the client's system has acknowledged it, ends the
    // connection with a reset (SO_LINGER 0) instead of a close.
    void resetWhenSent();
    // Reads at most `bytes` per round of about 10 ms; 0 reads nothing (the default reads
    // whatever comes).
    void readAtMost(size_t bytes);

    // Everything given has been sent and acknowledged (or the connection ended with a reset).
    bool delivered();
    bool hasReset() const { return m_reset; }
    // The data bytes and the commands received so far.
    std::string data();
    bool receivedCommand(uint8_t code, const std::string& value);

  private:
    void serve();
    // One round on the connection; false once it has ended.
    bool serveRound(int connection, rfc2217::StreamReader& reader);
    void takeCommands(size_t first);

    int m_listener = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_reset{false};
    std::mutex m_mutex;
    std::string m_toSend;
    std::string m_floodUnit;
    size_t m_floodLeft = 0;
    bool m_resetWhenSent = false;
    size_t m_readLimit = SIZE_MAX;
    bool m_delivered = true;
    std::string m_data;
    std::vector<rfc2217::Command> m_commands;
    std::chrono::steady_clock::time_point m_lastRead;  // the server's thread only
    std::thread m_thread;
};

}  // namespace port_control::testing
