// Appends the communication log's lines to the file a path names at the moment of each
// line: another program may read, move, delete or replace the file between lines, and the
// next line goes to whatever the path names then (a new file when it names nothing).
//
// The file stays open between lines while the path still names it (same device and
// inode), so that a line costs a stat of the path and one write rather than an open, a
// check and a close. Each line goes out in one write() on an O_APPEND descriptor, so two
// controls sharing a file never interleave partial lines. Only a regular file that the
// name itself holds takes lines, and nothing else is ever opened: a link (in a shared
// folder, someone else's link could point at the user's own files), a FIFO or terminal
// (which could block the caller's thread for good, or raise SIGPIPE when its reader goes
// away) and any other device are skipped like a file that cannot be opened, and so is an
// existing file that another user owns, whatever its mode. A new file is created 0600
// whatever the umask, as the traffic is the user's alone.
// Nothing here ever fails its caller.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "platform/file_descriptor.h"

namespace port_control {

class LogFileAppender {
  public:
    // The path as the file system takes it; empty, or holding NUL, names no file.
    void setPath(std::string path);
    void append(std::string_view line) noexcept;

  private:
    // Opens (or creates) what the path names now, if it is a regular file.
    bool reopen() noexcept;

    std::string m_path;
    platform::FileDescriptor m_file;
    dev_t m_device = 0;
    ino_t m_inode = 0;
};

}  // namespace port_control
