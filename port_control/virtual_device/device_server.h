// Virtual serial devices served over RFC 2217 on 127.0.0.1: the server side of the line the
// control speaks as a client, so that the control, and every other RFC 2217 client, reaches
// a device that exists only in this process, with everything a real line carries (settings,
// modem lines, BREAK, line errors, purge).
//
//   Pair    two ports joined as a null-modem cable: data both ways, DTR to DSR and DCD, RTS
//           to CTS, BREAK; each end keeps its own settings, and bytes between ends whose
//           settings differ arrive as a UART would take them, line errors included.
//   Echo    one port that sends back everything, with RTS looped to CTS and DTR to DSR, DCD.
//   Record  one port forwarded to a real one (`source`), every event written to `capture`.
//   Replay  one port that plays `capture` back as the device.
//
// Each port takes one client at a time; another connection while one is open is closed at
// once, as a serial device opens once. Memory stays bounded whatever a client does: a client
// that does not read holds up the data toward it (and so its sender) instead of growing a
// queue, and the other port goes on.
//
// Everything runs on the message loop of the thread that made the server; BackgroundDevice
// runs one on a thread of its own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "virtual_device/fault_schedule.h"

namespace port_control::virtual_device {

enum class DeviceKind { Pair, Echo, Record, Replay };

struct DeviceOptions {
    DeviceKind kind = DeviceKind::Pair;
    // TCP ports on 127.0.0.1, one per end in order; an end without one (or 0) gets a free
    // port.
    std::vector<uint16_t> ports;
    // Pair and Echo: data goes at the sending end's character time (start, data, parity and
    // stop bits at its speed); false: as fast as the clients take it.
    bool pace = true;
    // Also offer each end as a pseudo-terminal, for programs that open a device path. Data
    // only: a pseudo-terminal has no modem lines, BREAK or line settings of its own.
    bool pty = false;
    // Record: a device path, a port number of the port map, or an "rfc2217://" address.
    std::string source;
    // Record: the capture written; Replay: the capture played.
    std::filesystem::path capture;
    // Replay: every byte the client sends must be the recorded one; the first difference
    // stops the replay (mismatch()).
    bool strict = false;
    // Replay: the recorded delays are divided by this (2.0 plays twice as fast).
    double speed = 1.0;
    std::optional<FaultSchedule> faults;
    uint64_t seed = 0;
};

// The first byte a strict replay did not get as recorded.
struct ReplayMismatch {
    uint64_t offset = 0;   // among the bytes the client sent
    std::string expected;  // the recorded bytes from there (a few)
    std::string received;  // the bytes the client sent from there (a few)
};

// What a device tells its owner as it goes.
struct DeviceStatus {
    bool finished = false;  // Replay: played to its end; Record: the source has gone
    std::optional<ReplayMismatch> mismatch;
    std::vector<AppliedFault> faults;
};

class DeviceServer {
  public:
    // Starts serving. Fails with platform::Error (number and description): a port that is
    // taken, a source that does not open, a capture or schedule that is refused.
    explicit DeviceServer(DeviceOptions options);
    ~DeviceServer();
    DeviceServer(const DeviceServer&) = delete;
    DeviceServer& operator=(const DeviceServer&) = delete;

    // "rfc2217://127.0.0.1:<port>" for each end.
    std::vector<std::string> addresses() const;
    // The pseudo-terminals' paths, one per end (with `pty`).
    std::vector<std::filesystem::path> terminals() const;
    // Applies `fault` now, as a schedule would at this point.
    void inject(const Fault& fault);
    DeviceStatus status() const;
    // Called on the loop's thread whenever status() changes.
    void onStatusChange(std::function<void()> callback);

  private:
    struct State;
    std::unique_ptr<State> m_state;
};

// A DeviceServer on a thread of its own with its own message loop, for a host whose own
// thread must not serve the device (a control opening a port waits on its thread for the
// device's answer) and for Python, whose interpreter lock that thread never takes. Every
// member may be called from any thread.
class BackgroundDevice {
  public:
    // Starts the device and waits until it serves; its failure is thrown here.
    explicit BackgroundDevice(DeviceOptions options);
    // Stops the device and its thread.
    ~BackgroundDevice();
    BackgroundDevice(const BackgroundDevice&) = delete;
    BackgroundDevice& operator=(const BackgroundDevice&) = delete;

    std::vector<std::string> addresses() const { return m_addresses; }
    std::vector<std::filesystem::path> terminals() const { return m_terminals; }
    void inject(const Fault& fault);
    DeviceStatus status() const;
    // Waits until the device is finished (or has a mismatch) or `timeout` has passed.
    bool waitFinished(std::chrono::milliseconds timeout) const;

  private:
    void run(DeviceOptions options);

    std::vector<std::string> m_addresses;
    std::vector<std::filesystem::path> m_terminals;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    DeviceStatus m_status;
    bool m_started = false;
    std::exception_ptr m_startFailure;
    void* m_loop = nullptr;  // the thread's platform::MessageLoop, for post()
    DeviceServer* m_server = nullptr;
    std::thread m_thread;
};

}  // namespace port_control::virtual_device
