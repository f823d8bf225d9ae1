#include "platform/connection_point.h"

#include <algorithm>
#include <utility>

namespace platform {

HRESULT ConnectionPoint::GetConnectionInterface(Guid* iid) {
    if (!iid)
        return E_POINTER;
    *iid = m_eventIid;
    return S_OK;
}

HRESULT ConnectionPoint::Advise(IUnknown* sink, uint32_t* cookie) {
    if (!cookie)
        return E_POINTER;
    *cookie = 0;
    if (!sink)
        return E_POINTER;
    // An event interface is a dispatch interface, so a sink answering it is an IDispatch.
    ComPtr<IDispatch> dispatch;
    if (failed(sink->QueryInterface(m_eventIid, dispatch.putVoid())) &&
        failed(sink->QueryInterface(IID_IDispatch, dispatch.putVoid()))) {
        return CONNECT_E_CANNOTCONNECT;
    }
    if (m_lastCookie == UINT32_MAX)
        return CONNECT_E_ADVISELIMIT;
    try {
        m_sinks.push_back({m_lastCookie + 1, std::move(dispatch)});
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    *cookie = ++m_lastCookie;
    return S_OK;
}

HRESULT ConnectionPoint::Unadvise(uint32_t cookie) {
    const auto it = std::find_if(m_sinks.begin(), m_sinks.end(),
                                 [cookie](const Connection& c) { return c.cookie == cookie; });
    if (it == m_sinks.end())
        return CONNECT_E_NOCONNECTION;
    // Moved out first: releasing the sink may re-enter this point.
    ComPtr<IDispatch> released = std::move(it->sink);
    m_sinks.erase(it);
    return S_OK;
}

HRESULT ConnectionPoint::offer(const Guid& iid, IConnectionPoint** point) {
    if (!point)
        return E_POINTER;
    *point = nullptr;
    if (iid != m_eventIid)
        return CONNECT_E_NOCONNECTION;
    AddRef();
    *point = this;
    return S_OK;
}

bool ConnectionPoint::isAdvised(uint32_t cookie) const {
    return std::any_of(m_sinks.begin(), m_sinks.end(),
                       [cookie](const Connection& c) { return c.cookie == cookie; });
}

void ConnectionPoint::fire(int32_t dispid, std::vector<Variant> argsInOrder) {
    // Keeps this point alive through the round, should a sink drop the last reference.
    ComPtr<ConnectionPoint> self(this);
    // The round works on a copy: sinks may change the list while being called, and each
    // keeps its own reference until its call has returned.
    const std::vector<Connection> round = m_sinks;
    const DispParams original = DispParams::positional(std::move(argsInOrder));
    for (const Connection& connection : round) {
        if (!isAdvised(connection.cookie))
            continue;
        DispParams params = original;  // a sink may change what it was given
        ExcepInfo excepInfo;
        unsigned argError = 0;
        const HRESULT hr = connection.sink->Invoke(dispid, DISPATCH_METHOD, params, nullptr,
                                                   &excepInfo, &argError);
        if (failed(hr))
            clearErrorInfo();  // its failure is no one else's error
    }
}

void ConnectionPoint::unadviseAll() {
    std::vector<Connection> released;
    released.swap(m_sinks);
}

}  // namespace platform
