#include "components/datagram_queue.h"

#include <algorithm>
#include <cstring>

namespace port_control {

namespace {
// A store up to this size is kept when it drains, for the next datagrams; a larger one,
// grown by a burst, is given back.
constexpr size_t kKeptCapacity = 256 * 1024;
}  // namespace

char* DatagramQueue::spaceFor(size_t size) {
    if (m_capacity - m_end >= size)
        return m_store.get() + m_end;
    const size_t held = bytes();
    if (held + size <= m_capacity && m_start >= held) {
        // Moving what is held to the front costs less than what was taken since it came,
        // so the moves stay linear in the bytes received.
        std::memmove(m_store.get(), m_store.get() + m_start, held);
    } else {
        const size_t capacity = std::max(2 * m_capacity, held + size);
        std::unique_ptr<char[]> store(new char[capacity]);  // no (): left untouched
        if (held > 0)
            std::memcpy(store.get(), m_store.get() + m_start, held);
        m_store = std::move(store);
        m_capacity = capacity;
    }
    m_start = 0;
    m_end = held;
    return m_store.get() + m_end;
}

void DatagramQueue::commit(size_t length) {
    m_end += length;
    m_lengths.push_back(static_cast<uint32_t>(length));
}

void DatagramQueue::push(std::string_view datagram) {
    if (!datagram.empty())
        std::memcpy(spaceFor(datagram.size()), datagram.data(), datagram.size());
    commit(datagram.size());
}

void DatagramQueue::pop() {
    m_start += m_lengths.front();
    m_lengths.pop_front();
    if (m_lengths.empty())
        clear();
}

void DatagramQueue::clear() {
    if (m_capacity > kKeptCapacity) {
        m_store.reset();
        m_capacity = 0;
    }
    m_start = m_end = 0;
    m_lengths.clear();
}

}  // namespace port_control
