// The dual interface `_Portula`: the accessors of the properties in the table
// (portula_properties.inc), in its order, a property's put before its get. Strings are
// 16-bit text, Booleans 16-bit (True = -1), Integer 16-bit, Long 32-bit. Every accessor returns an
// HRESULT; a failure leaves the error number and description in the thread's error info.
#pragma once

#include <string>
#include <string_view>

#include "platform/dispatch.h"
#include "portula/portula_ids.h"
#include "portula_properties.h"

namespace port_control {

using platform::HRESULT;

class IPortula : public platform::IDispatch {
  public:
#define PORTULA_PUT(name, type) \
    virtual HRESULT put_##name(properties::published::type::Put value) = 0;
#define PORTULA_GET(name, type) \
    virtual HRESULT get_##name(properties::published::type::Get* value) = 0;
#define PORTULA_PROPERTY PORTULA_ACCESSORS
#include "portula_properties.inc"
#undef PORTULA_GET
#undef PORTULA_PUT

  protected:
    ~IPortula() = default;
};

}  // namespace port_control

template <>
struct platform::InterfaceIds<port_control::IPortula> {
    static constexpr Guid value[] = {port_control::ids::IID__Portula, IID_IDispatch};
};
