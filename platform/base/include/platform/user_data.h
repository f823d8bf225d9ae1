// Where the platform keeps its per-user files (the registry, the serial port map).
//
// $CORVANE_PLATFORM_HOME if set (tests point it at a temporary folder), otherwise
// $XDG_DATA_HOME/corvane-platform, otherwise ~/.local/share/corvane-platform. This is the
// one environment variable the platform reads.
#pragma once

#include <filesystem>

namespace platform {

std::filesystem::path userDataDirectory();

}  // namespace platform
