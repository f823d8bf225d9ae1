#include "receive_buffer.h"

#include <algorithm>

namespace port_control {

namespace {
// A chunk's read part is dropped early once it outweighs the rest and this much: only a
// chunk far larger than a datagram gets there.
constexpr size_t kSmallChunk = 4096;

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
    m_size += text.size();
    if (!m_chunks.empty()) {
        std::u16string& last = m_chunks.back();
        if (last.capacity() - last.size() >= text.size()) {
            last.append(text);
            return true;
        }
    }
    if (text.size() < kChunkUnits && !m_chunks.empty()) {
        std::u16string chunk;
        chunk.reserve(kChunkUnits);
        chunk.append(text);
        m_chunks.push_back(std::move(chunk));
        return true;
    }
    // Taken over as it is. Neither it nor a gathering chunk left before it keeps much more
    // room than it fills (text decoded from double-byte characters comes with twice the
    // room): the room would stay for as long as the text waits.
    if (!m_chunks.empty())
        keepTight(m_chunks.back());
    keepTight(text);
    m_chunks.push_back(std::move(text));
    return true;
}

std::u16string ReceiveBuffer::take(size_t count) {
    if (count == 0 || count >= m_size) {
        std::u16string all;
        if (m_chunks.size() == 1 && m_readPosition == 0) {
            all = std::move(m_chunks.front());
        } else {
            all.reserve(m_size);
            for (size_t i = 0; i < m_chunks.size(); ++i)
                all.append(m_chunks[i], i == 0 ? m_readPosition : 0);
        }
        clear();
        return all;
    }
    std::u16string piece;
    piece.reserve(count);
    while (piece.size() < count) {
        const std::u16string& front = m_chunks.front();
        const size_t n = std::min(front.size() - m_readPosition, count - piece.size());
        piece.append(front, m_readPosition, n);
        m_readPosition += n;
        dropUsedFront();
    }
    m_size -= count;
    return piece;
}

void ReceiveBuffer::dropUsedFront() {
    std::u16string& front = m_chunks.front();
    const size_t rest = front.size() - m_readPosition;
    if (rest == 0) {
        m_chunks.pop_front();
        m_readPosition = 0;
    } else if (m_readPosition >= kSmallChunk && m_readPosition >= rest) {
        // Moving the rest down costs less than what was read since, so reading stays linear.
        front = front.substr(m_readPosition);
        m_readPosition = 0;
    }
}

void ReceiveBuffer::clear() {
    // A drained buffer gives the chunks back (a burst must not pin its peak for good); the
    // queue keeps its own small frame for the next text.
    m_chunks.clear();
    m_readPosition = 0;
    m_size = 0;
}

size_t ReceiveBuffer::capacityBytes() const {
    size_t units = 0;
    for (const std::u16string& chunk : m_chunks)
        units += chunk.capacity();
    return units * sizeof(char16_t);
}

}  // namespace port_control
