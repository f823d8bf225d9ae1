// The text received in UDP mode and not yet read, kept as a queue of chunks. A datagram of
// some size becomes a chunk of its own without being copied; small ones are gathered into
// chunks of kChunkUnits. Reads take from the front chunk at a read position and drop each
// chunk once it is used up, so draining N characters in pieces of any size copies each
// character once, and the memory of what was read goes back as the reading goes on: about
// 2 bytes per waiting character, plus one chunk. (A text that finds the buffer empty keeps
// spare room up to its own size until more text follows: the room a datagram decoded from
// double-byte characters comes with.)
//
// It holds at most kMaxCharacters (16 Mi characters, 32 MiB): a peer that keeps sending to a
// host that never reads cannot grow it further. Text that would pass the cap is refused
// whole, so a datagram is either all there or dropped; the control reports the drop
// (event 1008). 16 Mi characters are 256 datagrams of the largest size, far more than any
// burst a host that reads at all leaves waiting.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace port_control {

class ReceiveBuffer {
  public:
    // Adds `text` at the end; false, adding nothing, if that would pass kMaxCharacters.
    bool append(std::u16string text);
    // Takes the first `count` characters (all of them if fewer are waiting); 0 takes all.
    std::u16string take(size_t count);
    void clear();
    size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    // Bytes held by the chunks and their slots, for memory checks.
    size_t capacityBytes() const;

    // Texts shorter than this are gathered into chunks of this many units.
    static constexpr size_t kChunkUnits = 2048;
    static constexpr size_t kMaxCharacters = size_t{16} * 1024 * 1024;

  private:
    std::u16string& front() { return m_chunks[m_front]; }
    void dropUsedFront();

    // m_chunks[m_front] onwards wait, none of them empty; the slots before m_front were
    // used up and are dropped together (a vector, not a deque: text read as it comes, one
    // chunk at a time, then costs no block of the queue's own).
    std::vector<std::u16string> m_chunks;
    // A text that found the buffer empty and was taken over whole waits here, while it is
    // the only one, rather than in a slot: read whole, as it usually is, it then costs no
    // touch of the slots' block (which, with a thousand controls open, is out of the cache).
    // It moves to a slot as soon as more text comes or a part of it is read.
    std::u16string m_lone;
    size_t m_front = 0;
    size_t m_readPosition = 0;  // in the front chunk
    size_t m_size = 0;          // characters waiting
};

}  // namespace port_control
