// Lets the Qt event loop drive the thread's platform message loop: a QSocketNotifier
// watches the platform loop's pollable fd and each activation dispatches whatever is
// ready without waiting. So the control's sockets, serial ports and timers are served
// between Qt events, on the one user-interface thread.
//
// While one dispatch runs (an event handler may open a modal message box, which runs a
// nested Qt loop) the notifier is off: platform work waits for the handler to finish
// instead of re-entering the platform loop. It comes back on the next pass of Qt's loop,
// so a platform loop that is always busy takes one of its bounded passes per Qt pass and
// leaves Qt's painting, input and timers their turn. A host that is far behind with showing
// what the last passes brought (holdWhile) keeps the platform loop waiting, pass after pass,
// until it has caught up: what arrives meanwhile waits where it came in (a socket's buffer, a
// serial driver), so the host's backlog stays bounded. Create it on the thread whose loop it
// drives.
#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <functional>

namespace platform {
class MessageLoop;
}

namespace sample_app {

class LoopBridge : public QObject {
    Q_OBJECT

  public:
    explicit LoopBridge(QObject* parent = nullptr);
    LoopBridge(platform::MessageLoop& loop, QObject* parent);

    // While `busy()` is true the platform loop is not served; asked on every pass of Qt's
    // loop. Empty: always served.
    void holdWhile(std::function<bool()> busy) { m_busy = std::move(busy); }

  private:
    void dispatchReady();
    void reenableLater();

    platform::MessageLoop& m_loop;
    QSocketNotifier m_notifier;
    std::function<bool()> m_busy;
};

}  // namespace sample_app
