#include "virtual_device/input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/error.h"
#include "platform/file_descriptor.h"
#include "platform/utf8.h"

namespace port_control::virtual_device {

namespace {

std::u16string errnoText(int errorNumber) {
    switch (errorNumber) {
        case ENOENT:
            return u"ファイルまたはフォルダーがありません。";
        case EACCES:
        case EPERM:
            return u"アクセスが拒否されました。";
        case EROFS:
            return u"読み取り専用のファイル システムです。";
        case ENOSPC:
        case EDQUOT:
            return u"ディスクの空き容量が不足しています。";
        case ELOOP:
            return u"シンボリック リンクは使用できません。";
        case EISDIR:
            return u"フォルダーです。";
        case ENOTDIR:
            return u"パスの途中がフォルダーではありません。";
        case EIO:
            return u"入出力エラーです。";
        default:
            return u"システム エラー " + platform::fromUtf8(std::to_string(errorNumber)) +
                   u" です。";
    }
}

}  // namespace

int32_t fileErrorNumber(int errorNumber) {
    switch (errorNumber) {
        case ENOENT:
            return platform::errors::kFileNotFound;
        case EACCES:
        case EPERM:
        case EROFS:
            return platform::errors::kPermissionDenied;
        case ENOSPC:
        case EDQUOT:
            return platform::errors::kDiskFull;
        default:
            return platform::errors::kPathFileAccessError;
    }
}

std::u16string fileErrorText(std::u16string_view kind, const std::filesystem::path& file,
                             int errorNumber) {
    return std::u16string(kind) + u" " + platform::fromUtf8(file.string()) + u": " +
           errnoText(errorNumber);
}

std::string readInputFile(const std::filesystem::path& file, size_t mostBytes,
                          std::u16string_view kind) {
    // O_NONBLOCK: opening a FIFO without a writer, or a device, must not wait.
    platform::FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0)
        throw platform::Error(fileErrorNumber(errno), fileErrorText(kind, file, errno));
    struct stat info = {};
    if (::fstat(fd.get(), &info) != 0)
        throw platform::Error(fileErrorNumber(errno), fileErrorText(kind, file, errno));
    if (!S_ISREG(info.st_mode)) {
        throw platform::Error(platform::errors::kPathFileAccessError,
                              std::u16string(kind) + u" " + platform::fromUtf8(file.string()) +
                                  u" は通常のファイルではありません。");
    }
    if (static_cast<uint64_t>(info.st_size) > mostBytes) {
        throw platform::Error(platform::errors::kInvalidPropertyValue,
                              std::u16string(kind) + u" " + platform::fromUtf8(file.string()) +
                                  u" は大きすぎます (最大 " +
                                  platform::fromUtf8(std::to_string(mostBytes)) + u" バイト)。");
    }
    // Reads at most one byte past the bound, so a file that grows meanwhile is refused too.
    std::string bytes(static_cast<size_t>(info.st_size) + 1, '\0');
    size_t filled = 0;
    for (;;) {
        if (filled == bytes.size()) {
            if (filled > mostBytes)
                break;
            bytes.resize(std::min(2 * filled, mostBytes + 1));
        }
        const ssize_t n = ::read(fd.get(), bytes.data() + filled, bytes.size() - filled);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw platform::Error(fileErrorNumber(errno), fileErrorText(kind, file, errno));
        if (n == 0)
            break;
        filled += static_cast<size_t>(n);
    }
    if (filled > mostBytes) {
        throw platform::Error(
            platform::errors::kInvalidPropertyValue,
            std::u16string(kind) + u" " + platform::fromUtf8(file.string()) + u" は大きすぎます。");
    }
    bytes.resize(filled);
    return bytes;
}

}  // namespace port_control::virtual_device
