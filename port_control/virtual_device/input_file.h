// Files the virtual devices read and write on a user's word (captures, fault schedules):
// what a failed system call on one becomes in the platform's error model, and reading one
// whole with a bound on its size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace port_control::virtual_device {

// 53 for a missing file, 70 when permission is denied, 61 when the disk is full, 75 for
// anything else.
int32_t fileErrorNumber(int errorNumber);
// "<kind> <file>: <what went wrong>", in the platform's language.
std::u16string fileErrorText(std::u16string_view kind, const std::filesystem::path& file,
                             int errorNumber);

// The bytes of `file`, a regular file of at most `mostBytes` bytes. A FIFO or device is
// refused without waiting on it; a larger file is refused (380) before it is read.
std::string readInputFile(const std::filesystem::path& file, size_t mostBytes,
                          std::u16string_view kind);

}  // namespace port_control::virtual_device
