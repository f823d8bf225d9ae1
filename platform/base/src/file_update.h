// One read-modify-write of a file that other processes, and perhaps other users, may write
// at the same time. The file is opened once, never through a link, and its type, owner,
// mode and content all come from that descriptor: nothing swapped in under its name after a
// check is read, copied or given its mode.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "atomic_file.h"
#include "platform/file_descriptor.h"

namespace platform {

// The content of the regular file open at `fd`, read to its end; nothing, with errno set,
// when it is no regular file (EINVAL), is larger than `largest` (EFBIG) or unreadable.
std::optional<std::string> readRegularFile(int fd, off_t largest);

class FileUpdate {
  public:
    // Opens `file` (a missing one is fine: committing then creates it) and takes the
    // writers' lock:
    //  - where only this user may write the folder, the user's own lock file ".<name>.lock"
    //    beside it (0600, left in place), so that nobody who may merely read the file can
    //    hold up the user's writes;
    //  - where others may write the folder too, or nobody may, the file itself, which every
    //    user who may write the file shares; a new file is then created only where none
    //    appeared meanwhile.
    // Throws FileFailure: a link at the name (ELOOP), a folder there (EISDIR), anything
    // else but a regular file (EINVAL), one
    // larger than `largest` (EFBIG), a lock held past the wait (EWOULDBLOCK), another
    // user's lock file (EPERM), or what the system said.
    static FileUpdate begin(const std::filesystem::path& file, off_t largest);

    bool exists() const { return m_file.get() >= 0; }
    const std::string& content() const { return m_content; }
    // False for a file without any write permission bit (read-only even for root) or one
    // the system's access check refuses to this process.
    bool writable() const;
    // Puts `content` in place of the file. A new file gets 0666 less the umask; an existing
    // one keeps its mode and, where the writer may set it, its owner; in a folder that takes
    // no new file, an existing file is rewritten in place and a new one fails (EACCES).
    // False when another writer created the file since begin(): begin again, with its
    // content. Throws FileFailure.
    bool commit(std::string_view content);

  private:
    FileUpdate() = default;

    std::filesystem::path m_path;
    std::optional<FolderLock> m_lock;
    FileDescriptor m_file;
    struct stat m_status = {};
    std::string m_content;
    bool m_folderReadOnly = false;
    bool m_lockedByFile = false;
};

}  // namespace platform
