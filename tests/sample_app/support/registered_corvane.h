// The real control for end-to-end tests: a temporary platform home (registry, port map)
// in which the freshly built Corvane.so, found beside the test program, is registered
// through its own DllRegisterServer. `available()` is false, with the reason in
// `problem()`, when the module has not been built.
#pragma once

#include <filesystem>
#include <string>

#include "platform/support/temporary_platform_home.h"

namespace sample_app::test_support {

class RegisteredCorvane {
  public:
    RegisteredCorvane();
    ~RegisteredCorvane();
    RegisteredCorvane(const RegisteredCorvane&) = delete;
    RegisteredCorvane& operator=(const RegisteredCorvane&) = delete;

    bool available() const { return m_problem.empty(); }
    const std::string& problem() const { return m_problem; }
    const std::filesystem::path& scratch() const { return m_home.root(); }

  private:
    platform::testing::TemporaryPlatformHome m_home;
    std::string m_problem;
};

}  // namespace sample_app::test_support
