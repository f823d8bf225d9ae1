// What the machine-wide registry may rest on: files and folders that nobody but root can
// change. Its registry and the libraries it names are loaded into every user's programs,
// root's included, so whoever could change them would run code as all of those users.
//
// The rule: the path is resolved once (realpath, so a link is followed only here), then
// the resolved path is walked from "/", each folder opened with O_PATH | O_NOFOLLOW |
// O_DIRECTORY relative to the one before it and the last component with O_NOFOLLOW, and
// every one of them, checked on the descriptor (fstat), must belong to root and be
// writable neither by its group nor by others. A sticky folder such as /tmp counts as
// writable by others. Nobody but root can rename, replace or change anything on a path
// that passes, so the resolved path names afterwards what was checked: loading it cannot
// be redirected between check and load except by root.
#pragma once

#include "platform/language_standard.h"
#include "platform/platform_export.h"

#include <filesystem>

#include "platform/error.h"

namespace platform {

enum class RootOwnedKind { file, folder };

// The resolved path when `path` and every folder above it pass; otherwise throws
// platform::Error(`number`, ...) naming the first component that fails and why (with the
// system's description when a call failed, e.g. a missing component).
CORVANE_PLATFORM_EXPORT std::filesystem::path requireRootOwned(const std::filesystem::path& path,
                                                               RootOwnedKind kind, HRESULT number);

}  // namespace platform
