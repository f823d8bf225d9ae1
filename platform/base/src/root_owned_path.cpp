#include "platform/root_owned_path.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/file_descriptor.h"
#include "platform/utf8.h"
#include "system_errors.h"

namespace platform {

namespace {

std::u16string named(const std::filesystem::path& path) {
    return u"\"" + fromUtf8(path.string()) + u"\"";
}

[[noreturn]] void refuseAfterCall(HRESULT number, const std::filesystem::path& path,
                                  int errorNumber) {
    throw Error(number, named(path) + u" を確かめられません: " + posixErrorText(errorNumber));
}

void checkOnDescriptor(int fd, const std::filesystem::path& path, bool mustBeFile, HRESULT number) {
    struct stat info = {};
    if (::fstat(fd, &info) != 0)
        refuseAfterCall(number, path, errno);
    if (mustBeFile ? !S_ISREG(info.st_mode) : !S_ISDIR(info.st_mode)) {
        throw Error(number, named(path) + (mustBeFile ? u" は通常のファイルではありません。"
                                                      : u" はフォルダーではありません。"));
    }
    if (info.st_uid != 0) {
        throw Error(number,
                    named(path) + u" は root 以外のユーザーが所有しているため信頼できません。");
    }
    if (info.st_mode & (S_IWGRP | S_IWOTH)) {
        throw Error(number, named(path) +
                                u" はグループまたは他のユーザーが書き込めるため"
                                u"信頼できません。");
    }
}

}  // namespace

std::filesystem::path requireRootOwned(const std::filesystem::path& path, RootOwnedKind kind,
                                       HRESULT number) {
    const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                               &std::free);
    if (!resolved)
        refuseAfterCall(number, path, errno);
    const std::filesystem::path real(resolved.get());

    std::filesystem::path walked("/");
    FileDescriptor current(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (current.get() < 0)
        refuseAfterCall(number, walked, errno);
    checkOnDescriptor(current.get(), walked, false, number);
    const auto last = std::prev(real.end());
    for (auto part = std::next(real.begin()); part != real.end(); ++part) {
        const bool isFile = part == last && kind == RootOwnedKind::file;
        walked /= *part;
        // O_NOFOLLOW: a link put in after realpath is refused, never followed.
        FileDescriptor next(::openat(current.get(), part->c_str(),
                                     O_PATH | O_NOFOLLOW | O_CLOEXEC | (isFile ? 0 : O_DIRECTORY)));
        if (next.get() < 0)
            refuseAfterCall(number, walked, errno);
        checkOnDescriptor(next.get(), walked, isFile, number);
        current = std::move(next);
    }
    return real;
}

}  // namespace platform
