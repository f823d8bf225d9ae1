// Points CORVANE_PLATFORM_HOME at a fresh folder for the life of a test, so that the
// registry and other per-user files of the platform never touch the real ones.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>

namespace platform::testing {

class TemporaryPlatformHome {
  public:
    TemporaryPlatformHome() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "corvane-test-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        m_root = pattern;
        m_home = m_root / "home";  // not created: the platform creates it on first use
        if (const char* previous = ::getenv("CORVANE_PLATFORM_HOME"))
            m_previous = previous;
        ::setenv("CORVANE_PLATFORM_HOME", m_home.c_str(), 1);
    }
    ~TemporaryPlatformHome() {
        if (m_previous) {
            ::setenv("CORVANE_PLATFORM_HOME", m_previous->c_str(), 1);
        } else {
            ::unsetenv("CORVANE_PLATFORM_HOME");
        }
        std::error_code ignored;
        std::filesystem::permissions(m_root, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(m_root, ignored);
    }
    TemporaryPlatformHome(const TemporaryPlatformHome&) = delete;
    TemporaryPlatformHome& operator=(const TemporaryPlatformHome&) = delete;

    // The folder CORVANE_PLATFORM_HOME names (created by the platform, not here).
    const std::filesystem::path& home() const { return m_home; }
    // A folder of the test's own beside it, for scratch files.
    const std::filesystem::path& root() const { return m_root; }

  private:
    std::filesystem::path m_root;
    std::filesystem::path m_home;
    std::optional<std::string> m_previous;
};

}  // namespace platform::testing
