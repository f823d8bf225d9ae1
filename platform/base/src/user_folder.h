// Whether the effective user may trust a per-user folder (the registry's, the port map's).
// The folder's path comes from the environment, which root may have kept from a user
// (sudo -E): a link on the way that another user owns, or a folder another user owns,
// would have root write where that user points. So every link on the way must belong to
// the effective user or to root, and the folder itself to the effective user, with no
// group or other user allowed to write it. Each caller words its own error.
#pragma once

#include <filesystem>

namespace platform {

enum class UserFolderCheck {
    trusted,
    missing,         // it, or a folder above it, does not exist yet
    foreignLink,     // a link on the way belongs to another user
    notAFolder,      // something else has its name
    anotherOwner,    // the folder belongs to another user
    othersMayWrite,  // a group or other users may write it
    failed,          // a step could not be looked at (errorNumber says why)
};

struct UserFolderStatus {
    UserFolderCheck check = UserFolderCheck::trusted;
    std::filesystem::path at;  // the link or folder at fault
    int errorNumber = 0;
};

UserFolderStatus checkUserFolder(const std::filesystem::path& folder);

}  // namespace platform
