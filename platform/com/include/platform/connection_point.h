// Outgoing events: a control offers one connection point per event interface through
// IConnectionPointContainer; a host advises a sink (an object answering the event
// interface or IDispatch) and gets a cookie back, which Unadvise takes.
//
// `ConnectionPoint` is the source side: `fire` calls every advised sink's Invoke
// synchronously on the calling thread, in the order of Advise. A sink may advise or
// unadvise (itself or others) from inside the call: one unadvised during a round is not
// called after that, one advised during it first hears the next event.
#pragma once

#include "platform/language_standard.h"
#include "platform/platform_export.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/dispatch.h"
#include "platform/ref_counted.h"
#include "platform/unknown.h"
#include "platform/variant.h"

namespace platform {

// {B196B286-BAB4-101A-B69C-00AA00341D07}
constexpr Guid IID_IConnectionPoint{
    0xB196B286, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
// {B196B284-BAB4-101A-B69C-00AA00341D07}
constexpr Guid IID_IConnectionPointContainer{
    0xB196B284, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};

class CORVANE_PLATFORM_EXPORT IConnectionPoint : public IUnknown {
  public:
    virtual HRESULT GetConnectionInterface(Guid* iid) = 0;
    // CONNECT_E_CANNOTCONNECT when the sink answers neither the event interface nor
    // IDispatch; cookies are never 0 and never reused by one point.
    virtual HRESULT Advise(IUnknown* sink, uint32_t* cookie) = 0;
    // CONNECT_E_NOCONNECTION for a cookie that is not advised.
    virtual HRESULT Unadvise(uint32_t cookie) = 0;

  protected:
    ~IConnectionPoint() = default;
};

class CORVANE_PLATFORM_EXPORT IConnectionPointContainer : public IUnknown {
  public:
    // CONNECT_E_NOCONNECTION when the object raises no such events.
    virtual HRESULT FindConnectionPoint(const Guid& iid, IConnectionPoint** point) = 0;

  protected:
    ~IConnectionPointContainer() = default;
};

template <>
struct InterfaceIds<IConnectionPoint> {
    static constexpr Guid value[] = {IID_IConnectionPoint};
};
template <>
struct InterfaceIds<IConnectionPointContainer> {
    static constexpr Guid value[] = {IID_IConnectionPointContainer};
};

// Its state lives in the library (behind m_state), so that it can grow without changing
// what a program compiled against this header allocates.
class CORVANE_PLATFORM_EXPORT ConnectionPoint final : public RefCounted<IConnectionPoint> {
  public:
    explicit ConnectionPoint(const Guid& eventIid);
    ~ConnectionPoint() override;

    HRESULT GetConnectionInterface(Guid* iid) override;
    HRESULT Advise(IUnknown* sink, uint32_t* cookie) override;
    HRESULT Unadvise(uint32_t cookie) override;

    // For a container's FindConnectionPoint: this point if `iid` is its event interface,
    // else CONNECT_E_NOCONNECTION.
    HRESULT offer(const Guid& iid, IConnectionPoint** point);

    // Raises event `dispid` with `argsInOrder` (natural order) to every sink. A sink's
    // failure is ignored: the source has no one to report it to, and the other sinks
    // still hear the event.
    void fire(int32_t dispid, std::vector<Variant> argsInOrder = {});

    // Drops every sink (the source is going away).
    void unadviseAll();
    std::size_t connectionCount() const;
    const Guid& eventIid() const;
    // Asks the processor for what fire reads first, this point's state and its first sink,
    // for a source that knows an event is coming before it raises it. A hint only.
    void readAheadForFire() const;

  private:
    struct State;
    std::unique_ptr<State> m_state;
};

}  // namespace platform
