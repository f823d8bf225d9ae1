#include "tool_messages.h"

#include <libintl.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
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

int finishOutput(const char* program, int status) {
    errno = 0;
    const bool failed = std::fflush(stdout) != 0 || std::ferror(stdout) != 0;
    if (!failed)
        return status;
    const int cause = errno;
    const std::string reason =
        cause != 0 ? std::strerror(cause) : translate("the output was cut short");
    std::fprintf(stderr, "%s: %s\n", program,
                 format(translate("cannot write the output: %s"), reason.c_str()).c_str());
    return status == 0 ? 1 : status;
}

}  // namespace tools
