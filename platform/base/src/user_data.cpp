#include "platform/user_data.h"

#include <dlfcn.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string_view>

namespace platform {

namespace {

constexpr char kFolderName[] = "corvane-platform";

// Where the build installs things, relative to the prefix (from the build's configuration).
constexpr std::string_view kInstalledLibraryDir = CORVANE_PLATFORM_INSTALL_LIBDIR;
constexpr std::string_view kInstalledDataDir = CORVANE_PLATFORM_INSTALL_DATADIR;
constexpr std::string_view kConfiguredDataDir = CORVANE_PLATFORM_INSTALL_FULL_DATADIR;

const char g_anchor = 0;  // an address inside this library

// The prefix's data folder, from the folder this library lies in: <prefix>/<libdir>.
std::filesystem::path installedDataDirectory() {
    Dl_info info{};
    std::filesystem::path libraryDir;
    if (::dladdr(&g_anchor, &info) != 0 && info.dli_fname && info.dli_fname[0] == '/') {
        std::error_code error;
        libraryDir = std::filesystem::weakly_canonical(info.dli_fname, error).parent_path();
    }
    const std::filesystem::path relativeLibraryDir(kInstalledLibraryDir);
    if (relativeLibraryDir.is_relative() && !libraryDir.empty()) {
        std::filesystem::path prefix = libraryDir;
        bool matches = true;
        for (auto part = relativeLibraryDir.end(); part != relativeLibraryDir.begin();) {
            --part;
            if (part->empty())
                continue;
            if (prefix.filename() != *part) {
                matches = false;
                break;
            }
            prefix = prefix.parent_path();
        }
        if (matches)
            return prefix / kInstalledDataDir;
    }
    return std::filesystem::path(kConfiguredDataDir);  // running from the build folder
}

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
    const char* dirs = std::getenv("XDG_DATA_DIRS");
    const std::string_view list = dirs && *dirs ? dirs : "/usr/local/share:/usr/share";
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(':', start);
        if (end == std::string_view::npos)
            end = list.size();
        const std::filesystem::path dir(list.substr(start, end - start));
        start = end + 1;
        if (dir.empty() || dir.is_relative())
            continue;  // XDG folders must be absolute; a relative entry is ignored
        struct stat info {};
        if (::lstat((dir / kFolderName / "registry").c_str(), &info) == 0)
            return dir / kFolderName;
    }
    return installedDataDirectory() / kFolderName;
}

}  // namespace platform
