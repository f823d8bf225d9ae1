#include "components/datagram_queue.h"

#include <algorithm>
#include <cstring>

namespace port_control {

namespace {
// The first store apart: a few small datagrams, in the cache lines of one allocation.
constexpr size_t kFirstCapacity = 256;
// A store up to this size is kept when it drains, for the next datagrams; a larger one,
// grown by a burst, is given back.
constexpr size_t kKeptCapacity = 256 * 1024;
}  // namespace

char* DatagramQueue::spaceFor(size_t size) {
    const size_t needed = kLengthBytes + size;
    if (m_count == 0) {
        // Empty (so m_start and m_end are 0): a datagram that fits inside goes there.
        m_onHeap = needed > kInlineBytes;
        if (m_onHeap && m_heapCapacity < needed) {
            m_heap.reset();  // nothing held: the old store goes before the new one comes
            m_heap.reset(new char[std::max(needed, kFirstCapacity)]);  // no (): untouched
            m_heapCapacity = std::max(needed, kFirstCapacity);
        }
        return store() + kLengthBytes;
    }
    if (storeCapacity() - m_end >= needed)
        return store() + m_end + kLengthBytes;
    const size_t held = m_end - m_start;
    if (!m_onHeap && held + needed <= m_heapCapacity) {
        // Out of the room inside into the store kept apart.
        std::memcpy(m_heap.get(), m_inline + m_start, held);
        m_onHeap = true;
    } else if (m_onHeap && held + needed <= m_heapCapacity && m_start >= held) {
        // Moving what is held to the front costs less than what was taken since it came,
        // so the moves stay linear in the bytes received.
        std::memmove(m_heap.get(), m_heap.get() + m_start, held);
    } else {
        const size_t capacity = std::max({2 * storeCapacity(), held + needed, kFirstCapacity});
        std::unique_ptr<char[]> heap(new char[capacity]);  // no (): left untouched
        std::memcpy(heap.get(), store() + m_start, held);
        m_heap = std::move(heap);
        m_heapCapacity = capacity;
        m_onHeap = true;
    }
    m_start = 0;
    m_end = held;
    return m_heap.get() + m_end + kLengthBytes;
}

void DatagramQueue::commit(size_t length) {
    const auto stored = static_cast<Length>(length);
    std::memcpy(store() + m_end, &stored, sizeof stored);
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
    if (m_heapCapacity > kKeptCapacity) {
        m_heap.reset();
        m_heapCapacity = 0;
    }
    m_start = m_end = m_count = 0;
    m_onHeap = false;
}

}  // namespace port_control
