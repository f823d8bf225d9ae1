// The per-user serial port map: which device a port number opens.
//
// The map is the text file `<userDataDirectory()>/ports`, one entry a line as
// "3=/dev/ttyUSB0" (blanks around the number and the path are ignored; a path without a
// leading '/' is taken under /dev). Lines starting with '#' are comments; lines that are no
// entry are ignored; the first entry for a number is the one used. A port without an entry
// opens /dev/ttyS<n-1>, as port 1 is the first serial device. A missing or unreadable map is
// an empty one: looking a port up never fails.
#pragma once

#include <filesystem>

namespace platform {

// The map file itself.
std::filesystem::path portMapFile();

// The device of `port` (1 or more; error 5 otherwise).
std::filesystem::path devicePathForPort(int port);

// Make `port` open `device` / drop its entry. For tools and tests: the file is rewritten
// atomically (temporary file, then rename) under a lock on its folder, which is created
// when missing; comments and other entries stay as they are. Errors: 5 for a port below 1
// or an empty or multi-line path, 70 when the file may not be written, 61 when the disk is
// full, 75 for any other failure to write.
void setPortDevice(int port, const std::filesystem::path& device);
void removePortDevice(int port);

}  // namespace platform
