#include "settings_file.h"

#include <string>

#include "platform/codepage932.h"
#include "platform/private_profile.h"

namespace sample_app {
namespace {

constexpr uint32_t kValueBufferSize = 1024;

}  // namespace

std::filesystem::path settingsFilePath(const std::filesystem::path& executablePath) {
    std::filesystem::path fileName = executablePath.stem();
    fileName += ".ini";
    return executablePath.parent_path() / fileName;
}

std::filesystem::path currentExecutablePath() {
    static const std::filesystem::path atStart = [] {
        std::error_code error;
        std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
        return error ? std::filesystem::path() : path;
    }();
    return atStart;
}

std::u16string ReadIni(std::u16string_view section, std::u16string_view key,
                       std::u16string_view defaultValue, const std::filesystem::path& path) {
    const std::string sectionBytes = platform::cp932::encode(section);
    const std::string keyBytes = platform::cp932::encode(key);
    const std::string defaultBytes = platform::cp932::encode(defaultValue);
    // Only the n bytes the call reports belong to the result, not the spaces behind them.
    std::string buffer(kValueBufferSize, ' ');
    const uint32_t n = platform::GetPrivateProfileStringA(sectionBytes.c_str(), keyBytes.c_str(),
                                                          defaultBytes.c_str(), buffer.data(),
                                                          kValueBufferSize, path.c_str());
    return platform::cp932::decode(std::string_view(buffer).substr(0, n));
}

void WriteIni(std::u16string_view section, std::u16string_view key, std::u16string_view value,
              const std::filesystem::path& path) {
    const std::string sectionBytes = platform::cp932::encode(section);
    const std::string keyBytes = platform::cp932::encode(key);
    const std::string valueBytes = platform::cp932::encode(value);
    // A failed write is not the caller's concern: the next start reads the previous values.
    platform::WritePrivateProfileStringA(sectionBytes.c_str(), keyBytes.c_str(), valueBytes.c_str(),
                                         path.c_str());
}

}  // namespace sample_app
