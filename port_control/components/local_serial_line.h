// A serial line on a terminal device of this machine (a UART, a USB adapter, a
// pseudo-terminal), through termios and the modem-line ioctls.
//
// Opening takes an exclusive lock on the device, so one port at a time has it; closing
// releases break, discards both driver queues, drops DTR and RTS and lets go of the lock. A
// child process that inherited the line shares all of that with its parent: its closing
// only closes its own descriptor. A device without modem lines (a pseudo-terminal) takes DTR
// and RTS requests silently and reports no lines.
#pragma once

#include <filesystem>
#include <memory>

#include "components/serial_line.h"
#include "platform/file_descriptor.h"
#include "platform/owning_process.h"

namespace port_control {

class LocalSerialLine final : public SerialLine {
  public:
    // Opens `device` with the settings, handshaking and modem lines given; fails with the
    // serial errors of opening (68, 70, 8010, 8015, 8019).
    static std::unique_ptr<LocalSerialLine> open(const std::filesystem::path& device,
                                                 const SerialSettings& settings,
                                                 int32_t handshaking, bool dtr, bool rts);
    ~LocalSerialLine() override;

    int descriptor() const override { return m_fd.get(); }
    bool marksLineErrors() const override { return m_marksLineErrors; }
    void applySettings(const SerialSettings& settings, int32_t handshaking) override;
    void setModemLine(int line, bool on) override;
    void setBreak(bool on) override;
    int modemLines() override;
    ssize_t read(char* buffer, size_t size, std::vector<int16_t>& events) override;
    ssize_t write(const char* data, size_t size) override;
    size_t outputInDevice() override;
    void discardInput() override;
    void discardOutput() override;
    bool needsPolling() const override { return m_hasModemLines || m_hasErrorCounters; }
    bool poll(std::vector<int16_t>& events) override;

  private:
    explicit LocalSerialLine(platform::FileDescriptor fd) : m_fd(std::move(fd)) {}

    platform::FileDescriptor m_fd;
    platform::OwningProcess m_owner;  // the process that opened the device
    bool m_marksLineErrors = true;    // PARMRK is on: not on a pseudo-terminal
    bool m_break = false;
    bool m_hasModemLines = false;
    int m_modemLines = 0;
    bool m_hasErrorCounters = false;
    uint64_t m_framingErrors = 0;
    uint64_t m_overruns = 0;
};

}  // namespace port_control
