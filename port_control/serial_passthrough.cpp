// The serial members that pass straight through to MSComm1. The control keeps no copy:
// the serial component alone holds and validates these values, in either mode.
#include "portula.h"

namespace port_control {

namespace {
template <class Value>
void setThenNotify(SerialComponent& serial, void (SerialComponent::*put)(Value), Value value,
                   HostSite& site, std::u16string_view name) {
    (serial.*put)(value);
    site.PropertyChanged(name);
}
}  // namespace

#define PORTULA_PASS_GET(Type, Name)               \
    Type Portula::get_##Name() {                   \
        return m_components.MSComm1->get_##Name(); \
    }
#define PORTULA_PASS_PUT(Type, Name)                                                            \
    void Portula::put_##Name(Type value) {                                                      \
        setThenNotify<Type>(*m_components.MSComm1, &SerialComponent::put_##Name, value, m_site, \
                            u## #Name);                                                         \
    }
#define PORTULA_PASS_BOTH(Type, Name) PORTULA_PASS_GET(Type, Name) PORTULA_PASS_PUT(Type, Name)

PORTULA_PASS_GET(std::u16string, Settings)
PORTULA_PASS_PUT(const std::u16string&, Settings)
PORTULA_PASS_BOTH(Boolean, Break)
PORTULA_PASS_GET(Boolean, CDHolding)
PORTULA_PASS_GET(int32_t, CommID)
PORTULA_PASS_BOTH(int16_t, CommPort)
PORTULA_PASS_GET(Boolean, CTSHolding)
PORTULA_PASS_GET(Boolean, DSRHolding)
PORTULA_PASS_BOTH(Boolean, DTREnable)
PORTULA_PASS_BOTH(Boolean, EOFEnable)
PORTULA_PASS_BOTH(int32_t, Handshaking)
PORTULA_PASS_BOTH(int16_t, InBufferSize)
PORTULA_PASS_BOTH(int16_t, InputLen)
PORTULA_PASS_BOTH(int32_t, InputMode)
PORTULA_PASS_BOTH(Boolean, NullDiscard)
PORTULA_PASS_BOTH(int16_t, OutBufferSize)
PORTULA_PASS_GET(std::u16string, ParityReplace)
PORTULA_PASS_PUT(const std::u16string&, ParityReplace)
PORTULA_PASS_BOTH(int16_t, RThreshold)
PORTULA_PASS_BOTH(Boolean, RTSEnable)
PORTULA_PASS_BOTH(int16_t, SThreshold)

#undef PORTULA_PASS_BOTH
#undef PORTULA_PASS_PUT
#undef PORTULA_PASS_GET

}  // namespace port_control
