// A non-blocking descriptor watched on the thread's message loop, as a device adapter holds
// it while open: the descriptor, its watch, a generation that moves on with every opening
// and closing, and a liveness token that expires with the owner. A callback that calls out
// (to a handler that may close the device, reopen it or destroy its owner) takes a ticket
// first and asks it afterwards whether it may go on.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include "platform/fd_watch.h"
#include "platform/file_descriptor.h"
#include "platform/message_loop.h"

namespace platform {

class WatchedDescriptor {
  public:
    // What a callback knows of the descriptor when it takes the ticket.
    class Ticket {
      public:
        // The owner still exists.
        bool ownerAlive() const { return !m_alive.expired(); }
        // The owner still exists and has neither closed nor reopened the descriptor since.
        bool sameOpening() const { return ownerAlive() && m_owner->m_generation == m_generation; }

      private:
        friend class WatchedDescriptor;
        explicit Ticket(const WatchedDescriptor& owner)
            : m_alive(owner.m_alive), m_owner(&owner), m_generation(owner.m_generation) {}
        std::weak_ptr<char> m_alive;
        const WatchedDescriptor* m_owner;
        uint64_t m_generation;
    };

    WatchedDescriptor() = default;
    // Callbacks hold the owner's address: it stays where it is.
    WatchedDescriptor(const WatchedDescriptor&) = delete;
    WatchedDescriptor& operator=(const WatchedDescriptor&) = delete;
    ~WatchedDescriptor() { close(); }

    bool isOpen() const { return m_fd.get() >= 0; }
    int get() const { return m_fd.get(); }
    uint32_t events() const { return m_events; }
    Ticket ticket() const { return Ticket(*this); }

    // Takes `fd` (closing what was open) and watches it for `events`. The loop's refusal
    // (std::system_error) closes `fd` and leaves this closed.
    void open(FileDescriptor fd, uint32_t events, MessageLoop::FdCallback callback,
              MessageLoop& loop = MessageLoop::current()) {
        close();
        FdWatch watch(fd.get(), events, std::move(callback), loop);
        ++m_generation;
        m_fd = std::move(fd);
        m_watch = std::move(watch);
        m_events = events;
    }
    // Watches for `events` from now on; nothing to do when they are the same or when closed.
    void setEvents(uint32_t events) {
        if (events != m_events && isOpen()) {
            m_watch.setEvents(events);
            m_events = events;
        }
    }
    // Stops watching, then closes; a new generation begins even when nothing was open.
    void close() {
        ++m_generation;
        m_watch.reset();
        m_fd.reset();
        m_events = 0;
    }

  private:
    FileDescriptor m_fd;
    FdWatch m_watch;
    uint32_t m_events = 0;
    uint64_t m_generation = 0;
    std::shared_ptr<char> m_alive = std::make_shared<char>();
};

}  // namespace platform
