// Writing a whole file so that a reader sees the old content or the new one, never a mix,
// and so that writers in different processes do not lose each other's changes: the one
// helper behind every file the platform rewrites (registry, port map, property-bag file,
// private profile).
//
// A failed step throws FileFailure; each writer turns it into its own kind of error.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <exception>
#include <filesystem>
#include <optional>
#include <string_view>

#include "platform/file_descriptor.h"

namespace platform {

enum class FileStep {
    Open,         // opening the lock or the file rewritten in place
    Lock,         // taking the lock
    Create,       // creating the temporary file
    Permissions,  // giving it its mode (and owner)
    Write,        // writing the content
    Flush,        // syncing and closing it
    Replace,      // renaming it over the file
};

class FileFailure : public std::exception {
  public:
    FileFailure(FileStep step, std::filesystem::path path, int errorNumber)
        : m_step(step), m_path(std::move(path)), m_errorNumber(errorNumber) {}

    FileStep step() const noexcept { return m_step; }
    // The path the failed step worked on: the lock, the temporary file, or the file itself.
    const std::filesystem::path& path() const noexcept { return m_path; }
    int errorNumber() const noexcept { return m_errorNumber; }
    const char* what() const noexcept override { return "file replacement failed"; }

  private:
    FileStep m_step;
    std::filesystem::path m_path;
    int m_errorNumber;
};

// An exclusive lock serialising the read-modify-write cycles of processes on one folder or
// file, held until the object ends. Whoever holds it delays others by at most a few seconds:
// then taking it fails (FileStep::Lock, EWOULDBLOCK).
class FolderLock {
  public:
    // On the folder itself: for a folder only its user may open.
    static FolderLock onFolder(const std::filesystem::path& folder);
    // The lock file is created (mode 0600) when missing and never opened through a link.
    static FolderLock throughFile(const std::filesystem::path& lockFile);
    // The writer's own lock file: a regular file of this user (0600, never through a link);
    // one owned by another user fails with FileStep::Open and EPERM, as it is not shared.
    static FolderLock throughPrivateFile(const std::filesystem::path& lockFile);

  private:
    explicit FolderLock(FileDescriptor fd) : m_fd(std::move(fd)) {}
    FileDescriptor m_fd;
};

// Takes an exclusive flock on `fd` (opened from `path`) within the same bound as a
// FolderLock; released when the descriptor is closed.
void lockWithin(int fd, const std::filesystem::path& path);

// The mode the written file gets.
struct FileMode {
    // An existing file's mode, and its owner where the writer may set it, carry over.
    bool keepExisting = false;
    // Otherwise (or for a new file) this mode; none gives 0666 less the umask.
    std::optional<mode_t> mode;
    // The replaced file's status as read from its own descriptor: its mode, and its owner
    // where the writer may set it, carry over without looking the name up again.
    std::optional<struct stat> existing;
};

// Writes `content` to a new file beside `file` (hidden, unique name), syncs it and renames
// it over `file`, then syncs the folder. A failure at any step removes the new file and
// leaves `file` as it was.
void replaceFile(const std::filesystem::path& file, std::string_view content, FileMode mode);

// As replaceFile, for a file that must not exist yet: false, leaving everything as it was,
// when something already has its name (another writer created it meanwhile).
bool createFile(const std::filesystem::path& file, std::string_view content, FileMode mode);

// For a file in a folder that takes no new file (read-only) but that may itself be
// written: overwrites it in place, keeping its inode, links, owner and mode. Room for the
// new content is reserved first, so a full disk or a size limit fails before the old
// content is touched. The name must still be the file `expected` describes, no link
// (FileStep::Open, ESTALE or ELOOP otherwise).
void rewriteInPlace(const std::filesystem::path& file, const struct stat& expected,
                    std::string_view content);

// True when `path` exists and may not be written: it has no write permission bit at all
// (read-only for everyone, root included, the way a read-only attribute is), or the
// system's access check refuses (a read-only file system, another owner's file).
bool isReadOnly(const std::filesystem::path& path);

}  // namespace platform
