// Where the platform keeps its files: per user (the registry, the serial port map) and
// for the whole machine (the machine-wide registry).
//
// Per user: $CORVANE_PLATFORM_HOME if set (tests point it at a temporary folder), otherwise
// $XDG_DATA_HOME/corvane-platform, otherwise ~/.local/share/corvane-platform.
// CORVANE_PLATFORM_HOME is the one environment variable of its own the platform reads.
#pragma once

#include <filesystem>

namespace platform {

std::filesystem::path userDataDirectory();

// For the machine: <dir>/corvane-platform for the first folder <dir> of $XDG_DATA_DIRS
// (default /usr/local/share:/usr/share) that holds a registry there; otherwise the data
// folder of the prefix this library is installed under (found from where the library
// lies, so that an installed tree can be moved), or of the configured prefix when the
// library runs from its build folder.
std::filesystem::path machineDataDirectory();

}  // namespace platform
