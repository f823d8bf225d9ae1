// Private-profile (INI) files: "[Section]" lines open sections, "key=value" lines follow.
//
// Names and values are byte strings in code page 932; paths are UTF-8. Section and key
// names match without regard to ASCII letter case (bytes of double-byte characters are
// compared exactly); blanks (spaces, tabs) around names and values are ignored; a value
// enclosed in matching double or single quotes is read without them; a line whose first
// non-blank character is ";" is a comment; a line without "=" is no key but is kept. The
// first of duplicate sections or keys is the one used; keys before the first section
// belong to none. Reading accepts CR LF, LF or CR alone; lines the writer produces end in
// CR LF, and every line it does not touch stays byte for byte as it was.
#pragma once

#include "platform/language_standard.h"
#include "platform/platform_export.h"

#include <cstdint>

namespace platform {

// Copies the value of `key` in `section` of the file at `path` into `buffer`: at most
// size - 1 bytes (a longer value is cut at that byte, even inside a double-byte character)
// and a terminating zero. Returns the number of bytes copied without the terminator. A
// missing file, section or key gives `defaultValue` with its trailing blanks removed (""
// when null); a key with an empty value gives "".
// Only a regular file of at most 16 MiB is read: anything else in its place (a FIFO, a
// device, a larger file) reads as a missing file, at once, and a write into it fails.
// A null `key` lists the key names of the section, a null `section` the section names:
// each name followed by a zero byte, the list by one more (an empty list is one zero). A
// list that does not fit is cut to size - 2 bytes followed by two zeros, and the return
// value is size - 2. A null buffer or a size of 0 copies nothing and returns 0.
CORVANE_PLATFORM_EXPORT uint32_t GetPrivateProfileStringA(const char* section, const char* key,
                                                          const char* defaultValue, char* buffer,
                                                          uint32_t size, const char* path);

// Stores `value` under `key` in `section`: an existing key's line is replaced where it
// stands; a new key goes after the last key line of the section, a new section at the end
// of the file; the file is created when missing (its folder is not). A null `value`
// deletes the key, a null `key` the whole section (its header up to the next one).
// Names and the value are written as given (names without surrounding blanks), so a value
// holding CR or LF, or a key holding "=", does not read back the same.
// The file is replaced atomically (a temporary file beside it, synced, renamed over it),
// keeping its permissions and owner; a new file gets 0666 less the umask, so a group that
// shares a folder may share its files. The file is opened once and never through a link
// at its own name: what is read, and the mode kept, come from the file that was opened.
// Concurrent writers are serialised: in a folder only the user may write, by the user's
// own lock file ".<name>.lock" beside it (0600, left in place), which nobody else can hold;
// in a folder others may write too, by a lock on the file itself, which every user who may
// write the file shares. In a read-only folder a writable file is rewritten in place
// instead (keeping its links and owner), under a lock on the file itself. Whoever holds a
// lock delays a write by a few seconds at most, then the write fails. A symbolic link is
// followed, except one in a folder others may write (sticky or not) that belongs to
// someone other than the writer: that write fails.
// Returns false, leaving the file as it was and errno saying why, when it cannot be
// written: a missing folder (ENOENT), a folder (EISDIR) or anything else but a regular
// file (EINVAL) at the path, a link at the file's own name once the links on the way are
// followed (ELOOP), a file without write permission or a new file in a read-only folder
// (EACCES; a file or folder without any write permission bit counts as read-only even for
// root), a lock held too long (EWOULDBLOCK), a full disk. A null `section` or `path`
// also returns false (EINVAL). A deletion that finds nothing to delete succeeds without
// creating the file.
CORVANE_PLATFORM_EXPORT bool WritePrivateProfileStringA(const char* section, const char* key,
                                                        const char* value, const char* path);

}  // namespace platform
