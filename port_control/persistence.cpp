// Saving and restoring the control's nineteen persisted properties.
//
// Both directions walk one table in its fixed order. Load writes each value straight
// into the component or field that holds it (no notification, no close, no protocol
// change); save reads each value live. The first failure ends the operation: rows before
// it stay applied (or written), the rest are not touched.
#include <array>
#include <functional>

#include "portula.h"

namespace port_control {

namespace {
using platform::Variant;
using platform::VarType;

struct PersistedRow {
    const char16_t* key;
    VarType type;
    Variant defaultValue;
};

// The defaults handed with the 32-bit keys are 16-bit zeros: what the store compares is
// the number, which is zero either way.
const std::array<PersistedRow, 19>& persistedRows() {
    static const std::array<PersistedRow, 19> rows{{
        {u"Settings", VarType::String, Variant::fromString(u"9600,n,8,1")},
        {u"CommPort", VarType::Integer, Variant::fromInteger(1)},
        {u"DTREnable", VarType::Boolean, Variant::fromBoolean(platform::kTrue)},
        {u"Handshaking", VarType::Long, Variant::fromInteger(0)},
        {u"InBufferSize", VarType::Integer, Variant::fromInteger(1024)},
        {u"InputLen", VarType::Integer, Variant::fromInteger(0)},
        {u"NullDiscard", VarType::Boolean, Variant::fromBoolean(platform::kFalse)},
        {u"OutBufferSize", VarType::Integer, Variant::fromInteger(512)},
        {u"ParityReplace", VarType::String, Variant::fromString(u"?")},
        {u"RThreshold", VarType::Integer, Variant::fromInteger(0)},
        {u"RTSEnable", VarType::Boolean, Variant::fromBoolean(platform::kFalse)},
        {u"SThreshold", VarType::Integer, Variant::fromInteger(0)},
        {u"EOFEnable", VarType::Boolean, Variant::fromBoolean(platform::kFalse)},
        {u"InputMode", VarType::Long, Variant::fromInteger(0)},
        {u"RemoteHost", VarType::String, Variant::fromString(u"")},
        {u"RemotePort", VarType::Long, Variant::fromInteger(0)},
        {u"LocalPort", VarType::Long, Variant::fromInteger(0)},
        {u"UDPUse", VarType::Boolean, Variant::fromBoolean(platform::kFalse)},
        {u"LogFile", VarType::String, Variant::fromString(u"")},
    }};
    return rows;
}
}  // namespace

void Portula::Load(platform::PropertyBag& bag) {
    SerialComponent& serial = *m_components.MSComm1;
    UdpComponent& sender = *m_components.Winsock1;
    UdpComponent& receiver = *m_components.Winsock2;
    // Appliers in the order of persistedRows(); each takes the value already converted.
    const std::array<std::function<void(const Variant&)>, 19> apply{
        [&](const Variant& v) { serial.put_Settings(v.stringValue()); },
        [&](const Variant& v) { serial.put_CommPort(v.integerValue()); },
        [&](const Variant& v) { serial.put_DTREnable(v.integerValue()); },
        [&](const Variant& v) { serial.put_Handshaking(v.longValue()); },
        [&](const Variant& v) { serial.put_InBufferSize(v.integerValue()); },
        [&](const Variant& v) { serial.put_InputLen(v.integerValue()); },
        [&](const Variant& v) { serial.put_NullDiscard(v.integerValue()); },
        [&](const Variant& v) { serial.put_OutBufferSize(v.integerValue()); },
        [&](const Variant& v) { serial.put_ParityReplace(v.stringValue()); },
        [&](const Variant& v) { serial.put_RThreshold(v.integerValue()); },
        [&](const Variant& v) { serial.put_RTSEnable(v.integerValue()); },
        [&](const Variant& v) { serial.put_SThreshold(v.integerValue()); },
        [&](const Variant& v) { serial.put_EOFEnable(v.integerValue()); },
        [&](const Variant& v) { serial.put_InputMode(v.longValue()); },
        [&](const Variant& v) { sender.put_RemoteHost(v.stringValue()); },
        [&](const Variant& v) { sender.put_RemotePort(v.longValue()); },
        [&](const Variant& v) { receiver.put_LocalPort(v.longValue()); },
        [&](const Variant& v) { m_udpFlag = v.integerValue(); },
        [&](const Variant& v) { setLogPath(v.stringValue()); },
    };
    const auto& rows = persistedRows();
    for (size_t i = 0; i < rows.size(); ++i) {
        const Variant stored = bag.Read(rows[i].key, rows[i].defaultValue);
        apply[i](platform::convert(stored, rows[i].type));
    }
}

void Portula::Save(platform::PropertyBag& bag) {
    SerialComponent& serial = *m_components.MSComm1;
    UdpComponent& sender = *m_components.Winsock1;
    UdpComponent& receiver = *m_components.Winsock2;
    const std::array<std::function<Variant()>, 19> read{
        [&] { return Variant::fromString(serial.get_Settings()); },
        [&] { return Variant::fromInteger(serial.get_CommPort()); },
        [&] { return Variant::fromBoolean(serial.get_DTREnable()); },
        [&] { return Variant::fromLong(serial.get_Handshaking()); },
        [&] { return Variant::fromInteger(serial.get_InBufferSize()); },
        [&] { return Variant::fromInteger(serial.get_InputLen()); },
        [&] { return Variant::fromBoolean(serial.get_NullDiscard()); },
        [&] { return Variant::fromInteger(serial.get_OutBufferSize()); },
        [&] { return Variant::fromString(serial.get_ParityReplace()); },
        [&] { return Variant::fromInteger(serial.get_RThreshold()); },
        [&] { return Variant::fromBoolean(serial.get_RTSEnable()); },
        [&] { return Variant::fromInteger(serial.get_SThreshold()); },
        [&] { return Variant::fromBoolean(serial.get_EOFEnable()); },
        [&] { return Variant::fromLong(serial.get_InputMode()); },
        [&] { return Variant::fromString(sender.get_RemoteHost()); },
        [&] { return Variant::fromLong(sender.get_RemotePort()); },
        [&] { return Variant::fromLong(receiver.get_LocalPort()); },
        [&] { return Variant::fromBoolean(m_udpFlag); },
        [&] { return Variant::fromString(m_logPath); },
    };
    const auto& rows = persistedRows();
    for (size_t i = 0; i < rows.size(); ++i)
        bag.Write(rows[i].key, read[i](), rows[i].defaultValue);
}

}  // namespace port_control
