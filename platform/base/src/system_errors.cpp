#include "system_errors.h"

#include <cerrno>
#include <system_error>

#include "platform/error.h"

namespace platform {

std::u16string posixErrorText(int errorNumber) {
    switch (errorNumber) {
        case EACCES:
        case EPERM:
            return u"アクセスが拒否されました。";
        case ENOENT:
            return u"ファイルまたはフォルダーがありません。";
        case ENOTDIR:
            return u"パスの途中がフォルダーではありません。";
        case EISDIR:
            return u"フォルダーです。";
        case ENOSPC:
        case EDQUOT:
            return u"ディスクの空き容量が不足しています。";
        case EROFS:
            return u"読み取り専用のファイル システムです。";
        case ELOOP:
            return u"シンボリック リンクは使用できません。";
        case EWOULDBLOCK:  // a lock that another process holds past the wait
            return u"ほかのプロセスがロックしているため使用できません。";
        case EIO:
            return u"入出力エラーです。";
        case ENAMETOOLONG:
            return u"パス名が長すぎます。";
        case EMFILE:
        case ENFILE:
            return u"開いているファイルが多すぎます。";
        case ENOMEM:
            return u"メモリが不足しています。";
        default: {
            std::u16string text = u"システム エラー ";
            for (char c : std::to_string(errorNumber))
                text += static_cast<char16_t>(c);
            return text + u" です。";
        }
    }
}

int32_t fileErrorNumber(int errorNumber) {
    switch (errorNumber) {
        case EACCES:
        case EPERM:
        case EROFS:
            return errors::kPermissionDenied;
        case ENOSPC:
        case EDQUOT:
            return errors::kDiskFull;
        case EMFILE:
        case ENFILE:
            return errors::kTooManyFiles;
        default:
            return errors::kPathFileAccessError;
    }
}

int32_t pathErrorNumber(int errorNumber, const std::filesystem::path& path) {
    switch (errorNumber) {
        case ENOENT: {
            std::error_code ignored;
            const std::filesystem::path folder = path.parent_path();
            return std::filesystem::is_directory(folder.empty() ? "." : folder, ignored)
                       ? errors::kFileNotFound
                       : errors::kPathNotFound;
        }
        case ENOTDIR:
            return errors::kPathNotFound;
        default:
            return fileErrorNumber(errorNumber);
    }
}

}  // namespace platform
