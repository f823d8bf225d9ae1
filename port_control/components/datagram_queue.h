// The datagrams a socket has received and nobody has taken yet, oldest first, kept back to
// back in one byte store, each after its length. A datagram in and out costs one copy and,
// once the store has grown to the usual backlog, no allocation; a store that a burst made
// large is given back when it drains. A small datagram that finds the queue empty goes into
// room inside the queue itself, so a socket that receives one small datagram at a time (most
// of a program's thousand) touches no memory of its own beyond its object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

namespace port_control {

class DatagramQueue {
  public:
    DatagramQueue() = default;
    DatagramQueue(const DatagramQueue&) = delete;
    DatagramQueue& operator=(const DatagramQueue&) = delete;

    // Room for a datagram of up to `size` bytes after the last one; valid until the next
    // call that changes the queue. commit() then adds the `length` bytes written there.
    char* spaceFor(size_t size);
    void commit(size_t length);
    void push(std::string_view datagram);

    // The oldest datagram; only while not empty.
    std::string_view front() const { return {store() + m_start + kLengthBytes, frontLength()}; }
    void pop();
    void clear();

    bool empty() const { return m_count == 0; }
    size_t count() const { return m_count; }
    // The bytes of the datagrams held.
    size_t bytes() const { return m_end - m_start - kLengthBytes * m_count; }
    // The size of the store kept apart from the queue, for memory checks.
    size_t capacity() const { return m_heapCapacity; }

  private:
    using Length = uint32_t;
    static constexpr size_t kLengthBytes = sizeof(Length);
    static constexpr size_t kInlineBytes = 64;

    const char* store() const { return m_onHeap ? m_heap.get() : m_inline; }
    char* store() { return m_onHeap ? m_heap.get() : m_inline; }
    size_t storeCapacity() const { return m_onHeap ? m_heapCapacity : kInlineBytes; }
    Length frontLength() const {
        Length length;
        std::memcpy(&length, store() + m_start, sizeof length);
        return length;
    }

    // Uninitialised: pages are taken only as far as datagrams fill them.
    std::unique_ptr<char[]> m_heap;
    size_t m_heapCapacity = 0;
    size_t m_start = 0;  // the oldest datagram's length
    size_t m_end = 0;    // after the newest
    size_t m_count = 0;
    bool m_onHeap = false;  // the datagrams are in m_heap, not m_inline
    char m_inline[kInlineBytes];
};

}  // namespace port_control
