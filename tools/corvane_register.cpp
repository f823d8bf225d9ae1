// corvane-register: registers or unregisters a component library by calling its own
// DllRegisterServer / DllUnregisterServer, for the current user or, with --system and as
// root, in the machine-wide registry for all users (only a library that root alone can
// change, platform/root_owned_path.h; the registry in the folder fixed at build time,
// platform/user_data.h).
//
//   corvane-register [--system] [--unregister] <library.so>
//
// Exit status 0 on success, 1 when the library cannot be loaded, is no component library
// or its registration fails or the output cannot be written, 2 for a wrong command line.
// Messages in the user's language (gettext domain "corvane"); descriptions the platform
// gives are shown as they come.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/module_runtime.h"
#include "platform/registry.h"
#include "platform/unknown.h"
#include "tool_messages.h"

namespace {

using tools::format;
using tools::translate;

struct Options {
    bool unregister = false;
    bool system = false;
    std::filesystem::path library;
};

void printUsage(std::FILE* out) {
    std::fputs(translate("Usage: corvane-register [--system] [--unregister] LIBRARY.so\n"
                         "\n"
                         "Registers a component library for the current user (calls the\n"
                         "library's DllRegisterServer).\n"
                         "\n"
                         "  -s, --system      use the machine-wide registry, for all users\n"
                         "                    (only root may change it)\n"
                         "  -u, --unregister  remove the registration (calls DllUnregisterServer)\n"
                         "  -h, --help        show this help\n"),
               out);
}

int usageError(const std::string& message) {
    std::fprintf(stderr, "corvane-register: %s\n\n", message.c_str());
    printUsage(stderr);
    return 2;
}

int failure(const std::string& message) {
    std::fprintf(stderr, "corvane-register: %s\n", message.c_str());
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
        return tools::platformErrorText(hr, info->description);
    const int32_t number = platform::numberFromHresult(hr);
    return tools::platformErrorText(number, platform::standardDescription(number));
}

int run(const Options& options) {
    const platform::Registry registry =
        options.system ? platform::Registry::machine() : platform::Registry();
    const std::string registryFile = registry.filePath().string();
    if (options.system && ::geteuid() != 0) {
        return failure(format(translate("only root may change the machine-wide registry %s; "
                                        "run this command as root (for example with sudo)."),
                              registryFile.c_str()));
    }

    std::error_code error;
    // An absolute path, so that dlopen does not search the library path instead.
    const std::filesystem::path path = std::filesystem::absolute(options.library, error);
    if (error || !std::filesystem::exists(path, error)) {
        return failure(
            format(translate("file \"%s\" not found."), options.library.string().c_str()));
    }
    if (!std::filesystem::is_regular_file(path, error))
        return failure(format(translate("\"%s\" is not a regular file."), path.c_str()));

    // Checked as every registration is, before any code of the library runs.
    std::filesystem::path file;
    try {
        file = platform::libraryToRegister(path, options.system ? platform::RegistryScope::machine
                                                                : platform::RegistryScope::user);
    } catch (const platform::Error& refused) {
        return failure(
            format(translate("refusing \"%s\" for the machine-wide registry: %s"), path.c_str(),
                   tools::platformErrorText(refused.number(), refused.description()).c_str()));
    }
    void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = ::dlerror();
        return failure(format(translate("cannot load the library \"%s\": %s"), path.c_str(),
                              why ? why : translate("unknown reason")));
    }
    const char* entryName = options.unregister ? "DllUnregisterServer" : "DllRegisterServer";
    auto entry = reinterpret_cast<platform::DllRegisterServerFn>(::dlsym(handle, entryName));
    if (!entry) {
        ::dlclose(handle);
        return failure(format(translate("\"%s\" is not a component library (it has no %s)."),
                              path.c_str(), entryName));
    }

    platform::setRegistrationScope(options.system ? platform::RegistryScope::machine
                                                  : platform::RegistryScope::user);
    platform::clearErrorInfo();
    const platform::HRESULT hr = entry();
    const std::string description = platform::failed(hr) ? describe(hr) : std::string();
    ::dlclose(handle);
    if (platform::failed(hr)) {
        const char* what =
            options.unregister
                ? translate("cannot remove the registration from %s (%s, HRESULT %s): %s")
                : translate("cannot register in %s (%s, HRESULT %s): %s");
        return failure(format(what, registryFile.c_str(), entryName, hresultText(hr).c_str(),
                              description.c_str()));
    }
    const char* done = options.unregister ? translate("removed the registration of \"%s\" from %s.")
                                          : translate("registered \"%s\" in %s.");
    std::printf("corvane-register: %s\n", format(done, path.c_str(), registryFile.c_str()).c_str());
    return 0;
}

int parseAndRun(int argc, char** argv) {
    Options options;
    bool haveLibrary = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "-h" || argument == "--help") {
            printUsage(stdout);
            return 0;
        }
        if (argument == "-u" || argument == "--unregister") {
            options.unregister = true;
        } else if (argument == "-s" || argument == "--system") {
            options.system = true;
        } else if (argument.starts_with("-") && argument != "-") {
            return usageError(format(translate("unknown option \"%s\"."), argv[i]));
        } else if (haveLibrary) {
            return usageError(translate("give only one library."));
        } else {
            options.library = argument;
            haveLibrary = true;
        }
    }
    if (!haveLibrary)
        return usageError(translate("give the library to register."));
    return run(options);
}

}  // namespace

int main(int argc, char** argv) {
    tools::setUpMessages();
    return tools::finishOutput("corvane-register", parseAndRun(argc, argv));
}
