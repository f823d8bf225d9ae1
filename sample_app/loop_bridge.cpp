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
        QSocketNotifier& notifier;
        ~Reenable() { notifier.setEnabled(true); }
    } reenable{m_notifier};
    m_loop.dispatch(0);
}

}  // namespace sample_app
