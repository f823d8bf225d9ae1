// regcomp: registers or unregisters a component library for the current user by calling
// its own DllRegisterServer / DllUnregisterServer.
//
//   regcomp [--unregister] <library.so>
//
// Exit status 0 on success, 1 when the library cannot be loaded, is no component library
// or its registration fails, 2 for a wrong command line.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/unknown.h"

namespace {

constexpr char kUsage[] =
    "使い方: regcomp [--unregister] <ライブラリ.so>\n"
    "\n"
    "コンポーネント ライブラリを現在のユーザーのレジストリに登録します\n"
    "(ライブラリの DllRegisterServer を呼び出します)。\n"
    "\n"
    "  -u, --unregister  登録を削除します (DllUnregisterServer を呼び出します)。\n"
    "  -h, --help        この説明を表示します。\n";

struct Options {
    bool unregister = false;
    std::filesystem::path library;
};

int usageError(const char* message) {
    std::fprintf(stderr, "regcomp: %s\n\n%s", message, kUsage);
    return 2;
}

int failure(const std::string& message) {
    std::fprintf(stderr, "regcomp: %s\n", message.c_str());
    return 1;
}

std::string hresultText(platform::HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

// The description the library's runtime left, or the standard one for the code.
std::string describe(platform::HRESULT hr) {
    std::optional<platform::ErrorInfo> info = platform::takeErrorInfo();
    if (info && !info->description.empty())
        return platform::toUtf8(info->description);
    return platform::toUtf8(platform::standardDescription(platform::numberFromHresult(hr)));
}

int run(const Options& options) {
    std::error_code error;
    // An absolute path, so that dlopen does not search the library path instead.
    const std::filesystem::path path = std::filesystem::absolute(options.library, error);
    if (error || !std::filesystem::exists(path, error))
        return failure("ファイル \"" + options.library.string() + "\" が見つかりません。");
    if (!std::filesystem::is_regular_file(path, error))
        return failure("\"" + path.string() + "\" は通常のファイルではありません。");

    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = ::dlerror();
        return failure("ライブラリ \"" + path.string() +
                       "\" を読み込めません: " + (why ? why : "不明な理由"));
    }
    const char* entryName = options.unregister ? "DllUnregisterServer" : "DllRegisterServer";
    auto entry = reinterpret_cast<platform::DllRegisterServerFn>(::dlsym(handle, entryName));
    if (!entry) {
        ::dlclose(handle);
        return failure("\"" + path.string() + "\" はコンポーネント ライブラリではありません (" +
                       entryName + " がありません)。");
    }

    platform::clearErrorInfo();
    const platform::HRESULT hr = entry();
    const std::string description = platform::failed(hr) ? describe(hr) : std::string();
    ::dlclose(handle);
    if (platform::failed(hr)) {
        return failure(std::string(options.unregister ? "登録の削除" : "登録") +
                       "に失敗しました (" + entryName + ", HRESULT " + hresultText(hr) +
                       "): " + description);
    }
    std::printf("regcomp: \"%s\" %s\n", path.c_str(),
                options.unregister ? "の登録を削除しました。" : "を登録しました。");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    bool haveLibrary = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "-h" || argument == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (argument == "-u" || argument == "--unregister") {
            options.unregister = true;
        } else if (argument.starts_with("-") && argument != "-") {
            return usageError(
                ("不明なオプション \"" + std::string(argument) + "\" です。").c_str());
        } else if (haveLibrary) {
            return usageError("ライブラリは 1 つだけ指定してください。");
        } else {
            options.library = argument;
            haveLibrary = true;
        }
    }
    if (!haveLibrary)
        return usageError("ライブラリを指定してください。");
    return run(options);
}
