// A fresh folder that only root can change (root's, 0755, under /run, itself root's and
// not writable by others), for what the machine-wide registry may rest on; and the test
// stand-in for the machine registry's folder (CORVANE_PLATFORM_MACHINE_HOME) pointed at a
// folder for the life of a test. available() is false when not root or /run does not pass.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

namespace platform::testing {

class RootOwnedFolder {
  public:
    RootOwnedFolder() {
        struct stat run = {};
        if (::geteuid() != 0 || ::stat("/run", &run) != 0 || run.st_uid != 0 ||
            (run.st_mode & 022) != 0)
            return;
        std::string pattern = "/run/corvane-test-XXXXXX";
        if (!::mkdtemp(pattern.data()) || ::chmod(pattern.c_str(), 0755) != 0)
            return;
        m_path = pattern;
    }
    ~RootOwnedFolder() {
        std::error_code ignored;
        if (!m_path.empty())
            std::filesystem::remove_all(m_path, ignored);
    }
    RootOwnedFolder(const RootOwnedFolder&) = delete;
    RootOwnedFolder& operator=(const RootOwnedFolder&) = delete;

    bool available() const { return !m_path.empty(); }
    const std::filesystem::path& path() const { return m_path; }

  private:
    std::filesystem::path m_path;
};

class MachineRegistryStandIn {
  public:
    explicit MachineRegistryStandIn(const std::filesystem::path& folder) {
        if (const char* previous = ::getenv("CORVANE_PLATFORM_MACHINE_HOME"))
            m_previous = previous;
        ::setenv("CORVANE_PLATFORM_MACHINE_HOME", folder.c_str(), 1);
    }
    ~MachineRegistryStandIn() {
        m_previous ? ::setenv("CORVANE_PLATFORM_MACHINE_HOME", m_previous->c_str(), 1)
                   : ::unsetenv("CORVANE_PLATFORM_MACHINE_HOME");
    }
    MachineRegistryStandIn(const MachineRegistryStandIn&) = delete;
    MachineRegistryStandIn& operator=(const MachineRegistryStandIn&) = delete;

  private:
    std::optional<std::string> m_previous;
};

}  // namespace platform::testing
