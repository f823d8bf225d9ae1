#include "tool_messages.h"

#include <libintl.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/utf8.h"

namespace tools {

namespace {

constexpr char kDomain[] = "corvane";

// What the platform's error numbers mean, for a tool that does not speak the platform's
// language. gettext_noop: marked for the catalogue, translated where used.
#define gettext_noop(text) text
struct ErrorText {
    int32_t number;
    const char* text;
};
constexpr ErrorText kErrorTexts[] = {
    {5, gettext_noop("invalid procedure call or argument")},
    {6, gettext_noop("overflow")},
    {7, gettext_noop("out of memory")},
    {13, gettext_noop("type mismatch")},
    {52, gettext_noop("bad file name or number")},
    {53, gettext_noop("file not found")},
    {57, gettext_noop("device I/O error")},
    {61, gettext_noop("disk full")},
    {67, gettext_noop("too many files")},
    {68, gettext_noop("device unavailable")},
    {70, gettext_noop("permission denied")},
    {75, gettext_noop("path/file access error")},
    {76, gettext_noop("path not found")},
    {380, gettext_noop("invalid property value")},
    {440, gettext_noop("automation error")},
    {8002, gettext_noop("invalid port number")},
    {static_cast<int32_t>(0x80040150), gettext_noop("the registry cannot be read")},
    {static_cast<int32_t>(0x80040151), gettext_noop("the registry cannot be written")},
    {static_cast<int32_t>(0x80040153), gettext_noop("the registry is damaged")},
    {static_cast<int32_t>(0x80070005), gettext_noop("access denied")},
};
#undef gettext_noop

// True when the catalogue in use is Japanese: its translators say so for this message.
bool speaksJapanese() {
    return std::strcmp(translate("messages-language: en"), "messages-language: ja") == 0;
}

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

std::string platformErrorText(int32_t number, const std::u16string& description) {
    if (speaksJapanese() && !description.empty())
        return platform::toUtf8(description);
    for (const ErrorText& known : kErrorTexts) {
        if (known.number == number)
            return translate(known.text);
    }
    return translate("unknown error");
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
