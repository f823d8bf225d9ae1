// Asking the processor for memory before it is read. With a thousand controls open, what one
// datagram's event touches is out of the cache, and each object on its way is found through
// the one before it: read as they come, every miss waits for the one before. Asked for early,
// while a system call reads the datagram or while the control decodes it, they arrive
// together. Only a hint: nothing is read, and an address that is gone by then does no harm.
#pragma once

#include <cstdint>

namespace port_control {

constexpr uintptr_t kCacheLine = 64;

// Every cache line from `begin` up to `end`.
inline void readAhead(const void* begin, const void* end) {
    const uintptr_t last = reinterpret_cast<uintptr_t>(end);
    for (uintptr_t line = reinterpret_cast<uintptr_t>(begin) & ~(kCacheLine - 1); line < last;
         line += kCacheLine)
        __builtin_prefetch(reinterpret_cast<const void*>(line));
}

// The cache line of `object`'s start.
inline void readAhead(const void* object) {
    __builtin_prefetch(object);
}

}  // namespace port_control
