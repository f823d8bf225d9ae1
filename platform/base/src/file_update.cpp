#include "file_update.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace platform {
namespace {

// No link is followed, and neither a FIFO nor a device blocks the opening or takes the
// process as its terminal.
constexpr int kOpenFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// How often begin() opens the file again because another writer replaced it between the
// opening and the lock; each round means another writer finished, so this is never reached
// in practice.
constexpr int kAttempts = 100;

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::filesystem::path folderOf(const std::filesystem::path& file) {
    const std::filesystem::path folder = file.parent_path();
    return folder.empty() ? "." : folder;
}

}  // namespace

std::optional<std::string> readRegularFile(int fd, off_t largest) {
    struct stat status = {};
    if (::fstat(fd, &status) != 0)
        return std::nullopt;
    if (!S_ISREG(status.st_mode)) {
        errno = EINVAL;
        return std::nullopt;
    }
    if (status.st_size > largest) {
        errno = EFBIG;
        return std::nullopt;
    }
    std::string data;
    data.reserve(static_cast<size_t>(status.st_size));
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0) {
            data.append(chunk, static_cast<size_t>(n));
            if (data.size() > static_cast<size_t>(largest)) {
                errno = EFBIG;  // grew past the bound while being read
                return std::nullopt;
            }
        } else if (n == 0) {
            return data;
        } else if (errno != EINTR) {
            return std::nullopt;
        }
    }
}

FileUpdate FileUpdate::begin(const std::filesystem::path& file, off_t largest) {
    FileUpdate update;
    update.m_path = file;
    const std::filesystem::path folder = folderOf(file);
    struct stat folderStatus = {};
    if (::stat(folder.c_str(), &folderStatus) != 0)
        throw FileFailure(FileStep::Open, folder, errno);
    update.m_folderReadOnly = isReadOnly(folder);
    // A lock file of one user would stand in every other user's way where they all write.
    update.m_lockedByFile =
        update.m_folderReadOnly || (folderStatus.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    if (!update.m_lockedByFile) {
        update.m_lock.emplace(
            FolderLock::throughPrivateFile(folder / ("." + file.filename().string() + ".lock")));
    }
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        FileDescriptor fd(::open(file.c_str(), kOpenFlags));
        if (fd.get() < 0 && errno == ENOENT)
            return update;
        if (fd.get() < 0)
            throw FileFailure(FileStep::Open, file, errno);
        struct stat status = {};
        if (::fstat(fd.get(), &status) != 0)
            throw FileFailure(FileStep::Open, file, errno);
        if (!S_ISREG(status.st_mode))
            throw FileFailure(FileStep::Open, file, S_ISDIR(status.st_mode) ? EISDIR : EINVAL);
        if (update.m_lockedByFile)
            lockWithin(fd.get(), file);
        // A writer that replaced the file while this one waited leaves this descriptor on
        // the old one: what counts is what now has the name.
        struct stat named = {};
        if (::lstat(file.c_str(), &named) != 0 || !sameFile(named, status))
            continue;
        std::optional<std::string> content = readRegularFile(fd.get(), largest);
        if (!content)
            throw FileFailure(FileStep::Open, file, errno);
        update.m_file = std::move(fd);
        update.m_status = status;
        update.m_content = std::move(*content);
        return update;
    }
    throw FileFailure(FileStep::Lock, file, EWOULDBLOCK);
}

bool FileUpdate::writable() const {
    return (m_status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0 &&
           ::faccessat(AT_FDCWD, m_path.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) == 0;
}

bool FileUpdate::commit(std::string_view content) {
    if (exists()) {
        if (m_folderReadOnly)
            rewriteInPlace(m_path, m_status, content);
        else
            replaceFile(
                m_path, content,
                FileMode{.keepExisting = false, .mode = std::nullopt, .existing = m_status});
        return true;
    }
    if (m_folderReadOnly)
        throw FileFailure(FileStep::Create, m_path, EACCES);
    if (!m_lockedByFile) {
        replaceFile(m_path, content, FileMode{});
        return true;
    }
    return createFile(m_path, content, FileMode{});
}

}  // namespace platform
