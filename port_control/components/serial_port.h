// The serial component on a Linux terminal device or a network serial server:
// `port_control::SerialPort`.
//
// CommPort n opens the device the platform's port map names (platform/port_map.h): a
// terminal of this machine (components/local_serial_line.h), or with
// "n=rfc2217://host:port" a port on a network serial server
// (components/rfc2217_serial_line.h), which behaves as a local port in every member and
// event. Every setting is stored here, open or closed, and reads back as written; settings
// that reach the device (Settings, Handshaking, DTREnable, RTSEnable, Break) take effect at
// once on an open port, and a value the device refuses fails (8015) and leaves the stored
// one as it was. A new port holds the control's saved defaults: port 1, "9600,n,8,1",
// buffers 1024 and 512, parity replacement "?", DTREnable True (so opening raises DTR, as
// serial programs do), every other setting False or 0. Errors and event codes:
// components/serial_errors.h.
//
// Events are raised only from the thread's message loop (the descriptor watch, the modem
// line poll, or a posted task for what a call detects), never inside a member call, so a
// handler may call anything, PortOpen False included. Choices a host may notice:
// - Output never drops data: what the driver does not take at once waits in a queue that
//   may grow past OutBufferSize; each time it goes past it, event 1010 is raised once.
// - Send event 1 follows when the queue falls below SThreshold after having reached it,
//   also when the driver took all of an Output at once; it tells that the driver has the
//   data. OutBufferCount counts the queue plus the driver's own output queue.
// - Receive event 2 is raised once per arrival while RThreshold or more bytes wait (not
//   repeated while they stay unread).
// - Received bytes beyond InBufferSize are dropped with one event 1008 per episode, unless
//   Handshaking is on: then reading pauses, the driver's flow control holds the sender, and
//   nothing is lost.
// - In text mode (InputMode 0) InputLen counts characters of code page 932 (a double-byte
//   character is one); in binary mode it counts bytes.
// - A device that hangs up or vanishes closes the port (PortOpen reads False) and raises
//   one event 1011, once what it still held has been read (as the buffer and handshaking
//   allow; with a full buffer that waits for Input); the same port opens again once the
//   device is back.
// - PortOpen False discards what waits in either direction, the driver's queues included;
//   a host that needs its output sent waits for OutBufferCount 0 first.
// - Break can be set True only on an open port (8018 otherwise); closing releases it.
// - CDHolding, CTSHolding, DSRHolding fail with 8018 on a closed port and read False on a
//   device without modem lines (a pseudo-terminal).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "components/serial_component.h"
#include "components/serial_input_filter.h"
#include "components/serial_line.h"
#include "components/serial_settings.h"
#include "platform/message_loop.h"
#include "platform/watched_descriptor.h"

namespace port_control {

class SerialPort final : public SerialComponent {
  public:
    SerialPort();
    ~SerialPort() override;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    Boolean get_PortOpen() override;
    void put_PortOpen(Boolean open) override;

    void put_Output(const Variant& data) override;
    Variant get_Input() override;
    int16_t get_CommEvent() override;

    int16_t get_InBufferCount() override;
    void put_InBufferCount(int16_t count) override;
    int16_t get_OutBufferCount() override;
    void put_OutBufferCount(int16_t count) override;

    int16_t get_InputLen() override;
    void put_InputLen(int16_t length) override;
    int16_t get_RThreshold() override;
    void put_RThreshold(int16_t threshold) override;
    int16_t get_SThreshold() override;
    void put_SThreshold(int16_t threshold) override;

    int16_t get_CommPort() override;
    void put_CommPort(int16_t port) override;
    int16_t get_InBufferSize() override;
    void put_InBufferSize(int16_t size) override;
    int16_t get_OutBufferSize() override;
    void put_OutBufferSize(int16_t size) override;

    int32_t get_Handshaking() override;
    void put_Handshaking(int32_t mode) override;
    int32_t get_InputMode() override;
    void put_InputMode(int32_t mode) override;

    std::u16string get_Settings() override;
    void put_Settings(const std::u16string& settings) override;
    std::u16string get_ParityReplace() override;
    void put_ParityReplace(const std::u16string& replacement) override;

    Boolean get_DTREnable() override;
    void put_DTREnable(Boolean enable) override;
    Boolean get_RTSEnable() override;
    void put_RTSEnable(Boolean enable) override;
    Boolean get_NullDiscard() override;
    void put_NullDiscard(Boolean discard) override;
    Boolean get_EOFEnable() override;
    void put_EOFEnable(Boolean enable) override;
    Boolean get_Break() override;
    void put_Break(Boolean on) override;

    Boolean get_CDHolding() override;
    Boolean get_CTSHolding() override;
    Boolean get_DSRHolding() override;
    int32_t get_CommID() override;

    void setOnComm(std::function<void()> handler) override;

  private:
    bool isOpen() const { return m_line != nullptr; }
    void requireOpen() const;
    void openDevice();
    void closeDevice();
    void hangUp();
    void deviceLost();
    bool modemLine(int line);

    // How a round of reading ended: stopped by the buffer or the budget, with the device
    // empty for now, or with the device failed or hung up and empty.
    enum class ReadOutcome { Stopped, Emptied, Failed };

    void onDeviceReady(uint32_t events);
    ReadOutcome readAvailable(std::vector<int16_t>& events);
    bool writeQueued();
    size_t queuedOutput() const { return m_output.size() - m_outputTaken; }
    void onLinePoll();
    void updateWatch();
    void readPendingInput();
    void afterInputTaken();

    // Raises `code` as the current event; false if the handler closed the port or
    // destroyed the component, in which case the caller must stop at once.
    bool raise(int16_t code);
    void raiseAll(const std::vector<int16_t>& codes);
    void defer(int16_t code);

    // Settings (the component is their only home). The control reads the first three for
    // every datagram in UDP mode: they share the cache line of the object's start, so that
    // with a thousand controls open a datagram finds one line of this object cold, not two.
    int16_t m_rThreshold = 0;
    int16_t m_sThreshold = 0;
    int16_t m_inputLen = 0;
    int16_t m_commPort = 1;
    std::u16string m_settingsText = u"9600,n,8,1";
    SerialSettings m_settings;
    int32_t m_handshaking = 0;
    int32_t m_inputMode = 0;
    int16_t m_inBufferSize = 1024;
    int16_t m_outBufferSize = 512;
    std::u16string m_parityReplace = u"?";
    bool m_dtrEnable = true;
    bool m_rtsEnable = false;
    bool m_nullDiscard = false;
    bool m_eofEnable = false;
    bool m_break = false;
    int16_t m_commEvent = 0;
    std::function<void()> m_onComm;

    // The open line.
    std::unique_ptr<SerialLine> m_line;
    platform::MessageLoop* m_loop = nullptr;
    platform::MessageLoop::TimerId m_linePollTimer = 0;
    std::string m_input;   // received bytes not yet taken by Input
    std::string m_output;  // bytes handed to Output, less those dropped from the front
    std::string m_chunk;   // scratch for one read, filtered
    // Bytes at the front of m_output that the driver has taken; dropped in bulk, see
    // put_Output. The queue proper is what follows them (queuedOutput).
    size_t m_outputTaken = 0;
    SerialInputFilter m_inputFilter;
    bool m_readPaused = false;
    bool m_hungUp = false;  // the device hung up or failed: it is read empty, then lost
    bool m_receiveOverflowReported = false;
    bool m_transmitFullReported = false;
    bool m_sendEventArmed = false;
    std::vector<int16_t> m_deferred;
    bool m_deferPosted = false;
    bool m_pendingReadPosted = false;

    // The watch on the open line's descriptor, and what callbacks check after calling out.
    // Last, so that its liveness token expires first.
    platform::WatchedDescriptor m_device;
};

}  // namespace port_control
