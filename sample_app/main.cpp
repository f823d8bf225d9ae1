// Sampleton: one window, Form1, carrying one Portula control created through the
// platform registry. Closing the window ends the program. A termination request from the
// session (SIGTERM, SIGINT, SIGHUP) closes the window the ordinary way, so the settings
// are saved as on any other close; an open message box is answered first, and the close
// waits until the window is up and no handler is in the middle of its work.
#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include "control_host.h"
#include "form1.h"
#include "loop_bridge.h"
#include "platform/error.h"
#include "settings_file.h"

namespace {

int g_signalPipe[2] = {-1, -1};

void onTerminationSignal(int) {
    const char byte = 1;
    (void)!::write(g_signalPipe[1], &byte, 1);
}

// Closes `window` once no message box is open and the window is shown, answering the
// open message boxes (OK) on the way.
void closeWhenIdle(QWidget& window) {
    if (QWidget* modal = QApplication::activeModalWidget()) {
        modal->close();
    } else if (window.isVisible()) {
        window.close();
        return;
    }
    QTimer::singleShot(20, &window, [&window] { closeWhenIdle(window); });
}

// Turns the session's termination signals into a close of `window`, on the UI thread.
void closeOnTerminationSignals(QWidget& window) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_signalPipe) != 0)
        return;  // the program still works; it only ends unsaved on a signal
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &window);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
        char bytes[16];
        while (::read(g_signalPipe[0], bytes, sizeof bytes) > 0) {
        }
        closeWhenIdle(window);
    });
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    // The settings file is named after the program as it was started, whatever happens to
    // the file later.
    sample_app::currentExecutablePath();
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Sampleton"));
    sample_app::LoopBridge loopBridge;
    sample_app::MessageBoxPresenter messages;

    std::unique_ptr<sample_app::ControlHost> portula;
    try {
        portula = std::make_unique<sample_app::PortulaHost>();
    } catch (const platform::Error& error) {
        messages.showError(QString::fromStdU16String(error.description()));
        return 1;
    }

    sample_app::Form1 form1(std::move(portula), messages);
    // The control's data waits while the window is far behind with what came before.
    loopBridge.holdWhile([&form1] { return form1.transcript().farBehind(); });
    closeOnTerminationSignals(form1);
    form1.load();
    form1.show();
    const int status = application.exec();
    return form1.unloadFailed() ? 1 : status;
}
