#include "registered_corvane.h"

#include <dlfcn.h>

#include "platform/error.h"
#include "platform/module_loader.h"
#include "platform/unknown.h"

namespace sample_app::test_support {
namespace {

std::filesystem::path moduleBesideThisProgram() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path() / "Corvane.so";
}

}  // namespace

RegisteredCorvane::RegisteredCorvane() {
    const std::filesystem::path module = moduleBesideThisProgram();
    if (!std::filesystem::exists(module)) {
        m_problem = "not built: " + module.string();
        return;
    }
    void* library = ::dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        m_problem = std::string("cannot load: ") + ::dlerror();
        return;
    }
    const auto registerServer =
        reinterpret_cast<platform::DllRegisterServerFn>(::dlsym(library, "DllRegisterServer"));
    if (!registerServer) {
        m_problem = "no DllRegisterServer in " + module.string();
    } else if (const platform::HRESULT hr = registerServer(); platform::failed(hr)) {
        m_problem = "DllRegisterServer failed: " + std::to_string(hr);
    }
    ::dlclose(library);
}

RegisteredCorvane::~RegisteredCorvane() {
    platform::freeUnusedLibraries();
}

}  // namespace sample_app::test_support
