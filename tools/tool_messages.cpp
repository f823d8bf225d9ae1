#include "tool_messages.h"

#include <libintl.h>

#include <clocale>
#include <filesystem>
#include <system_error>

namespace tools {

namespace {
constexpr char kDomain[] = "corvane";
}  // namespace

void setUpMessages() {
    std::setlocale(LC_ALL, "");
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    // CORVANE_LOCALEDIR_FROM_BINDIR: where the catalogues lie relative to the tool.
    const std::filesystem::path localeDir =
        error ? std::filesystem::path(CORVANE_FULL_LOCALEDIR)
              : (program.parent_path() / CORVANE_LOCALEDIR_FROM_BINDIR).lexically_normal();
    ::bindtextdomain(kDomain, localeDir.c_str());
    ::textdomain(kDomain);
}

const char* translate(const char* message) {
    return ::dgettext(kDomain, message);
}

}  // namespace tools
