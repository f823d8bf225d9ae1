#include "platform/connection_point.h"

#include <algorithm>
#include <utility>

namespace platform {

// Aligned to a cache line, so that what an event reads of it (the first connection and the
// count of the others) is one line.
struct alignas(64) ConnectionPoint::State {
    struct Connection {
        uint32_t cookie = 0;  // 0 for no connection
        ComPtr<IDispatch> sink;
    };

    explicit State(const Guid& iid) : eventIid(iid) {}
    bool isAdvised(uint32_t cookie) const {
        return first.cookie == cookie ||
               std::any_of(more.begin(), more.end(),
                           [cookie](const Connection& c) { return c.cookie == cookie; });
    }

    // The first connection is kept apart and the later ones after it, in advise order: a
    // control's one host sink is then read from the state's own cache line, which counts
    // with a thousand controls open. `more` is empty while `first` is.
    Connection first;
    std::vector<Connection> more;
    uint32_t lastCookie = 0;
    Guid eventIid;
};

ConnectionPoint::ConnectionPoint(const Guid& eventIid)
    : m_state(std::make_unique<State>(eventIid)) {}

ConnectionPoint::~ConnectionPoint() = default;

std::size_t ConnectionPoint::connectionCount() const {
    return (m_state->first.cookie != 0 ? 1 : 0) + m_state->more.size();
}

const Guid& ConnectionPoint::eventIid() const {
    return m_state->eventIid;
}

void ConnectionPoint::readAheadForFire() const {
    __builtin_prefetch(m_state.get());
    __builtin_prefetch(m_state->first.sink.get());
}

HRESULT ConnectionPoint::GetConnectionInterface(Guid* iid) {
    if (!iid)
        return E_POINTER;
    *iid = m_state->eventIid;
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
    if (failed(sink->QueryInterface(m_state->eventIid, dispatch.putVoid())) &&
        failed(sink->QueryInterface(IID_IDispatch, dispatch.putVoid()))) {
        return CONNECT_E_CANNOTCONNECT;
    }
    if (m_state->lastCookie == UINT32_MAX)
        return CONNECT_E_ADVISELIMIT;
    if (m_state->first.cookie == 0) {
        m_state->first = {m_state->lastCookie + 1, std::move(dispatch)};
    } else {
        try {
            m_state->more.push_back({m_state->lastCookie + 1, std::move(dispatch)});
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }
    *cookie = ++m_state->lastCookie;
    return S_OK;
}

HRESULT ConnectionPoint::Unadvise(uint32_t cookie) {
    // Moved out first: releasing the sink may re-enter this point.
    ComPtr<IDispatch> released;
    if (cookie != 0 && m_state->first.cookie == cookie) {
        released = std::move(m_state->first.sink);
        if (m_state->more.empty()) {
            m_state->first.cookie = 0;
        } else {
            m_state->first = std::move(m_state->more.front());
            m_state->more.erase(m_state->more.begin());
        }
        return S_OK;
    }
    const auto it =
        std::find_if(m_state->more.begin(), m_state->more.end(),
                     [cookie](const State::Connection& c) { return c.cookie == cookie; });
    if (it == m_state->more.end())
        return CONNECT_E_NOCONNECTION;
    released = std::move(it->sink);
    m_state->more.erase(it);
    return S_OK;
}

HRESULT ConnectionPoint::offer(const Guid& iid, IConnectionPoint** point) {
    if (!point)
        return E_POINTER;
    *point = nullptr;
    if (iid != m_state->eventIid)
        return CONNECT_E_NOCONNECTION;
    AddRef();
    *point = this;
    return S_OK;
}

void ConnectionPoint::fire(int32_t dispid, std::vector<Variant> argsInOrder) {
    // Keeps this point alive through the round, should a sink drop the last reference.
    ComPtr<ConnectionPoint> self(this);
    const DispParams original = DispParams::positional(std::move(argsInOrder));
    const auto call = [&](const State::Connection& connection) {
        DispParams params = original;  // a sink may change what it was given
        ExcepInfo excepInfo;
        unsigned argError = 0;
        const HRESULT hr = connection.sink->Invoke(dispid, DISPATCH_METHOD, params, nullptr,
                                                   &excepInfo, &argError);
        if (failed(hr))
            clearErrorInfo();  // its failure is no one else's error
    };
    if (m_state->more.empty()) {
        // One sink at most, as a control usually has: no list to copy. The copy of the
        // connection keeps the sink's reference until its call has returned.
        if (m_state->first.cookie != 0) {
            const State::Connection only = m_state->first;
            call(only);
        }
        return;
    }
    // The round works on a copy: sinks may change the list while being called, and each
    // keeps its own reference until its call has returned.
    std::vector<State::Connection> round;
    round.reserve(1 + m_state->more.size());
    round.push_back(m_state->first);
    round.insert(round.end(), m_state->more.begin(), m_state->more.end());
    for (const State::Connection& connection : round) {
        if (m_state->isAdvised(connection.cookie))
            call(connection);
    }
}

void ConnectionPoint::unadviseAll() {
    // Moved out first: releasing a sink may re-enter this point.
    State::Connection first = std::move(m_state->first);
    m_state->first.cookie = 0;
    std::vector<State::Connection> more;
    more.swap(m_state->more);
}

}  // namespace platform
