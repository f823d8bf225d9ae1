#include "components/serial_input_filter.h"

namespace port_control {
namespace {

constexpr char kEscape = '\xFF';
constexpr char kEof = 26;

}  // namespace

SerialInputFilter::Report SerialInputFilter::filter(std::string_view input, const Options& options,
                                                    std::string& out) {
    Report report;
    auto deliver = [&](char byte) {
        if (byte == '\0' && options.nullDiscard)
            return;
        if (byte == kEof)
            report.eofReceived = true;
        out.push_back(byte);
    };
    for (char byte : input) {
        switch (m_state) {
            case State::Plain:
                if (byte == kEscape)
                    m_state = State::AfterEscape;
                else
                    deliver(byte);
                break;
            case State::AfterEscape:
                if (byte == '\0') {
                    m_state = State::AfterMark;
                } else {
                    // 0xFF 0xFF is one 0xFF; anything else cannot follow an escape, so the
                    // escape is taken as data rather than lost.
                    m_state = State::Plain;
                    deliver(kEscape);
                    if (byte != kEscape)
                        deliver(byte);
                }
                break;
            case State::AfterMark:
                m_state = State::Plain;
                if (byte == '\0') {
                    ++report.breaks;
                } else {
                    ++report.parityErrors;
                    deliver(options.parityReplacement
                                ? static_cast<char>(*options.parityReplacement)
                                : byte);
                }
                break;
        }
    }
    return report;
}

}  // namespace port_control
