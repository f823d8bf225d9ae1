// Pseudo-terminals standing in for serial devices in tests.
//
// TemporaryPlatformHome points the platform's per-user folder (CORVANE_PLATFORM_HOME) at a
// fresh temporary folder for its lifetime, so the port map a test writes stays private.
// PtyPair is one device plus the peer at its other end: the port opens the slave through
// the port map (mapToPort), the test plays the peer on the master.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace port_control::testing {

class TemporaryPlatformHome {
  public:
    TemporaryPlatformHome();
    ~TemporaryPlatformHome();
    TemporaryPlatformHome(const TemporaryPlatformHome&) = delete;
    TemporaryPlatformHome& operator=(const TemporaryPlatformHome&) = delete;

    const std::filesystem::path& path() const { return m_path; }

  private:
    std::filesystem::path m_path;
    std::optional<std::string> m_previous;
};

class PtyPair {
  public:
    // Opens the pair (std::runtime_error on failure). The slave starts raw, so nothing is
    // echoed, and the pair keeps a descriptor on it: tcgetattr on slave() shows what a port
    // set, and the master keeps working while no port has the slave open.
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    int master() const { return m_master; }
    int slave() const { return m_slave; }
    const std::string& slavePath() const { return m_slavePath; }

    // Makes serial port `port` open this slave (through platform::setPortDevice).
    void mapToPort(int port) const;

    // The peer sends: writes all of `bytes` to the master, running the thread's message
    // loop while the slave's input is full. False if not all went within `timeout`.
    bool sendFromPeer(std::string_view bytes,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // The peer receives: runs the thread's message loop until `count` bytes have arrived
    // at the master or `timeout` has passed, and returns what arrived.
    std::string receiveAtPeer(size_t count,
                              std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // What has arrived at the master so far, without waiting.
    std::string drainPeer();

    // The peer goes away: the slave hangs up.
    void closeMaster();

  private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_slavePath;
};

}  // namespace port_control::testing
