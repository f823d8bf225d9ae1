// Owners of libudev's reference-counted handles, and the library's context.
#pragma once

#include <libudev.h>

#include <memory>

namespace platform {

struct UdevUnref {
    void operator()(udev* handle) const { udev_unref(handle); }
    void operator()(udev_device* handle) const { udev_device_unref(handle); }
    void operator()(udev_enumerate* handle) const { udev_enumerate_unref(handle); }
    void operator()(udev_monitor* handle) const { udev_monitor_unref(handle); }
};
using UdevContext = std::unique_ptr<udev, UdevUnref>;
using UdevDevice = std::unique_ptr<udev_device, UdevUnref>;
using UdevEnumerate = std::unique_ptr<udev_enumerate, UdevUnref>;
using UdevMonitor = std::unique_ptr<udev_monitor, UdevUnref>;

// A new context; error 68 naming udev when it cannot be made.
UdevContext openUdev();

// Error 68 saying that udev failed at `what`, with the system's reason for `errorNumber`.
[[noreturn]] void throwUdevFailure(const char16_t* what, int errorNumber);

}  // namespace platform
