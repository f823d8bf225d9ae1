// What a failed system call's errno becomes in the platform's error model: one Japanese
// text for descriptions, and one runtime error number per kind of failure.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace platform {

std::u16string posixErrorText(int errorNumber);

// A file that could not be written (or its folder locked or made): 70 (permission denied,
// read-only file system), 61 (disk full), 67 (no descriptor left), anything else 75
// (path/file access error).
int32_t fileErrorNumber(int errorNumber);

// A named file that could not be opened, read or replaced: a missing file gives 53 when its
// folder exists and 76 when not, a path through something that is no folder 76; anything
// else as fileErrorNumber.
int32_t pathErrorNumber(int errorNumber, const std::filesystem::path& path);

}  // namespace platform
