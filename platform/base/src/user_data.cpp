#include "platform/user_data.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace platform {

namespace {

constexpr char kFolderName[] = "corvane-platform";

// Fixed when the platform is built (<datadir>/corvane-platform of the configured prefix);
// the Debian packages' maintainer scripts act on the same folder.
constexpr char kBuiltInMachineFolder[] = CORVANE_PLATFORM_MACHINE_DATA_DIR;

}  // namespace

std::filesystem::path userDataDirectory() {
    if (const char* home = std::getenv("CORVANE_PLATFORM_HOME"); home && *home)
        return home;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg)
        return std::filesystem::path(xdg) / kFolderName;
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        const passwd* pw = getpwuid(getuid());
        home = pw ? pw->pw_dir : "/tmp";
    }
    return std::filesystem::path(home) / ".local" / "share" / kFolderName;
}

std::filesystem::path machineDataDirectory() {
    // A program started with more rights than its user (set-user-ID) must not let that
    // user's environment choose what it trusts. Any other process may be pointed
    // elsewhere, but the registry there is trusted only when root alone can change it.
    if (::getuid() == ::geteuid() && ::getgid() == ::getegid()) {
        if (const char* folder = std::getenv("CORVANE_PLATFORM_MACHINE_HOME");
            folder && *folder == '/')
            return folder;
    }
    return kBuiltInMachineFolder;
}

}  // namespace platform
