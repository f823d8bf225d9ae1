#include "qt_test_application.h"

#include <QElapsedTimer>
#include <QThread>

#include <cstdlib>

namespace sample_app::test_support {

QApplication& testApplication() {
    static int argc = 1;
    static char name[] = "sample_app_test";
    static char* argv[] = {name, nullptr};
    static QApplication* application = [] {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
        return new QApplication(argc, argv);
    }();
    QApplication::setApplicationName(QStringLiteral("Sampleton"));
    return *application;
}

bool processEventsUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() >= timeout.count())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

}  // namespace sample_app::test_support
