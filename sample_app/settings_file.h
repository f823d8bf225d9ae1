// The sample application's settings file: an INI file beside the executable (or in the
// user's configuration folder when it cannot be kept there), read and written one key at a time
// through the platform's private-profile functions.
//
// Text crosses to the file in code page 932. ReadIni gives at most 1023 bytes of a value
// (a longer one is cut there, even between the two bytes of a double-byte character, whose
// lone lead byte then decodes to an escape character); a missing file, section or key gives
// the default. WriteIni reports nothing: a write that fails leaves the file as it was.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace sample_app {

// <folder of the executable>/<its file name without extension>.ini
std::filesystem::path settingsFilePath(const std::filesystem::path& executablePath);

// The file the program keeps its settings in: settingsFilePath() where that file is the
// user's (they own it or may write it) or, when it is missing, where the user may create it
// in the program's folder; otherwise $XDG_CONFIG_HOME/<name>.ini, ~/.config/<name>.ini by
// default, whose folder is created (0700) when missing. Same format, keys and code page.
// Root creates no file beside an installed program (its folder owned by root, writable by
// no group or other user, open to all), and another user's file beside the program that
// this user may only read (root's, say) is not taken for this user's settings.
std::filesystem::path usableSettingsFilePath(const std::filesystem::path& executablePath);

// The running program's own file, as the kernel named it at the first call (the program
// makes that call at start). Taken once: once the file is replaced by an upgrade or a
// rebuild, the kernel names the running image "<path> (deleted)".
std::filesystem::path currentExecutablePath();

std::u16string ReadIni(std::u16string_view section, std::u16string_view key,
                       std::u16string_view defaultValue, const std::filesystem::path& path);

void WriteIni(std::u16string_view section, std::u16string_view key, std::u16string_view value,
              const std::filesystem::path& path);

}  // namespace sample_app
