#include "receive_buffer.h"

#include <algorithm>
#include <utility>

namespace port_control {

namespace {
// A chunk's read part is dropped early once it outweighs the rest and this much: only a
// chunk far larger than a datagram gets there.
constexpr size_t kSmallChunk = 4096;
// Slots for chunks a drained buffer keeps (a burst's thousands of them go back).
constexpr size_t kKeptSlots = 64;
// Used-up slots are dropped once they are this many and outnumber the waiting ones.
constexpr size_t kUsedSlotsDropped = 64;

void keepTight(std::u16string& chunk) {
    if (chunk.capacity() - chunk.size() > chunk.size() / 8)
        chunk.shrink_to_fit();
}
}  // namespace

bool ReceiveBuffer::append(std::u16string text) {
    if (text.size() > kMaxCharacters - m_size)
        return false;
    if (text.empty())
        return true;
    if (!m_lone.empty())
        m_chunks.push_back(std::exchange(m_lone, {}));
    m_size += text.size();
    if (m_size == text.size() && text.capacity() <= 2 * text.size()) {
        // Taken over with its room, which is no more than the text: a datagram decoded from
        // double-byte characters comes with twice the room it fills, and a host that reads
        // each one at once (the usual case) takes it as it is, without a copy to tighten it.
        // A later text fills the room or tightens it (below).
        m_lone = std::move(text);
        return true;
    }
    const bool waiting = m_size > text.size();
    if (waiting) {
        std::u16string& last = m_chunks.back();
        if (last.capacity() - last.size() >= text.size()) {
            last.append(text);
            return true;
        }
    }
    if (text.size() < kChunkUnits && waiting) {
        keepTight(m_chunks.back());
        std::u16string chunk;
        chunk.reserve(kChunkUnits);
        chunk.append(text);
        m_chunks.push_back(std::move(chunk));
        return true;
    }
    // Taken over as it is. Neither it nor a gathering chunk left before it keeps much more
    // room than it fills (text decoded from double-byte characters comes with twice the
    // room): the room would stay for as long as the text waits.
    if (waiting)
        keepTight(m_chunks.back());
    keepTight(text);
    m_chunks.push_back(std::move(text));
    return true;
}

std::u16string ReceiveBuffer::take(size_t count) {
    if (!m_lone.empty()) {
        if (count == 0 || count >= m_size) {
            std::u16string all = std::exchange(m_lone, {});
            clear();
            return all;
        }
        m_chunks.push_back(std::exchange(m_lone, {}));
    }
    if (count == 0 || count >= m_size) {
        std::u16string all;
        if (m_chunks.size() - m_front == 1 && m_readPosition == 0) {
            all = std::move(front());
        } else {
            all.reserve(m_size);
            for (size_t i = m_front; i < m_chunks.size(); ++i)
                all.append(m_chunks[i], i == m_front ? m_readPosition : 0);
        }
        clear();
        return all;
    }
    std::u16string piece;
    piece.reserve(count);
    while (piece.size() < count) {
        const std::u16string& chunk = front();
        const size_t n = std::min(chunk.size() - m_readPosition, count - piece.size());
        piece.append(chunk, m_readPosition, n);
        m_readPosition += n;
        dropUsedFront();
    }
    m_size -= count;
    return piece;
}

void ReceiveBuffer::dropUsedFront() {
    std::u16string& chunk = front();
    const size_t rest = chunk.size() - m_readPosition;
    if (rest == 0) {
        chunk = std::u16string();  // its memory goes back now
        ++m_front;
        m_readPosition = 0;
        if (m_front >= kUsedSlotsDropped && 2 * m_front >= m_chunks.size()) {
            m_chunks.erase(m_chunks.begin(), m_chunks.begin() + static_cast<ptrdiff_t>(m_front));
            m_front = 0;
        }
    } else if (m_readPosition >= kSmallChunk && m_readPosition >= rest) {
        // Moving the rest down costs less than what was read since, so reading stays linear.
        chunk = chunk.substr(m_readPosition);
        m_readPosition = 0;
    }
}

void ReceiveBuffer::clear() {
    // A drained buffer gives the chunks back (a burst must not pin its peak for good); it
    // keeps a few slots for the next text.
    m_lone = std::u16string();
    m_chunks.clear();
    if (m_chunks.capacity() > kKeptSlots)
        m_chunks.shrink_to_fit();
    m_front = 0;
    m_readPosition = 0;
    m_size = 0;
}

size_t ReceiveBuffer::capacityBytes() const {
    size_t units = m_lone.empty() ? 0 : m_lone.capacity();
    for (size_t i = m_front; i < m_chunks.size(); ++i)
        units += m_chunks[i].capacity();
    // The slots in use count too, used-up ones included: they are what a stream that never
    // drains could pile up.
    return units * sizeof(char16_t) + m_chunks.size() * sizeof(std::u16string);
}

}  // namespace port_control
