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
    if (m_first.cookie == 0) {
        m_first = {m_lastCookie + 1, std::move(dispatch)};
    } else {
        try {
            m_more.push_back({m_lastCookie + 1, std::move(dispatch)});
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }
    *cookie = ++m_lastCookie;
    return S_OK;
}

HRESULT ConnectionPoint::Unadvise(uint32_t cookie) {
    // Moved out first: releasing the sink may re-enter this point.
    ComPtr<IDispatch> released;
    if (cookie != 0 && m_first.cookie == cookie) {
        released = std::move(m_first.sink);
        if (m_more.empty()) {
            m_first.cookie = 0;
        } else {
            m_first = std::move(m_more.front());
            m_more.erase(m_more.begin());
        }
        return S_OK;
    }
    const auto it = std::find_if(m_more.begin(), m_more.end(),
                                 [cookie](const Connection& c) { return c.cookie == cookie; });
    if (it == m_more.end())
        return CONNECT_E_NOCONNECTION;
    released = std::move(it->sink);
    m_more.erase(it);
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
    return m_first.cookie == cookie ||
           std::any_of(m_more.begin(), m_more.end(),
                       [cookie](const Connection& c) { return c.cookie == cookie; });
}

void ConnectionPoint::fire(int32_t dispid, std::vector<Variant> argsInOrder) {
    // Keeps this point alive through the round, should a sink drop the last reference.
    ComPtr<ConnectionPoint> self(this);
    const DispParams original = DispParams::positional(std::move(argsInOrder));
    const auto call = [&](const Connection& connection) {
        DispParams params = original;  // a sink may change what it was given
        ExcepInfo excepInfo;
        unsigned argError = 0;
        const HRESULT hr = connection.sink->Invoke(dispid, DISPATCH_METHOD, params, nullptr,
                                                   &excepInfo, &argError);
        if (failed(hr))
            clearErrorInfo();  // its failure is no one else's error
    };
    if (m_more.empty()) {
        // One sink at most, as a control usually has: no list to copy. The copy of the
        // connection keeps the sink's reference until its call has returned.
        if (m_first.cookie != 0) {
            const Connection only = m_first;
            call(only);
        }
        return;
    }
    // The round works on a copy: sinks may change the list while being called, and each
    // keeps its own reference until its call has returned.
    std::vector<Connection> round;
    round.reserve(1 + m_more.size());
    round.push_back(m_first);
    round.insert(round.end(), m_more.begin(), m_more.end());
    for (const Connection& connection : round) {
        if (isAdvised(connection.cookie))
            call(connection);
    }
}

void ConnectionPoint::unadviseAll() {
    // Moved out first: releasing a sink may re-enter this point.
    Connection first = std::move(m_first);
    m_first.cookie = 0;
    std::vector<Connection> more;
    more.swap(m_more);
}

}  // namespace platform
