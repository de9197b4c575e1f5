// Test support for host files: a fresh empty host folder below the temporary
// folder (named <stem>-XXXXXX), removed with all it holds by the destructor
// (errors ignored: a test that made a part unremovable cleans that part
// itself), and reading a host file whole. Failing to make the folder throws
// (test support only: gtest reports it).
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <system_error>

namespace tolvane::testing {

class TempFolder {
  public:
    explicit TempFolder(const std::string& stem = "tolvane-test") {
        std::string pattern = (std::filesystem::temp_directory_path() / stem).string() + "-XXXXXX";
        if (!mkdtemp(pattern.data())) throw std::runtime_error("TempFolder: mkdtemp failed");
        path_ = pattern;
    }
    ~TempFolder() {
        std::error_code error;
        std::filesystem::remove_all(path_, error);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// The bytes of a host file; "" when it cannot be read.
inline std::string ReadHostFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace tolvane::testing
