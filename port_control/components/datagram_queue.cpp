#include "components/datagram_queue.h"

#include <algorithm>
#include <cstring>

namespace port_control {

namespace {
// The first store: a few small datagrams, within the cache lines of one allocation.
constexpr size_t kFirstCapacity = 256;
// A store up to this size is kept when it drains, for the next datagrams; a larger one,
// grown by a burst, is given back.
constexpr size_t kKeptCapacity = 256 * 1024;
}  // namespace

char* DatagramQueue::spaceFor(size_t size) {
    const size_t needed = kLengthBytes + size;
    if (m_capacity - m_end >= needed)
        return m_store.get() + m_end + kLengthBytes;
    const size_t held = m_end - m_start;
    if (held + needed <= m_capacity && m_start >= held) {
        // Moving what is held to the front costs less than what was taken since it came,
        // so the moves stay linear in the bytes received.
        std::memmove(m_store.get(), m_store.get() + m_start, held);
    } else {
        const size_t capacity = std::max({2 * m_capacity, held + needed, kFirstCapacity});
        std::unique_ptr<char[]> store(new char[capacity]);  // no (): left untouched
        if (held > 0)
            std::memcpy(store.get(), m_store.get() + m_start, held);
        m_store = std::move(store);
        m_capacity = capacity;
    }
    m_start = 0;
    m_end = held;
    return m_store.get() + m_end + kLengthBytes;
}

void DatagramQueue::commit(size_t length) {
    const auto stored = static_cast<Length>(length);
    std::memcpy(m_store.get() + m_end, &stored, sizeof stored);
    m_end += kLengthBytes + length;
    ++m_count;
}

void DatagramQueue::push(std::string_view datagram) {
    char* space = spaceFor(datagram.size());
    if (!datagram.empty())
        std::memcpy(space, datagram.data(), datagram.size());
    commit(datagram.size());
}

void DatagramQueue::pop() {
    m_start += kLengthBytes + frontLength();
    if (--m_count == 0)
        clear();
}

void DatagramQueue::clear() {
    if (m_capacity > kKeptCapacity) {
        m_store.reset();
        m_capacity = 0;
    }
    m_start = m_end = m_count = 0;
}

}  // namespace port_control
