#include "components/serial_port.h"

#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>
#include <utility>

#include "components/local_serial_line.h"
#include "components/rfc2217_serial_line.h"
#include "components/serial_errors.h"
#include "components/serial_termios.h"
#include "platform/codepage932.h"
#include "platform/port_map.h"

namespace port_control {
namespace {

using platform::MessageLoop;

constexpr int16_t kLowestPort = 1;
constexpr int16_t kHighestPort = 255;
constexpr size_t kReadChunk = 4096;
// A busy device must not keep the loop from other work: the watch is level-triggered, so
// what is left is read on the next round.
constexpr size_t kReadBudget = 64 * 1024;
// Room the output queue keeps once drained; a large Output's room goes back.
constexpr size_t kKeptOutputRoom = 64 * 1024;
constexpr std::chrono::milliseconds kLinePollInterval{100};

Boolean toBoolean(bool value) {
    return platform::toBooleanValue(value);
}

int16_t clampCount(size_t count) {
    return static_cast<int16_t>(std::min<size_t>(count, 32767));
}

[[noreturn]] void throwInvalidValue() {
    throw serialError(serial_errors::kInvalidPropertyValue);
}

}  // namespace

SerialPort::SerialPort() = default;

SerialPort::~SerialPort() {
    if (isOpen())
        closeDevice();
}

void SerialPort::requireOpen() const {
    if (!isOpen())
        throw serialError(serial_errors::kPortNotOpen);
}

// --- Opening and closing -------------------------------------------------------------

Boolean SerialPort::get_PortOpen() {
    return toBoolean(isOpen());
}

void SerialPort::put_PortOpen(Boolean open) {
    if (open) {
        if (isOpen())
            throw serialError(serial_errors::kPortAlreadyOpen);
        openDevice();
    } else if (isOpen()) {
        closeDevice();
    }
}

void SerialPort::openDevice() {
    std::filesystem::path device = platform::devicePathForPort(m_commPort);
    std::unique_ptr<SerialLine> line;
    if (Rfc2217SerialLine::isNetworkAddress(device.native()))
        line = Rfc2217SerialLine::open(device.native(), m_settings, m_handshaking, m_dtrEnable,
                                       m_rtsEnable);
    else
        line = LocalSerialLine::open(device, m_settings, m_handshaking, m_dtrEnable, m_rtsEnable);

    // The thread's loop is made by its first user and may find no descriptor left for
    // itself; like the loop's other refusals, that is the open's error, with a number.
    MessageLoop::TimerId timer = 0;
    MessageLoop* loop = nullptr;
    try {
        loop = &MessageLoop::current();
        // The line outlives the watch on its descriptor: closeDevice stops watching first.
        m_device.watch(
            line->descriptor(), MessageLoop::kReadable,
            [this](uint32_t events) { onDeviceReady(events); }, *loop);
        if (line->needsPolling())
            timer = loop->startTimer(kLinePollInterval, true, [this] { onLinePoll(); });
    } catch (const std::system_error& e) {
        m_device.close();
        throw serialErrorFromErrno(e.code().value(), SerialOperation::Open);
    } catch (...) {
        m_device.close();
        throw;
    }

    m_line = std::move(line);
    m_loop = loop;
    m_linePollTimer = timer;
    updateWatch();  // a network line may have read ahead while opening
}

void SerialPort::closeDevice() {
    if (m_linePollTimer)
        m_loop->stopTimer(std::exchange(m_linePollTimer, 0));
    m_device.close();
    m_line.reset();

    m_loop = nullptr;
    m_input.clear();
    m_output.clear();
    m_outputTaken = 0;
    m_inputFilter.reset();
    m_break = false;
    m_hungUp = false;
    m_readPaused = false;
    m_receiveOverflowReported = false;
    m_transmitFullReported = false;
    m_sendEventArmed = false;
    m_deferred.clear();
}

// The device takes nothing more: what waits to go out is dropped (as the loss that follows
// would drop it), and reading goes on until the device is empty.
void SerialPort::hangUp() {
    m_hungUp = true;
    m_output.clear();
    m_outputTaken = 0;
    m_sendEventArmed = false;
}

void SerialPort::deviceLost() {
    closeDevice();
    raise(comm_events::kDeviceLost);
}

// --- Events --------------------------------------------------------------------------

void SerialPort::setOnComm(std::function<void()> handler) {
    m_onComm = std::move(handler);
}

int16_t SerialPort::get_CommEvent() {
    return m_commEvent;
}

bool SerialPort::raise(int16_t code) {
    const platform::WatchedDescriptor::Ticket ticket = m_device.ticket();
    m_commEvent = code;
    if (m_onComm) {
        std::function<void()> handler = m_onComm;  // the handler may replace itself
        handler();
    }
    return ticket.sameOpening();
}

void SerialPort::raiseAll(const std::vector<int16_t>& codes) {
    for (int16_t code : codes) {
        if (!raise(code))
            return;
    }
}

// For what a member call detects: raised from the loop once the call has returned.
void SerialPort::defer(int16_t code) {
    m_deferred.push_back(code);
    if (m_deferPosted)
        return;
    m_deferPosted = true;
    m_loop->post([this, ticket = m_device.ticket()] {
        if (!ticket.ownerAlive())
            return;
        m_deferPosted = false;
        while (!m_deferred.empty()) {
            int16_t next = m_deferred.front();
            m_deferred.erase(m_deferred.begin());
            if (!raise(next))
                return;
        }
    });
}

// A device that hangs up or fails is lost only once what it still holds has been read: a
// peer that resets a connection leaves behind everything that came before the reset.
void SerialPort::onDeviceReady(uint32_t events) {
    const platform::WatchedDescriptor::Ticket ticket = m_device.ticket();
    std::vector<int16_t> raised;
    if (events & (MessageLoop::kHangup | MessageLoop::kError))
        hangUp();
    bool lost = false;
    if (events & (MessageLoop::kReadable | MessageLoop::kHangup | MessageLoop::kError)) {
        const ReadOutcome outcome = readAvailable(raised);
        lost = outcome == ReadOutcome::Failed ||
               (m_hungUp && outcome == ReadOutcome::Emptied && !m_line->hasPendingInput());
    }
    if (!lost && !m_hungUp && (events & MessageLoop::kWritable)) {
        if (!m_line->flush() || !writeQueued())
            hangUp();  // a read tells whether anything is left
        if (m_sendEventArmed && static_cast<int>(queuedOutput()) < m_sThreshold) {
            m_sendEventArmed = false;
            raised.push_back(comm_events::kSend);
        }
    }
    if (!lost)
        updateWatch();
    raiseAll(raised);
    if (lost && ticket.sameOpening())
        deviceLost();
}

// Reads what the device holds, as far as the buffer and the budget allow.
SerialPort::ReadOutcome SerialPort::readAvailable(std::vector<int16_t>& events) {
    SerialInputFilter::Options options;
    options.marked = m_line->marksLineErrors();
    options.nullDiscard = m_nullDiscard;
    if (!m_parityReplace.empty())
        options.parityReplacement =
            static_cast<uint8_t>(platform::cp932::encode(m_parityReplace)[0]);
    const bool holdSender = m_handshaking != handshaking::kNone;
    SerialInputFilter::Report total;
    bool received = false;
    bool overflowed = false;
    ReadOutcome outcome = ReadOutcome::Stopped;
    char buffer[kReadChunk];
    for (size_t budget = kReadBudget; budget > 0;) {
        size_t room = m_input.size() < static_cast<size_t>(m_inBufferSize)
                          ? static_cast<size_t>(m_inBufferSize) - m_input.size()
                          : 0;
        // With handshaking never read more than fits (the filter only ever shrinks data):
        // what stays in the driver makes it hold the sender.
        size_t want = holdSender ? std::min(room, sizeof buffer) : sizeof buffer;
        if (want == 0)
            break;
        ssize_t count = m_line->read(buffer, want, events);
        if (count <= 0) {
            outcome = count < 0 ? ReadOutcome::Failed : ReadOutcome::Emptied;
            break;
        }
        budget -= std::min(budget, static_cast<size_t>(count));
        m_chunk.clear();
        auto report = m_inputFilter.filter(std::string_view(buffer, static_cast<size_t>(count)),
                                           options, m_chunk);
        total.breaks += report.breaks;
        total.parityErrors += report.parityErrors;
        total.eofReceived = total.eofReceived || report.eofReceived;
        size_t kept = std::min(room, m_chunk.size());
        m_input.append(m_chunk, 0, kept);
        received = received || kept > 0;
        overflowed = overflowed || kept < m_chunk.size();
        // A short read emptied the line: asking again would only hear "nothing yet" (the
        // descriptor's next readiness, or the line's own pending input, brings the rest).
        if (static_cast<size_t>(count) < want)
            break;
    }
    if (total.breaks > 0)
        events.push_back(comm_events::kBreak);
    if (total.parityErrors > 0)
        events.push_back(comm_events::kParity);
    if (overflowed && !m_receiveOverflowReported) {
        m_receiveOverflowReported = true;
        events.push_back(comm_events::kReceiveOverflow);
    }
    if (total.eofReceived && m_eofEnable)
        events.push_back(comm_events::kEof);
    if (received && m_rThreshold > 0 && m_input.size() >= static_cast<size_t>(m_rThreshold))
        events.push_back(comm_events::kReceive);
    return outcome;
}

// Hands queued output to the driver; false if the device has failed.
bool SerialPort::writeQueued() {
    while (queuedOutput() > 0) {
        ssize_t count = m_line->write(m_output.data() + m_outputTaken, queuedOutput());
        if (count < 0)
            return false;
        if (count <= 0)
            break;
        m_outputTaken += static_cast<size_t>(count);
    }
    // The written part stays in front of the rest until more output comes (see put_Output):
    // moving the rest down frees nothing, and a large Output sent on its own need never move.
    if (queuedOutput() == 0) {
        m_output.clear();
        if (m_output.capacity() > kKeptOutputRoom)
            m_output = std::string();
        m_outputTaken = 0;
    }
    if (queuedOutput() <= static_cast<size_t>(m_outBufferSize))
        m_transmitFullReported = false;
    return true;
}

void SerialPort::onLinePoll() {
    std::vector<int16_t> events;
    if (!m_line->poll(events)) {
        deviceLost();
        return;
    }
    raiseAll(events);
}

void SerialPort::updateWatch() {
    if (!isOpen())
        return;
    m_readPaused = m_handshaking != handshaking::kNone &&
                   m_input.size() >= static_cast<size_t>(m_inBufferSize);
    const bool wantsRoom =
        !m_hungUp && ((queuedOutput() > 0 && m_line->acceptsData()) || m_line->hasPendingOutput());
    // Asking for nothing silences a hang-up too, until the buffer has room to read on.
    uint32_t events = (m_readPaused ? 0u : uint32_t{MessageLoop::kReadable}) |
                      (wantsRoom ? uint32_t{MessageLoop::kWritable} : 0u);
    m_device.setEvents(events);
    if (!m_readPaused && (m_line->hasPendingInput() || m_hungUp))
        readPendingInput();
}

// Input the line already holds makes the descriptor no more readable: read it from the loop.
void SerialPort::readPendingInput() {
    if (m_pendingReadPosted)
        return;
    m_pendingReadPosted = true;
    m_loop->post([this, ticket = m_device.ticket()] {
        if (!ticket.ownerAlive())
            return;
        m_pendingReadPosted = false;
        if (ticket.sameOpening() && isOpen() && !m_readPaused)
            onDeviceReady(MessageLoop::kReadable);
    });
}

// --- Data ----------------------------------------------------------------------------

void SerialPort::put_Output(const Variant& data) {
    const bool text = data.type() == platform::VarType::String;
    if (!text && data.type() != platform::VarType::ByteArray)
        throwInvalidValue();
    requireOpen();
    if (text ? data.stringValue().empty() : data.bytesValue().empty())
        return;
    const bool wasIdle = queuedOutput() == 0;
    // The written part leaves the front only once it outweighs the rest, so that output
    // added while a large one drains a little at a time is moved about once in all.
    if (m_outputTaken > queuedOutput()) {
        m_output.erase(0, m_outputTaken);
        m_outputTaken = 0;
    }
    // Straight into the queue, with no copy on the way.
    if (text) {
        platform::cp932::encodeAppend(data.stringValue(), m_output);
    } else {
        const platform::ByteArray& bytes = data.bytesValue();
        m_output.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    if (m_sThreshold > 0 && queuedOutput() >= static_cast<size_t>(m_sThreshold))
        m_sendEventArmed = true;
    if (wasIdle && !writeQueued()) {
        int err = errno;
        hangUp();  // what the device still holds is read, then it is lost
        updateWatch();
        throw serialErrorFromErrno(err, SerialOperation::Write);
    }
    // Only what the driver could not take counts against the queue's size.
    if (queuedOutput() > static_cast<size_t>(m_outBufferSize) && !m_transmitFullReported) {
        m_transmitFullReported = true;
        defer(comm_events::kTransmitFull);
    }
    if (m_sendEventArmed && queuedOutput() < static_cast<size_t>(m_sThreshold)) {
        m_sendEventArmed = false;
        defer(comm_events::kSend);
    }
    updateWatch();
}

Variant SerialPort::get_Input() {
    requireOpen();
    size_t take = m_input.size();
    Variant result;
    if (m_inputMode == 1) {
        if (m_inputLen > 0)
            take = std::min(take, static_cast<size_t>(m_inputLen));
        result = Variant::fromBytes(platform::ByteArray(m_input.begin(), m_input.begin() + take));
    } else {
        std::u16string text = platform::cp932::decode(m_input);
        if (m_inputLen > 0 && text.size() > static_cast<size_t>(m_inputLen)) {
            // Counted in characters; encoding the kept ones tells how many bytes they were.
            text.resize(static_cast<size_t>(m_inputLen));
            take = platform::cp932::encode(text).size();
        }
        result = Variant::fromString(std::move(text));
    }
    m_input.erase(0, take);
    afterInputTaken();
    return result;
}

void SerialPort::afterInputTaken() {
    if (m_input.size() < static_cast<size_t>(m_inBufferSize))
        m_receiveOverflowReported = false;
    updateWatch();
}

int16_t SerialPort::get_InBufferCount() {
    return clampCount(m_input.size());
}

void SerialPort::put_InBufferCount(int16_t count) {
    if (count != 0)
        throwInvalidValue();
    if (!isOpen())
        return;
    m_line->discardInput();
    m_input.clear();
    m_inputFilter.reset();
    afterInputTaken();
}

int16_t SerialPort::get_OutBufferCount() {
    if (!isOpen())
        return 0;
    return clampCount(queuedOutput() + m_line->outputInDevice());
}

void SerialPort::put_OutBufferCount(int16_t count) {
    if (count != 0)
        throwInvalidValue();
    if (!isOpen())
        return;
    m_line->discardOutput();
    m_output.clear();
    m_outputTaken = 0;
    m_sendEventArmed = false;  // discarded, not sent
    m_transmitFullReported = false;
    updateWatch();
}

// --- Settings ------------------------------------------------------------------------

int16_t SerialPort::get_InputLen() {
    return m_inputLen;
}

void SerialPort::put_InputLen(int16_t length) {
    if (length < 0)
        throwInvalidValue();
    m_inputLen = length;
}

int16_t SerialPort::get_RThreshold() {
    return m_rThreshold;
}

void SerialPort::put_RThreshold(int16_t threshold) {
    if (threshold < 0)
        throwInvalidValue();
    m_rThreshold = threshold;
}

int16_t SerialPort::get_SThreshold() {
    return m_sThreshold;
}

void SerialPort::put_SThreshold(int16_t threshold) {
    if (threshold < 0)
        throwInvalidValue();
    m_sThreshold = threshold;
    if (threshold == 0)
        m_sendEventArmed = false;
}

int16_t SerialPort::get_CommPort() {
    return m_commPort;
}

void SerialPort::put_CommPort(int16_t port) {
    if (isOpen())
        throw serialError(serial_errors::kPortOpened);
    if (port < kLowestPort || port > kHighestPort)
        throw serialError(serial_errors::kInvalidPortNumber);
    m_commPort = port;
}

int16_t SerialPort::get_InBufferSize() {
    return m_inBufferSize;
}

void SerialPort::put_InBufferSize(int16_t size) {
    if (size < 1)
        throwInvalidValue();
    m_inBufferSize = size;
    afterInputTaken();  // a larger buffer may let a paused reader go on
}

int16_t SerialPort::get_OutBufferSize() {
    return m_outBufferSize;
}

void SerialPort::put_OutBufferSize(int16_t size) {
    if (size < 1)
        throwInvalidValue();
    m_outBufferSize = size;
    if (queuedOutput() <= static_cast<size_t>(size))
        m_transmitFullReported = false;
}

int32_t SerialPort::get_Handshaking() {
    return m_handshaking;
}

void SerialPort::put_Handshaking(int32_t mode) {
    if (mode < handshaking::kNone || mode > handshaking::kRtsCtsXonXoff)
        throwInvalidValue();
    if (isOpen())
        m_line->applySettings(m_settings, mode);
    m_handshaking = mode;
    updateWatch();
}

int32_t SerialPort::get_InputMode() {
    return m_inputMode;
}

void SerialPort::put_InputMode(int32_t mode) {
    if (mode != 0 && mode != 1)
        throwInvalidValue();
    m_inputMode = mode;
}

std::u16string SerialPort::get_Settings() {
    return m_settingsText;
}

void SerialPort::put_Settings(const std::u16string& settings) {
    SerialSettings parsed = SerialSettings::parseOrThrow(settings);
    if (isOpen()) {
        m_line->applySettings(parsed, m_handshaking);
        updateWatch();  // a network line reads ahead while it waits for the answer
    }
    m_settings = parsed;
    m_settingsText = settings;
}

std::u16string SerialPort::get_ParityReplace() {
    return m_parityReplace;
}

void SerialPort::put_ParityReplace(const std::u16string& replacement) {
    // Empty (keep the byte) or one character that is one byte on the line.
    if (replacement.size() > 1 ||
        (replacement.size() == 1 && (!platform::cp932::canEncode(replacement[0]) ||
                                     platform::cp932::encode(replacement).size() != 1)))
        throwInvalidValue();
    m_parityReplace = replacement;
}

Boolean SerialPort::get_DTREnable() {
    return toBoolean(m_dtrEnable);
}

void SerialPort::put_DTREnable(Boolean enable) {
    if (isOpen()) {
        m_line->setModemLine(TIOCM_DTR, enable != 0);
        updateWatch();
    }
    m_dtrEnable = enable != 0;
}

Boolean SerialPort::get_RTSEnable() {
    return toBoolean(m_rtsEnable);
}

void SerialPort::put_RTSEnable(Boolean enable) {
    if (isOpen()) {
        m_line->setModemLine(TIOCM_RTS, enable != 0);
        updateWatch();
    }
    m_rtsEnable = enable != 0;
}

Boolean SerialPort::get_NullDiscard() {
    return toBoolean(m_nullDiscard);
}

void SerialPort::put_NullDiscard(Boolean discard) {
    m_nullDiscard = discard != 0;
}

Boolean SerialPort::get_EOFEnable() {
    return toBoolean(m_eofEnable);
}

void SerialPort::put_EOFEnable(Boolean enable) {
    m_eofEnable = enable != 0;
}

Boolean SerialPort::get_Break() {
    return toBoolean(m_break);
}

void SerialPort::put_Break(Boolean on) {
    if (!isOpen()) {
        if (on)
            throw serialError(serial_errors::kPortNotOpen);
        return;
    }
    m_line->setBreak(on != 0);
    m_break = on != 0;
    updateWatch();
}

// --- Line status ---------------------------------------------------------------------

bool SerialPort::modemLine(int line) {
    requireOpen();
    return (m_line->modemLines() & line) != 0;
}

Boolean SerialPort::get_CDHolding() {
    return toBoolean(modemLine(TIOCM_CAR));
}

Boolean SerialPort::get_CTSHolding() {
    return toBoolean(modemLine(TIOCM_CTS));
}

Boolean SerialPort::get_DSRHolding() {
    return toBoolean(modemLine(TIOCM_DSR));
}

int32_t SerialPort::get_CommID() {
    return isOpen() ? m_line->descriptor() : -1;
}

}  // namespace port_control
