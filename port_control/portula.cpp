#include "portula.h"

#include "components/read_ahead.h"
#include "components/serial_errors.h"
#include "platform/error.h"

namespace port_control {

namespace {
// The control always has this one size, whatever size the host gives it.
constexpr float kExtentTwips = 435.0f;
constexpr int32_t kProtocolUdp = 1;

// Closes a socket that is in use, selects UDP, as every endpoint write does first.
void prepareEndpoint(UdpComponent& socket) {
    if (socket.get_State() != 0)
        socket.Close();
    socket.put_Protocol(kProtocolUdp);
}
}  // namespace

Portula::Portula(Components components, HostSite& site)
    : m_components(std::move(components)), m_site(site) {
    m_components.MSComm1->setOnComm([this] { onSerialComm(); });
    m_components.Winsock2->setDataArrival([this](int32_t bytes) { onDataArrival(bytes); });
    m_components.Winsock2->setDataArrivalReadAhead(this, &m_logPath);
}

Portula::~Portula() {
    // The components may outlive nothing of ours: detach before they are destroyed.
    m_components.MSComm1->setOnComm({});
    m_components.Winsock2->setDataArrival({});
    m_components.Winsock2->setDataArrivalReadAhead(nullptr, nullptr);
}

void Portula::Resize() {
    m_site.SetExtent(kExtentTwips, kExtentTwips);
}

void Portula::put_UDPUse(Boolean value) {
    m_udpFlag = value;
    notify(u"UDPUse");
}

Boolean Portula::get_PortOpen() {
    if (!udpMode())
        return m_components.MSComm1->get_PortOpen();
    return platform::toBooleanValue(m_components.Winsock2->get_State() != 0);
}

void Portula::put_PortOpen(Boolean value) {
    if (!udpMode()) {
        SerialComponent& serial = *m_components.MSComm1;
        if (serial.get_PortOpen() != value)
            serial.put_PortOpen(value);
    } else if (value == platform::kTrue) {
        UdpComponent& receiver = *m_components.Winsock2;
        if (receiver.get_State() == 0)
            receiver.Bind(receiver.get_LocalPort());
    } else {
        // Any value other than exactly True closes, as the published Boolean is tested
        // only against True here.
        UdpComponent& receiver = *m_components.Winsock2;
        if (receiver.get_State() != 0)
            receiver.Close();
    }
    notify(u"PortOpen");
}

std::u16string Portula::get_RemoteHost() {
    return m_components.Winsock1->get_RemoteHost();
}

void Portula::put_RemoteHost(const std::u16string& host) {
    prepareEndpoint(*m_components.Winsock1);
    m_components.Winsock1->put_RemoteHost(host);
    notify(u"UDPRemoteHost");
}

int32_t Portula::get_RemotePort() {
    return m_components.Winsock1->get_RemotePort();
}

void Portula::put_RemotePort(int32_t port) {
    prepareEndpoint(*m_components.Winsock1);
    m_components.Winsock1->put_RemotePort(port);
    notify(u"UDPRemotePort");
}

int32_t Portula::get_LocalPort() {
    return m_components.Winsock2->get_LocalPort();
}

void Portula::put_LocalPort(int32_t port) {
    prepareEndpoint(*m_components.Winsock2);
    m_components.Winsock2->put_LocalPort(port);
    notify(u"UDPLocalPort");
}

void Portula::put_LogFile(const std::u16string& path) {
    setLogPath(path);
    notify(u"LogFile");
}

// ---- Data path --------------------------------------------------------------------

void Portula::put_Output(const Variant& data) {
    // `data` is used only before the events this call may raise, so no handler can change
    // it under us: no copy is needed.
    logData(u"OUT:", data);
    if (udpMode()) {
        m_components.Winsock1->SendData(data);
        if (get_SThreshold() != 0) {
            m_eventCode = comm_events::kSend;
            m_site.RaiseOnComm();
        }
    } else {
        m_components.MSComm1->put_Output(data);
    }
    notify(u"Output");
}

Variant Portula::get_Input2() {
    Variant result = udpMode() ? takeReceived() : m_components.MSComm1->get_Input();
    if (m_logging) {
        const bool empty =
            (result.type() == platform::VarType::String && result.stringValue().empty()) ||
            (result.type() == platform::VarType::ByteArray && result.bytesValue().empty()) ||
            result.isEmpty();
        if (!empty)
            logDataAsText(u"INP:", result);
    }
    return result;
}

Variant Portula::takeReceived() {
    const int16_t length = get_InputLen();
    if (length < 0)
        throw platform::Error(platform::errors::kInvalidPropertyValue);
    Variant taken = Variant::fromString(m_receiveBuffer.take(static_cast<size_t>(length)));
    m_receiveOverflowReported = false;
    return taken;
}

int16_t Portula::get_CommEvent() {
    return udpMode() ? m_eventCode : m_components.MSComm1->get_CommEvent();
}

int16_t Portula::get_InBufferCount() {
    return m_components.MSComm1->get_InBufferCount();
}

void Portula::put_InBufferCount(int16_t count) {
    m_components.MSComm1->put_InBufferCount(count);
    if (count == 0) {
        m_receiveBuffer.clear();
        m_receiveOverflowReported = false;
    }
    notify(u"InBufferCount");
}

int16_t Portula::get_OutBufferCount() {
    return m_components.MSComm1->get_OutBufferCount();
}

void Portula::put_OutBufferCount(int16_t count) {
    m_components.MSComm1->put_OutBufferCount(count);
    notify(u"OutBufferCount");
}

void Portula::onSerialComm() {
    m_site.RaiseOnComm();
}

void Portula::onDataArrival(int32_t /*bytes: the datagram itself tells its size*/) {
    // Read once the datagram is in the buffer: fetched while it is taken and decoded.
    readAhead(m_components.MSComm1.get());
    m_site.prepareToRaise();
    std::u16string datagram;
    m_components.Winsock2->GetData(datagram);
    if (!m_receiveBuffer.append(std::move(datagram))) {
        // Dropped whole. One event per overflow, as the serial port does: a flood that goes
        // on while the host does not read tells it once, not once per datagram.
        if (!m_receiveOverflowReported) {
            m_receiveOverflowReported = true;
            m_eventCode = comm_events::kReceiveOverflow;
            m_site.RaiseOnComm();
        }
        return;
    }
    if (get_RThreshold() != 0) {
        m_eventCode = comm_events::kReceive;
        m_site.RaiseOnComm();
    }
}

}  // namespace port_control
