// A plain UDP socket on 127.0.0.1 with a port the system chose: the far end of the
// sample's exchanges in end-to-end tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace sample_app::test_support {

class RawUdpSocket {
  public:
    RawUdpSocket();
    ~RawUdpSocket();
    RawUdpSocket(const RawUdpSocket&) = delete;
    RawUdpSocket& operator=(const RawUdpSocket&) = delete;

    uint16_t port() const { return m_port; }
    void sendTo(uint16_t port, const std::string& bytes);
    // The next datagram, if one is waiting now (no blocking).
    std::optional<std::string> tryReceive();

    // A port that was free a moment ago (bound, read back and released).
    static uint16_t freePort();

  private:
    int m_fd = -1;
    uint16_t m_port = 0;
};

}  // namespace sample_app::test_support
