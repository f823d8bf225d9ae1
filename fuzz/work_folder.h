// A private temporary folder for a fuzz target's files, removed when the process ends.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <system_error>

namespace fuzz {

class WorkFolder {
  public:
    // Made in the first of `bases` that takes it; aborts when none does.
    WorkFolder(const char* name, std::initializer_list<std::filesystem::path> bases) {
        for (const std::filesystem::path& base : bases) {
            std::string pattern = (base / (std::string(name) + "-XXXXXX")).string();
            if (::mkdtemp(pattern.data())) {
                m_path = pattern;
                return;
            }
        }
        std::abort();
    }
    WorkFolder(const WorkFolder&) = delete;
    WorkFolder& operator=(const WorkFolder&) = delete;
    ~WorkFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    const std::string& path() const { return m_path; }

  private:
    std::string m_path;
};

}  // namespace fuzz
