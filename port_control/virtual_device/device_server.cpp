#include "virtual_device/device_server.h"

#include <utility>

#include "components/rfc2217_protocol.h"
#include "platform/message_loop.h"
#include "virtual_device/device_model.h"

namespace port_control::virtual_device {

namespace {
namespace modem = rfc2217::modem_state;
// The device's inputs: a line of line_event.h and its modem_state bit.
constexpr std::pair<uint8_t, uint8_t> kInputs[] = {{lines::kCts, modem::kCts},
                                                   {lines::kDsr, modem::kDsr},
                                                   {lines::kDcd, modem::kCd},
                                                   {lines::kRing, modem::kRing}};
}  // namespace

uint8_t modemStateOfLines(uint8_t eventLines) {
    uint8_t state = 0;
    for (const auto& [line, bit] : kInputs) {
        if (eventLines & line)
            state |= bit;
    }
    return state;
}

uint8_t linesOfModemState(uint8_t state) {
    uint8_t eventLines = 0;
    for (const auto& [line, bit] : kInputs) {
        if (state & bit)
            eventLines |= line;
    }
    return eventLines;
}

struct DeviceServer::State final : DeviceHost {
    using Clock = std::chrono::steady_clock;

    explicit State(DeviceOptions options)
        : loop(platform::MessageLoop::current()), start(Clock::now()) {
        if (options.faults)
            injector.emplace(std::move(*options.faults), options.seed);
        switch (options.kind) {
            case DeviceKind::Pair:
            case DeviceKind::Echo:
                model = makeNullModem(options, *this);
                break;
            case DeviceKind::Record:
                model = makeRecorder(options, *this);
                break;
            case DeviceKind::Replay:
                model = makeReplayer(options, *this);
                break;
        }
        scheduleTimedFaults();
    }

    ~State() override {
        loop.stopTimer(faultTimer);
        loop.stopTimer(replugTimer);
    }

    bool hasFaults() const override { return injector.has_value(); }

    void passFaults(Direction direction, std::string_view bytes,
                    std::vector<FaultPiece>& pieces) override {
        if (!injector) {
            pieces.push_back({std::string(bytes), std::nullopt});
            return;
        }
        const size_t before = injector->applied().size();
        injector->pass(direction, bytes, pieces);
        if (injector->applied().size() != before)
            changed();
    }

    void actOn(const Fault& fault, ServedPort& port) override {
        namespace line = rfc2217::line_state;
        switch (fault.kind) {
            case Fault::Kind::Parity:
                port.deliverLineState(line::kParity);
                break;
            case Fault::Kind::Framing:
                port.deliverLineState(line::kFraming);
                break;
            case Fault::Kind::Overrun:
                port.deliverLineState(line::kOverrun);
                break;
            case Fault::Kind::Break:
                port.deliverLineState(line::kBreak);
                break;
            case Fault::Kind::LineDown:
                port.setInputs(
                    static_cast<uint8_t>(port.inputs() & ~modemStateOfLines(fault.line)));
                break;
            case Fault::Kind::LineUp:
                port.setInputs(static_cast<uint8_t>(port.inputs() | modemStateOfLines(fault.line)));
                break;
            case Fault::Kind::Unplug:
                unplug(fault.pause);
                break;
            case Fault::Kind::Corrupt:
            case Fault::Kind::Drop:
                break;  // changes of the data, made as it passes
        }
    }

    void finished() override {
        status.finished = true;
        changed();
    }

    void mismatched(const ReplayMismatch& mismatch) override {
        status.mismatch = mismatch;
        changed();
    }

    void unplug(std::chrono::milliseconds pause) {
        for (ServedPort* port : model->ports())
            port->unplug();
        loop.stopTimer(replugTimer);
        replugTimer = loop.startTimer(pause, false, [this] {
            replugTimer = 0;
            for (ServedPort* port : model->ports())
                port->replug();
        });
    }

    void scheduleTimedFaults() {
        if (!injector)
            return;
        const auto next = injector->nextDue();
        if (!next)
            return;
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        const auto wait = std::max(*next - elapsed, std::chrono::milliseconds(0));
        faultTimer = loop.startTimer(wait, false, [this] {
            faultTimer = 0;
            const auto now =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
            // The status lists a fault before anything can see its effect.
            const std::vector<Fault> due = injector->dueAt(now);
            if (!due.empty())
                changed();
            for (const Fault& fault : due)
                actOn(fault, *model->ports().front());
            scheduleTimedFaults();
        });
    }

    void inject(const Fault& fault) {
        if (!injector)
            injector.emplace(FaultSchedule{}, 0);
        injector->noteInjected(fault);
        changed();  // before its effect, which a client may see at once
        actOn(fault, *model->ports().front());
    }

    DeviceStatus currentStatus() const {
        DeviceStatus result = status;
        if (injector)
            result.faults = injector->applied();
        return result;
    }

    void changed() {
        if (callback)
            callback();
    }

    platform::MessageLoop& loop;
    Clock::time_point start;
    std::optional<FaultInjector> injector;
    std::unique_ptr<DeviceModel> model;
    DeviceStatus status;
    std::function<void()> callback;
    platform::MessageLoop::TimerId faultTimer = 0;
    platform::MessageLoop::TimerId replugTimer = 0;
};

DeviceServer::DeviceServer(DeviceOptions options)
    : m_state(std::make_unique<State>(std::move(options))) {}

DeviceServer::~DeviceServer() = default;

std::vector<std::string> DeviceServer::addresses() const {
    std::vector<std::string> result;
    for (ServedPort* port : m_state->model->ports())
        result.push_back(port->address());
    return result;
}

std::vector<std::filesystem::path> DeviceServer::terminals() const {
    std::vector<std::filesystem::path> result;
    for (ServedPort* port : m_state->model->ports()) {
        if (!port->terminal().empty())
            result.push_back(port->terminal());
    }
    return result;
}

void DeviceServer::inject(const Fault& fault) {
    m_state->inject(fault);
}

DeviceStatus DeviceServer::status() const {
    return m_state->currentStatus();
}

void DeviceServer::onStatusChange(std::function<void()> callback) {
    m_state->callback = std::move(callback);
}

// --- On a thread of its own ----------------------------------------------------------------

BackgroundDevice::BackgroundDevice(DeviceOptions options) {
    m_thread =
        std::thread([this, options = std::move(options)]() mutable { run(std::move(options)); });
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return m_started; });
    if (m_startFailure) {
        lock.unlock();
        m_thread.join();
        std::rethrow_exception(m_startFailure);
    }
}

BackgroundDevice::~BackgroundDevice() {
    auto* loop = static_cast<platform::MessageLoop*>(m_loop);
    loop->post([loop] { loop->quit(); });
    m_thread.join();
}

void BackgroundDevice::run(DeviceOptions options) {
    platform::MessageLoop& loop = platform::MessageLoop::current();
    std::optional<DeviceServer> server;
    try {
        server.emplace(std::move(options));
    } catch (...) {
        std::lock_guard lock(m_mutex);
        m_startFailure = std::current_exception();
        m_started = true;
        m_changed.notify_all();
        return;
    }
    server->onStatusChange([this, &server] {
        std::lock_guard lock(m_mutex);
        m_status = server->status();
        m_changed.notify_all();
    });
    {
        std::lock_guard lock(m_mutex);
        m_addresses = server->addresses();
        m_terminals = server->terminals();
        m_loop = &loop;
        m_server = &*server;
        m_started = true;
        m_changed.notify_all();
    }
    loop.run();
    std::lock_guard lock(m_mutex);
    m_server = nullptr;
}

void BackgroundDevice::inject(const Fault& fault) {
    auto* loop = static_cast<platform::MessageLoop*>(m_loop);
    loop->post([this, fault] {
        if (m_server)
            m_server->inject(fault);
    });
}

DeviceStatus BackgroundDevice::status() const {
    std::lock_guard lock(m_mutex);
    return m_status;
}

bool BackgroundDevice::waitFinished(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout,
                              [this] { return m_status.finished || m_status.mismatch; });
}

}  // namespace port_control::virtual_device
