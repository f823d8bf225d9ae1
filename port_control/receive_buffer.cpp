#include "receive_buffer.h"

namespace port_control {

namespace {
// Below this size compaction costs nothing worth saving.
constexpr size_t kSmallBuffer = 4096;
}  // namespace

void ReceiveBuffer::append(std::u16string text) {
    if (m_text.empty())
        m_text = std::move(text);
    else
        m_text.append(text);
}

std::u16string ReceiveBuffer::take(size_t count) {
    const size_t waiting = size();
    if (count == 0 || count >= waiting) {
        std::u16string all =
            m_readPosition == 0 ? std::move(m_text) : m_text.substr(m_readPosition);
        clear();
        return all;
    }
    std::u16string piece = m_text.substr(m_readPosition, count);
    m_readPosition += count;
    compactIfWorthIt();
    return piece;
}

void ReceiveBuffer::clear() {
    // A drained buffer gives its memory back: a burst must not pin its peak for good.
    std::u16string().swap(m_text);
    m_readPosition = 0;
}

void ReceiveBuffer::compactIfWorthIt() {
    if (m_readPosition < kSmallBuffer || m_readPosition < size())
        return;
    std::u16string rest(m_text, m_readPosition);
    m_text.swap(rest);
    m_readPosition = 0;
}

}  // namespace port_control
