// A UDP component that sends nowhere and receives what the benchmark hands it: it lets a
// benchmark fill a control's receive buffer, or measure a send, without the network.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "components/udp_component.h"
#include "design_surface.h"
#include "portula.h"
#include "support/udp_endpoints.h"

namespace bench {

class QuietUdp : public port_control::UdpComponent {
  public:
    // The datagram arrives: DataArrival is raised and GetData hands it out.
    void deliver(std::u16string datagram) {
        m_pending = std::move(datagram);
        if (m_dataArrival)
            m_dataArrival(static_cast<int32_t>(m_pending.size()));
    }

    void put_Protocol(int32_t) override {}
    int32_t get_Protocol() override { return 1; }
    int16_t get_State() override { return m_state; }
    std::u16string get_RemoteHost() override { return {}; }
    void put_RemoteHost(const std::u16string&) override {}
    int32_t get_RemotePort() override { return 0; }
    void put_RemotePort(int32_t) override {}
    int32_t get_LocalPort() override { return 0; }
    void put_LocalPort(int32_t) override {}
    void Bind(int32_t) override { m_state = 1; }
    void Close() override { m_state = 0; }
    void SendData(const platform::Variant&) override {}
    void GetData(std::u16string& data) override {
        data.swap(m_pending);
        m_pending.clear();
    }
    void setDataArrival(std::function<void(int32_t)> handler) override {
        m_dataArrival = std::move(handler);
    }

  private:
    int16_t m_state = 0;
    std::u16string m_pending;
    std::function<void(int32_t)> m_dataArrival;
};

// A control in UDP mode over the real serial component and two quiet sockets.
struct QuietControl {
    QuietControl() : control(components(), site) { control.put_UDPUse(platform::kTrue); }

    BenchSite site;
    QuietUdp* sender = nullptr;
    QuietUdp* receiver = nullptr;
    port_control::Portula control;

  private:
    port_control::Components components() {
        port_control::Components parts = port_control::loadDesignSurface();
        auto quietSender = std::make_unique<QuietUdp>();
        auto quietReceiver = std::make_unique<QuietUdp>();
        sender = quietSender.get();
        receiver = quietReceiver.get();
        parts.Winsock1 = std::move(quietSender);
        parts.Winsock2 = std::move(quietReceiver);
        return parts;
    }
};

}  // namespace bench
