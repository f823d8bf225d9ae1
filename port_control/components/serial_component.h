// What the control uses of its serial-port component `MSComm1`.
//
// The component is the only storage of every serial setting: a value written is what a
// later read returns, with the port open or closed. Every failure is a platform::Error
// (number and description) that the control passes on unchanged.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/variant.h"

namespace port_control {

using platform::Boolean;
using platform::Variant;

class SerialComponent {
  public:
    virtual ~SerialComponent() = default;

    virtual Boolean get_PortOpen() = 0;
    virtual void put_PortOpen(Boolean open) = 0;

    virtual void put_Output(const Variant& data) = 0;
    virtual Variant get_Input() = 0;
    virtual int16_t get_CommEvent() = 0;

    virtual int16_t get_InBufferCount() = 0;
    virtual void put_InBufferCount(int16_t count) = 0;
    virtual int16_t get_OutBufferCount() = 0;
    virtual void put_OutBufferCount(int16_t count) = 0;

    virtual int16_t get_InputLen() = 0;
    virtual void put_InputLen(int16_t length) = 0;
    virtual int16_t get_RThreshold() = 0;
    virtual void put_RThreshold(int16_t threshold) = 0;
    virtual int16_t get_SThreshold() = 0;
    virtual void put_SThreshold(int16_t threshold) = 0;

    virtual int16_t get_CommPort() = 0;
    virtual void put_CommPort(int16_t port) = 0;
    virtual int16_t get_InBufferSize() = 0;
    virtual void put_InBufferSize(int16_t size) = 0;
    virtual int16_t get_OutBufferSize() = 0;
    virtual void put_OutBufferSize(int16_t size) = 0;

    virtual int32_t get_Handshaking() = 0;
    virtual void put_Handshaking(int32_t mode) = 0;
    virtual int32_t get_InputMode() = 0;
    virtual void put_InputMode(int32_t mode) = 0;

    virtual std::u16string get_Settings() = 0;
    virtual void put_Settings(const std::u16string& settings) = 0;
    virtual std::u16string get_ParityReplace() = 0;
    virtual void put_ParityReplace(const std::u16string& replacement) = 0;

    virtual Boolean get_DTREnable() = 0;
    virtual void put_DTREnable(Boolean enable) = 0;
    virtual Boolean get_RTSEnable() = 0;
    virtual void put_RTSEnable(Boolean enable) = 0;
    virtual Boolean get_NullDiscard() = 0;
    virtual void put_NullDiscard(Boolean discard) = 0;
    virtual Boolean get_EOFEnable() = 0;
    virtual void put_EOFEnable(Boolean enable) = 0;
    virtual Boolean get_Break() = 0;
    virtual void put_Break(Boolean on) = 0;

    virtual Boolean get_CDHolding() = 0;
    virtual Boolean get_CTSHolding() = 0;
    virtual Boolean get_DSRHolding() = 0;
    virtual int32_t get_CommID() = 0;

    // The component's OnComm event; `CommEvent` tells what happened. One handler; the
    // component calls it on the thread's message loop.
    virtual void setOnComm(std::function<void()> handler) = 0;
};

}  // namespace port_control
