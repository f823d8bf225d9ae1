// The one QApplication of a sample-app test program, created on first use on Qt's
// offscreen platform (CTest sets QT_QPA_PLATFORM=offscreen; a test run by hand gets the
// same unless it asks for another platform).
#pragma once

#include <QApplication>

#include <chrono>
#include <functional>

namespace sample_app::test_support {

QApplication& testApplication();

// Runs Qt's events (and through a LoopBridge the platform loop) until `done()` is true or
// `timeout` has passed; true if done.
bool processEventsUntil(const std::function<bool()>& done,
                        std::chrono::milliseconds timeout = std::chrono::seconds(5));

}  // namespace sample_app::test_support
