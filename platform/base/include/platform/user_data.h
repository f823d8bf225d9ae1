// Where the platform keeps its files: per user (the registry, the serial port map) and
// for the whole machine (the machine-wide registry).
//
// Per user: $CORVANE_PLATFORM_HOME if set (tests point it at a temporary folder), otherwise
// $XDG_DATA_HOME/corvane-platform, otherwise ~/.local/share/corvane-platform; a program
// with more rights than its user (set-user-ID) ignores all three variables. The registry
// and the port map use that folder only when it belongs to the effective user, no group or
// other user may write it, and every link on the way to it belongs to that user or to root:
// root running with a user's environment never writes where that user points.
// CORVANE_PLATFORM_HOME, CORVANE_PLATFORM_MACHINE_HOME and CORVANE_PLATFORM_PORT_MAP (a port
// map file of the process's own instead of the one in this folder, port_map.h) are the
// environment variables of its own the platform reads.
#pragma once

#include "platform/language_standard.h"
#include "platform/platform_export.h"

#include <filesystem>

namespace platform {

CORVANE_PLATFORM_EXPORT std::filesystem::path userDataDirectory();

// For the machine: the folder fixed when the platform was built, with the machine's state:
// <prefix>/var/lib/corvane-platform (/var/lib/corvane-platform for the prefix /usr and the
// Debian packages).
// XDG_DATA_DIRS is not consulted: root's environment must not choose where root writes
// or what every user loads. Tests point it elsewhere with $CORVANE_PLATFORM_MACHINE_HOME
// (an absolute folder), honoured only when the real and effective user and group agree
// (never in a set-user-ID program) and, for root, only in a build configured for the
// tests (CORVANE_TEST_MACHINE_REGISTRY); the machine registry there is used only when
// that folder and every folder above it pass the root-ownership checks of
// platform/root_owned_path.h, exactly like the built-in one.
CORVANE_PLATFORM_EXPORT std::filesystem::path machineDataDirectory();

}  // namespace platform
