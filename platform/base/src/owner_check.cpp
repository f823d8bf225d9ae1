#include "owner_check.h"

namespace platform {

OwnerCheck checkOwner(const struct stat& info, uid_t expectedOwner) {
    if (info.st_uid != expectedOwner)
        return OwnerCheck::anotherOwner;
    if (info.st_mode & (S_IWGRP | S_IWOTH))
        return OwnerCheck::othersMayWrite;
    return OwnerCheck::trusted;
}

}  // namespace platform
