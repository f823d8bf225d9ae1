// The dual interface `_Portula`: 53 accessors for 30 properties, in interface order (a
// property's put before its get). Strings are 16-bit text, Booleans 16-bit (True = -1),
// Integer 16-bit, Long 32-bit. Every accessor returns an HRESULT; a failure leaves the
// error number and description in the thread's error info.
#pragma once

#include <string>
#include <string_view>

#include "platform/dispatch.h"
#include "portula/portula_ids.h"

namespace port_control {

using platform::HRESULT;

class IPortula : public platform::IDispatch {
  public:
    virtual HRESULT put_LogFile(std::u16string_view value) = 0;
    virtual HRESULT get_LogFile(std::u16string* value) = 0;
    virtual HRESULT put_Settings(std::u16string_view value) = 0;
    virtual HRESULT get_Settings(std::u16string* value) = 0;
    virtual HRESULT put_Break(int16_t value) = 0;
    virtual HRESULT get_Break(int16_t* value) = 0;
    virtual HRESULT get_CDHolding(int16_t* value) = 0;
    virtual HRESULT get_CommEvent(int16_t* value) = 0;
    virtual HRESULT get_CommID(int32_t* value) = 0;
    virtual HRESULT put_CommPort(int16_t value) = 0;
    virtual HRESULT get_CommPort(int16_t* value) = 0;
    virtual HRESULT get_CTSHolding(int16_t* value) = 0;
    virtual HRESULT get_DSRHolding(int16_t* value) = 0;
    virtual HRESULT put_DTREnable(int16_t value) = 0;
    virtual HRESULT get_DTREnable(int16_t* value) = 0;
    virtual HRESULT put_EOFEnable(int16_t value) = 0;
    virtual HRESULT get_EOFEnable(int16_t* value) = 0;
    virtual HRESULT put_Handshaking(int32_t value) = 0;
    virtual HRESULT get_Handshaking(int32_t* value) = 0;
    virtual HRESULT put_InBufferCount(int16_t value) = 0;
    virtual HRESULT get_InBufferCount(int16_t* value) = 0;
    virtual HRESULT put_InBufferSize(int16_t value) = 0;
    virtual HRESULT get_InBufferSize(int16_t* value) = 0;
    virtual HRESULT put_InputLen(int16_t value) = 0;
    virtual HRESULT get_InputLen(int16_t* value) = 0;
    virtual HRESULT put_InputMode(int32_t value) = 0;
    virtual HRESULT get_InputMode(int32_t* value) = 0;
    virtual HRESULT put_NullDiscard(int16_t value) = 0;
    virtual HRESULT get_NullDiscard(int16_t* value) = 0;
    virtual HRESULT put_OutBufferCount(int16_t value) = 0;
    virtual HRESULT get_OutBufferCount(int16_t* value) = 0;
    virtual HRESULT put_OutBufferSize(int16_t value) = 0;
    virtual HRESULT get_OutBufferSize(int16_t* value) = 0;
    virtual HRESULT put_ParityReplace(std::u16string_view value) = 0;
    virtual HRESULT get_ParityReplace(std::u16string* value) = 0;
    virtual HRESULT put_RThreshold(int16_t value) = 0;
    virtual HRESULT get_RThreshold(int16_t* value) = 0;
    virtual HRESULT put_RTSEnable(int16_t value) = 0;
    virtual HRESULT get_RTSEnable(int16_t* value) = 0;
    virtual HRESULT put_SThreshold(int16_t value) = 0;
    virtual HRESULT get_SThreshold(int16_t* value) = 0;
    virtual HRESULT put_PortOpen(int16_t value) = 0;
    virtual HRESULT get_PortOpen(int16_t* value) = 0;
    virtual HRESULT put_Output(platform::Variant value) = 0;
    virtual HRESULT get_Input2(platform::Variant* value) = 0;
    virtual HRESULT put_UDPUse(int16_t value) = 0;
    virtual HRESULT get_UDPUse(int16_t* value) = 0;
    virtual HRESULT put_RemoteHost(std::u16string_view value) = 0;
    virtual HRESULT get_RemoteHost(std::u16string* value) = 0;
    virtual HRESULT put_RemotePort(int32_t value) = 0;
    virtual HRESULT get_RemotePort(int32_t* value) = 0;
    virtual HRESULT put_LocalPort(int32_t value) = 0;
    virtual HRESULT get_LocalPort(int32_t* value) = 0;

  protected:
    ~IPortula() = default;
};

}  // namespace port_control

template <>
struct platform::InterfaceIds<port_control::IPortula> {
    static constexpr Guid value[] = {port_control::ids::IID__Portula, IID_IDispatch};
};
