// What a library in the machine-wide registry must be: root's alone (see
// platform/root_owned_path.h), and so must every folder its own search path (the ELF
// RPATH or RUNPATH) sends the dynamic linker to for the libraries it needs, since those
// load into every user's programs with it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/error.h"

namespace platform {

// The resolved path when `path` passes; otherwise throws platform::Error(`number`, ...)
// naming the file, or the search-path entry, that fails and why. An entry fails when it is
// empty (the dynamic linker reads that as the current folder), relative, holds a token
// other than $ORIGIN, or names a folder that someone other than root could change, or,
// when it does not exist, that someone other than root could create.
std::filesystem::path requireTrustedLibrary(const std::filesystem::path& path, HRESULT number);

// The RPATH and RUNPATH entries of the ELF file at `path`, as written; throws
// platform::Error(`number`, ...) for a file that cannot be read as one.
std::vector<std::string> librarySearchPath(const std::filesystem::path& path, HRESULT number);

}  // namespace platform
