// Network serial servers for tests, started on 127.0.0.1 at a port free at run time, each
// serving a pseudo-terminal: Debian's ser2net and the RFC 2217 port manager of Python's
// serial library (rfc2217_server.py beside the tests). Both stop with their owner; stop()
// and start() let a test take a server away and bring it back on the same port.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>

namespace port_control::testing {

// A TCP port on 127.0.0.1 that nothing listens on now.
uint16_t freeTcpPort();

class Rfc2217Server {
  public:
    enum class Kind { Ser2net, Python };
    // `speaksOption` false: a server on the same port that passes bytes but never answers the
    // COM Port option (ser2net's raw accepter, the Python script without its port manager).
    Rfc2217Server(Kind kind, std::string device, bool speaksOption = true);
    ~Rfc2217Server();
    Rfc2217Server(const Rfc2217Server&) = delete;
    Rfc2217Server& operator=(const Rfc2217Server&) = delete;

    uint16_t port() const { return m_port; }
    // ser2net only: a second port where the same device is served as plain TCP, without
    // Telnet (one connection to the device at a time).
    uint16_t rawPort() const { return m_rawPort; }
    // "rfc2217://127.0.0.1:<port>", for the port map.
    std::string address() const;

    // Starts the server and waits until it accepts connections (std::runtime_error if not).
    void start();
    void stop();

  private:
    Kind m_kind;
    std::string m_device;
    bool m_speaksOption;
    uint16_t m_port;
    uint16_t m_rawPort;
    std::filesystem::path m_folder;
    pid_t m_pid = -1;
};

}  // namespace port_control::testing
