#include "components/serial_input_filter.h"

#include <algorithm>

namespace port_control {
namespace {

constexpr char kEscape = '\xFF';
constexpr char kEof = 26;

}  // namespace

SerialInputFilter::Report SerialInputFilter::filter(std::string_view input, const Options& options,
                                                    std::string& out) {
    Report report;
    // Bytes outside marks go in whole runs (searched with memchr): most reads hold no mark.
    auto deliverRun = [&](std::string_view run) {
        if (!report.eofReceived && run.find(kEof) != std::string_view::npos)
            report.eofReceived = true;
        out.append(run);
    };
    auto deliver = [&](char byte) {
        if (byte == '\0' && options.nullDiscard)
            return;
        deliverRun(std::string_view(&byte, 1));
    };
    while (!input.empty()) {
        if (m_state == State::Plain) {
            const size_t escape =
                options.marked ? std::min(input.find(kEscape), input.size()) : input.size();
            std::string_view run = input.substr(0, escape);
            if (options.nullDiscard) {
                for (size_t nul; (nul = run.find('\0')) != std::string_view::npos;
                     run.remove_prefix(nul + 1))
                    deliverRun(run.substr(0, nul));
            }
            deliverRun(run);
            input.remove_prefix(escape);
            if (!input.empty()) {
                m_state = State::AfterEscape;
                input.remove_prefix(1);
            }
            continue;
        }
        const char byte = input.front();
        input.remove_prefix(1);
        if (m_state == State::AfterEscape) {
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
        } else {
            m_state = State::Plain;
            if (byte == '\0') {
                ++report.breaks;
            } else {
                ++report.parityErrors;
                deliver(options.parityReplacement ? static_cast<char>(*options.parityReplacement)
                                                  : byte);
            }
        }
    }
    return report;
}

}  // namespace port_control
