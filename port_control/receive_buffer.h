// The text received in UDP mode and not yet read. Reads take from the front without
// copying the remainder each time: a read position moves forward and the storage is
// compacted only once the consumed part outweighs what is left, so draining N characters
// in pieces of any size costs O(N) in total.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace port_control {

class ReceiveBuffer {
  public:
    // Adds `text` at the end; an empty buffer takes it over instead of copying it.
    void append(std::u16string text);
    // Takes the first `count` characters (all of them if fewer are waiting); 0 takes all.
    std::u16string take(size_t count);
    void clear();
    size_t size() const { return m_text.size() - m_readPosition; }
    bool empty() const { return size() == 0; }
    // Bytes held, for memory checks.
    size_t capacityBytes() const { return m_text.capacity() * sizeof(char16_t); }

  private:
    void compactIfWorthIt();

    std::u16string m_text;
    size_t m_readPosition = 0;
};

}  // namespace port_control
