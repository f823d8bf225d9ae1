// The command-line tools' messages in the user's language: English in the source, other
// languages from the gettext catalogue "corvane", found beside the installed tool
// (<prefix>/share/locale), so that a moved installation still finds it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace tools {

// Takes the user's locale and the catalogue; call once at the start of main.
void setUpMessages();

// The message in the user's language (gettext); the English text when there is none.
const char* translate(const char* message) __attribute__((format_arg(1)));

// A platform error (its number and description) in the tool's language. The platform
// describes its errors in Japanese, which the tools show as they stand only when they speak
// Japanese themselves; otherwise the error's number is described in English (or the
// catalogue's language), so that nothing in another language turns up in the output.
std::string platformErrorText(int32_t number, const std::u16string& description);

// Standard output's last word, for main to return: flushes it and, when a write to it failed
// or was cut short (a full disk, a closed pipe), says so on standard error, prefixed with
// `program`, and returns 1 in place of a successful `status`.
int finishOutput(const char* program, int status);

// printf-style formatting into a string.
template <class... Arguments>
std::string format(const char* pattern, Arguments... arguments) {
    const int size = std::snprintf(nullptr, 0, pattern, arguments...);
    if (size <= 0)
        return {};
    std::string text(static_cast<size_t>(size) + 1, '\0');
    std::snprintf(text.data(), text.size(), pattern, arguments...);
    text.resize(static_cast<size_t>(size));
    return text;
}

}  // namespace tools
