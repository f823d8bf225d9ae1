// Test doubles for the control's components and host: they store what is written, record
// the calls in order, and fail on request.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "components/host_site.h"
#include "components/serial_component.h"
#include "components/udp_component.h"
#include "platform/error.h"

namespace port_control::testing {

// Shared call journal, so tests can check the order of calls across components.
struct CallLog {
    std::vector<std::string> calls;
    // A call whose name is listed here throws this error instead of doing its work.
    std::map<std::string, platform::Error> failures;

    void record(const std::string& call) {
        calls.push_back(call);
        if (auto it = failures.find(call); it != failures.end())
            throw it->second;
    }
    void failOn(const std::string& call, int32_t number = 8002) {
        failures.insert_or_assign(call, platform::Error(number, u"fake failure"));
    }
    size_t count(const std::string& call) const {
        size_t n = 0;
        for (const auto& c : calls)
            n += (c == call);
        return n;
    }
};

class FakeSerial : public SerialComponent {
  public:
    explicit FakeSerial(CallLog& log) : m_log(log) {}

    Boolean portOpen = 0;
    std::vector<Variant> outputs;
    std::deque<Variant> inputs;  // what successive reads of Input return
    int16_t commEvent = 0, inBufferCount = 0, outBufferCount = 0, inputLen = 0, rThreshold = 0,
            sThreshold = 0, commPort = 1, inBufferSize = 1024, outBufferSize = 512;
    int32_t handshaking = 0, inputMode = 0, commId = -1;
    std::u16string settings = u"9600,n,8,1", parityReplace = u"?";
    Boolean dtrEnable = 0, rtsEnable = 0, nullDiscard = 0, eofEnable = 0, breakOn = 0,
            cdHolding = 0, ctsHolding = 0, dsrHolding = 0;
    std::function<void()> onComm;

    Boolean get_PortOpen() override { return get("PortOpen", portOpen); }
    void put_PortOpen(Boolean v) override { put("PortOpen", portOpen, v); }
    void put_Output(const Variant& v) override {
        m_log.record("put Output");
        outputs.push_back(v);
    }
    Variant get_Input() override {
        m_log.record("get Input");
        if (inputs.empty())
            return Variant::fromString(u"");
        Variant v = inputs.front();
        inputs.pop_front();
        return v;
    }
    int16_t get_CommEvent() override { return get("CommEvent", commEvent); }
    int16_t get_InBufferCount() override { return get("InBufferCount", inBufferCount); }
    void put_InBufferCount(int16_t v) override { put("InBufferCount", inBufferCount, v); }
    int16_t get_OutBufferCount() override { return get("OutBufferCount", outBufferCount); }
    void put_OutBufferCount(int16_t v) override { put("OutBufferCount", outBufferCount, v); }
    int16_t get_InputLen() override { return get("InputLen", inputLen); }
    void put_InputLen(int16_t v) override { put("InputLen", inputLen, v); }
    int16_t get_RThreshold() override { return get("RThreshold", rThreshold); }
    void put_RThreshold(int16_t v) override { put("RThreshold", rThreshold, v); }
    int16_t get_SThreshold() override { return get("SThreshold", sThreshold); }
    void put_SThreshold(int16_t v) override { put("SThreshold", sThreshold, v); }
    int16_t get_CommPort() override { return get("CommPort", commPort); }
    void put_CommPort(int16_t v) override { put("CommPort", commPort, v); }
    int16_t get_InBufferSize() override { return get("InBufferSize", inBufferSize); }
    void put_InBufferSize(int16_t v) override { put("InBufferSize", inBufferSize, v); }
    int16_t get_OutBufferSize() override { return get("OutBufferSize", outBufferSize); }
    void put_OutBufferSize(int16_t v) override { put("OutBufferSize", outBufferSize, v); }
    int32_t get_Handshaking() override { return get("Handshaking", handshaking); }
    void put_Handshaking(int32_t v) override { put("Handshaking", handshaking, v); }
    int32_t get_InputMode() override { return get("InputMode", inputMode); }
    void put_InputMode(int32_t v) override { put("InputMode", inputMode, v); }
    std::u16string get_Settings() override { return get("Settings", settings); }
    void put_Settings(const std::u16string& v) override { put("Settings", settings, v); }
    std::u16string get_ParityReplace() override { return get("ParityReplace", parityReplace); }
    void put_ParityReplace(const std::u16string& v) override {
        put("ParityReplace", parityReplace, v);
    }
    Boolean get_DTREnable() override { return get("DTREnable", dtrEnable); }
    void put_DTREnable(Boolean v) override { put("DTREnable", dtrEnable, v); }
    Boolean get_RTSEnable() override { return get("RTSEnable", rtsEnable); }
    void put_RTSEnable(Boolean v) override { put("RTSEnable", rtsEnable, v); }
    Boolean get_NullDiscard() override { return get("NullDiscard", nullDiscard); }
    void put_NullDiscard(Boolean v) override { put("NullDiscard", nullDiscard, v); }
    Boolean get_EOFEnable() override { return get("EOFEnable", eofEnable); }
    void put_EOFEnable(Boolean v) override { put("EOFEnable", eofEnable, v); }
    Boolean get_Break() override { return get("Break", breakOn); }
    void put_Break(Boolean v) override { put("Break", breakOn, v); }
    Boolean get_CDHolding() override { return get("CDHolding", cdHolding); }
    Boolean get_CTSHolding() override { return get("CTSHolding", ctsHolding); }
    Boolean get_DSRHolding() override { return get("DSRHolding", dsrHolding); }
    int32_t get_CommID() override { return get("CommID", commId); }
    void setOnComm(std::function<void()> handler) override { onComm = std::move(handler); }

  private:
    template <class T>
    T get(const char* name, const T& value) {
        m_log.record(std::string("get ") + name);
        return value;
    }
    template <class T>
    void put(const char* name, T& field, const T& value) {
        m_log.record(std::string("put ") + name);
        field = value;
    }
    CallLog& m_log;
};

class FakeUdp : public UdpComponent {
  public:
    FakeUdp(CallLog& log, std::string name) : m_log(log), m_name(std::move(name)) {}

    int32_t protocol = 1;
    int16_t state = 0;
    std::u16string remoteHost;
    int32_t remotePort = 0, localPort = 0, boundPort = -1;
    std::vector<Variant> sent;
    std::deque<std::u16string> pending;  // datagrams GetData hands out
    std::function<void(int32_t)> dataArrival;

    // Simulates a datagram arriving: queues it and raises DataArrival.
    void deliver(const std::u16string& datagram) {
        pending.push_back(datagram);
        if (dataArrival)
            dataArrival(static_cast<int32_t>(datagram.size()));
    }

    void put_Protocol(int32_t v) override {
        record("put Protocol");
        protocol = v;
    }
    int32_t get_Protocol() override {
        record("get Protocol");
        return protocol;
    }
    int16_t get_State() override {
        record("get State");
        return state;
    }
    std::u16string get_RemoteHost() override {
        record("get RemoteHost");
        return remoteHost;
    }
    void put_RemoteHost(const std::u16string& v) override {
        record("put RemoteHost");
        remoteHost = v;
    }
    int32_t get_RemotePort() override {
        record("get RemotePort");
        return remotePort;
    }
    void put_RemotePort(int32_t v) override {
        record("put RemotePort");
        remotePort = v;
    }
    int32_t get_LocalPort() override {
        record("get LocalPort");
        return localPort;
    }
    void put_LocalPort(int32_t v) override {
        record("put LocalPort");
        localPort = v;
    }
    void Bind(int32_t port) override {
        record("Bind");
        boundPort = port;
        state = 1;
    }
    void Close() override {
        record("Close");
        state = 0;
    }
    void SendData(const Variant& v) override {
        record("SendData");
        sent.push_back(v);
    }
    void GetData(std::u16string& data) override {
        record("GetData");
        data.clear();
        if (!pending.empty()) {
            data = pending.front();
            pending.pop_front();
        }
    }
    void setDataArrival(std::function<void(int32_t)> handler) override {
        dataArrival = std::move(handler);
    }

  private:
    void record(const std::string& call) { m_log.record(m_name + " " + call); }
    CallLog& m_log;
    std::string m_name;
};

class RecordingSite : public HostSite {
  public:
    std::vector<std::u16string> notifications;
    std::vector<std::pair<float, float>> extents;
    int onCommCount = 0;
    std::function<void()> onComm;  // the host's handler, run inside RaiseOnComm
    std::function<void(std::u16string_view)> failNotification;  // throws to fail
    std::function<void()> failExtent;                           // throws to fail

    void PropertyChanged(std::u16string_view name) override {
        if (failNotification)
            failNotification(name);
        notifications.emplace_back(name);
    }
    void SetExtent(float w, float h) override {
        if (failExtent)
            failExtent();
        extents.emplace_back(w, h);
    }
    void RaiseOnComm() override {
        ++onCommCount;
        if (onComm)
            onComm();
    }
};

}  // namespace port_control::testing
