// The datagrams a socket has received and nobody has taken yet, oldest first, kept back to
// back in one byte store. The socket reads a datagram straight into the store (spaceFor,
// then commit), so a datagram in and out costs no copy and no allocation once the store has
// grown to the usual backlog; a store that a burst made large is given back when it drains.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string_view>

namespace port_control {

class DatagramQueue {
  public:
    // Room for a datagram of up to `size` bytes after the last one; valid until the next
    // call that changes the queue. commit() then adds the `length` bytes written there.
    char* spaceFor(size_t size);
    void commit(size_t length);
    void push(std::string_view datagram);

    // The oldest datagram; only while not empty.
    std::string_view front() const { return {m_store.get() + m_start, m_lengths.front()}; }
    void pop();
    void clear();

    bool empty() const { return m_lengths.empty(); }
    size_t count() const { return m_lengths.size(); }
    // The bytes of the datagrams held.
    size_t bytes() const { return m_end - m_start; }
    // The size of the store, for memory checks.
    size_t capacity() const { return m_capacity; }

  private:
    // Uninitialised: pages are taken only as far as datagrams fill them.
    std::unique_ptr<char[]> m_store;
    size_t m_capacity = 0;
    size_t m_start = 0;  // the oldest datagram
    size_t m_end = 0;    // after the newest
    std::deque<uint32_t> m_lengths;
};

}  // namespace port_control
