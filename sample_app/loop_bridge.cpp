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
    struct Reenable {
        LoopBridge& bridge;
        ~Reenable() { bridge.reenableLater(); }
    } reenable{*this};
    m_loop.dispatch(0);
}

// The notifier comes back through a posted event, after the rest of Qt's pass: a platform
// loop that is always ready would otherwise be served every pass and Qt's own timers, which
// it runs at idle priority once they have fired, would wait for a pass with nothing else to
// do. Delivering posted events puts Qt's timers back to normal. Qt delivers an event posted
// while it delivers others on its next pass, so a busy host is asked again pass by pass.
void LoopBridge::reenableLater() {
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_busy && m_busy())
                reenableLater();
            else
                m_notifier.setEnabled(true);
        },
        Qt::QueuedConnection);
}

}  // namespace sample_app
