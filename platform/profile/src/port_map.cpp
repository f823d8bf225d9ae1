#include "platform/port_map.h"
#include "platform/file_descriptor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "atomic_file.h"
#include "owner_check.h"
#include "platform/error.h"
#include "platform/user_data.h"
#include "platform/utf8.h"
#include "system_errors.h"
#include "user_folder.h"

namespace platform {
namespace {

std::string_view trimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

struct Entry {
    int port;
    std::string_view device;
};

// The entry a line holds, if it holds one.
std::optional<Entry> parseLine(std::string_view line) {
    line = trimBlanks(line);
    if (line.empty() || line.front() == '#')
        return std::nullopt;
    size_t equals = line.find('=');
    if (equals == std::string_view::npos)
        return std::nullopt;
    std::string_view number = trimBlanks(line.substr(0, equals));
    std::string_view device = trimBlanks(line.substr(equals + 1));
    if (number.empty() || number.size() > 9 || device.empty())
        return std::nullopt;
    int port = 0;
    for (char c : number) {
        if (c < '0' || c > '9')
            return std::nullopt;
        port = port * 10 + (c - '0');
    }
    return Entry{port, device};
}

// The device an entry names: a path as written, a bare name under /dev; an address
// ("rfc2217://host:port") is the serial component's to open.
std::filesystem::path deviceOf(const Entry& entry) {
    std::filesystem::path device(entry.device);
    if (device.is_absolute() || entry.device.find("://") != std::string_view::npos)
        return device;
    return std::filesystem::path("/dev") / device;
}

[[noreturn]] void throwUnusableMap(const std::filesystem::path& file, int32_t number,
                                   std::u16string_view reason) {
    throw Error(number, u"シリアル ポート マップ " + fromUtf8(file.string()) + u" " +
                            std::u16string(reason));
}

// Refuses a map whose folder another user could redirect or change (see user_folder.h);
// false when there is no folder yet.
bool checkMapFolder(const std::filesystem::path& file) {
    const UserFolderStatus status = checkUserFolder(file.parent_path());
    const std::u16string at = fromUtf8(status.at.string());
    switch (status.check) {
        case UserFolderCheck::trusted:
            return true;
        case UserFolderCheck::missing:
        case UserFolderCheck::notAFolder:  // no map there; writing one fails as it may
            return false;
        case UserFolderCheck::foreignLink:
            throwUnusableMap(file, errors::kPermissionDenied,
                             u"への途中のシンボリック リンク " + at +
                                 u" は別のユーザーが所有しているため使用できません。");
        case UserFolderCheck::anotherOwner:
            throwUnusableMap(
                file, errors::kPermissionDenied,
                u"のフォルダー " + at + u" は別のユーザーが所有しているため使用できません。");
        case UserFolderCheck::othersMayWrite:
            throwUnusableMap(file, errors::kPermissionDenied,
                             u"のフォルダー " + at +
                                 u" はグループまたは他のユーザーが書き込めるため使用できません。");
        case UserFolderCheck::failed:
            break;
    }
    throwUnusableMap(file, pathErrorNumber(status.errorNumber, status.at),
                     u"のフォルダーを調べられません: " + posixErrorText(status.errorNumber));
}

// The map's text; none when there is no map. A map someone else could change could send a
// port's traffic to their own server, so it must be the user's own regular file (not a
// link) that no group or other user may write, as the registry is.
std::string readMap(const std::filesystem::path& file) {
    if (!checkMapFolder(file))
        return {};
    FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (fd.get() < 0 && (errno == ENOENT || errno == ENOTDIR))
        return {};
    // O_NOFOLLOW gives ELOOP for a link.
    if (fd.get() < 0 && errno == ELOOP)
        throwUnusableMap(file, errors::kPermissionDenied, u"はリンクです。");
    struct stat info = {};
    if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0) {
        const int failure = errno;
        throwUnusableMap(file, pathErrorNumber(failure, file),
                         u"を開けません: " + posixErrorText(failure));
    }
    if (!S_ISREG(info.st_mode))
        throwUnusableMap(file, errors::kPermissionDenied, u"は通常のファイルではありません。");
    switch (checkOwner(info, ::geteuid())) {
        case OwnerCheck::anotherOwner:
            throwUnusableMap(file, errors::kPermissionDenied,
                             u"は別のユーザーが所有しているため使用できません。");
        case OwnerCheck::othersMayWrite:
            throwUnusableMap(file, errors::kPermissionDenied,
                             u"はグループまたは他のユーザーが書き込めるため使用できません。");
        case OwnerCheck::trusted:
            break;
    }
    std::string text;
    if (!readToEnd(fd.get(), text)) {
        const int failure = errno;
        throwUnusableMap(file, fileErrorNumber(failure),
                         u"を読み込めません: " + posixErrorText(failure));
    }
    return text;
}

std::vector<std::string> readLines(const std::filesystem::path& file) {
    std::vector<std::string> lines;
    std::istringstream in(readMap(file));
    for (std::string line; std::getline(in, line);)
        lines.push_back(std::move(line));
    return lines;
}

[[noreturn]] void throwWriteFailure(int errorNumber) {
    throw Error(fileErrorNumber(errorNumber));
}

void checkPort(int port) {
    if (port < 1)
        throw Error(errors::kInvalidProcedureCall);
}

// Replaces the map with `lines` so that a reader sees either the old or the new file.
void replaceMap(const std::filesystem::path& file, const std::vector<std::string>& lines) {
    std::string content;
    for (const std::string& line : lines)
        content += line + "\n";
    replaceFile(file, content,
                FileMode{.keepExisting = false, .mode = 0600, .existing = std::nullopt});
}

// Rewrites the map with `port`'s entries dropped and, if `device` is given, the entry
// for it in place of the first one (or at the end).
void rewriteLocked(const std::filesystem::path& file, int port,
                   const std::optional<std::string>& device) {
    std::vector<std::string> lines;
    bool placed = false;
    for (std::string& line : readLines(file)) {
        auto entry = parseLine(line);
        if (!entry || entry->port != port) {
            lines.push_back(std::move(line));
        } else if (device && !placed) {
            lines.push_back(std::to_string(port) + "=" + *device);
            placed = true;
        }
    }
    if (device && !placed)
        lines.push_back(std::to_string(port) + "=" + *device);
    replaceMap(file, lines);
}

// Rewrites the map under the folder lock.
void rewriteEntry(int port, const std::optional<std::string>& device) {
    // One look at the environment: the map is the same file from the check to the rename.
    const std::filesystem::path file = portMapFile();
    const std::filesystem::path folder = file.parent_path();
    checkMapFolder(file);
    std::error_code error;
    std::filesystem::create_directories(folder.parent_path(), error);
    if (error)
        throwWriteFailure(error.value());
    // The folder is the user's alone, as the registry's is.
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        throwWriteFailure(errno);
    checkMapFolder(file);
    try {
        // Serialises the read-modify-write cycles of different processes on the folder.
        const FolderLock lock = FolderLock::onFolder(folder);
        rewriteLocked(file, port, device);
    } catch (const FileFailure& failure) {
        throwWriteFailure(failure.errorNumber());
    }
}

}  // namespace

std::filesystem::path portMapFile() {
    // Read on every call, not kept: a program (a test, a Python script) may point it at a
    // map of its own while it runs, and back.
    if (const char* own = ::secure_getenv("CORVANE_PLATFORM_PORT_MAP"); own && *own == '/')
        return own;
    return userDataDirectory() / "ports";
}

std::vector<PortMapEntry> portMapEntries() {
    std::vector<PortMapEntry> entries;
    std::set<int> numbers;
    for (const std::string& line : readLines(portMapFile())) {
        auto entry = parseLine(line);
        if (entry && entry->port >= 1 && numbers.insert(entry->port).second)
            entries.push_back({entry->port, deviceOf(*entry)});
    }
    return entries;
}

std::filesystem::path devicePathForPort(int port) {
    checkPort(port);
    for (const std::string& line : readLines(portMapFile())) {
        auto entry = parseLine(line);
        if (entry && entry->port == port)
            return deviceOf(*entry);
    }
    return "/dev/ttyS" + std::to_string(port - 1);
}

void setPortDevice(int port, const std::filesystem::path& device) {
    checkPort(port);
    const std::string& text = device.native();
    std::string_view trimmed = trimBlanks(text);
    if (trimmed.empty() || trimmed.size() != text.size() ||
        text.find_first_of("\r\n") != std::string::npos)
        throw Error(errors::kInvalidProcedureCall);
    rewriteEntry(port, text);
}

void removePortDevice(int port) {
    checkPort(port);
    if (!std::filesystem::exists(portMapFile()))
        return;
    rewriteEntry(port, std::nullopt);
}

}  // namespace platform
