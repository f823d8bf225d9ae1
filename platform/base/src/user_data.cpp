#include "platform/user_data.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace platform {

namespace {

constexpr char kFolderName[] = "corvane-platform";

// Fixed when the platform is built (<localstatedir>/lib/corvane-platform of the configured
// prefix); the Debian packages' maintainer scripts act on the same folder.
constexpr char kBuiltInMachineFolder[] = CORVANE_PLATFORM_MACHINE_DATA_DIR;

// Only a build for the tests lets root's machine registry be moved (the tests run as root).
#ifdef CORVANE_PLATFORM_MACHINE_HOME_FOR_ROOT
constexpr bool kRootMayMoveMachineFolder = true;
#else
constexpr bool kRootMayMoveMachineFolder = false;
#endif

}  // namespace

std::filesystem::path userDataDirectory() {
    // A program started with more rights than its user (set-user-ID, set-group-ID, file
    // capabilities) sees none of these, and takes the home of its real user.
    if (const char* home = ::secure_getenv("CORVANE_PLATFORM_HOME"); home && *home)
        return home;
    if (const char* xdg = ::secure_getenv("XDG_DATA_HOME"); xdg && *xdg)
        return std::filesystem::path(xdg) / kFolderName;
    const char* home = ::secure_getenv("HOME");
    if (!home || !*home) {
        const passwd* pw = getpwuid(getuid());
        home = pw ? pw->pw_dir : "/tmp";
    }
    return std::filesystem::path(home) / ".local" / "share" / kFolderName;
}

std::filesystem::path machineDataDirectory() {
    // A program started with more rights than its user (set-user-ID) must not let that
    // user's environment choose what it trusts, nor may root, whose environment may be a
    // user's (sudo -E): root writes the registry every user loads from. Any other process
    // may be pointed elsewhere, but the registry there is trusted only when root alone can
    // change it.
    if (::getuid() != ::geteuid() || ::getgid() != ::getegid())
        return kBuiltInMachineFolder;
    if (::geteuid() == 0 && !kRootMayMoveMachineFolder)
        return kBuiltInMachineFolder;
    if (const char* folder = ::secure_getenv("CORVANE_PLATFORM_MACHINE_HOME");
        folder && *folder == '/')
        return folder;
    return kBuiltInMachineFolder;
}

}  // namespace platform
