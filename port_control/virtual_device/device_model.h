// What a virtual device is made of: a model (the null-modem cable, the recorder, the
// replayer) behind its served ports, and the host that runs it (virtual_device/
// device_server.h), which owns the fault schedule and the device's status.
#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include "virtual_device/device_server.h"
#include "virtual_device/fault_schedule.h"
#include "virtual_device/line_event.h"
#include "virtual_device/served_port.h"

namespace port_control::virtual_device {

class DeviceHost {
  public:
    virtual ~DeviceHost() = default;
    // Whether a fault schedule or an injected fault may change the data.
    virtual bool hasFaults() const = 0;
    // `bytes` travelling in `direction` as the fault schedule leaves them: one piece of data
    // without a schedule.
    virtual void passFaults(Direction direction, std::string_view bytes,
                            std::vector<FaultPiece>& pieces) = 0;
    // Acts on a fault that is not a change of the data itself, toward `port`'s client.
    virtual void actOn(const Fault& fault, ServedPort& port) = 0;
    // The model's part of the status changed.
    virtual void finished() = 0;
    virtual void mismatched(const ReplayMismatch& mismatch) = 0;
};

class DeviceModel : public ServedPort::Device {
  public:
    // The ports, the first being the host's side ("received" is toward it).
    virtual std::vector<ServedPort*> ports() = 0;
};

// The device's inputs between the lines of line_event.h (lines::kCts, kDsr, kDcd, kRing)
// and the rfc2217::modem_state bits a port keeps; other lines are left out.
uint8_t modemStateOfLines(uint8_t lines);
uint8_t linesOfModemState(uint8_t state);

std::unique_ptr<DeviceModel> makeNullModem(const DeviceOptions& options, DeviceHost& host);
std::unique_ptr<DeviceModel> makeRecorder(const DeviceOptions& options, DeviceHost& host);
std::unique_ptr<DeviceModel> makeReplayer(const DeviceOptions& options, DeviceHost& host);

}  // namespace port_control::virtual_device
