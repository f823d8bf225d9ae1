// Whether someone else could change a file or folder the platform acts on: the registry
// names libraries that get loaded, the port map names where a port's traffic goes, so
// either must belong to the expected user and be writable by no group or other user.
// Each caller words its own error.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

namespace platform {

enum class OwnerCheck {
    trusted,
    anotherOwner,    // not owned by the expected user
    othersMayWrite,  // group or other users may write it
};

OwnerCheck checkOwner(const struct stat& info, uid_t expectedOwner);

}  // namespace platform
