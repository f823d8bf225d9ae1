#include "loop_bridge.h"

#include "platform/message_loop.h"

namespace sample_app {

LoopBridge::LoopBridge(QObject* parent) : LoopBridge(platform::MessageLoop::current(), parent) {}

LoopBridge::LoopBridge(platform::MessageLoop& loop, QObject* parent)
    : QObject(parent), m_loop(loop), m_notifier(loop.fd(), QSocketNotifier::Read) {
    connect(&m_notifier, &QSocketNotifier::activated, this, &LoopBridge::dispatchReady);
}

void LoopBridge::dispatchReady() {
    m_notifier.setEnabled(false);
    // The notifier comes back through a posted event, after the rest of Qt's pass: a
    // platform loop that is always ready would otherwise be served every pass and Qt's own
    // timers, which it runs at idle priority once they have fired, would wait for a pass
    // with nothing else to do. Delivering posted events puts Qt's timers back to normal.
    struct Reenable {
        LoopBridge& bridge;
        ~Reenable() {
            QMetaObject::invokeMethod(
                &bridge, [&notifier = bridge.m_notifier] { notifier.setEnabled(true); },
                Qt::QueuedConnection);
        }
    } reenable{*this};
    m_loop.dispatch(0);
}

}  // namespace sample_app
