#include "platform/user_data.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace platform {

std::filesystem::path userDataDirectory() {
    if (const char* home = std::getenv("CORVANE_PLATFORM_HOME"); home && *home)
        return home;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg)
        return std::filesystem::path(xdg) / "corvane-platform";
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        const passwd* pw = getpwuid(getuid());
        home = pw ? pw->pw_dir : "/tmp";
    }
    return std::filesystem::path(home) / ".local" / "share" / "corvane-platform";
}

}  // namespace platform
