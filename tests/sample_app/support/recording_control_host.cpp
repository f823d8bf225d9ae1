#include "recording_control_host.h"

#include "platform/error.h"

namespace sample_app::test_support {

void PrintTo(const PropertyPut& put, std::ostream* out) {
    *out << "{dispid 0x" << std::hex << put.dispid << std::dec << ", type "
         << static_cast<int>(put.value.type()) << ", ";
    try {
        *out << '"' << platform::toUtf8(platform::toString(put.value)) << '"';
    } catch (const platform::Error&) {
        *out << "(no text form)";
    }
    *out << '}';
}

platform::Variant RecordingControlHost::getProperty(int32_t dispid) {
    gets.push_back(dispid);
    return getRule ? getRule(dispid) : platform::Variant();
}

void RecordingControlHost::putProperty(int32_t dispid, platform::Variant value) {
    if (putRule)
        putRule(dispid, value);
    puts.push_back({dispid, std::move(value)});
}

void RecordingControlHost::setOnCommHandler(std::function<void()> handler) {
    m_onComm = std::move(handler);
}

void RecordingControlHost::raiseOnComm() {
    if (m_onComm)
        m_onComm();
}

}  // namespace sample_app::test_support
