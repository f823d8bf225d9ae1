// The byte counts of the DataArrival events a socket has yet to raise, oldest first. The
// first few are kept in the object itself, so a socket that raises each event as its
// datagram comes touches no memory of its own beyond the socket; a backlog goes on in a ring
// that doubles as it fills, given back when it drains if a burst made it large.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace port_control {

class ArrivalsDue {
  public:
    void push(int32_t bytes);
    // The oldest; only while not empty.
    int32_t pop();
    void clear();

    bool empty() const { return m_count == 0; }
    size_t size() const { return m_count; }

  private:
    static constexpr size_t kInline = 4;

    int32_t* slots() { return m_ring ? m_ring.get() : m_inline; }
    void grow();

    std::unique_ptr<int32_t[]> m_ring;  // while the inline slots do not do
    // Counts held stay far below 2^32: the socket stops reading at its limit. A power of
    // two, so that a slot is found with a mask rather than a division.
    uint32_t m_capacity = kInline;
    uint32_t m_head = 0;
    uint32_t m_count = 0;
    int32_t m_inline[kInline] = {};
};

}  // namespace port_control
