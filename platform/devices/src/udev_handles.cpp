#include "udev_handles.h"

#include <cerrno>
#include <string>

#include "platform/error.h"
#include "system_errors.h"

namespace platform {

void throwUdevFailure(const char16_t* what, int errorNumber) {
    throw Error(errors::kDeviceUnavailable,
                u"udev " + std::u16string(what) + u": " + posixErrorText(errorNumber));
}

UdevContext openUdev() {
    errno = 0;
    UdevContext context(udev_new());
    if (!context)
        throwUdevFailure(u"に接続できません", errno != 0 ? errno : ENOMEM);
    return context;
}

}  // namespace platform
