// A non-blocking descriptor watched on the thread's message loop, as a device adapter holds
// it while open: the descriptor, its watch, a generation that moves on with every opening
// and closing, and a liveness token that expires with the owner. A callback that calls out
// (to a handler that may close the device, reopen it or destroy its owner) takes a ticket
// first and asks it afterwards whether it may go on. The descriptor is owned, or borrowed from
// an object the owner keeps open for as long as it is watched (a serial line).
#pragma once

#include "platform/language_standard.h"
#include "platform/platform_export.h"

#include <cstdint>
#include <memory>
#include <utility>

#include "platform/fd_watch.h"
#include "platform/file_descriptor.h"
#include "platform/message_loop.h"

namespace platform {

// Frozen on purpose: its accessors are inline because every read and write of a port's
// descriptor goes through them. Its members are part of the ABI (a new SONAME to change).
class CORVANE_PLATFORM_EXPORT WatchedDescriptor {
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

    bool isOpen() const { return m_watched >= 0; }
    int get() const { return m_watched; }
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
        m_watched = m_fd.get();
        m_watch = std::move(watch);
        m_events = events;
    }
    // The same for a descriptor that stays its caller's: closing stops watching it and leaves
    // it open. The caller keeps it open until then.
    void watch(int borrowed, uint32_t events, MessageLoop::FdCallback callback,
               MessageLoop& loop = MessageLoop::current()) {
        close();
        FdWatch watch(borrowed, events, std::move(callback), loop);
        ++m_generation;
        m_watched = borrowed;
        m_watch = std::move(watch);
        m_events = events;
    }
    // Takes `fd` (closing what was open) without watching it: for a descriptor its owner only
    // writes to. (A descriptor in the loop's wait set is woken by its own writes too.)
    void hold(FileDescriptor fd) {
        close();
        ++m_generation;
        m_fd = std::move(fd);
        m_watched = m_fd.get();
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
        m_watched = -1;
        m_events = 0;
    }

  private:
    FileDescriptor m_fd;  // closed when the descriptor is borrowed
    int m_watched = -1;
    FdWatch m_watch;
    uint32_t m_events = 0;
    uint64_t m_generation = 0;
    std::shared_ptr<char> m_alive = std::make_shared<char>();
};

}  // namespace platform
