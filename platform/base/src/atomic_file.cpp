#include "atomic_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>

namespace platform {
namespace {

// Long enough for any writer that holds a lock only while it rewrites one file; anyone who
// may merely open the locked file (another user who can read it, say) cannot stall us longer.
constexpr std::chrono::milliseconds kLockWait{5000};

FileDescriptor lockedDescriptor(const std::filesystem::path& path, int flags, mode_t mode);

}  // namespace

// Takes the lock, polling, and gives up with EWOULDBLOCK once kLockWait has passed.
void lockWithin(int fd, const std::filesystem::path& path) {
    const auto deadline = std::chrono::steady_clock::now() + kLockWait;
    std::chrono::milliseconds pause{1};
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK)
            throw FileFailure(FileStep::Lock, path, errno);
        if (std::chrono::steady_clock::now() >= deadline)
            throw FileFailure(FileStep::Lock, path, EWOULDBLOCK);
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds{50});
    }
}

namespace {

FileDescriptor lockedDescriptor(const std::filesystem::path& path, int flags, mode_t mode) {
    FileDescriptor fd(::open(path.c_str(), flags | O_CLOEXEC, mode));
    if (fd.get() < 0)
        throw FileFailure(FileStep::Open, path, errno);
    lockWithin(fd.get(), path);
    return fd;
}

// The writer's own lock file: a regular file of this user, never reached through a link.
// One that someone else placed (in a folder others may write) is refused, not shared.
FileDescriptor lockedPrivateFile(const std::filesystem::path& lockFile) {
    FileDescriptor fd(
        ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (fd.get() < 0)
        throw FileFailure(FileStep::Open, lockFile, errno);
    struct stat info = {};
    if (::fstat(fd.get(), &info) != 0)
        throw FileFailure(FileStep::Open, lockFile, errno);
    if (!S_ISREG(info.st_mode) || info.st_uid != ::geteuid())
        throw FileFailure(FileStep::Open, lockFile, EPERM);
    lockWithin(fd.get(), lockFile);
    return fd;
}

std::filesystem::path folderOf(const std::filesystem::path& file) {
    const std::filesystem::path folder = file.parent_path();
    return folder.empty() ? "." : folder;
}

// A hidden name beside `file` that no other writer uses: ".<name>.<12 hex digits>.tmp".
std::filesystem::path temporaryName(const std::filesystem::path& file) {
    thread_local std::mt19937_64 generator{std::random_device{}()};
    static const char kDigits[] = "0123456789abcdef";
    std::string name = "." + file.filename().string() + ".";
    uint64_t bits = generator();
    for (int i = 0; i < 12; ++i, bits >>= 4)
        name.push_back(kDigits[bits & 15]);
    return folderOf(file) / (name + ".tmp");
}

// A temporary file created with 0600 when a mode is set afterwards, else with 0666 so
// that the umask decides, as for any new file.
FileDescriptor createTemporary(const std::filesystem::path& file, bool modeFollows,
                               std::filesystem::path& temporary) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = temporaryName(file);
        FileDescriptor fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                                 modeFollows ? 0600 : 0666));
        if (fd.get() >= 0)
            return fd;
        if (errno != EEXIST)
            break;
    }
    throw FileFailure(FileStep::Create, temporary, errno);
}

void applyMode(int fd, const std::filesystem::path& file, FileMode mode,
               const std::filesystem::path& temporary) {
    struct stat existing = {};
    if (mode.existing)
        existing = *mode.existing;
    if (mode.existing || (mode.keepExisting && ::stat(file.c_str(), &existing) == 0)) {
        // The owner may stay out of reach for an unprivileged writer; the mode may not.
        const int owned = ::fchown(fd, existing.st_uid, existing.st_gid);
        (void)owned;
        if (::fchmod(fd, existing.st_mode & 07777) != 0)
            throw FileFailure(FileStep::Permissions, temporary, errno);
    } else if (mode.mode && ::fchmod(fd, *mode.mode) != 0) {
        throw FileFailure(FileStep::Permissions, temporary, errno);
    }
}

// Makes a rename in the folder durable; best effort, the rename itself has happened.
void syncFolder(const std::filesystem::path& folder) {
    FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() >= 0)
        ::fsync(fd.get());
}

}  // namespace

FolderLock FolderLock::onFolder(const std::filesystem::path& folder) {
    return FolderLock(lockedDescriptor(folder, O_RDONLY | O_DIRECTORY, 0));
}

FolderLock FolderLock::throughFile(const std::filesystem::path& lockFile) {
    return FolderLock(lockedDescriptor(lockFile, O_RDWR | O_CREAT | O_NOFOLLOW, 0600));
}

FolderLock FolderLock::throughPrivateFile(const std::filesystem::path& lockFile) {
    return FolderLock(lockedPrivateFile(lockFile));
}

namespace {

// The new content in a synced temporary file beside `file`, with its mode; then `put`
// gives it the file's name (false: the name was taken, nothing changed). A failure at any
// step removes the temporary file.
template <class Put>
bool writeThenPut(const std::filesystem::path& file, std::string_view content, FileMode mode,
                  Put put) {
    std::filesystem::path temporary;
    FileDescriptor fd =
        createTemporary(file, mode.keepExisting || mode.mode || mode.existing, temporary);
    bool named = false;
    try {
        applyMode(fd.get(), file, mode, temporary);
        if (!writeAll(fd.get(), content))
            throw FileFailure(FileStep::Write, temporary, errno);
        if (::fsync(fd.get()) != 0)
            throw FileFailure(FileStep::Flush, temporary, errno);
        if (::close(fd.release()) != 0)
            throw FileFailure(FileStep::Flush, temporary, errno);
        named = put(temporary);
    } catch (...) {
        ::unlink(temporary.c_str());
        throw;
    }
    if (!named) {
        ::unlink(temporary.c_str());
        return false;
    }
    syncFolder(folderOf(file));
    return true;
}

}  // namespace

void replaceFile(const std::filesystem::path& file, std::string_view content, FileMode mode) {
    writeThenPut(file, content, mode, [&](const std::filesystem::path& temporary) {
        if (::rename(temporary.c_str(), file.c_str()) != 0)
            throw FileFailure(FileStep::Replace, file, errno);
        return true;
    });
}

bool createFile(const std::filesystem::path& file, std::string_view content, FileMode mode) {
    return writeThenPut(file, content, mode, [&](const std::filesystem::path& temporary) {
        if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, file.c_str(), RENAME_NOREPLACE) == 0)
            return true;
        if (errno == EEXIST)
            return false;
        if (errno != EINVAL)
            throw FileFailure(FileStep::Replace, file, errno);
        // A file system without an exclusive rename: a hard link is just as exclusive.
        if (::link(temporary.c_str(), file.c_str()) != 0) {
            if (errno == EEXIST)
                return false;
            throw FileFailure(FileStep::Replace, file, errno);
        }
        ::unlink(temporary.c_str());
        return true;
    });
}

void rewriteInPlace(const std::filesystem::path& file, const struct stat& expected,
                    std::string_view content) {
    FileDescriptor fd(
        ::open(file.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0)
        throw FileFailure(FileStep::Open, file, errno);
    struct stat opened = {};
    if (::fstat(fd.get(), &opened) != 0)
        throw FileFailure(FileStep::Open, file, errno);
    if (opened.st_dev != expected.st_dev || opened.st_ino != expected.st_ino)
        throw FileFailure(FileStep::Open, file, ESTALE);
    const auto size = static_cast<off_t>(content.size());
    if (size > 0) {
        // posix_fallocate returns the error instead of setting errno.
        const int reserved = ::posix_fallocate(fd.get(), 0, size);
        if (reserved != 0 && reserved != EOPNOTSUPP && reserved != EINVAL)
            throw FileFailure(FileStep::Write, file, reserved);
    }
    std::string_view rest = content;
    off_t offset = 0;
    while (!rest.empty()) {
        const ssize_t n = ::pwrite(fd.get(), rest.data(), rest.size(), offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw FileFailure(FileStep::Write, file, errno);
        rest.remove_prefix(static_cast<size_t>(n));
        offset += n;
    }
    if (::ftruncate(fd.get(), size) != 0)
        throw FileFailure(FileStep::Write, file, errno);
    if (::fsync(fd.get()) != 0)
        throw FileFailure(FileStep::Flush, file, errno);
    if (::close(fd.release()) != 0)
        throw FileFailure(FileStep::Flush, file, errno);
}

bool isReadOnly(const std::filesystem::path& path) {
    struct stat st = {};
    if (::stat(path.c_str(), &st) != 0)
        return false;
    return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || ::access(path.c_str(), W_OK) != 0;
}

}  // namespace platform
