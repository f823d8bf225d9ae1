#include "components/arrivals_due.h"

namespace port_control {

namespace {
// A ring up to this many slots is kept when it drains; a larger one, grown by a burst, is
// given back.
constexpr size_t kKeptSlots = 1024;
}  // namespace

void ArrivalsDue::push(int32_t bytes) {
    if (m_count == m_capacity)
        grow();
    slots()[(m_head + m_count) & (m_capacity - 1)] = bytes;
    ++m_count;
}

int32_t ArrivalsDue::pop() {
    const int32_t bytes = slots()[m_head];
    m_head = (m_head + 1) & (m_capacity - 1);
    if (--m_count == 0)
        clear();
    return bytes;
}

void ArrivalsDue::clear() {
    if (m_capacity > kKeptSlots) {
        m_ring.reset();
        m_capacity = kInline;
    }
    m_head = m_count = 0;
}

void ArrivalsDue::grow() {
    const uint32_t capacity = 2 * m_capacity;
    std::unique_ptr<int32_t[]> ring(new int32_t[capacity]);
    const int32_t* old = slots();
    for (uint32_t i = 0; i < m_count; ++i)
        ring[i] = old[(m_head + i) & (m_capacity - 1)];
    m_ring = std::move(ring);
    m_capacity = capacity;
    m_head = 0;
}

}  // namespace port_control
