// A watch of one file descriptor on a message loop that ends with its owner: the
// non-blocking descriptor helper the serial and UDP adapters share.
#pragma once

#include "platform/language_standard.h"
#include "platform/platform_export.h"

#include <utility>

#include "platform/message_loop.h"

namespace platform {

// Frozen: a value type programs compile in; a change to its members needs a new SONAME.
class CORVANE_PLATFORM_EXPORT FdWatch {
  public:
    FdWatch() = default;
    FdWatch(int fd, uint32_t events, MessageLoop::FdCallback callback,
            MessageLoop& loop = MessageLoop::current())
        : m_loop(&loop), m_id(loop.watchFd(fd, events, std::move(callback))) {}
    FdWatch(FdWatch&& other) noexcept
        : m_loop(std::exchange(other.m_loop, nullptr)), m_id(std::exchange(other.m_id, 0)) {}
    FdWatch& operator=(FdWatch&& other) noexcept {
        if (this != &other) {
            reset();
            m_loop = std::exchange(other.m_loop, nullptr);
            m_id = std::exchange(other.m_id, 0);
        }
        return *this;
    }
    FdWatch(const FdWatch&) = delete;
    FdWatch& operator=(const FdWatch&) = delete;
    ~FdWatch() { reset(); }

    bool active() const { return m_loop != nullptr; }
    void setEvents(uint32_t events) {
        if (m_loop)
            m_loop->modifyWatch(m_id, events);
    }
    // Stops watching; safe from inside the watch's own callback.
    void reset() {
        if (m_loop)
            std::exchange(m_loop, nullptr)->removeWatch(m_id);
        m_id = 0;
    }

  private:
    MessageLoop* m_loop = nullptr;
    MessageLoop::WatchId m_id = 0;
};

}  // namespace platform
