// Portula: one control that presents the members of a classic serial-port control and
// can carry the same traffic over UDP.
//
// With the UDP flag zero (serial mode) every member passes through to the serial component
// `MSComm1`; with it non-zero (UDP mode) `Output` sends one datagram through `Winsock1`,
// datagrams arriving at `Winsock2` fill the receive buffer that `Input2` drains, and
// `OnComm` is raised with event code 1 (sent) or 2 (received). The mode is looked up afresh
// at every call; switching it opens or closes nothing.
//
// The receive buffer holds at most ReceiveBuffer::kMaxCharacters (16 Mi characters, 32 MiB),
// so a peer that keeps sending to a host that does not read (with RThreshold 0 nothing even
// tells it) cannot grow it without end. A datagram that does not fit whole is dropped whole,
// and OnComm is raised with 1008 (receive buffer overflow) once per overflow, as the serial
// port does: for the first datagram dropped since the host last read Input2 or cleared the
// buffer (InBufferCount 0), never once per datagram of a flood. The sending socket
// (`Winsock1`) only sends: what arrives at its port is dropped (see design_surface.h).
//
// Errors: every failure of a component, a conversion or the host is a platform::Error
// that ends the member call at that step and reaches the caller unchanged; steps already
// done stay done and no property-changed notification follows. Only the log writer
// swallows its failures.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "components/host_site.h"
#include "components/serial_component.h"
#include "components/udp_component.h"
#include "log_file_appender.h"
#include "platform/property_bag.h"
#include "platform/variant.h"
#include "receive_buffer.h"

namespace port_control {

using platform::Boolean;
using platform::Variant;

// The three inner components; the control owns them for its whole life.
struct Components {
    std::unique_ptr<SerialComponent> MSComm1;
    std::unique_ptr<UdpComponent> Winsock1;  // the UDP sender
    std::unique_ptr<UdpComponent> Winsock2;  // the UDP receiver
};

class alignas(64) Portula {
  public:
    // Initialize: wires the component events and does nothing else (opens nothing).
    // `site` must outlive the control.
    Portula(Components components, HostSite& site);
    // Terminate: closes nothing itself; the components close what they hold.
    ~Portula();

    Portula(const Portula&) = delete;
    Portula& operator=(const Portula&) = delete;

    // The host changed the extent: the control keeps itself at 435 x 435 twips.
    void Resize();

    // Transport selection and the UDP endpoints.
    Boolean get_UDPUse() const { return m_udpFlag; }
    void put_UDPUse(Boolean value);
    Boolean get_PortOpen();
    void put_PortOpen(Boolean value);
    std::u16string get_RemoteHost();
    void put_RemoteHost(const std::u16string& host);
    int32_t get_RemotePort();
    void put_RemotePort(int32_t port);
    int32_t get_LocalPort();
    void put_LocalPort(int32_t port);

    // The communication log.
    const std::u16string& get_LogFile() const { return m_logPath; }
    void put_LogFile(const std::u16string& path);

    // Data path.
    void put_Output(const Variant& data);
    Variant get_Input2();
    int16_t get_CommEvent();
    int16_t get_InBufferCount();
    void put_InBufferCount(int16_t count);
    int16_t get_OutBufferCount();
    void put_OutBufferCount(int16_t count);

    // Serial pass-through: each set hands the value to MSComm1 and then notifies the
    // member's own name; each get reads MSComm1. None looks at the UDP flag.
    std::u16string get_Settings();
    void put_Settings(const std::u16string& settings);
    Boolean get_Break();
    void put_Break(Boolean on);
    Boolean get_CDHolding();
    int32_t get_CommID();
    int16_t get_CommPort();
    void put_CommPort(int16_t port);
    Boolean get_CTSHolding();
    Boolean get_DSRHolding();
    Boolean get_DTREnable();
    void put_DTREnable(Boolean enable);
    Boolean get_EOFEnable();
    void put_EOFEnable(Boolean enable);
    int32_t get_Handshaking();
    void put_Handshaking(int32_t mode);
    int16_t get_InBufferSize();
    void put_InBufferSize(int16_t size);
    int16_t get_InputLen();
    void put_InputLen(int16_t length);
    int32_t get_InputMode();
    void put_InputMode(int32_t mode);
    Boolean get_NullDiscard();
    void put_NullDiscard(Boolean discard);
    int16_t get_OutBufferSize();
    void put_OutBufferSize(int16_t size);
    std::u16string get_ParityReplace();
    void put_ParityReplace(const std::u16string& replacement);
    int16_t get_RThreshold();
    void put_RThreshold(int16_t threshold);
    Boolean get_RTSEnable();
    void put_RTSEnable(Boolean enable);
    int16_t get_SThreshold();
    void put_SThreshold(int16_t threshold);

    // Persistence: the saved keys, straight into and out of the components and fields,
    // without notifications. The first failure ends the operation.
    void Load(platform::PropertyBag& bag);
    void Save(platform::PropertyBag& bag);

  private:
    // Persistence reaches the components and fields straight, past the set operations.
    friend class SavedStores;

    bool udpMode() const { return m_udpFlag != 0; }
    void notify(std::u16string_view name) { m_site.PropertyChanged(name); }
    void setLogPath(const std::u16string& path);
    // Logs `prefix` followed by `data` as text; nothing is converted while logging is off.
    void logData(std::u16string_view prefix, const Variant& data) {
        if (m_logging)
            logDataAsText(prefix, data);
    }
    void logDataAsText(std::u16string_view prefix, const Variant& data) noexcept;
    // Input2 in UDP mode: InputLen characters (all for 0) out of the receive buffer.
    Variant takeReceived();
    void WriteLog(std::u16string_view prefix, std::u16string_view text) noexcept;
    void onSerialComm();
    void onDataArrival(int32_t bytes);

    // What a datagram's arrival and the Input2 that reads it touch comes first, together, in
    // an object aligned to a cache line: with a thousand controls open, each line of it they
    // span is a miss per datagram.
    Boolean m_udpFlag = platform::kFalse;
    int16_t m_eventCode = 0;
    bool m_receiveOverflowReported = false;  // since the host last read or cleared it
    bool m_logging = false;                  // m_logPath is not empty
    Components m_components;
    HostSite& m_site;
    ReceiveBuffer m_receiveBuffer;

    // The first member no datagram touches: the socket reads ahead up to here.
    std::u16string m_logPath;
    LogFileAppender m_logFile;  // the same, as the file system takes it, and its file
    std::string m_logLine;      // the entry being written, kept for its room
};

}  // namespace port_control
