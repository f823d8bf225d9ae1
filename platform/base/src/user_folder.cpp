#include "user_folder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <deque>
#include <string>

#include "owner_check.h"

namespace platform {
namespace {

// As many links as the kernel follows in one path.
constexpr int kMostLinks = 40;

std::deque<std::string> componentsOf(const std::filesystem::path& path) {
    std::deque<std::string> components;
    for (const std::filesystem::path& part : path.relative_path())
        components.push_back(part.string());
    return components;
}

}  // namespace

UserFolderStatus checkUserFolder(const std::filesystem::path& folder) {
    // Walked a component at a time, each link read and its target walked in turn, so that
    // every link the kernel would follow is looked at, the ones inside a target too.
    std::filesystem::path reached = "/";
    std::deque<std::string> rest = componentsOf(std::filesystem::absolute(folder));
    int links = 0;
    while (!rest.empty()) {
        const std::string component = std::move(rest.front());
        rest.pop_front();
        if (component.empty() || component == ".")
            continue;
        if (component == "..") {
            reached = reached.parent_path();
            continue;
        }
        const std::filesystem::path next = reached / component;
        struct stat info = {};
        if (::lstat(next.c_str(), &info) != 0) {
            if (errno == ENOENT)
                return {UserFolderCheck::missing, next, ENOENT};
            return {UserFolderCheck::failed, next, errno};
        }
        if (!S_ISLNK(info.st_mode)) {
            reached = next;
            continue;
        }
        if (info.st_uid != ::geteuid() && info.st_uid != 0)
            return {UserFolderCheck::foreignLink, next, EPERM};
        char target[PATH_MAX];
        const ssize_t length = ::readlink(next.c_str(), target, sizeof target);
        if (length < 0)
            return {UserFolderCheck::failed, next, errno};
        if (++links > kMostLinks || static_cast<size_t>(length) >= sizeof target)
            return {UserFolderCheck::failed, next, ELOOP};
        const std::filesystem::path targetPath(std::string(target, static_cast<size_t>(length)));
        std::deque<std::string> inserted = componentsOf(targetPath);
        rest.insert(rest.begin(), inserted.begin(), inserted.end());
        if (targetPath.is_absolute())
            reached = "/";
    }
    struct stat info = {};
    if (::stat(reached.c_str(), &info) != 0)
        return {UserFolderCheck::failed, reached, errno};
    if (!S_ISDIR(info.st_mode))
        return {UserFolderCheck::notAFolder, reached, ENOTDIR};
    switch (checkOwner(info, ::geteuid())) {
        case OwnerCheck::anotherOwner:
            return {UserFolderCheck::anotherOwner, reached, EPERM};
        case OwnerCheck::othersMayWrite:
            return {UserFolderCheck::othersMayWrite, reached, EPERM};
        case OwnerCheck::trusted:
            break;
    }
    return {UserFolderCheck::trusted, reached, 0};
}

}  // namespace platform
