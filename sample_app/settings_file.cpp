#include "settings_file.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/codepage932.h"
#include "platform/private_profile.h"

namespace sample_app {
namespace {

constexpr uint32_t kValueBufferSize = 1024;

// As the platform's INI writer decides: without any write permission bit a folder is
// read-only for everyone, root included; otherwise the usual access check.
bool mayWrite(const std::filesystem::path& folder) {
    struct stat info = {};
    return ::stat(folder.c_str(), &info) == 0 && (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) &&
           ::access(folder.c_str(), W_OK) == 0;
}

// The user's own settings: a file they own or may write. Another user's file they may only
// read (root's, left beside an installed program by one run as root) is not theirs.
bool isUsersFile(const std::filesystem::path& file) {
    struct stat info = {};
    return ::stat(file.c_str(), &info) == 0 && (info.st_uid == ::geteuid() || mayWrite(file));
}

// How a program installed for every user lies (/usr/bin, /opt/<name>/bin): in a folder that
// root owns, that no group or other user may write and that every user may enter. Root may
// write there, but a settings file it left would be every user's and none could change it.
bool isInstalledFolder(const std::filesystem::path& folder) {
    struct stat info = {};
    return ::stat(folder.c_str(), &info) == 0 && info.st_uid == 0 &&
           (info.st_mode & (S_IWGRP | S_IWOTH)) == 0 && (info.st_mode & S_IXOTH) != 0;
}

// Where the file may be created: a folder the user may write, unless root runs an
// installed program.
bool mayCreateIn(const std::filesystem::path& folder) {
    return mayWrite(folder) && !(::geteuid() == 0 && isInstalledFolder(folder));
}

std::filesystem::path userConfigDirectory() {
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config == '/')
        return config;
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        const passwd* pw = ::getpwuid(::getuid());
        home = pw ? pw->pw_dir : "/tmp";
    }
    return std::filesystem::path(home) / ".config";
}

}  // namespace

std::filesystem::path settingsFilePath(const std::filesystem::path& executablePath) {
    std::filesystem::path fileName = executablePath.stem();
    fileName += ".ini";
    return executablePath.parent_path() / fileName;
}

std::filesystem::path usableSettingsFilePath(const std::filesystem::path& executablePath) {
    const std::filesystem::path beside = settingsFilePath(executablePath);
    std::error_code error;
    const std::filesystem::path folder =
        beside.has_parent_path() ? beside.parent_path() : std::filesystem::path(".");
    const bool exists = std::filesystem::exists(beside, error);
    if (exists ? isUsersFile(beside) : mayCreateIn(folder))
        return beside;
    const std::filesystem::path config = userConfigDirectory();
    if (!std::filesystem::is_directory(config, error)) {
        std::filesystem::create_directories(config.parent_path(), error);
        ::mkdir(config.c_str(), 0700);  // a failure shows when the file is written
    }
    return config / beside.filename();
}

std::filesystem::path currentExecutablePath() {
    static const std::filesystem::path atStart = [] {
        std::error_code error;
        std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
        return error ? std::filesystem::path() : path;
    }();
    return atStart;
}

std::u16string ReadIni(std::u16string_view section, std::u16string_view key,
                       std::u16string_view defaultValue, const std::filesystem::path& path) {
    const std::string sectionBytes = platform::cp932::encode(section);
    const std::string keyBytes = platform::cp932::encode(key);
    const std::string defaultBytes = platform::cp932::encode(defaultValue);
    // Only the n bytes the call reports belong to the result, not the spaces behind them.
    std::string buffer(kValueBufferSize, ' ');
    const uint32_t n = platform::GetPrivateProfileStringA(sectionBytes.c_str(), keyBytes.c_str(),
                                                          defaultBytes.c_str(), buffer.data(),
                                                          kValueBufferSize, path.c_str());
    return platform::cp932::decode(std::string_view(buffer).substr(0, n));
}

void WriteIni(std::u16string_view section, std::u16string_view key, std::u16string_view value,
              const std::filesystem::path& path) {
    const std::string sectionBytes = platform::cp932::encode(section);
    const std::string keyBytes = platform::cp932::encode(key);
    const std::string valueBytes = platform::cp932::encode(value);
    // A failed write is not the caller's concern: the next start reads the previous values.
    platform::WritePrivateProfileStringA(sectionBytes.c_str(), keyBytes.c_str(), valueBytes.c_str(),
                                         path.c_str());
}

}  // namespace sample_app
